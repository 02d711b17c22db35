#include "supervisor/common/system/kernel_modules.h"

#include "supervisor/common/paths/product_paths.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;

TEST(KernelModuleListTest, FirstWordOfALineNamesTheModule) {
  const struct {
    const char* modules;
    bool listed;
  } cases[] = {
      {"redirfs 16384 0 - Live 0x0\n", true},
      {"ext4 1 0 - Live 0x0\nredirfs 16384 0 - Live 0x0", true},
      {"redirfs_helper 1 0 - Live 0x0\n", false},
      {"ext4 1 1 redirfs, Live 0x0\n", false},  // used by, not loaded
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modules);
    EXPECT_EQ(c.listed, IsModuleListed(c.modules, "redirfs"));
  }
}

// A patch with a preparation script that makes the module, fails, or makes nothing.
class KernelModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    fs::create_directories(patch_.LibexecDir());
  }
  void TearDown() override { fs::remove_all(patch_.Root()); }

  void Script(const std::string& body) {
    testing::WriteFile(patch_.PrepareModuleScript(), "#!/bin/sh\n" + body, 0755);
  }
  KernelModules Modules(DistribType family = DistribType::Debian) {
    return KernelModules(tracer_, family,
                         [this](const std::string& why) { failures_.push_back(why); });
  }

  PatchPaths patch_ = ProductPaths(nullptr).Patch("modules");
  testing::TempDir logDir_;
  const Path log_ = logDir_ / "prepare_module.log";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  std::vector<std::string> failures_;
};

TEST_F(KernelModulesTest, BuildWritesTheScriptsOutputAndFindsTheModule) {
  testing::WriteFile(log_, "output of an earlier build\n");
  Script("echo building; echo warning >&2; mkdir -p \"" +
         KernelModulePath(patch_).parent_path().string() + "\"; echo ko > \"" +
         KernelModulePath(patch_).string() + "\"\n");
  Modules().BuildIfRequired(false, patch_, log_);
  EXPECT_TRUE(AreKernelModulesPresent(patch_));
  EXPECT_EQ("building\nwarning\n", testing::ReadFile(log_));
  EXPECT_EQ("BuildKernelModules: Kernel modules have built", tracer_->Texts().back());
  EXPECT_TRUE(failures_.empty());

  // Present now: no second run, the log stays.
  Script("echo again; exit 1\n");
  Modules().BuildIfRequired(false, patch_, log_);
  EXPECT_EQ("building\nwarning\n", testing::ReadFile(log_));
  EXPECT_EQ("BuildKernelModulesIfRequired: Kernel modules already exists", tracer_->Texts().back());
}

TEST_F(KernelModulesTest, FanotifyNeedsNoModules) {
  Script("exit 1\n");
  Modules().BuildIfRequired(true, patch_, log_);
  EXPECT_FALSE(fs::exists(log_));
  EXPECT_EQ("BuildKernelModulesIfRequired: Skip kernel modules build", tracer_->Texts().back());
}

TEST_F(KernelModulesTest, FailuresAreReportedAndThrown) {
  const std::string script = patch_.PrepareModuleScript().string();
  const struct {
    const char* body;
    std::string error;
  } cases[] = {
      {"echo no compiler; exit 1\n", "Cmd: " + script + " failed with exit code 1"},
      {"echo nothing to do\n", "Kernel modules not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    failures_.clear();
    Script(c.body);
    try {
      Modules().Build(patch_, log_);
      FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(c.error, error.what());
    }
    EXPECT_EQ(std::vector<std::string>{c.error}, failures_);
  }
  EXPECT_EQ("nothing to do\n", testing::ReadFile(log_));
}

TEST_F(KernelModulesTest, AstraIsRefusedBeforeAnythingRuns) {
  Script("echo ran > \"" + log_.string() + ".ran\"\n");
  EXPECT_THROW(
      {
        try {
          Modules(DistribType::Astra).Build(patch_, log_);
        } catch (const std::logic_error& error) {
          EXPECT_STREQ("Can't build kernel modules for this configuration", error.what());
          throw;
        }
      },
      std::logic_error);
  EXPECT_FALSE(fs::exists(log_.string() + ".ran"));
  EXPECT_TRUE(failures_.empty());
}

}  // namespace
}  // namespace sov::supervisor
