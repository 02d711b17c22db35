// Reads the runtime configuration record. The files are read whole (file_reader.h) so that
// a missing file, an unreadable one and a syntax error give different result codes; the
// text is then handed to the property tree's INI parser. Numbers are converted by hand rather
// than by a stream, which would wrap "-1" into an unsigned field.
#include "sov_common/runtime_config.h"

#include "sov_common/file_reader.h"
#include "sov_common/utf8.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/regex.hpp>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <ostream>
#include <sstream>

namespace sov::tools {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

constexpr ivo::ITracer::TraceLevel kError = ivo::ITracer::kError;
constexpr ivo::ITracer::TraceLevel kWarning = ivo::ITracer::kWarning;

void Trace(ivo::ITracer* tracer, ivo::ITracer::TraceLevel level, const std::string& message) {
  if (ivo::IsEnabled(tracer, level)) {
    tracer->Trace(level, message);
  }
}

// The characters that a stream's white-space skipping passes over.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// from_chars over the whole of `text`; fails on anything left over and on overflow.
template <typename Number>
std::optional<Number> ConvertWhole(std::string_view text) {
  Number value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

const boost::regex& MemoryLimitPattern() {
  static const boost::regex pattern(
      R"((off|auto)|(\d{1,3})%|(\d+)MB|(?:(lowest|highest)/(\d{1,3})%/(\d+)MB))");
  return pattern;
}

// The ini, identity and agreements files are small; a file past this is refused with EFBIG.
constexpr ReadLimits kConfigFileLimits{std::size_t{4} * 1024 * 1024, true};

ivo::ResultCode ReadFailure(const fs::path& file, int error, ivo::ITracer* tracer) {
  Trace(tracer, kError, "Cannot read " + file.string() + ": " + std::strerror(error));
  return error == ENOENT ? ivo::result::kNotFound : ivo::result::kSystemError;
}

// Parses INI text read from `file` into `tree`; a syntax error is traced with the file and
// line and gives kBadFormat.
ivo::ResultCode ParseIni(const fs::path& file,
                         const std::string& text,
                         pt::ptree& tree,
                         ivo::ITracer* tracer) {
  std::istringstream in{std::string(SkipByteOrderMark(text))};
  try {
    pt::ini_parser::read_ini(in, tree);
  } catch (const pt::ini_parser_error& error) {
    Trace(tracer, kError,
          "Cannot parse " + file.string() + " line " + std::to_string(error.line()) + ": " +
              error.message());
    return ivo::result::kBadFormat;
  }
  return ivo::result::kOk;
}

// Reads "<key>" of the ini into a field when it is present and converts; otherwise the
// field keeps its default, and a text that does not convert is traced.
class IniReader {
 public:
  IniReader(const pt::ptree& tree, ivo::ITracer* tracer) : tree_(tree), tracer_(tracer) {}

  void Flag(const char* key, bool& field) const { Read(key, field, ParseFlag, "a flag"); }
  void Text(const char* key, std::string& field) const {
    if (const auto text = tree_.get_optional<std::string>(key)) {
      field = *text;
    }
  }
  void Signed(const char* key, std::int64_t& field) const {
    Read(key, field, ParseSigned, "a number");
  }
  void Seconds(const char* key, std::chrono::seconds& field) const {
    std::int64_t seconds = field.count();
    Signed(key, seconds);
    field = std::chrono::seconds(seconds);
  }
  template <typename Field>
  void Unsigned(const char* key, Field& field) const {
    Read(key, field, ParseUnsignedTo<Field>, "an unsigned number in range");
  }
  void Memory(const char* key, MemoryLimit& field) const {
    Read(key, field, ParseMemoryLimit, "a memory limit");
  }

 private:
  // Narrower fields refuse what they cannot hold instead of keeping the low bits.
  template <typename Field>
  static std::optional<Field> ParseUnsignedTo(std::string_view text) {
    const auto value = ParseUnsigned(text);
    if (!value || *value > std::numeric_limits<Field>::max()) {
      return std::nullopt;
    }
    return static_cast<Field>(*value);
  }

  template <typename Field, typename Parse>
  void Read(const char* key, Field& field, Parse parse, const char* what) const {
    const auto text = tree_.get_optional<std::string>(key);
    if (!text) {
      return;
    }
    if (const auto value = parse(*text)) {
      field = *value;
      return;
    }
    Trace(
        tracer_, kWarning,
        std::string("Ignoring ") + key + "=\"" + *text + "\": not " + what + "; the default stays");
  }

  const pt::ptree& tree_;
  ivo::ITracer* tracer_;
};

void ReadGeneral(const IniReader& ini, RuntimeConfig::General& general) {
  ini.Unsigned("General.ExecArgMax", general.execArgMax);
  ini.Unsigned("General.ExecEnvMax", general.execEnvMax);
  ini.Text("General.PackageType", general.packageType);
  ini.Flag("General.UseFanotify", general.useFanotify);
  ini.Flag("General.DisableQvTargeting", general.disableQvTargeting);
  ini.Unsigned("General.UlkmTestStage", general.ulkmTestStage);
  ini.Text("General.Locale", general.locale);
  ini.Text("General.MachineId", general.machineId);
  ini.Memory("General.ScanMemoryLimit", general.scanMemoryLimit);
  ini.Flag("General.StartupTraces", general.startupTraces);
  ini.Flag("General.AsyncTraces", general.asyncTraces);
  ini.Flag("General.FastShutdown", general.fastShutdown);
  ini.Flag("General.RevealSensitiveInfoInTraces", general.revealSensitiveInfoInTraces);
  ini.Text("General.ProtectionMode", general.protectionMode);
  ini.Flag("General.DisableFileAvActions", general.disableFileAvActions);
  ini.Flag("General.GetContainerName", general.getContainerName);
  ini.Flag("General.AdditionalDNSLookup", general.additionalDnsLookup);
  ini.Flag("General.LumoMode", general.lumoMode);
  ini.Flag("General.EndpointAgentMode", general.endpointAgentMode);
  ini.Flag("General.OrvMode", general.orvMode);
  ini.Signed("General.MaxInotifyWatches", general.maxInotifyWatches);
  ini.Signed("General.MaxInotifyInstances", general.maxInotifyInstances);
  ini.Flag("General.CoreDumps", general.coreDumps);
  ini.Text("General.CoreDumpsPath", general.coreDumpsPath);
  ini.Signed("General.MinFreeDiskSpace", general.minFreeDiskSpace);
  ini.Signed("General.PanicThreshold", general.panicThreshold);
  ini.Flag("General.SafeMode", general.safeMode);
}

void ReadWatchdog(const IniReader& ini, RuntimeConfig::Watchdog& watchdog) {
  ini.Signed("Watchdog.PingInterval", watchdog.pingInterval);
  ini.Seconds("Watchdog.DumpSuspendPeriod", watchdog.dumpSuspendPeriod);
  ini.Text("Watchdog.ProductHealthLogFile", watchdog.productHealthLogFile);
  ini.Text("Watchdog.MaxMemory", watchdog.maxMemory);
  ini.Signed("Watchdog.MaxRestartCount", watchdog.maxRestartCount);
  ini.Text("Watchdog.StartupTimeout", watchdog.startupTimeout);
  ini.Flag("Watchdog.TrackProductCrashes", watchdog.trackProductCrashes);
}

void ReadNetwork(const IniReader& ini, RuntimeConfig::Network& network) {
  ini.Unsigned("Network.WtpFwMark", network.wtpFwMark);
  ini.Unsigned("Network.NtpFwMark", network.ntpFwMark);
  ini.Unsigned("Network.BypassFwMark", network.bypassFwMark);
  ini.Unsigned("Network.BypassNflogMark", network.bypassNflogMark);
  ini.Unsigned("Network.ProxyRouteTable", network.proxyRouteTable);
}

void ReadScannerImpactStats(const IniReader& ini, RuntimeConfig::ScannerImpactStats& stats) {
  ini.Signed("ScannerImpactStats.StatCollectionPeriod", stats.statCollectionPeriod);
  ini.Unsigned("ScannerImpactStats.StatCollectionCount", stats.statCollectionCount);
  ini.Unsigned("ScannerImpactStats.ReportStatAmount", stats.reportStatAmount);
  ini.Flag("ScannerImpactStats.CollectFileScanStatistics", stats.collectFileScanStatistics);
}

// The install command records every agreement accepted so far, joined by commas, so the
// built-in identifier may be one entry of a list.
bool ListsBuiltInEula(std::string_view eulaIds) {
  for (;;) {
    const auto comma = eulaIds.find(',');
    if (TrimBlanks(eulaIds.substr(0, comma)) == kBuiltInEulaId) {
      return true;
    }
    if (comma == std::string_view::npos) {
      return false;
    }
    eulaIds.remove_prefix(comma + 1);
  }
}

std::vector<std::pair<std::string, std::string>> ReadEnvironment(const pt::ptree& tree) {
  std::vector<std::pair<std::string, std::string>> environment;
  if (const auto section = tree.get_child_optional("Environment")) {
    // The tree keeps the children in the order of the file.
    for (const auto& [name, value] : *section) {
      environment.emplace_back(name, value.data());
    }
  }
  return environment;
}

}  // namespace

bool operator==(const MemoryLimit& left, const MemoryLimit& right) {
  return left.kind == right.kind && left.percent == right.percent &&
         left.megabytes == right.megabytes;
}

std::ostream& operator<<(std::ostream& out, const MemoryLimit& limit) {
  switch (limit.kind) {
    case MemoryLimit::Kind::kOff:
      return out << "off";
    case MemoryLimit::Kind::kAuto:
      return out << "auto";
    case MemoryLimit::Kind::kPercent:
      return out << limit.percent << '%';
    case MemoryLimit::Kind::kMegabytes:
      return out << limit.megabytes << "MB";
    case MemoryLimit::Kind::kLowest:
      return out << "lowest/" << limit.percent << "%/" << limit.megabytes << "MB";
    case MemoryLimit::Kind::kHighest:
      return out << "highest/" << limit.percent << "%/" << limit.megabytes << "MB";
  }
  return out << "?";
}

std::optional<bool> ParseFlag(std::string_view text) {
  if (text == "1" || boost::iequals(text, "yes") || boost::iequals(text, "true")) {
    return true;
  }
  if (text == "0" || boost::iequals(text, "no") || boost::iequals(text, "false")) {
    return false;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  text = TrimBlanks(text);
  // A sign as the stream conversion takes it, except that a negative number is refused
  // where the stream would wrap it around.
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (negative || text.front() == '+')) {
    text.remove_prefix(1);
  }
  if (text.empty() || !IsDigit(text.front())) {
    return std::nullopt;
  }
  const auto value = ConvertWhole<std::uint64_t>(text);
  if (negative && value != std::uint64_t{0}) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> ParseSigned(std::string_view text) {
  text = TrimBlanks(text);
  // One sign at most, and a digit right after it: not "+-5", not "- 5".
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  if (digits.empty() || !IsDigit(digits.front())) {
    return std::nullopt;
  }
  // from_chars reads a "-" itself but refuses a "+".
  if (text.front() == '+') {
    text.remove_prefix(1);
  }
  return ConvertWhole<std::int64_t>(text);
}

std::optional<MemoryLimit> ParseMemoryLimit(std::string_view text) {
  boost::cmatch match;
  if (!boost::regex_match(text.data(), text.data() + text.size(), match, MemoryLimitPattern())) {
    return std::nullopt;
  }
  const auto number = [&match](int group) { return ParseUnsigned(match.str(group)); };
  MemoryLimit limit;
  if (match[1].matched) {
    limit.kind = match.str(1) == "off" ? MemoryLimit::Kind::kOff : MemoryLimit::Kind::kAuto;
  } else if (match[2].matched) {
    limit.kind = MemoryLimit::Kind::kPercent;
    limit.percent = static_cast<std::uint32_t>(*number(2));  // three digits at most
  } else if (match[3].matched) {
    const auto megabytes = number(3);
    if (!megabytes) {
      return std::nullopt;
    }
    limit.kind = MemoryLimit::Kind::kMegabytes;
    limit.megabytes = *megabytes;
  } else {
    const auto megabytes = number(6);
    if (!megabytes) {
      return std::nullopt;
    }
    limit.kind =
        match.str(4) == "lowest" ? MemoryLimit::Kind::kLowest : MemoryLimit::Kind::kHighest;
    limit.percent = static_cast<std::uint32_t>(*number(5));
    limit.megabytes = *megabytes;
  }
  return limit;
}

RuntimeConfig ReadRuntimeConfigFromTree(const pt::ptree& ini, ivo::ITracer* tracer) {
  const IniReader reader(ini, tracer);
  RuntimeConfig config;
  ReadGeneral(reader, config.general);
  ReadWatchdog(reader, config.watchdog);
  ReadNetwork(reader, config.network);
  reader.Flag("Virtualization.ServerMode", config.virtualization.serverMode);
  reader.Flag("Virtualization.VdiMode", config.virtualization.vdiMode);
  ReadScannerImpactStats(reader, config.scannerImpactStats);
  config.environment = ReadEnvironment(ini);
  return config;
}

ivo::ResultCode ReadRuntimeConfig(const fs::path& ini,
                                  const fs::path& pcid,
                                  const fs::path& agreements,
                                  RuntimeConfig& config,
                                  ivo::ITracer* tracer) {
  const FileContent iniText = ReadWholeFile(ini, kConfigFileLimits);
  if (iniText.error != 0) {
    return ReadFailure(ini, iniText.error, tracer);
  }
  pt::ptree iniTree;
  if (const auto code = ParseIni(ini, iniText.text, iniTree, tracer); ivo::Failed(code)) {
    return code;
  }
  RuntimeConfig read = ReadRuntimeConfigFromTree(iniTree, tracer);

  const FileContent pcidText = ReadWholeFile(pcid, kConfigFileLimits);
  if (pcidText.error == ENOENT) {
    Trace(tracer, kWarning, "No identity file " + pcid.string() + ": the identity stays empty");
  } else if (pcidText.error != 0) {
    return ReadFailure(pcid, pcidText.error, tracer);
  }
  read.pcid = boost::algorithm::trim_copy(pcidText.text);

  // A missing agreements file parses as an empty one: nothing is accepted.
  const FileContent agreementsText = ReadWholeFile(agreements, kConfigFileLimits);
  if (agreementsText.error == ENOENT) {
    Trace(tracer, kWarning,
          "No agreements file " + agreements.string() + ": no agreement is accepted");
  } else if (agreementsText.error != 0) {
    return ReadFailure(agreements, agreementsText.error, tracer);
  }
  pt::ptree agreementsTree;
  if (const auto code = ParseIni(agreements, agreementsText.text, agreementsTree, tracer);
      ivo::Failed(code)) {
    return code;
  }
  read.eulaAccepted =
      ListsBuiltInEula(agreementsTree.get<std::string>("AcceptedAgreement.EulaId", ""));
  read.ztnaId = agreementsTree.get<std::string>("AcceptedAgreement.ZtnaId", "");

  config = std::move(read);
  return ivo::result::kOk;
}

}  // namespace sov::tools
