#include "supervisor/common/system/pcid.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
using ::testing::Contains;
using ::testing::Not;

constexpr const char* kGuid = "0123ABCD-4567-89EF-0A1B-2C3D4E5F6789";
constexpr const char* kOtherGuid = "FEDCBA98-7654-4321-8FED-CBA987654321";

// The live ini and the two identifier files of an installation.
class PcidTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testing::InsideSandbox()); }
  void TearDown() override {
    fs::remove_all(product_.CommonDir());
    fs::remove_all(EndpointAgentPcidFile().parent_path());
  }

  void Lay(const std::optional<std::string>& pcid,
           const std::optional<std::string>& agentPcid,
           const std::string& ini) {
    if (pcid) {
      testing::WriteFile(product_.Pcid(), *pcid);
    }
    if (agentPcid) {
      testing::WriteFile(EndpointAgentPcidFile(), *agentPcid);
    }
    testing::WriteFile(product_.Ini(), ini, 0640);
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
  ProductPaths product_{tracer_};
};

TEST_F(PcidTest, SourcesInOrderOfPreference) {
  const std::string iniWithPcid = "[General]\nPCID=" + std::string(kOtherGuid) + "\nFoo=bar\n";
  const std::string iniWithout = "[General]\nFoo=bar\n";
  const struct {
    std::optional<std::string> pcid;
    std::optional<std::string> agentPcid;
    std::string ini;
    std::string source;   // the trace that names where the identifier came from
    std::string written;  // empty: a new random identifier
    std::string iniAfter;
    const char* why;
  } cases[] = {
      {"{0123abcd-4567-89EF-0A1B-2C3D4E5F6789}\n", kOtherGuid, iniWithPcid,
       "InstallPcid: PCID already installed", "{0123abcd-4567-89EF-0A1B-2C3D4E5F6789}\n",
       iniWithPcid, "an identifier is never replaced; the ini stays as it is"},
      {"{0123abcd-4567-89EF-0A1B-2C3D4E5F6789}\n", std::nullopt,
       "[General]\nPCID=0123ABCD-4567-89ef-0a1b-2c3d4e5f6789\nFoo=bar\n",
       "InstallPcid: Removing General.PCID, which holds the installed PCID",
       "{0123abcd-4567-89EF-0A1B-2C3D4E5F6789}\n", iniWithout,
       "the installed identifier left in the ini by a killed install goes from the ini"},
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F678", kGuid, iniWithPcid,
       "InstallPcid: Import PCID from sentrel", kGuid, iniWithout,
       "35 characters are no identifier; the agent's comes next"},
      {std::nullopt, "  " + std::string(kGuid) + "\n", iniWithPcid,
       "InstallPcid: Import PCID from sentrel", kGuid, iniWithout, "the agent wins over the ini"},
      {std::nullopt, "not a guid", "[General]\nPCID=fedcba98-7654-4321-8fed-cba987654321\n",
       "InstallPcid: Import PCID from config", kOtherGuid, "",
       "the ini's identifier in lower case is written in upper case and moved out; the empty "
       "section goes with it"},
      {std::nullopt, std::nullopt, "[General]\nPCID=xyz\nFoo=bar\n",
       "InstallPcid: Generate new PCID", "", iniWithout, "no usable source: a new identifier"},
      {std::nullopt, std::nullopt, "[Other]\nFoo=bar\n", "InstallPcid: Generate new PCID", "",
       "[Other]\nFoo=bar\n", "no General section"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TearDown();
    tracer_->Clear();
    Lay(c.pcid, c.agentPcid, c.ini);
    // As the install hands it over: the live ini as read.
    pt::ptree config;
    utils_.ReadIni(product_.Ini(), config);
    InstallPcid(utils_, product_, config);

    EXPECT_THAT(tracer_->Texts(), Contains(c.source));
    const std::string written = testing::ReadFile(product_.Pcid());
    if (c.written.empty()) {
      ASSERT_EQ(36u, written.size()) << written;
      EXPECT_EQ('4', written[14]) << written;
      EXPECT_NE(std::string::npos, std::string("89AB").find(written[19])) << written;
      EXPECT_EQ(0644, static_cast<int>(fs::status(product_.Pcid()).permissions()));
    } else {
      EXPECT_EQ(c.written, written);
    }
    EXPECT_EQ(c.iniAfter, testing::ReadFile(product_.Ini()));
    EXPECT_EQ(0640, static_cast<int>(fs::status(product_.Ini()).permissions()));
  }
}

TEST_F(PcidTest, EveryBadSourceIsTracedAsAnError) {
  Lay("0123ABCD-4567-89EF-0A1B-2C3D4E5F678", std::nullopt, "[General]\nPCID=xyz\n");
  pt::ptree config;
  InstallPcid(utils_, product_, config);
  EXPECT_EQ((std::vector<std::string>{
                "GetPcidFromFile: Bad PCID format: 0123ABCD-4567-89EF-0A1B-2C3D4E5F678",
                "GetPcidFromFile: File with PCID not found: /var/opt/brevantis/sentrel/install_id",
                "GetPcidFromConfig: Bad PCID format from the config: xyz"}),
            tracer_->TextsAt(kTraceError));
  EXPECT_THAT(tracer_->Texts(), Contains("InstallPcid: Generate new PCID"));
  EXPECT_FALSE(config.get_child_optional("General.PCID"));
}

TEST_F(PcidTest, SourceThatIsNoRegularFileIsSkipped) {
  fs::create_directories(EndpointAgentPcidFile());
  Lay(std::nullopt, std::nullopt, "[General]\nPCID=" + std::string(kGuid) + "\n");
  pt::ptree config;
  InstallPcid(utils_, product_, config);
  EXPECT_THAT(tracer_->TextsAt(kTraceError),
              Contains("GetPcidFromFile: Cannot read PCID file /var/opt/brevantis/sentrel/"
                       "install_id: Is a directory"));
  EXPECT_EQ(kGuid, testing::ReadFile(product_.Pcid()));
}

TEST_F(PcidTest, MissingIniEndsTheStepBeforeAnythingIsWritten) {
  pt::ptree config;
  EXPECT_THROW(InstallPcid(utils_, product_, config), std::exception);
  EXPECT_FALSE(fs::exists(product_.Pcid()));
  EXPECT_THAT(tracer_->Texts(), Not(Contains("InstallPcid: Generate new PCID")));
}

}  // namespace
}  // namespace sov::supervisor
