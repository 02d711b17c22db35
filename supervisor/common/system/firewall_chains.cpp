// Packet-filter clean-up at uninstall. Jumps are found in the numbered listing of each hook
// chain and deleted one per run by their target; a chain can be deleted only once nothing
// jumps into it and it is empty. The listing asks for numeric addresses: resolving the
// addresses of other programs' rules could stall the uninstall on an unreachable DNS.
#include "supervisor/common/system/firewall_chains.h"

#include "supervisor/common/process/cmd.h"

#include <array>
#include <initializer_list>
#include <sstream>
#include <string>

namespace sov::supervisor {
namespace {

struct ProductChain {
  const char* name;
  const char* table;
  std::initializer_list<const char*> hooks;
};

const std::array<ProductChain, 4> kProductChains = {{
    {"tarn_bypass", "mangle", {"PREROUTING", "OUTPUT"}},
    {"tarn_input_isolation", "filter", {"INPUT"}},
    {"tarn_output_isolation", "filter", {"OUTPUT"}},
    {"tarn_forward_isolation", "filter", {"FORWARD"}},
}};

// The exit code of iptables and ip6tables for a chain that does not exist ("No chain/target/
// match by that name").
constexpr int kNoSuchChain = 1;

bool IsRuleNumber(const std::string& word) {
  return !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
}

void RemoveChain(const Utils& utils, const std::string& tool, const ProductChain& chain) {
  ivo::ITracer* tracer = utils.Tracer().get();
  for (const char* hook : chain.hooks) {
    std::ostringstream listing;
    CmdObject(tracer)
        .SetArgs(tool.c_str(), "-t", chain.table, "-L", hook, "--line-numbers", "-n")
        .SetOutput(kTraceDebug, listing)();
    const std::size_t jumps = CountJumps(listing.str(), chain.name);
    utils.Trace(kTraceDebug, "RemoveTarnBypassFirewallChain", "Found ", jumps, " rules in ", hook,
                " for ", chain.name);
    for (std::size_t i = 0; i < jumps; ++i) {
      CmdObject(tracer).SetArgs(tool.c_str(), "-t", chain.table, "-D", hook, "-j", chain.name)();
    }
  }
  // Exit code 1 is the tool's answer for a chain that does not exist, which is what a
  // product that never isolated the host leaves; parameter and resource problems have
  // codes of their own and stay errors.
  CmdObject(tracer)
      .SetArgs(tool.c_str(), "-t", chain.table, "-F", chain.name)
      .ExpectExitCode(kNoSuchChain)();
  CmdObject(tracer)
      .SetArgs(tool.c_str(), "-t", chain.table, "-X", chain.name)
      .ExpectExitCode(kNoSuchChain)();
}

}  // namespace

std::size_t CountJumps(std::string_view listing, std::string_view chain) {
  std::istringstream lines{std::string(listing)};
  std::size_t jumps = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string number;
    std::string target;
    if (words >> number >> target && IsRuleNumber(number) && target == chain) {
      ++jumps;
    }
  }
  return jumps;
}

void RemoveTarnBypassFirewallChain(const Utils& utils) {
  for (const char* name : {"iptables", "ip6tables"}) {
    const std::string tool = utils.ResolvePath(name).string();
    for (const auto& chain : kProductChains) {
      RemoveChain(utils, tool, chain);
    }
  }
}

}  // namespace sov::supervisor
