#include "supervisor/common/upgrade/agreements.h"

#include "supervisor/common/files/utils.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace sov::supervisor {
namespace {

namespace pt = boost::property_tree;
using Ids = std::set<std::string>;
using testing::ReadFile;
using testing::WriteFile;

class AgreementsTest : public ::testing::Test {
 protected:
  Agreements Read(const std::string& text) {
    WriteFile(file_, text);
    pt::ptree tree;
    utils_.ReadIni(file_, tree);
    return Agreements::FromTree(tree);
  }
  std::string Written(const Agreements& agreements) {
    utils_.WriteIni(file_, agreements.ToTree());
    return ReadFile(file_);
  }

  Utils utils_{nullptr};
  testing::TempDir dir_;
  const Path file_ = dir_ / "agreements.ini";
};

TEST_F(AgreementsTest, ReadsCommaSeparatedIdentifiersOfEachKind) {
  const auto agreements = Read(
      "[AcceptedAgreement]\n"
      "EulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163, e2 ,,e3\n"
      "ZtnaId=z1\n"
      "PatchId=\n"
      "GroupCheck=done\n");
  EXPECT_EQ((Ids{Agreements::kEulaId, "e2", "e3"}), agreements.eulaIds);
  EXPECT_EQ(Ids{"z1"}, agreements.ztnaIds);
  EXPECT_EQ(Ids{}, agreements.patchIds);
  EXPECT_EQ("done", agreements.groupCheck.value());
  // Each EulaId entry accepts; identifiers of the other kinds never do.
  EXPECT_TRUE(agreements.IsEulaAccepted(Agreements::kEulaId));
  EXPECT_TRUE(agreements.IsEulaAccepted("e2"));
  EXPECT_FALSE(agreements.IsEulaAccepted("z1"));
  EXPECT_FALSE(agreements.IsEulaAccepted("e"));
  EXPECT_FALSE(agreements.changed);

  const auto none = Read("");
  EXPECT_TRUE(none.eulaIds.empty() && none.ztnaIds.empty() && none.patchIds.empty());
  EXPECT_FALSE(none.groupCheck);
}

TEST_F(AgreementsTest, AcceptAndRevokeSetTheChangedFlagOnlyForAChange) {
  auto agreements = Read("[AcceptedAgreement]\nEulaId=e1\nPatchId=p1,shared\nZtnaId=shared\n");
  const struct {
    const char* step;
    std::function<void()> act;
    bool changed;
  } steps[] = {
      {"accept a known id", [&] { agreements.Accept(Agreements::Kind::Eula, "e1"); }, false},
      {"revoke an unknown id", [&] { agreements.Revoke("nobody"); }, false},
      {"accept a new id", [&] { agreements.Accept(Agreements::Kind::Ztna, "z2"); }, true},
      {"revoke an id of two kinds", [&] { agreements.Revoke("shared"); }, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    agreements.changed = false;
    step.act();
    EXPECT_EQ(step.changed, agreements.changed);
  }
  EXPECT_EQ(Ids{"e1"}, agreements.eulaIds);
  EXPECT_EQ(Ids{"z2"}, agreements.ztnaIds);
  EXPECT_EQ(Ids{"p1"}, agreements.patchIds);
}

TEST_F(AgreementsTest, RewriteKeepsWhatThisVersionDoesNotKnow) {
  auto agreements = Read(
      "; comments are not kept\n"
      "Format=2\n"
      "[AcceptedAgreement]\n"
      "EulaId=e1\n"
      "CloudId=c1\n"
      "GroupCheck=done\n"
      "[Vendor]\n"
      "Note=kept\n");
  agreements.Accept(Agreements::Kind::Eula, "e0");
  agreements.Accept(Agreements::Kind::Patch, "p1");
  EXPECT_EQ(
      "Format=2\n"
      "[AcceptedAgreement]\n"
      "EulaId=e0,e1\n"
      "CloudId=c1\n"
      "GroupCheck=done\n"
      "PatchId=p1\n"
      "[Vendor]\n"
      "Note=kept\n",
      Written(agreements));

  // Revoked kinds lose their keys; a section left empty goes.
  agreements = Read("[AcceptedAgreement]\nEulaId=e1\n[Vendor]\nNote=kept\n");
  agreements.Revoke("e1");
  EXPECT_EQ("[Vendor]\nNote=kept\n", Written(agreements));
}

}  // namespace
}  // namespace sov::supervisor
