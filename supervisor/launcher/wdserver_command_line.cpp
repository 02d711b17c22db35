// The watchdog server's argument list. The server refuses options out of order, so the
// list is built in exactly one place, from the ini and the facts of the start.
#include "supervisor/launcher/wdserver_command_line.h"

#include "sov_common/enum_names.h"
#include "sov_common/runtime_config.h"
#include "supervisor/common/paths/system_paths.h"

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>

#include <array>
#include <cctype>
#include <limits>
#include <stdexcept>

namespace sov::supervisor {
namespace {

constexpr std::array<const char*, 3> kStartupModeNames = {"Regular", "Install", "Upgrade"};
constexpr std::array<const char*, 4> kTraceLevelNames = {"None", "NotDetailed", "Detailed",
                                                         "MediumDetailed"};

constexpr const char* kShutdownTimeoutKey = "Watchdog.TimeoutAfterShutdown";
constexpr std::chrono::minutes kDefaultShutdownTimeout{2};

// Option, ini key and default of the options read from the ini, in their place in the list.
struct IniOption {
  const char* option;
  const char* key;
  const char* fallback;
};

constexpr IniOption kTimeouts[] = {
    {"--n-restart", "Watchdog.MaxRestartCount", "5"},
    {"--activity-timeout", "Watchdog.ActivityTimeout", "2m"},
    {"--startup-timeout", "Watchdog.StartupTimeout", "3m"},
    {"--register-timeout", "Watchdog.RegisterTimeout", "500ms"},
    {"--master-timeout", "Watchdog.ConnectTimeout", "3m"},
    {"--timeout-after-coredump-signal", "Watchdog.TimeoutAfterCoredump", "2m"},
    {"--timeout-after-shutdown-signal", kShutdownTimeoutKey, "2m"},
    {"--timeout-after-headshot-signal", "Watchdog.TimeoutAfterHeadshot", "2m"},
    {"--timeout-after-kill-signal", "Watchdog.TimeoutAfterKill", "2d"},
};

constexpr IniOption kMemoryAndHangs[] = {
    {"--max-used-vmem", "Watchdog.MaxVirtualMemory", "off"},
    {"--max-used-swap", "Watchdog.MaxSwapMemory", "off"},
    {"--syscall-probe-period", "Watchdog.SyscallHangProbePeriod", "3s"},
    {"--syscall-check-period", "Watchdog.SyscallHangCheckPeriod", "32s"},
};

// "500ms", "30s", "2m", "1h", "2d" or plain seconds; nullopt for anything else.
std::optional<std::chrono::milliseconds> ParseServerDuration(const std::string& text) {
  using std::chrono::milliseconds;
  struct Unit {
    const char* suffix;
    milliseconds length;
  };
  constexpr Unit kUnits[] = {{"ms", milliseconds(1)},       {"s", milliseconds(1000)},
                             {"m", milliseconds(60000)},    {"h", milliseconds(3600000)},
                             {"d", milliseconds(86400000)}, {"", milliseconds(1000)}};
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    ++digits;
  }
  // Nine digits of days still fit the milliseconds' 64 bits.
  if (digits == 0 || digits > 9) {
    return std::nullopt;
  }
  const std::string unit = text.substr(digits);
  for (const auto& candidate : kUnits) {
    if (unit == candidate.suffix) {
      return std::stoll(text.substr(0, digits)) * candidate.length;
    }
  }
  return std::nullopt;
}

template <size_t Size>
void AppendIniOptions(std::vector<std::string>& arguments,
                      const boost::property_tree::ptree& ini,
                      const IniOption (&options)[Size]) {
  for (const auto& option : options) {
    arguments.emplace_back(option.option);
    arguments.push_back(ini.get<std::string>(option.key, option.fallback));
  }
}

void AppendEnv(std::vector<std::string>& arguments,
               const std::string& name,
               const std::string& value) {
  arguments.emplace_back("--env");
  arguments.push_back((boost::format("%1%=%2%") % name % value).str());
}

}  // namespace

std::string ToString(ProductStartupMode mode) {
  return tools::EnumName(kStartupModeNames, static_cast<long long>(mode), "ProductStartupMode");
}

