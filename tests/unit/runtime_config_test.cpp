#include "sov_common/runtime_config.h"

#include "sov_common/utf8.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sov::tools {
namespace {

using testing::MakeRecordingTracer;
using testing::TempDir;
using testing::WriteFile;
using Kind = MemoryLimit::Kind;

TEST(RuntimeConfigValueTest, Flags) {
  const struct {
    const char* text;
    std::optional<bool> expected;
    const char* why;
  } cases[] = {
      {"yes", true, "word"},
      {"Yes", true, "case does not matter"},
      {"TRUE", true, "case does not matter"},
      {"tRuE", true, "mixed case"},
      {"1", true, "digit"},
      {"no", false, "word"},
      {"NO", false, "case does not matter"},
      {"False", false, "case does not matter"},
      {"0", false, "digit"},
      {"", std::nullopt, "empty keeps the default"},
      {"on", std::nullopt, "not one of the words"},
      {"off", std::nullopt, "not one of the words"},
      {"01", std::nullopt, "digits only as the exact texts"},
      {"2", std::nullopt, "other digits"},
      {"-1", std::nullopt, "no numeric truth"},
      {"y", std::nullopt, "no abbreviations"},
      {"yess", std::nullopt, "whole text"},
      {" yes", std::nullopt, "no blanks (the ini reader trims them already)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\": " + c.why);
    EXPECT_EQ(c.expected, ParseFlag(c.text));
  }
}

TEST(RuntimeConfigValueTest, UnsignedNumbers) {
  const struct {
    const char* text;
    std::optional<std::uint64_t> expected;
    const char* why;
  } cases[] = {
      {"0", 0, "zero"},
      {"42", 42, "plain"},
      {"007", 7, "leading zeros are decimal, not octal"},
      {"18446744073709551615", UINT64_MAX, "largest value"},
      {" 5", 5, "leading blank skipped like a stream"},
      {"5 \t", 5, "trailing blanks skipped like a stream"},
      {"+5", 5, "a plus sign, as a stream takes it"},
      {" +7 ", 7, "a plus sign inside blanks"},
      {"-0", 0, "negative zero is zero, as a stream takes it"},
      {"-00", 0, "negative zero with a leading zero"},
      {"-1", std::nullopt, "a stream would wrap it to 2^64-1"},
      {"-18446744073709551615", std::nullopt, "a stream would wrap it to 1"},
      {"+", std::nullopt, "sign only"},
      {"-", std::nullopt, "sign only"},
      {"+-5", std::nullopt, "two signs"},
      {"++5", std::nullopt, "two signs"},
      {"+ 5", std::nullopt, "blank after the sign"},
      {"18446744073709551616", std::nullopt, "overflow, not wrapped"},
      {"99999999999999999999999", std::nullopt, "overflow"},
      {"", std::nullopt, "empty"},
      {"  ", std::nullopt, "blanks only"},
      {"5 0", std::nullopt, "blank inside"},
      {"12abc", std::nullopt, "whole text must convert"},
      {"0x10", std::nullopt, "decimal only"},
      {"1e3", std::nullopt, "no exponent"},
      {"3.5", std::nullopt, "no fraction"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\": " + c.why);
    EXPECT_EQ(c.expected, ParseUnsigned(c.text));
  }
}

TEST(RuntimeConfigValueTest, SignedNumbers) {
  const struct {
    const char* text;
    std::optional<std::int64_t> expected;
    const char* why;
  } cases[] = {
      {"0", 0, "zero"},
      {"-1", -1, "negative"},
      {"+5", 5, "a plus sign, as a stream takes it"},
      {"-0", 0, "negative zero"},
      {" -12 ", -12, "blanks around skipped"},
      {"9223372036854775807", INT64_MAX, "largest value"},
      {"-9223372036854775808", INT64_MIN, "smallest value"},
      {"9223372036854775808", std::nullopt, "overflow, not wrapped"},
      {"-9223372036854775809", std::nullopt, "underflow"},
      {"", std::nullopt, "empty"},
      {"-", std::nullopt, "sign only"},
      {"+", std::nullopt, "sign only"},
      {"+-5", std::nullopt, "two signs"},
      {"--5", std::nullopt, "two signs"},
      {"- 5", std::nullopt, "blank after the sign"},
      {"12abc", std::nullopt, "whole text must convert"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\": " + c.why);
    EXPECT_EQ(c.expected, ParseSigned(c.text));
  }
}

TEST(RuntimeConfigValueTest, MemoryLimits) {
  const struct {
    const char* text;
    std::optional<MemoryLimit> expected;
    const char* why;
  } cases[] = {
      {"off", MemoryLimit{Kind::kOff, 0, 0}, "no limit"},
      {"auto", MemoryLimit{Kind::kAuto, 0, 0}, "runtime decides"},
      {"50%", MemoryLimit{Kind::kPercent, 50, 0}, "percentage"},
      {"5%", MemoryLimit{Kind::kPercent, 5, 0}, "one digit"},
      {"999%", MemoryLimit{Kind::kPercent, 999, 0}, "three digits at most"},
      {"2048MB", MemoryLimit{Kind::kMegabytes, 0, 2048}, "size"},
      {"18446744073709551615MB", MemoryLimit{Kind::kMegabytes, 0, UINT64_MAX}, "largest size"},
      {"highest/50%/2048MB", MemoryLimit{Kind::kHighest, 50, 2048}, "combined rule"},
      {"lowest/5%/100MB", MemoryLimit{Kind::kLowest, 5, 100}, "combined rule"},
      {"1000%", std::nullopt, "four digits"},
      {"%", std::nullopt, "no digits"},
      {"50 %", std::nullopt, "blank before the unit"},
      {" 50%", std::nullopt, "whole text must match"},
      {"highest/2048MB/50%", std::nullopt, "percentage comes first"},
      {"highest/50%", std::nullopt, "combined rule needs both"},
      {"medium/50%/2048MB", std::nullopt, "only lowest or highest"},
      {"99999999999999999999999MB", std::nullopt, "size overflow is not wrapped"},
      {"lowest/5%/99999999999999999999999MB", std::nullopt, "size overflow in a rule"},
      {"2048mb", std::nullopt, "unit is case-sensitive"},
      {"2048", std::nullopt, "unit is required"},
      {"OFF", std::nullopt, "words are case-sensitive"},
      {"-1MB", std::nullopt, "no sign"},
      {"", std::nullopt, "empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\": " + c.why);
    EXPECT_EQ(c.expected, ParseMemoryLimit(c.text));
  }
}

TEST(RuntimeConfigValueTest, MemoryLimitsPrintInTheirIniForm) {
  for (const char* text : {"off", "auto", "50%", "2048MB", "highest/50%/2048MB", "lowest/5%/1MB"}) {
    SCOPED_TRACE(text);
    const auto limit = ParseMemoryLimit(text);
    ASSERT_TRUE(limit);
    std::ostringstream out;
    out << *limit;
    EXPECT_EQ(text, out.str());
  }
}

// Every field of the record, one "name=value" line each, so that a whole record is
// compared at once and a difference names the field.
std::string Dump(const RuntimeConfig& c) {
  std::ostringstream out;
  const auto& g = c.general;
  out << "execArgMax=" << g.execArgMax << "\nexecEnvMax=" << g.execEnvMax
      << "\npackageType=" << g.packageType << "\nuseFanotify=" << g.useFanotify
      << "\ndisableQvTargeting=" << g.disableQvTargeting << "\nulkmTestStage=" << g.ulkmTestStage
      << "\nlocale=" << g.locale << "\nmachineId=" << g.machineId
      << "\nscanMemoryLimit=" << g.scanMemoryLimit << "\nstartupTraces=" << g.startupTraces
      << "\nasyncTraces=" << g.asyncTraces << "\nfastShutdown=" << g.fastShutdown
      << "\nrevealSensitiveInfoInTraces=" << g.revealSensitiveInfoInTraces
      << "\nprotectionMode=" << g.protectionMode
      << "\ndisableFileAvActions=" << g.disableFileAvActions
      << "\ngetContainerName=" << g.getContainerName
      << "\nadditionalDnsLookup=" << g.additionalDnsLookup << "\nlumoMode=" << g.lumoMode
      << "\nendpointAgentMode=" << g.endpointAgentMode << "\norvMode=" << g.orvMode
      << "\nmaxInotifyWatches=" << g.maxInotifyWatches
      << "\nmaxInotifyInstances=" << g.maxInotifyInstances << "\ncoreDumps=" << g.coreDumps
      << "\ncoreDumpsPath=" << g.coreDumpsPath << "\nminFreeDiskSpace=" << g.minFreeDiskSpace
      << "\npanicThreshold=" << g.panicThreshold << "\nsafeMode=" << g.safeMode;
  const auto& w = c.watchdog;
  out << "\npingInterval=" << w.pingInterval
      << "\ndumpSuspendPeriod=" << w.dumpSuspendPeriod.count()
      << "\nproductHealthLogFile=" << w.productHealthLogFile << "\nmaxMemory=" << w.maxMemory
      << "\nmaxRestartCount=" << w.maxRestartCount << "\nstartupTimeout=" << w.startupTimeout
      << "\ntrackProductCrashes=" << w.trackProductCrashes;
  const auto& n = c.network;
  out << "\nwtpFwMark=" << n.wtpFwMark << "\nntpFwMark=" << n.ntpFwMark
      << "\nbypassFwMark=" << n.bypassFwMark << "\nbypassNflogMark=" << n.bypassNflogMark
      << "\nproxyRouteTable=" << n.proxyRouteTable;
  out << "\nserverMode=" << c.virtualization.serverMode << "\nvdiMode=" << c.virtualization.vdiMode;
  const auto& s = c.scannerImpactStats;
  out << "\nstatCollectionPeriod=" << s.statCollectionPeriod
      << "\nstatCollectionCount=" << s.statCollectionCount
      << "\nreportStatAmount=" << s.reportStatAmount
      << "\ncollectFileScanStatistics=" << s.collectFileScanStatistics;
  out << "\nenvironment=";
  for (const auto& [name, value] : c.environment) {
    out << '[' << name << '=' << value << ']';
  }
  out << "\npcid=" << c.pcid << "\neulaAccepted=" << c.eulaAccepted << "\nztnaId=" << c.ztnaId
      << '\n';
  return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The three input files in a temporary directory: an empty identity and agreements file
// to begin with; each test writes the ini and replaces or removes the others.
class RuntimeConfigFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(pcid_, "");
    WriteFile(agreements_, "");
  }

