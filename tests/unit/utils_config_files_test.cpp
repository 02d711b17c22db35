#include "supervisor/common/files/utils.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
using testing::ReadFile;
using testing::WriteFile;

class ConfigFilesTest : public ::testing::Test {
 protected:
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
  testing::TempDir dir_;
};

TEST_F(ConfigFilesTest, IniRoundTrip) {
  pt::ptree written;
  written.put("General.UseFanotify", "yes");
  written.put("General.PackageType", "deb");
  written.put("Watchdog.MaxMemory", "highest/50%/2048MB");
  const Path file = dir_ / "tarn.ini";
  utils_.WriteIni(file, written, 0644);
  pt::ptree read;
  utils_.ReadIni(file, read);
  EXPECT_EQ(written, read);
  EXPECT_EQ(
      "[General]\nUseFanotify=yes\nPackageType=deb\n[Watchdog]\nMaxMemory=highest/50%/2048MB\n",
      ReadFile(file));
  EXPECT_THAT(tracer_->Texts(),
              ::testing::ElementsAre("WriteIni: " + file.string() + " updated",
                                     "ReadIni: Reading " + file.string() + " ..."));
}

TEST_F(ConfigFilesTest, RewriteKeepsModeOwnerAndTheOtherHardLinksContent) {
  const Path file = dir_ / "tarn.ini";
  WriteFile(file, "[General]\nA=1\n", 0644);
  ASSERT_EQ(0, chown(file.c_str(), 12345, 54321));
  fs::create_hard_link(file, dir_ / "package-copy.ini");
  pt::ptree tree;
  tree.put("General.A", "2");
  utils_.WriteIni(file, tree);
  struct stat status {};
  ASSERT_EQ(0, stat(file.c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 07777);
  EXPECT_EQ(12345u, status.st_uid);
  EXPECT_EQ(54321u, status.st_gid);
  EXPECT_EQ("[General]\nA=2\n", ReadFile(file));
  EXPECT_EQ("[General]\nA=1\n", ReadFile(dir_ / "package-copy.ini"));
  // A new file gets the writer's mode.
  utils_.WriteIni(dir_ / "new.ini", tree);
  EXPECT_EQ(0600, static_cast<int>(fs::status(dir_ / "new.ini").permissions()));
}

TEST_F(ConfigFilesTest, AFullDiskLeavesTheOldFileIntactAndNoTemporaryBehind) {
  const Path small = dir_ / "small";
  fs::create_directory(small);
  ASSERT_EQ(0, mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k")) << "needs the sandbox";
  const Path file = small / "tarn.ini";
  WriteFile(file, "[General]\nUseFanotify=no\n");
  pt::ptree big;
  for (int i = 0; i < 2000; ++i) {
    big.put("General.Key" + std::to_string(i), std::string(40, 'x'));
  }
  EXPECT_THROW(utils_.WriteIni(file, big), fs::filesystem_error);
  EXPECT_EQ("[General]\nUseFanotify=no\n", ReadFile(file));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(small), fs::directory_iterator()));
  umount(small.c_str());
}

TEST_F(ConfigFilesTest, ReadersRaiseTheParserErrorNamingTheFile) {
  pt::ptree tree;
  const Path missing = dir_ / "missing.ini";
  try {
    utils_.ReadIni(missing, tree);
    FAIL() << "no exception";
  } catch (const pt::ini_parser_error& error) {
    EXPECT_EQ(missing.string(), error.filename());
  }
  WriteFile(dir_ / "bad.ini", "[General]\nno equals sign here\n");
  try {
    utils_.ReadIni(dir_ / "bad.ini", tree);
    FAIL() << "no exception";
  } catch (const pt::ini_parser_error& error) {
    EXPECT_EQ(2u, error.line());
  }
}

TEST_F(ConfigFilesTest, JsonAndXmlRoundTrip) {
  pt::ptree info;
  info.put("OldVersion", "12.4.0.100");
  info.put("ForUpgradeSettings", "/var/opt/brevantis/tarn/private/for_upgrade_settings.xml");
  utils_.WriteJson(dir_ / "upgrade.json", info);
  pt::ptree json;
  utils_.ReadJson(dir_ / "upgrade.json", json);
  EXPECT_EQ(info, json);

  pt::ptree settings;
  settings.put("settings.scan.<xmlattr>.enabled", "true");
  settings.put("settings.scan.path", "/home");
  utils_.WriteXml(dir_ / "appSettings.xml", settings);
  pt::ptree xml;
  utils_.ReadXml(dir_ / "appSettings.xml", xml);
  EXPECT_EQ("/home", xml.get<std::string>("settings.scan.path"));
  EXPECT_EQ("true", xml.get<std::string>("settings.scan.<xmlattr>.enabled"));
}

}  // namespace
}  // namespace sov::supervisor
