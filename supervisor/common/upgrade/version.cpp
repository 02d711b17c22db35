// Version parsing and printing.
#include "supervisor/common/upgrade/version.h"

#include <boost/format.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sov::supervisor {
namespace {

// A part's value; above the range of int, 0.
std::uint32_t Part(std::string_view digits) {
  if (digits.empty()) {
    return 0;
  }
  try {
    return static_cast<std::uint32_t>(std::stoi(std::string(digits)));
  } catch (const std::exception&) {
    return 0;
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::vector<std::string_view>> SplitVersion(std::string_view text) {
  // Without a regular expression: the start reads versions, and building one costs a
  // start more than everything else it parses.
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = begin;
    while (end < text.size() && IsDigit(text[end])) {
      ++end;
    }
    if (end == begin || parts.size() == 4) {
      return std::nullopt;
    }
    parts.push_back(text.substr(begin, end - begin));
    if (end == text.size()) {
      return parts;
    }
    if (text[end] != '.') {
      return std::nullopt;
    }
    begin = end + 1;
  }
}

Version Version::FromText(const std::string& text) {
  const auto parts = SplitVersion(text);
  if (!parts) {
    return {};
  }
  std::string_view numbers[4];
  std::copy(parts->begin(), parts->end(), numbers);
  return Version(Part(numbers[0]), Part(numbers[1]), Part(numbers[2]), Part(numbers[3]));
}

std::string Version::ToString() const {
  return (boost::format("%1%.%2%.%3%.%4%") % major % minor % build % revision).str();
}

}  // namespace sov::supervisor
