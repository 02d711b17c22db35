// Flattens the runtime configuration record into the text values that cross the C boundary
// of the application infrastructure library, in the record's order.
#include "supervisor/common/system/app_infra_config.h"

#include <sstream>
#include <string>
#include <type_traits>

namespace sov::supervisor {
namespace {

class ValueList {
 public:
  explicit ValueList(std::vector<AppInfraConfig::Value>& values) : values_(values) {}

  ValueList& Section(const char* name) {
    section_ = name;
    return *this;
  }

  template <typename Field>
  ValueList& Add(const char* key, const Field& field) {
    values_.push_back({section_, key, Text(field)});
    return *this;
  }

 private:
  static std::string Text(bool flag) { return flag ? "yes" : "no"; }
  static std::string Text(const std::string& text) { return text; }
  static std::string Text(std::chrono::seconds duration) {
    return std::to_string(duration.count());
  }
  static std::string Text(const sov::tools::MemoryLimit& limit) {
    std::ostringstream out;
    out << limit;
    return out.str();
  }
  template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
  static std::string Text(Number number) {
    return std::to_string(number);
  }

  std::vector<AppInfraConfig::Value>& values_;
  const char* section_ = "";
};

void AddGeneral(ValueList& list, const sov::tools::RuntimeConfig::General& general) {
  list.Section("General")
      .Add("ExecArgMax", general.execArgMax)
      .Add("ExecEnvMax", general.execEnvMax)
      .Add("PackageType", general.packageType)
      .Add("UseFanotify", general.useFanotify)
      .Add("DisableQvTargeting", general.disableQvTargeting)
      .Add("UlkmTestStage", general.ulkmTestStage)
      .Add("Locale", general.locale)
      .Add("MachineId", general.machineId)
      .Add("ScanMemoryLimit", general.scanMemoryLimit)
      .Add("StartupTraces", general.startupTraces)
      .Add("AsyncTraces", general.asyncTraces)
      .Add("FastShutdown", general.fastShutdown)
      .Add("RevealSensitiveInfoInTraces", general.revealSensitiveInfoInTraces)
      .Add("ProtectionMode", general.protectionMode)
      .Add("DisableFileAvActions", general.disableFileAvActions)
      .Add("GetContainerName", general.getContainerName)
      .Add("AdditionalDNSLookup", general.additionalDnsLookup)
      .Add("LumoMode", general.lumoMode)
      .Add("EndpointAgentMode", general.endpointAgentMode)
      .Add("OrvMode", general.orvMode)
      .Add("MaxInotifyWatches", general.maxInotifyWatches)
      .Add("MaxInotifyInstances", general.maxInotifyInstances)
      .Add("CoreDumps", general.coreDumps)
      .Add("CoreDumpsPath", general.coreDumpsPath)
      .Add("MinFreeDiskSpace", general.minFreeDiskSpace)
      .Add("PanicThreshold", general.panicThreshold)
      .Add("SafeMode", general.safeMode);
}

void AddOthers(ValueList& list, const sov::tools::RuntimeConfig& config) {
  const auto& watchdog = config.watchdog;
  list.Section("Watchdog")
      .Add("PingInterval", watchdog.pingInterval)
      .Add("DumpSuspendPeriod", watchdog.dumpSuspendPeriod)
      .Add("ProductHealthLogFile", watchdog.productHealthLogFile)
      .Add("MaxMemory", watchdog.maxMemory)
      .Add("MaxRestartCount", watchdog.maxRestartCount)
      .Add("StartupTimeout", watchdog.startupTimeout)
      .Add("TrackProductCrashes", watchdog.trackProductCrashes);
  const auto& network = config.network;
  list.Section("Network")
      .Add("WtpFwMark", network.wtpFwMark)
      .Add("NtpFwMark", network.ntpFwMark)
      .Add("BypassFwMark", network.bypassFwMark)
      .Add("BypassNflogMark", network.bypassNflogMark)
      .Add("ProxyRouteTable", network.proxyRouteTable);
  list.Section("Virtualization")
      .Add("ServerMode", config.virtualization.serverMode)
      .Add("VdiMode", config.virtualization.vdiMode);
  const auto& stats = config.scannerImpactStats;
  list.Section("ScannerImpactStats")
      .Add("StatCollectionPeriod", stats.statCollectionPeriod)
      .Add("StatCollectionCount", stats.statCollectionCount)
      .Add("ReportStatAmount", stats.reportStatAmount)
      .Add("CollectFileScanStatistics", stats.collectFileScanStatistics);
  list.Section("Environment");
  for (const auto& [name, value] : config.environment) {
    list.Add(name.c_str(), value);
  }
  list.Section("Identity").Add("Pcid", config.pcid);
  list.Section("AcceptedAgreement")
      .Add("EulaAccepted", config.eulaAccepted)
      .Add("ZtnaId", config.ztnaId);
}

}  // namespace

AppInfraConfig::AppInfraConfig(const sov::tools::RuntimeConfig& config) {
  ValueList list(values_);
  AddGeneral(list, config.general);
  AddOthers(list, config);
  cValues_.reserve(values_.size());
  for (const Value& value : values_) {
    cValues_.push_back({value.section.c_str(), value.key.c_str(), value.value.c_str()});
  }
  view_ = {cValues_.data(), cValues_.size()};
}

}  // namespace sov::supervisor
