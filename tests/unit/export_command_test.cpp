#include "supervisor/launcher/export_command.h"

#include "sov_common/file_copy.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/launcher_arguments.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

class TestLauncher : public Launcher {
 public:
  explicit TestLauncher(ivo::TracerPtr tracer) { SetTracer(std::move(tracer)); }
};

constexpr const char* kVar = "/var/opt/brevantis/tarn";
constexpr const char* kSettingsXml =
    "<?xml version=\"1.0\"?>\n<settings version=\"1\"><task name=\"Scan\">"
    "<enabled>yes</enabled></task></settings>\n";

// The upgrade's two patches: "previous" with its library, settings database and key/value
// files, which the command exports, and "current" behind install-current, which receives
// the files; the live ini, identity and agreements beside them.
class ExportCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    fs::create_directories(Path(kVar) / "common");
    fs::create_directories(source_.Lib64Dir());
    sov::tools::CopyFile(SOV_APP_INFRA_LIBRARY, Library(), sov::tools::CopyMode::kOverwrite);
    fs::create_directories(source_.KvdbDir());
    testing::WriteFile(source_.SettingsXml(), kSettingsXml);
    testing::WriteFile(source_.KvdbDir() / "schema_version", "1\n");
    fs::create_directories(Path(kVar) / "current");
    fs::create_directory_symlink(Path(kVar) / "current", Path(kVar) / "install-current");
    testing::WriteFile(product_.Ini(), "[General]\nUseFanotify=Yes\nPackageType=rpm\n");
    testing::WriteFile(product_.AgreementsIni(),
                       "[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163\n");
  }

  void TearDown() override {
    fs::remove_all(kVar);
    fs::create_directory(kVar);
  }

  Path Library() const { return source_.Lib64Dir() / "libtarn_infra.so"; }

  int Export() {
    const auto arguments =
        std::make_shared<const LauncherArguments>(std::vector<std::string>{"launcher", "--export"});
    return ExportCommand(launcher_, arguments, source_.Root())();
  }

  static pt::ptree ReadXml(const Path& path) {
    pt::ptree tree;
    pt::read_xml(path.string(), tree, pt::xml_parser::trim_whitespace);
    return tree;
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  TestLauncher launcher_{tracer_};
  ProductPaths product_{nullptr};
  PatchPaths source_ = product_.PatchRootedAt(Path(kVar) / "previous");
  PatchPaths destination_ = product_.Current();
};

TEST_F(ExportCommandTest, WritesSettingsAndPersistentDataIntoTheActivePatch) {
  testing::WriteFile(product_.Pcid(), "{0f8fad5b-d9cb-469f-a165-70867728950e}\n");
  testing::WriteFile(product_.Ini(),
                     "[General]\nUseFanotify=Yes\nScanMemoryLimit=highest/50%/2048MB\n"
                     "[Environment]\nTARN_DEBUG=1\n");
  // Only regular files are data: a link and a directory in the store are left out.
  fs::create_symlink("/etc/passwd", source_.KvdbDir() / "link");
  fs::create_directory(source_.KvdbDir() / "nested");
  testing::WriteFile(source_.KvdbDir() / "empty", "");

  EXPECT_EQ(0, Export());

  const pt::ptree settings = ReadXml(destination_.UpgradeSettings());
  EXPECT_EQ("1", settings.get<std::string>("upgradeSettings.<xmlattr>.formatVersion"));
  EXPECT_EQ("yes", settings.get<std::string>("upgradeSettings.database.settings.task.enabled"));
  std::map<std::string, std::string> values;
  for (const auto& [name, value] : settings.get_child("upgradeSettings.runtimeConfig")) {
    ASSERT_EQ("value", name);
    values[value.get<std::string>("<xmlattr>.section") + "." +
           value.get<std::string>("<xmlattr>.key")] = value.data();
  }
  EXPECT_EQ("yes", values["General.UseFanotify"]);  // the record's flag rule, not the launcher's
  EXPECT_EQ("highest/50%/2048MB", values["General.ScanMemoryLimit"]);
  EXPECT_EQ("1", values["Environment.TARN_DEBUG"]);
  EXPECT_EQ("{0f8fad5b-d9cb-469f-a165-70867728950e}", values["Identity.Pcid"]);
  EXPECT_EQ("yes", values["AcceptedAgreement.EulaAccepted"]);
  EXPECT_EQ("256", values["General.ExecArgMax"]);  // a default stays

  const pt::ptree data = ReadXml(destination_.UpgradePersistentData());
  std::vector<std::string> entries;
  for (const auto& [name, entry] : data.get_child("persistentData")) {
    if (name == "entry") {
      entries.push_back(entry.get<std::string>("<xmlattr>.key") + "=" + entry.data() + "/" +
                        entry.get<std::string>("<xmlattr>.size"));
    }
  }
  EXPECT_THAT(entries, ::testing::ElementsAre("empty=/0", "schema_version=MQo=/2"));
  EXPECT_FALSE(fs::exists(source_.UpgradeSettings()));
}