  ivo::ResultCode Read() {
    return ReadRuntimeConfig(ini_, pcid_, agreements_, config_, tracer_.get());
  }

  TempDir dir_;
  const testing::Path ini_ = dir_ / "tarn.ini";
  const testing::Path pcid_ = dir_ / "pcid";
  const testing::Path agreements_ = dir_ / "agreements.ini";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = MakeRecordingTracer();
  RuntimeConfig config_;
};

TEST_F(RuntimeConfigFilesTest, IniWithoutKeysKeepsEveryDefault) {
  for (const char* content : {"", "\n\n", "; only a comment\n# and another\n", "[General]\n"}) {
    SCOPED_TRACE(content);
    WriteFile(ini_, content);
    // The record is replaced as a whole, so nothing set before the read survives.
    config_.general.execArgMax = 7;
    config_.environment = {{"STALE", "1"}};
    ASSERT_EQ(ivo::result::kOk, Read());
    EXPECT_EQ(Dump(RuntimeConfig{}), Dump(config_));
  }
}

TEST_F(RuntimeConfigFilesTest, DefaultsAreTheDocumentedOnes) {
  WriteFile(ini_, "");
  ASSERT_EQ(ivo::result::kOk, Read());
  EXPECT_EQ(
      "execArgMax=256\nexecEnvMax=256\npackageType=\nuseFanotify=0\ndisableQvTargeting=0\n"
      "ulkmTestStage=0\nlocale=\nmachineId=\nscanMemoryLimit=auto\nstartupTraces=0\n"
      "asyncTraces=0\nfastShutdown=0\nrevealSensitiveInfoInTraces=0\nprotectionMode=yes\n"
      "disableFileAvActions=0\ngetContainerName=0\nadditionalDnsLookup=0\nlumoMode=0\n"
      "endpointAgentMode=0\norvMode=0\nmaxInotifyWatches=0\nmaxInotifyInstances=0\n"
      "coreDumps=0\ncoreDumpsPath=/var/opt/brevantis/tarn/common/dumps/\n"
      "minFreeDiskSpace=1024\npanicThreshold=0\nsafeMode=0\npingInterval=30\n"
      "dumpSuspendPeriod=3600\n"
      "productHealthLogFile=/var/opt/brevantis/tarn/private/tarn_health.log\n"
      "maxMemory=auto\nmaxRestartCount=5\nstartupTimeout=3m\ntrackProductCrashes=1\n"
      "wtpFwMark=0\nntpFwMark=0\nbypassFwMark=0\nbypassNflogMark=0\nproxyRouteTable=0\n"
      "serverMode=0\nvdiMode=0\nstatCollectionPeriod=60\nstatCollectionCount=10\n"
      "reportStatAmount=10\ncollectFileScanStatistics=0\nenvironment=\npcid=\n"
      "eulaAccepted=0\nztnaId=\n",
      Dump(config_));
  EXPECT_TRUE(config_.general.ProtectionEnabled());
}

