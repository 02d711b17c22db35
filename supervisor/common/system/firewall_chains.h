// Removal of the packet-filter chains that the product creates for its traffic bypass and
// network isolation, for IPv4 and IPv6. Only the system's tools are run; nothing is kept.
#pragma once

#include "supervisor/common/files/utils.h"

#include <cstddef>
#include <string_view>

namespace sov::supervisor {

// The number of jumps into `chain` in the output of "<tool> -L <hook> --line-numbers": lines
// whose first word is a rule number and whose next word, the target, is `chain`. Chain
// and column headers, other targets and verdicts do not count.
std::size_t CountJumps(std::string_view listing, std::string_view chain);

// For "iptables", then "ip6tables", and each product chain ("tarn_bypass" in "mangle",
// hooked into PREROUTING and OUTPUT; "tarn_input_isolation", "tarn_output_isolation" and
// "tarn_forward_isolation" in "filter", hooked into INPUT, OUTPUT and FORWARD): lists each
// hook chain, deletes every jump into the product chain found there, then flushes and
// deletes the product chain. Failing runs (a chain that does not exist) are traced by the
// runner and ignored. Throws "<tool> not found" when a tool is missing.
void RemoveTarnBypassFirewallChain(const Utils& utils);

}  // namespace sov::supervisor