TEST_F(ExportCommandTest, EveryFailureNamesItsCauseAndWritesNothing) {
  const std::string settings = source_.SettingsXml().string();
  const struct {
    const char* why;
    std::function<void()> breakIt;
    std::string message;
  } cases[] = {
      {"no library", [&] { fs::remove(Library()); },
       "Can't create application infrastructure loader: " + Library().string() +
           ": cannot open shared object file: No such file or directory"},
      {"not a library", [&] { testing::WriteFile(Library(), ""); },
       "Can't create application infrastructure loader: " + Library().string() +
           ": file too short"},
      {"interfaces refused",
       [&] { testing::WriteFile(source_.Lib64Dir() / "libtarn_infra.fail", "interface\n"); },
       "Can't get interface IXmlStorageFactory"},
      {"task manager refused",
       [&] { testing::WriteFile(source_.Lib64Dir() / "libtarn_infra.fail", ""); },
       "Can't create task manager: Task manager refused on purpose (libtarn_infra.fail)"},
      {"export refused",
       [&] { testing::WriteFile(source_.Lib64Dir() / "libtarn_infra.fail", "export"); },
       "Can't export settings: Export refused on purpose (libtarn_infra.fail)"},
      {"no live ini", [&] { fs::remove(product_.Ini()); },
       "File /var/opt/brevantis/tarn/common/tarn.ini not found"},
      {"bad live ini", [&] { testing::WriteFile(product_.Ini(), "[General\n"); },
       "Can't read the runtime configuration: Bad data format"},
      {"no settings database", [&] { fs::remove(settings); }, "File " + settings + " not found"},
      {"no key/value store", [&] { fs::remove_all(source_.KvdbDir()); },
       "File " + source_.KvdbDir().string() + " not found"},
      {"bad settings database", [&] { testing::WriteFile(settings, "<settings>\n<task>\n"); },
       "Can't create task manager: " + settings + ": unexpected end of data at line 3"},
      {"no active patch", [&] { fs::remove(Path(kVar) / "install-current"); },
       "Active patch /var/opt/brevantis/tarn/install-current not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TearDown();
    SetUp();
    c.breakIt();
    try {
      Export();
      ADD_FAILURE() << "no exception";
    } catch (const ApplicationError& error) {
      EXPECT_EQ(c.message, error.what());
    }
    EXPECT_FALSE(fs::exists(destination_.UpgradeSettings()));
    EXPECT_FALSE(fs::exists(destination_.UpgradePersistentData()));
  }
}

TEST(ExportCommandPatchRootTest, OnlyAPatchLauncherHasOne) {
  EXPECT_EQ(Path("/var/opt/brevantis/tarn/12.6.0.117_a1"),
            ExportCommand::PatchRootOf(
                "/var/opt/brevantis/tarn/12.6.0.117_a1/opt/brevantis/tarn/libexec/launcher"));
  EXPECT_EQ(Path("/var/opt/brevantis/other/12_b"),
            ExportCommand::PatchRootOf(
                "/var/opt/brevantis/other/12_b/opt/brevantis/other/libexec/launcher", "other"));
  const char* const outside[] = {
      "/opt/brevantis/tarn/libexec/launcher",  // the live tree, not a patch
      "//opt/brevantis/tarn/libexec/launcher",
      "/usr/bin/launcher",
      "/var/opt/brevantis/tarn/p/opt/brevantis/tarn/libexec/launcher (deleted)",
      "p/opt/brevantis/tarn/libexec/launcher",  // not absolute
  };
  for (const char* executable : outside) {
    SCOPED_TRACE(executable);
    try {
      ExportCommand::PatchRootOf(executable);
      ADD_FAILURE() << "no exception";
    } catch (const ApplicationError& error) {
      EXPECT_EQ(
          "Can't export settings: " + std::string(executable) + " is not the launcher of a patch",
          error.what());
    }
  }
}

}  // namespace
}  // namespace sov::supervisor