// Every key with a value other than its default, in the forms an administrator writes.
constexpr const char kFullIni[] = R"([General]
ExecArgMax=1024
ExecEnvMax=512
PackageType=rpm
UseFanotify=Yes
DisableQvTargeting=TRUE
UlkmTestStage=3
Locale=de_DE.UTF-8
MachineId=machine-17
ScanMemoryLimit=highest/50%/2048MB
StartupTraces=1
AsyncTraces=true
FastShutdown=yes
RevealSensitiveInfoInTraces=True
ProtectionMode=no
DisableFileAvActions=1
GetContainerName=yes
AdditionalDNSLookup=yes
LumoMode=yes
EndpointAgentMode=yes
OrvMode=yes
MaxInotifyWatches=524288
MaxInotifyInstances=-1
CoreDumps=yes
CoreDumpsPath=/srv/dumps/
MinFreeDiskSpace=+2048
PanicThreshold=4
SafeMode=yes

[Watchdog]
PingInterval=15
DumpSuspendPeriod=600
ProductHealthLogFile=/srv/health.log
MaxMemory=1024MB
MaxRestartCount=9
StartupTimeout=5m
TrackProductCrashes=no

[Network]
WtpFwMark=4294967295
NtpFwMark=257
BypassFwMark=258
BypassNflogMark=259
ProxyRouteTable=100