std::string WdServerTraceLevel(const boost::property_tree::ptree& ini) {
  const auto name = ini.get<std::string>("TraceLevel", "None");
  const auto level = tools::EnumValue<int>(kTraceLevelNames, name, "TraceLevel");
  return level == 0 ? "0" : "800";
}

std::string WorklogPeriod(const Traceable& tracing, const boost::property_tree::ptree& ini) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto text = ini.get<std::string>("Watchdog.WarnThreshold", "3600");
  std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
  if (at != std::string::npos && text[at] == '+') {
    ++at;
  }
  if (at == std::string::npos || at == text.size() ||
      !std::isdigit(static_cast<unsigned char>(text[at]))) {
    throw std::invalid_argument("stoul");
  }
  std::uint64_t threshold = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    const unsigned digit = text[at] - '0';
    if (threshold > (kMax - digit) / 10) {
      throw std::out_of_range("stoul");
    }
    threshold = threshold * 10 + digit;
  }
  if (at < text.size()) {
    tracing.Trace(kTraceWarning, "StartProduct", "Watchdog.WarnThreshold=\"", text,
                  "\": ignoring \"", text.substr(at), "\" after the number");
  }
  if (threshold > kMax / 2) {
    throw std::out_of_range("stoul");
  }
  return std::to_string(threshold * 2) + "s";
}

std::chrono::milliseconds ShutdownTimeout(const boost::property_tree::ptree& ini) {
  const auto text = ini.get_optional<std::string>(kShutdownTimeoutKey);
  const auto timeout = text ? ParseServerDuration(*text) : std::nullopt;
  return timeout.value_or(kDefaultShutdownTimeout);
}

std::chrono::milliseconds ServerStopGrace(const boost::property_tree::ptree& ini) {
  constexpr std::chrono::seconds kServerOwnEnd{10};
  return ShutdownTimeout(ini) + kServerOwnEnd;
}

std::vector<std::string> WdServerArguments(const Traceable& tracing,
                                           const boost::property_tree::ptree& ini,
                                           const WdServerInputs& inputs) {
  constexpr const char* kStep = "StartProduct";
  std::vector<std::string> arguments = {
      inputs.current.WdServer().string(),
      "--trace-level",
      WdServerTraceLevel(ini),
      "--trace-file",
      inputs.serverLog.string(),
      "--trace-max-file-size",
      "100MB",
      "--trace-max-file-count",
      "5",
      "--failed-kill",
      "NONE",
      "--wdsock",
      WdServerSocket().string(),
      "--coredump-signal",
      "5",
      "--shutdown-signal",
      "15",
      "--headshot-signal",
      "5",
      "--umask",
      "63",
      "-p",
      WdServerPid().string(),
  };
  AppendIniOptions(arguments, ini, kTimeouts);
  arguments.insert(arguments.end(), {"--max-used-mem", inputs.memoryLimit});
  AppendIniOptions(arguments, ini, kMemoryAndHangs);
  arguments.insert(arguments.end(), {"--worklog", inputs.healthLog.string(), "--worklog-period",
                                     WorklogPeriod(tracing, ini)});
  if (inputs.root) {
    arguments.emplace_back("--syscall-hangs");
  }
  AppendEnv(arguments, "SOV_STARTUP_MODE", std::to_string(static_cast<int>(inputs.startupMode)));
  if (const auto preload = ini.get_optional<std::string>("Environment.LD_PRELOAD")) {
    AppendEnv(arguments, "LD_PRELOAD", *preload);
  }
  if (tools::ParseFlag(ini.get<std::string>("General.StartupTraces", "")).value_or(false)) {
    tracing.Trace(kTraceDebug, kStep, "Enable startup traces");
    AppendEnv(arguments, "SOV_STARTUP_TRACES", "1");
  }
  if (inputs.term) {
    AppendEnv(arguments, "TERM", *inputs.term);
  } else {
    tracing.Trace(kTraceDebug, kStep, "TERM is not defined - setting TERM=xterm");
    AppendEnv(arguments, "TERM", "xterm");
  }
  arguments.insert(arguments.end(), {"-d", "-e", inputs.current.Starter().string()});
  return arguments;
}

}  // namespace sov::supervisor
