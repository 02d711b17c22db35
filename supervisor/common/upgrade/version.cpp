// Version parsing and printing.
#include "supervisor/common/upgrade/version.h"

#include <boost/format.hpp>
#include <boost/regex.hpp>

#include <stdexcept>

namespace sov::supervisor {
namespace {

std::uint32_t Part(const boost::ssub_match& group) {
  if (!group.matched) {
    return 0;
  }
  try {
    const int value = std::stoi(group.str());
    return value < 0 ? 0 : static_cast<std::uint32_t>(value);
  } catch (const std::exception&) {
    return 0;  // above the range of int
  }
}

}  // namespace

Version Version::FromText(const std::string& text) {
  static const boost::regex pattern("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?(?:\\.(\\d+))?$");
  boost::smatch match;
  if (!boost::regex_match(text, match, pattern)) {
    return {};
  }
  return Version(Part(match[1]), Part(match[2]), Part(match[3]), Part(match[4]));
}

std::string Version::ToString() const {
  return (boost::format("%1%.%2%.%3%.%4%") % major % minor % build % revision).str();
}

}  // namespace sov::supervisor
