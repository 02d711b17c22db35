#include "localization_tools/message_catalogue.h"
#include "localization_tools/translator.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/launcher/launcher.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A launcher whose trace goes to a recording tracer instead of its trace file.
class TestLauncher : public Launcher {
 public:
  explicit TestLauncher(ivo::TracerPtr tracer) { SetTracer(std::move(tracer)); }
};

class LauncherServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    testing::ClearRecordedCalls();
  }
  void TearDown() override {
    testing::ClearStandinAnswer("systemctl");
    fs::remove_all(patch_.Root());
    fs::remove_all("/var/opt/brevantis/tarn/common");
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  TestLauncher launcher_{tracer_};
  PatchPaths patch_ = ProductPaths(nullptr).Patch("services");
};

TEST_F(LauncherServicesTest, GroupsAndServiceManagerReload) {
  EXPECT_THAT(Launcher::GroupNames(), ElementsAre("tarnadmin", "tarnuser", "tarnaudit", "notarn"));
  launcher_.DaemonReload();
  EXPECT_THAT(testing::RecordedCalls(), ElementsAre("systemctl daemon-reload"));
  testing::SetStandinAnswer("systemctl", "exit 1\n");
  try {
    launcher_.DaemonReload();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Cmd: systemctl daemon-reload failed with exit code 1", error.what());
  }
}

TEST_F(LauncherServicesTest, FanotifyNeedsAnExactLowerCaseYes) {
  const struct {
    const char* value;
    bool on;
  } cases[] = {{nullptr, false}, {"yes", true}, {"true", true},  {"1", true}, {"Yes", false},
               {"TRUE", false},  {"no", false}, {"yes1", false}, {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(absent)");
    pt::ptree ini;
    if (c.value) {
      ini.put("General.UseFanotify", c.value);
    }
    tracer_->Clear();
    EXPECT_EQ(c.on, launcher_.IsFanotifyOn(ini));
    EXPECT_THAT(tracer_->Texts(), ElementsAre(c.on ? "IsFanotifyOn: Fanotify is ON"
                                                   : "IsFanotifyOn: Fanotify is OFF"));
  }
}

TEST_F(LauncherServicesTest, EventsOfTheSameSecondGetFilesOfTheirOwn) {
  std::set<Path> files;
  for (int i = 0; i < 20; ++i) {
    files.insert(launcher_.SendEvent(EventName::ProgramRestartRequired, {"systemctl", "restart"}));
  }
  EXPECT_EQ(20u, files.size());
  const Path file = *files.begin();
  EXPECT_EQ("/var/opt/brevantis/tarn/common/offline-events", file.parent_path().string());
  EXPECT_EQ(".json", file.extension().string());
  pt::ptree event;
  pt::read_json(file.string(), event);
  EXPECT_EQ("ProgramRestartRequired", event.get<std::string>("EventType"));
  EXPECT_EQ("Warning", event.get<std::string>("DangerLevel"));
  EXPECT_THAT(
      event.get<std::string>("Date"),
      ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}"));
  std::vector<std::string> arguments;
  for (const auto& [key, value] : event.get_child("Arguments")) {
    arguments.push_back(value.data());
  }
  EXPECT_THAT(arguments, ElementsAre("systemctl", "restart"));
  EXPECT_EQ(0644, static_cast<int>(fs::status(file).permissions()));
  EXPECT_THAT(tracer_->Texts(),
              ::testing::Contains("SendEvent: Event ProgramRestartRequired has written to " +
                                  file.string()));
}

TEST_F(LauncherServicesTest, EventThatCannotBeWrittenNamesItsFile) {
  testing::WriteFile("/var/opt/brevantis/tarn/common/offline-events", "not a directory");
  try {
    launcher_.SendEvent(EventName::OsRebootRequired);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), ::testing::StartsWith(
                                  "Can't create /var/opt/brevantis/tarn/common/offline-events/"));
  }
}

TEST_F(LauncherServicesTest, PatchVersionFromTheManifest) {
  const Path manifest = patch_.Manifest();
  const struct {
    const char* content;
    const char* version;  // nullptr: PrivateException
  } cases[] = {{"ProductVersion=12.6.0.118\n", "12.6.0.118"},
               {"ProductVersion=12.6\n", nullptr},
               {"ProductVersion=12.6.0.118-beta\n", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    testing::WriteFile(manifest, c.content);
    if (c.version) {
      EXPECT_EQ(c.version, launcher_.GetPatchVersion(patch_).ToString());
      continue;
    }
    try {
      launcher_.GetPatchVersion(patch_);
      FAIL() << "no exception";
    } catch (const PrivateException& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith("Wrong version format '12.6"));
    }
  }
  testing::WriteFile(manifest, "PatchId=x\n");
  EXPECT_THROW(launcher_.GetPatchVersion(patch_), pt::ptree_bad_path);
  fs::remove(manifest);
  EXPECT_THROW(launcher_.GetPatchVersion(patch_), pt::ini_parser_error);
}

TEST_F(LauncherServicesTest, ManifestErrorsNameTheFile) {
  PatchManifest manifest;
  const std::string path = patch_.Manifest().string();
  try {
    launcher_.ReadPatchManifest(patch_, manifest);
    FAIL() << "no exception";
  } catch (const std::logic_error& error) {
    EXPECT_EQ("Manifest " + path + " not found", std::string(error.what()));
  }
  testing::WriteFile(path, "PatchId=x\n");
  try {
    launcher_.ReadPatchManifest(patch_, manifest);
    FAIL() << "no exception";
  } catch (const ivo::ResultError& error) {
    EXPECT_EQ("Can't read manifest " + path, std::string(error.what()));
    EXPECT_THAT(DiagnosticText(std::current_exception()), HasSubstr("Expression failed"));
  }
}

