// The command line of the watchdog server: the server, its options in a fixed order, the
// environment it hands to the product, and the product starter it supervises.
#pragma once

#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/traceable.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

enum class ProductStartupMode { Regular = 0, Install = 1, Upgrade = 2 };
std::string ToString(ProductStartupMode mode);

struct WdServerInputs {
  PatchPaths current;
  Path serverLog;  // the product's tarn_wdserver.log
  Path healthLog;  // "--worklog"
  std::string memoryLimit;
  ProductStartupMode startupMode = ProductStartupMode::Regular;
  bool root = false;                // adds "--syscall-hangs"
  std::optional<std::string> term;  // the launcher's TERM
};

// "0" for the trace level "None" (the default of "TraceLevel"), "800" for "NotDetailed",
// "Detailed" and "MediumDetailed". Another name throws std::invalid_argument.
std::string WdServerTraceLevel(const boost::property_tree::ptree& ini);

// "--worklog-period": twice "Watchdog.WarnThreshold" (default 3600) seconds, "7200s".
// The value is read as the decimal conversion "stoul" reads it: blanks, an optional "+",
// then the digits up to the first other character; what follows them ("s" of "3600s") is
// ignored and traced (StartProduct, warning level). A value without leading digits, or
// with a minus (which stoul would wrap round to a huge period), throws
// std::invalid_argument "stoul"; one that or whose double does not fit 64 bits throws
// std::out_of_range "stoul".
std::string WorklogPeriod(const Traceable& tracing, const boost::property_tree::ptree& ini);

// How long the server may take to stop the product after its shutdown signal:
// "Watchdog.TimeoutAfterShutdown" (default "2m"), a number with the unit "ms", "s", "m",
// "h" or "d" (seconds without one). A value the server could not read either counts as
// the default.
std::chrono::milliseconds ShutdownTimeout(const boost::property_tree::ptree& ini);

// How long a stop waits for the server before it kills it: the product's shutdown timeout
// and 10 s for the server's own end.
std::chrono::milliseconds ServerStopGrace(const boost::property_tree::ptree& ini);

// The whole argument list, program first. Traces (StartProduct) "Enable startup traces"
// when "General.StartupTraces" is a true flag (then SOV_STARTUP_TRACES=1 is passed), and
// "TERM is not defined - setting TERM=xterm" when `term` is empty.
std::vector<std::string> WdServerArguments(const Traceable& tracing,
                                           const boost::property_tree::ptree& ini,
                                           const WdServerInputs& inputs);

}  // namespace sov::supervisor
