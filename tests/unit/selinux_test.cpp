#include "supervisor/common/system/selinux.h"

#include "tests/unit/hidden_tool.h"
#include "tests/unit/test_support.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(FindSecurityTypeTest, TakesTheTypeOfTheFirstContext) {
  const struct {
    const char* text;
    const char* type;  // nullptr: none
  } cases[] = {
      {"system_u:object_r:root_t:s0\n", "root_t"},
      {"system_u:object_r:shell_exec_t:s0 /usr/bin/sh\n", "shell_exec_t"},
      {"? /usr/bin/sh\n", nullptr},
      {"matchpathcon: failed\n", nullptr},
      {"a:b", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto type = FindSecurityType(c.text);
    if (c.type == nullptr) {
      EXPECT_FALSE(type.has_value()) << *type;
    } else {
      EXPECT_EQ(c.type, type.value_or("(none)"));
    }
  }
}

// A new patch with the shipped policy source and a GUI, on a system whose matchpathcon
// answers like SELinux. checkmodule and semodule_package are the real ones; semodule,
// semanage and restorecon are stand-ins.
class SeLinuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    setenv("ANSI_COLORS_DISABLED", "1", 1);
    testing::SetStandinAnswer("matchpathcon", "echo system_u:object_r:root_t:s0\n");
    fs::create_directories(patch_.SelinuxPolicySource().parent_path());
    testing::WriteFile(patch_.SelinuxPolicySource(),
                       testing::ReadFile(fs::path(SOV_DIST_DIR) / "selinux" / "tarn.te"));
    testing::WriteFile(patch_.Gui(), "gui", 0755);
    testing::ClearRecordedCalls();
    directory_ = fs::current_path();
  }
  void TearDown() override {
    EXPECT_EQ(directory_, fs::current_path()) << "the current directory was not restored";
    unsetenv("ANSI_COLORS_DISABLED");
    for (const char* tool : {"matchpathcon", "semanage", "checkmodule", "restorecon"}) {
      testing::ClearStandinAnswer(tool);
    }
    fs::remove_all(patch_.Root());
    fs::remove_all(product_.CommonDir());
  }

  static bool HasRealTool(const char* tool) {
    return fs::exists(fs::path(std::getenv("LAUNCHER_SANDBOX")) / "real" / tool);
  }

  // The console output on one line: the printer wraps long messages.
  std::string Console() const {
    std::string text = console_.str();
    std::replace(text.begin(), text.end(), '\n', ' ');
    boost::algorithm::trim(text);
    return text;
  }

  std::vector<std::string> Labelling(const Path& path, const std::string& type) const {
    return {"semanage fcontext --add --type " + type + " " + path.string(),
            "semanage fcontext --modify --type " + type + " " + path.string(),
            "restorecon -v " + path.string()};
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  ProductPaths product_{tracer_};
  PatchPaths patch_ = product_.Patch("selinux");
  std::ostringstream console_;
  SeLinux selinux_{tracer_, product_, console_};
  Path directory_;
};