[Virtualization]
ServerMode=yes
VdiMode=1

[ScannerImpactStats]
StatCollectionPeriod=120
StatCollectionCount=30
ReportStatAmount=5
CollectFileScanStatistics=yes

[Environment]
LD_PRELOAD=/opt/lib/preload.so
)";

TEST_F(RuntimeConfigFilesTest, FullIniSetsEveryField) {
  // Begun with a byte-order mark, as editors of other systems write it: the first section
  // is read all the same.
  WriteFile(ini_, std::string(kByteOrderMark) + kFullIni);
  WriteFile(pcid_, "6f1c2d3e-0000-4000-8000-123456789abc\n");
  WriteFile(agreements_,
            "[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163\n"
            "ZtnaId=ztna-2\n");
  ASSERT_EQ(ivo::result::kOk, Read());
  const std::string expected =
      "execArgMax=1024\nexecEnvMax=512\npackageType=rpm\nuseFanotify=1\n"
      "disableQvTargeting=1\nulkmTestStage=3\nlocale=de_DE.UTF-8\nmachineId=machine-17\n"
      "scanMemoryLimit=highest/50%/2048MB\nstartupTraces=1\nasyncTraces=1\nfastShutdown=1\n"
      "revealSensitiveInfoInTraces=1\nprotectionMode=no\ndisableFileAvActions=1\n"
      "getContainerName=1\nadditionalDnsLookup=1\nlumoMode=1\nendpointAgentMode=1\n"
      "orvMode=1\nmaxInotifyWatches=524288\nmaxInotifyInstances=-1\ncoreDumps=1\n"
      "coreDumpsPath=/srv/dumps/\nminFreeDiskSpace=2048\npanicThreshold=4\nsafeMode=1\n"
      "pingInterval=15\ndumpSuspendPeriod=600\nproductHealthLogFile=/srv/health.log\n"
      "maxMemory=1024MB\nmaxRestartCount=9\nstartupTimeout=5m\ntrackProductCrashes=0\n"
      "wtpFwMark=4294967295\nntpFwMark=257\nbypassFwMark=258\nbypassNflogMark=259\n"
      "proxyRouteTable=100\nserverMode=1\nvdiMode=1\nstatCollectionPeriod=120\n"
      "statCollectionCount=30\nreportStatAmount=5\ncollectFileScanStatistics=1\n"
      "environment=[LD_PRELOAD=/opt/lib/preload.so]\n"
      "pcid=6f1c2d3e-0000-4000-8000-123456789abc\neulaAccepted=1\nztnaId=ztna-2\n";
  EXPECT_EQ(expected, Dump(config_));
  EXPECT_FALSE(config_.general.ProtectionEnabled());
  EXPECT_TRUE(tracer_->Texts().empty()) << ::testing::PrintToString(tracer_->Texts());

  // A key the reader misspells would keep its default and still pass above if the fixture
  // happened to hold the default; every field of the fixture differs from it.
  const auto defaults = Lines(Dump(RuntimeConfig{}));
  const auto full = Lines(expected);
  ASSERT_EQ(defaults.size(), full.size());
  for (size_t i = 0; i < full.size(); ++i) {
    EXPECT_NE(defaults[i], full[i]);
  }
}

