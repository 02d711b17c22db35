// The runtime configuration record: the settings that the product's runtime expects,
// built from the live ini, the identity file (PCID) and the agreements file. The launcher
// only feeds these values on; what each one means belongs to the runtime.
#pragma once

#include "ivo/result.h"
#include "ivo/tracer.h"

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sov::tools {

// The identifier of the end-user agreement that this version requires.
inline constexpr const char* kBuiltInEulaId = "be35c8ec-ac67-c4c8-ec3d-a18609760163";

// "General.ScanMemoryLimit": how much memory the scanner may use.
struct MemoryLimit {
  enum class Kind {
    kOff,        // "off": no limit
    kAuto,       // "auto": the runtime decides
    kPercent,    // "<percent>%" of physical memory
    kMegabytes,  // "<megabytes>MB"
    kLowest,     // "lowest/<percent>%/<megabytes>MB": the lower of the two
    kHighest,    // "highest/<percent>%/<megabytes>MB": the higher of the two
  };
  Kind kind = Kind::kAuto;
  std::uint32_t percent = 0;    // kPercent, kLowest, kHighest; 0 to 999
  std::uint64_t megabytes = 0;  // kMegabytes, kLowest, kHighest
};

bool operator==(const MemoryLimit& left, const MemoryLimit& right);
inline bool operator!=(const MemoryLimit& left, const MemoryLimit& right) {
  return !(left == right);
}
// Writes the limit in its ini form ("off", "50%", "highest/50%/2048MB" ...).
std::ostream& operator<<(std::ostream& out, const MemoryLimit& limit);

// The record. Every field holds its built-in default (written beside it) until the reader
// finds a key that converts; the ini key is named in each comment.
struct RuntimeConfig {
  struct General {
    std::uint64_t execArgMax = 256;            // ExecArgMax
    std::uint64_t execEnvMax = 256;            // ExecEnvMax
    std::string packageType;                   // PackageType; empty: not recorded
    bool useFanotify = false;                  // UseFanotify; as the launcher reads it when absent
    bool disableQvTargeting = false;           // DisableQvTargeting
    std::uint64_t ulkmTestStage = 0;           // UlkmTestStage; 0: no test stage
    std::string locale;                        // Locale; empty: the runtime's own choice
    std::string machineId;                     // MachineId
    MemoryLimit scanMemoryLimit;               // ScanMemoryLimit; "auto"
    bool startupTraces = false;                // StartupTraces
    bool asyncTraces = false;                  // AsyncTraces
    bool fastShutdown = false;                 // FastShutdown
    bool revealSensitiveInfoInTraces = false;  // RevealSensitiveInfoInTraces
    // ProtectionMode, kept as text; only the exact text "yes" turns protection on. The
    // default keeps protection on when the ini does not say otherwise.
    std::string protectionMode = "yes";
    bool disableFileAvActions = false;     // DisableFileAvActions
    bool getContainerName = false;         // GetContainerName
    bool additionalDnsLookup = false;      // AdditionalDNSLookup
    bool lumoMode = false;                 // LumoMode
    bool endpointAgentMode = false;        // EndpointAgentMode
    bool orvMode = false;                  // OrvMode
    std::int64_t maxInotifyWatches = 0;    // MaxInotifyWatches; 0: the system's setting
    std::int64_t maxInotifyInstances = 0;  // MaxInotifyInstances; 0: the system's setting
    bool coreDumps = false;                // CoreDumps
    // CoreDumpsPath; the same default as the dump housekeeping uses.
    std::string coreDumpsPath = "/var/opt/brevantis/tarn/common/dumps/";
    std::int64_t minFreeDiskSpace = 1024;  // MinFreeDiskSpace
    std::int64_t panicThreshold = 0;       // PanicThreshold
    bool safeMode = false;                 // SafeMode

    bool ProtectionEnabled() const { return protectionMode == "yes"; }
  };

  struct Watchdog {
    std::int64_t pingInterval = 30;                // PingInterval
    std::chrono::seconds dumpSuspendPeriod{3600};  // DumpSuspendPeriod, in seconds
    // ProductHealthLogFile; the same default as the start command uses.
    std::string productHealthLogFile = "/var/opt/brevantis/tarn/private/tarn_health.log";
    std::string maxMemory = "auto";     // MaxMemory
    std::int64_t maxRestartCount = 5;   // MaxRestartCount
    std::string startupTimeout = "3m";  // StartupTimeout
    bool trackProductCrashes = true;    // TrackProductCrashes
  };

  // Firewall marks and routing table ids are 32 bits wide in the kernel, so a value that
  // does not fit (or is negative) is refused rather than cut. 0: none.
  struct Network {
    std::uint32_t wtpFwMark = 0;        // WtpFwMark
    std::uint32_t ntpFwMark = 0;        // NtpFwMark
    std::uint32_t bypassFwMark = 0;     // BypassFwMark
    std::uint32_t bypassNflogMark = 0;  // BypassNflogMark
    std::uint32_t proxyRouteTable = 0;  // ProxyRouteTable
  };

  struct Virtualization {
    bool serverMode = false;  // ServerMode
    bool vdiMode = false;     // VdiMode
  };

  struct ScannerImpactStats {
    std::int64_t statCollectionPeriod = 60;  // StatCollectionPeriod
    std::uint64_t statCollectionCount = 10;  // StatCollectionCount
    std::uint64_t reportStatAmount = 10;     // ReportStatAmount
    bool collectFileScanStatistics = false;  // CollectFileScanStatistics
  };

  General general;
  Watchdog watchdog;
  Network network;
  Virtualization virtualization;
  ScannerImpactStats scannerImpactStats;
  // The "Environment" section: name and value pairs in file order, handed to the runtime
  // as environment entries. Empty by default.
  std::vector<std::pair<std::string, std::string>> environment;

  // The identity file's text without surrounding white space; empty when there is none.
  std::string pcid;

  // True when "AcceptedAgreement.EulaId" is kBuiltInEulaId (compared exactly) or a
  // comma-separated list with kBuiltInEulaId as one of its entries.
  bool eulaAccepted = false;
  std::string ztnaId;  // "AcceptedAgreement.ZtnaId", as written
};

// Value conversions. Each gives no value for a text that does not convert; the caller then
// keeps its default.
//
// "yes" and "true" give true, "no" and "false" give false, in any case; the exact texts "1"
// and "0" are accepted too. Nothing else (no blanks, no "on", no "01").
std::optional<bool> ParseFlag(std::string_view text);
// Decimal, within 0 to 2^64-1, as the stream conversion of the ini values reads it (white
// space around the number skipped, an optional "+", "-0" is 0), except that a negative
// number gives no value where the stream would wrap it around ("-1" to 2^64-1).
std::optional<std::uint64_t> ParseUnsigned(std::string_view text);
// Decimal, with an optional "+" or "-", within the range of int64_t. White space around
// the number is skipped.
std::optional<std::int64_t> ParseSigned(std::string_view text);
// One of the forms of MemoryLimit, matched as a whole and case-sensitively: "off", "auto",
// "<1-3 digits>%", "<digits>MB", "lowest|highest/<1-3 digits>%/<digits>MB". A size that
// does not fit 64 bits gives no value.
std::optional<MemoryLimit> ParseMemoryLimit(std::string_view text);

// The record for an ini already read: each key that is present and converts replaces its
// default. A key that does not convert is traced at warning level with its text and the
// default stays. `tracer` may be null.
RuntimeConfig ReadRuntimeConfigFromTree(const boost::property_tree::ptree& ini,
                                        ivo::ITracer* tracer = nullptr);

// Reads the three files in order and replaces `config` with the record on success; on a
// failure `config` is left as it was and the cause is traced at error level.
//  - ini: must exist and parse. Missing: kNotFound; unreadable or not a regular file:
//    kSystemError; a syntax error: kBadFormat. An empty ini gives the defaults.
//  - pcid: optional; a missing file leaves the identity empty. An identity file that
//    exists but cannot be read is kSystemError: an export without the identity that the
//    machine has would be silently wrong.
//  - agreements: optional; a missing file means that no agreement is accepted. Unreadable:
//    kSystemError; a syntax error: kBadFormat.
ivo::ResultCode ReadRuntimeConfig(const boost::filesystem::path& ini,
                                  const boost::filesystem::path& pcid,
                                  const boost::filesystem::path& agreements,
                                  RuntimeConfig& config,
                                  ivo::ITracer* tracer = nullptr);

}  // namespace sov::tools