TEST_F(SeLinuxTest, AbsentWhenMatchpathconIsMissingFailsOrPrintsNoContext) {
  const struct {
    const char* answer;  // nullptr: the tool is missing
    const char* why;
  } cases[] = {
      {"echo system_u:object_r:root_t:s0; exit 1\n", "failing"},
      {"echo '<<none>>'\n", "no context"},
      {nullptr, "missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    tracer_->Clear();
    testing::ClearRecordedCalls();
    std::optional<testing::HiddenTool> hidden;
    if (c.answer == nullptr) {
      hidden.emplace("matchpathcon");
    } else {
      testing::SetStandinAnswer("matchpathcon", c.answer);
    }
    selinux_.ConfigureSELinux(InstallMode::UpgradeWithoutRenaming, patch_);
    EXPECT_THAT(tracer_->Texts(), Contains("ConfigureSELinux: SELinux not present"));
    EXPECT_EQ(c.answer == nullptr ? std::vector<std::string>{}
                                  : std::vector<std::string>{"matchpathcon -n /"},
              testing::RecordedCalls());
  }
}

TEST_F(SeLinuxTest, FirstInstallationLabelsOnlyTheSetupProgram) {
  selinux_.ConfigureSELinux(InstallMode::Install, patch_);
  EXPECT_THAT(testing::RecordedCalls(),
              ElementsAre("matchpathcon -n /",
                          "semanage fcontext --add --type bin_t " + patch_.Setup().string(),
                          "restorecon -v " + patch_.Setup().string()));
  EXPECT_THAT(
      tracer_->Texts(),
      Contains("MarkFileWithSeLinuxType() <- path=" + patch_.Setup().string() + ", seType=bin_t"));
  EXPECT_EQ("", console_.str());
}

TEST_F(SeLinuxTest, UpgradeBuildsTheModuleAndLabelsWithItsTypes) {
  if (!HasRealTool("checkmodule") || !HasRealTool("semodule_package")) {
    GTEST_SKIP() << "skipped: the sandbox has no real checkmodule or semodule_package";
  }
  // The contexts exist already: "--add" fails and "--modify" replaces them.
  testing::SetStandinAnswer("semanage", "[[ $2 != --add ]]\n");
  selinux_.ConfigureSELinux(InstallMode::UpgradeWithoutRenaming, patch_);

  std::vector<std::string> expected = {"matchpathcon -n /"};
  const auto add = [&expected](std::vector<std::string> calls) {
    expected.insert(expected.end(), calls.begin(), calls.end());
  };
  add(Labelling(patch_.Setup(), "bin_t"));
  add({"checkmodule -M -m tarn.te -o tarn.mod",
       "semodule_package --module tarn.mod --outfile tarn.pp",
       "semodule --install tarn.pp --priority 100", "semodule --enable tarn"});
  add(Labelling(patch_.MainExecutable(), "tarn_exec_t"));
  for (const Path& path :
       {patch_.Control(), patch_.Response(), patch_.InitScriptSource(), patch_.Gui()}) {
    add(Labelling(path, "tarn_control_exec_t"));
  }
  EXPECT_EQ(expected, testing::RecordedCalls());
  EXPECT_EQ(
      "Compiling module 'tarn'\xE2\x80\xA6\n\nInstalling module 'tarn'\xE2\x80\xA6\n\n"
      "Enabling module 'tarn'\xE2\x80\xA6\n\n",
      console_.str());
  EXPECT_GT(fs::file_size(product_.TempDir() / "selinux" / "tarn.pp"), 0u);
  EXPECT_THAT(tracer_->Texts(), Contains("ConfigureSeLinux: SELinux policy installed"));
  EXPECT_THAT(tracer_->TextsAt(kTraceError), Not(Contains(::testing::StartsWith("MarkFile"))));
}

TEST_F(SeLinuxTest, WithoutTheModuleEveryExecutableGetsTheShellsType) {
  const std::string shellType = selinux_.GetSeLinuxDefaultExecutableType();
  const struct {
    const char* hidden;       // a missing tool, or nullptr
    const char* checkmodule;  // an answer for checkmodule, or nullptr
    const char* console;
    const char* why;
  } cases[] = {
      {"checkmodule", nullptr,
       "Warning: SELinux tools not found: checkmodule. The application may not work correctly.",
       "checkmodule missing"},
      {nullptr, "echo 'tarn.te:1:ERROR syntax error' >&2; exit 1\n",
       "Compiling module 'tarn'\xE2\x80\xA6", "checkmodule failing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    tracer_->Clear();
    console_.str("");
    testing::ClearRecordedCalls();
    std::optional<testing::HiddenTool> hidden;
    if (c.hidden != nullptr) {
      hidden.emplace(c.hidden);
    }
    if (c.checkmodule != nullptr) {
      testing::SetStandinAnswer("checkmodule", c.checkmodule);
    }

    selinux_.ConfigureSeLinux(patch_);

    testing::ClearStandinAnswer("checkmodule");
    EXPECT_THAT(tracer_->Texts(), Contains("ConfigureSeLinux: SELinux policy not installed"));
    std::vector<std::string> labelled;
    for (const auto& call : testing::RecordedCalls()) {
      if (call.rfind("semanage fcontext --add", 0) == 0) {
        labelled.push_back(call);
      }
    }
    EXPECT_THAT(
        labelled,
        ElementsAre(
            "semanage fcontext --add --type " + shellType + " " + patch_.MainExecutable().string(),
            "semanage fcontext --add --type " + shellType + " " + patch_.Control().string(),
            "semanage fcontext --add --type " + shellType + " " + patch_.Response().string(),
            "semanage fcontext --add --type " + shellType + " " +
                patch_.InitScriptSource().string(),
            "semanage fcontext --add --type " + shellType + " " + patch_.Gui().string()));
    EXPECT_THAT(testing::RecordedCalls(), Not(Contains(::testing::StartsWith("semodule"))));
    EXPECT_EQ(c.console, Console());
  }
}

TEST_F(SeLinuxTest, WithoutLabellingToolsNothingIsLabelled) {
  const testing::HiddenTool semanage("semanage");
  const testing::HiddenTool restorecon("restorecon");
  selinux_.ConfigureSeLinux(patch_);
  EXPECT_THAT(console_.str(),
              ::testing::StartsWith("\nWarning: SELinux tools not found: semanage, restorecon."));
  for (const auto& call : testing::RecordedCalls()) {
    EXPECT_THAT(call, Not(::testing::StartsWith("semanage"))) << call;
  }
  EXPECT_THAT(tracer_->Texts(), Contains("ConfigureSeLinux: SELinux policy installed"));
  EXPECT_FALSE(selinux_.MarkFileWithSeLinuxType(patch_.Gui(), "bin_t"));
  EXPECT_THAT(tracer_->TextsAt(kTraceError),
              Contains("MarkFileWithSeLinuxType: Cannot mark " + patch_.Gui().string() +
                       " with security type bin_t"));
}

TEST_F(SeLinuxTest, MissingPolicySourceOnlyFailsTheModule) {
  fs::remove(patch_.SelinuxPolicySource());
  EXPECT_FALSE(selinux_.BuildAndInstallSeLinuxModule(patch_));
  EXPECT_THAT(tracer_->TextsAt(kTraceError), Not(IsEmpty()));
  EXPECT_THAT(testing::RecordedCalls(), IsEmpty());
}

TEST_F(SeLinuxTest, FailingRestoreconLeavesTheFileUnmarked) {
  testing::SetStandinAnswer("restorecon", "exit 1\n");
  EXPECT_FALSE(selinux_.MarkFileWithSeLinuxType(patch_.Gui(), "bin_t"));
  EXPECT_THAT(tracer_->TextsAt(kTraceError),
              Contains("MarkFileWithSeLinuxType: Cannot mark " + patch_.Gui().string() +
                       " with security type bin_t"));
  testing::ClearStandinAnswer("restorecon");
  EXPECT_TRUE(selinux_.MarkFileWithSeLinuxType(patch_.Gui(), "bin_t"));
}

}  // namespace
}  // namespace sov::supervisor