TEST_F(RuntimeConfigFilesTest, ValueThatDoesNotConvertKeepsTheDefaultAndIsTraced) {
  const struct {
    const char* section;
    const char* line;
    const char* why;
  } cases[] = {
      {"General", "ExecArgMax=-1", "a stream would wrap it to 2^64-1"},
      {"General", "ExecEnvMax=18446744073709551616", "overflow"},
      {"General", "UseFanotify=on", "not a flag word"},
      {"General", "StartupTraces=", "empty flag"},
      {"General", "ScanMemoryLimit=50 %", "blank in a memory limit"},
      {"General", "ScanMemoryLimit=highest/2048MB/50%", "rule parts swapped"},
      {"General", "MaxInotifyWatches=many", "not a number"},
      {"Watchdog", "DumpSuspendPeriod=1h", "seconds as a plain number only"},
      {"Watchdog", "PingInterval=9223372036854775808", "signed overflow"},
      {"Network", "WtpFwMark=4294967296", "a firewall mark has 32 bits"},
      {"Network", "BypassFwMark=-1", "a negative mark would become 0xffffffff"},
      {"Network", "ProxyRouteTable=-5", "a negative unsigned number"},
      {"ScannerImpactStats", "StatCollectionCount=1.5", "no fraction"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + ": " + c.why);
    WriteFile(ini_, std::string("[") + c.section + "]\n" + c.line + "\n");
    tracer_->Clear();
    ASSERT_EQ(ivo::result::kOk, Read());
    EXPECT_EQ(Dump(RuntimeConfig{}), Dump(config_));
    const std::string line = c.line;
    const std::string key = line.substr(0, line.find('='));
    const auto warnings = tracer_->TextsAt(ivo::ITracer::kWarning);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(0u, warnings.front().find(std::string("Ignoring ") + c.section + "." + key + "="))
        << warnings.front();
  }
}

TEST_F(RuntimeConfigFilesTest, WarningNamesKeyTextAndExpectedKind) {
  WriteFile(ini_, "[General]\nExecArgMax=-1\nUseFanotify=on\nScanMemoryLimit=50 %\n");
  ASSERT_EQ(ivo::result::kOk, Read());
  const std::vector<std::string> expected = {
      "Ignoring General.ExecArgMax=\"-1\": not an unsigned number in range; the default stays",
      "Ignoring General.UseFanotify=\"on\": not a flag; the default stays",
      "Ignoring General.ScanMemoryLimit=\"50 %\": not a memory limit; the default stays",
  };
  EXPECT_EQ(expected, tracer_->TextsAt(ivo::ITracer::kWarning));
}