TEST_F(LauncherServicesTest, InstallAndUninstallScripts) {
  const ProductPaths product(nullptr);
  const Path log = patch_.Root() + "/script.log";
  testing::WriteFile(patch_.SymlinksScript(), "#!/bin/sh\necho \"$*\" >> " + log.string() + "\n",
                     0755);
  testing::WriteFile("/usr/bin/response", "a file of someone else");
  launcher_.RunInstallScript(product, patch_);
  EXPECT_EQ(product.Current().Control(), fs::read_symlink("/usr/bin/tarn-control"));
  // The response link replaced the file in its way.
  EXPECT_EQ(product.Current().Response(), fs::read_symlink("/usr/bin/response"));
  testing::WriteFile("/usr/bin/tarn-control.real", "x");
  launcher_.RunUninstallScript(product, patch_);
  EXPECT_FALSE(fs::exists(fs::symlink_status("/usr/bin/tarn-control")));
  EXPECT_FALSE(fs::exists(fs::symlink_status("/usr/bin/response")));
  EXPECT_EQ("install " + patch_.Root() + "\nuninstall " + patch_.Root() + "\n",
            testing::ReadFile(log));
  EXPECT_THAT(tracer_->Texts(),
              ::testing::Contains("RunUninstallScript: Removing symlinks defined in " +
                                  patch_.SymlinksScript().string()));
  fs::remove("/usr/bin/tarn-control.real");

  // A failing script fails the run.
  testing::WriteFile(patch_.SymlinksScript(), "#!/bin/sh\nexit 4\n", 0755);
  EXPECT_THROW(launcher_.RunInstallScript(product, patch_), std::runtime_error);
  fs::remove("/usr/bin/tarn-control");
  fs::remove("/usr/bin/response");
}

// The process locale and environment are process-wide: every case starts without LANG and
// LC_ALL and restores the locale "C" and the variables it found.
class SetLocalizationTest : public LauncherServicesTest {
 protected:
  static void SetUpTestSuite() {
    // A German locale of our own: the machine may have none but C.
    static testing::TempDir locales;
    localeDir_ = locales.path();
    const int built = std::system(("localedef -i de_DE -f UTF-8 " +
                                   (localeDir_ / "de_DE.UTF-8").string() + " >/dev/null 2>&1")
                                      .c_str());
    ASSERT_TRUE(built == 0 || built == 256) << "localedef failed";  // 1: warnings only
  }
  void SetUp() override {
    LauncherServicesTest::SetUp();
    for (auto& [name, value] : saved_) {
      if (const char* found = std::getenv(name.c_str())) {
        value = found;
      }
      unsetenv(name.c_str());
    }
    // Only our locales: glibc ignores its locale archive while LOCPATH is set.
    setenv("LOCPATH", localeDir_.c_str(), 1);
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    localization::Translator::Instance().Reset();
    LauncherServicesTest::TearDown();
  }
  std::vector<std::string> Traces(TraceLevel level) const { return tracer_->TextsAt(level); }

  static inline Path localeDir_;
  std::map<std::string, std::optional<std::string>> saved_ = {
      {"LANG", std::nullopt}, {"LC_ALL", std::nullopt}, {"LOCPATH", std::nullopt}};
};

TEST_F(SetLocalizationTest, LoadsTheCatalogueOfTheLanguage) {
  setenv("LANG", "de_DE.UTF-8", 1);
  testing::WriteFile(patch_.LocDir() / "messages.de.txt", "40\tFehler bei der Installation\n");
  launcher_.SetLocalization(patch_);
  EXPECT_STREQ("de_DE.UTF-8", std::getenv("LC_ALL"));
  EXPECT_EQ("Fehler bei der Installation", localization::LookupMessage(40));
  const std::string dir = patch_.LocDir().string();
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("SetLocalization: Env LANG: de_DE.UTF-8",
                          "SetLocalization: Setting 'de_DE.UTF-8' localization ...",
                          "SetLocalization: Loc directory: " + dir,
                          "SetLocalization: Localization 'de_DE.UTF-8' has been set"));
}

TEST_F(SetLocalizationTest, AMissingCatalogueKeepsTheEnglishTexts) {
  setenv("LANG", "de_DE.UTF-8", 1);
  launcher_.SetLocalization(patch_);
  EXPECT_EQ("Error installing the application", localization::LookupMessage(40));
  ASSERT_EQ(1u, Traces(300).size());
  EXPECT_THAT(Traces(300).front(),
              ::testing::StartsWith("SetLocalization: Can't set localization 'de_DE.UTF-8'. "
                                    "Reason: Object not found"));
}

TEST_F(SetLocalizationTest, ALocaleTheSystemLacksLoadsNothing) {
  setenv("LANG", "xx_YY.UTF-8", 1);
  launcher_.SetLocalization(patch_);
  EXPECT_EQ(nullptr, std::getenv("LC_ALL"));
  EXPECT_THAT(Traces(300), ElementsAre("SetLocalization: Can't set locale 'xx_YY.UTF-8'. "
                                       "Reason: Object not found"));
  EXPECT_THAT(tracer_->Texts(), ::testing::Not(::testing::Contains(HasSubstr("Loc directory"))));
}

TEST_F(SetLocalizationTest, WithoutLangEnglishOfTheUnitedStatesIsTried) {
  launcher_.SetLocalization(patch_);
  // Our locale directory has no en_US.UTF-8, so it is tried and not found; no "Env LANG".
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("SetLocalization: Setting 'en_US.UTF-8' localization ...",
                          "SetLocalization: Can't set locale 'en_US.UTF-8'. "
                          "Reason: Object not found"));
}

}  // namespace
}  // namespace sov::supervisor