TEST_F(RuntimeConfigFilesTest, BadValueLeavesTheOtherKeysAlone) {
  WriteFile(ini_, "[General]\nExecArgMax=-1\nExecEnvMax=64\n");
  ASSERT_EQ(ivo::result::kOk, Read());
  EXPECT_EQ(256u, config_.general.execArgMax);
  EXPECT_EQ(64u, config_.general.execEnvMax);
}

TEST_F(RuntimeConfigFilesTest, EnvironmentKeepsFileOrderAndValuesAsWritten) {
  WriteFile(ini_,
            "[Environment]\nZ_LAST_NAME=z\nLD_PRELOAD=/a.so:/b.so\nEMPTY=\nWITH_EQUALS=a=b\n"
            "A_FIRST_NAME = spaced value \n[General]\nLocale=C\n");
  ASSERT_EQ(ivo::result::kOk, Read());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Z_LAST_NAME", "z"},   {"LD_PRELOAD", "/a.so:/b.so"},    {"EMPTY", ""},
      {"WITH_EQUALS", "a=b"}, {"A_FIRST_NAME", "spaced value"},
  };
  EXPECT_EQ(expected, config_.environment);
  EXPECT_EQ("C", config_.general.locale);
}

TEST_F(RuntimeConfigFilesTest, IdentityIsTrimmed) {
  WriteFile(ini_, "");
  const struct {
    const char* content;
    const char* expected;
  } cases[] = {
      {"abc-123", "abc-123"},
      {"abc-123\n", "abc-123"},
      {" \t abc-123 \r\n\n", "abc-123"},
      {"abc 123\n", "abc 123"},  // only the ends are trimmed
      {"\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    WriteFile(pcid_, c.content);
    ASSERT_EQ(ivo::result::kOk, Read());
    EXPECT_EQ(c.expected, config_.pcid);
  }
}

TEST_F(RuntimeConfigFilesTest, MissingIdentityFileLeavesItEmpty) {
  WriteFile(ini_, "");
  boost::filesystem::remove(pcid_);
  config_.pcid = "stale";
  ASSERT_EQ(ivo::result::kOk, Read());
  EXPECT_EQ("", config_.pcid);
  EXPECT_EQ(
      std::vector<std::string>{"No identity file " + pcid_.string() + ": the identity stays empty"},
      tracer_->TextsAt(ivo::ITracer::kWarning));
}

TEST_F(RuntimeConfigFilesTest, AgreementAcceptedOnlyForTheBuiltInId) {
  WriteFile(ini_, "");
  const struct {
    const char* content;  // nullptr: no agreements file
    bool accepted;
    const char* ztnaId;
    const char* why;
  } cases[] = {
      {"[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163\nZtnaId=z-1\n", true,
       "z-1", "built-in id"},
      {"[AcceptedAgreement]\nEulaId = be35c8ec-ac67-c4c8-ec3d-a18609760163 \n", true, "",
       "the ini reader trims blanks around values"},
      {"[AcceptedAgreement]\nEulaId=11111111-ac67-c4c8-ec3d-a18609760163, "
       "be35c8ec-ac67-c4c8-ec3d-a18609760163\n",
       true, "", "one of the ids the install command accepted over time"},
      {"[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163,\n", true, "",
       "a trailing comma"},
      {"[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163x\n", false, "",
       "an id that only begins like the built-in one"},
      {"[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163;00000000\n", false, "",
       "only commas separate ids"},
      {"[AcceptedAgreement]\nEulaId=BE35C8EC-AC67-C4C8-EC3D-A18609760163\n", false, "",
       "exact comparison"},
      {"[AcceptedAgreement]\nEulaId=00000000-ac67-c4c8-ec3d-a18609760163\nZtnaId=z-2\n", false,
       "z-2", "another version's agreement; the network statement is still kept"},
      {"[AcceptedAgreement]\nEulaId=\n", false, "", "empty"},
      {"[Other]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163\n", false, "", "wrong section"},
      {"\xEF\xBB\xBF[AcceptedAgreement]\nEulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163\n", true, "",
       "a byte-order mark, as editors of other systems write it"},
      {"", false, "", "empty file"},
      {nullptr, false, "", "missing file: nothing accepted, not a failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    boost::filesystem::remove(agreements_);
    if (c.content != nullptr) {
      WriteFile(agreements_, c.content);
    }
    config_.eulaAccepted = !c.accepted;
    ASSERT_EQ(ivo::result::kOk, Read());
    EXPECT_EQ(c.accepted, config_.eulaAccepted);
    EXPECT_EQ(c.ztnaId, config_.ztnaId);
  }
}

TEST_F(RuntimeConfigFilesTest, UnreadableOrMalformedFilesFailAndLeaveTheRecordAlone) {
  const auto directory = [](const testing::Path& path) {
    boost::filesystem::create_directories(path);
  };
  const auto text = [](const char* content) {
    return [content](const testing::Path& path) { WriteFile(path, content); };
  };
  const auto nothing = [](const testing::Path&) {};
  const struct {
    std::function<void(const testing::Path&)> makeIni, makePcid, makeAgreements;
    ivo::ResultCode expected;
    std::string trace;  // "%s" stands for the temporary directory
    const char* why;
  } cases[] = {
      {nothing, nothing, nothing, ivo::result::kNotFound,
       "Cannot read %s/tarn.ini: No such file or directory", "the ini is required"},
      {directory, nothing, nothing, ivo::result::kSystemError,
       "Cannot read %s/tarn.ini: Is a directory", "a directory reads as nothing"},
      {text("[General]\nno equals sign\n"), nothing, nothing, ivo::result::kBadFormat,
       "Cannot parse %s/tarn.ini line 2: '=' character not found in line", "syntax error"},
      {text("[General]\nA=1\nA=2\n"), nothing, nothing, ivo::result::kBadFormat,
       "Cannot parse %s/tarn.ini line 3: duplicate key name", "ambiguous key"},
      {text(""), directory, nothing, ivo::result::kSystemError,
       "Cannot read %s/pcid: Is a directory", "an identity that cannot be read"},
      {text(""), nothing, directory, ivo::result::kSystemError,
       "Cannot read %s/agreements.ini: Is a directory", "agreements that cannot be read"},
      {text(""), nothing, text("[AcceptedAgreement\nEulaId=x\n"), ivo::result::kBadFormat,
       "Cannot parse %s/agreements.ini line 1: unmatched '['", "agreements syntax error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TempDir dir;
    c.makeIni(dir / "tarn.ini");
    c.makePcid(dir / "pcid");
    c.makeAgreements(dir / "agreements.ini");
    RuntimeConfig config;
    config.general.execArgMax = 7;
    auto tracer = MakeRecordingTracer();
    EXPECT_EQ(c.expected, ReadRuntimeConfig(dir / "tarn.ini", dir / "pcid", dir / "agreements.ini",
                                            config, tracer.get()));
    EXPECT_EQ(7u, config.general.execArgMax);
    std::string trace = c.trace;
    trace.replace(trace.find("%s"), 2, dir.path().string());
    EXPECT_EQ(std::vector<std::string>{trace}, tracer->TextsAt(ivo::ITracer::kError));
  }
}

TEST(RuntimeConfigTreeTest, ReadsAnIniAlreadyInMemory) {
  boost::property_tree::ptree tree;
  tree.put("General.ScanMemoryLimit", "lowest/5%/100MB");
  tree.put("Network.NtpFwMark", "12");
  const auto config = ReadRuntimeConfigFromTree(tree);
  EXPECT_EQ((MemoryLimit{Kind::kLowest, 5, 100}), config.general.scanMemoryLimit);
  EXPECT_EQ(12u, config.network.ntpFwMark);
}

}  // namespace
}  // namespace sov::tools
