// Journal entries of console messages, written through the service's own output stream
// with the level prefix that systemd reads. A stream entry belongs to the unit from the
// moment systemd connected the stream, so an entry written just before the launcher exits
// keeps its unit; a datagram to the journal's socket would be attributed only while the
// sender still runs.
#include "supervisor/common/journal_stream.h"

#include <boost/algorithm/string/trim.hpp>

#include <sys/stat.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string_view>

namespace sov::supervisor {
namespace {

char PriorityDigit(ivo::ITracer::TraceLevel level) {
  if (level <= ivo::ITracer::kError) {
    return '3';
  }
  if (level <= ivo::ITracer::kWarning) {
    return '4';
  }
  if (level <= ivo::ITracer::kImportant) {
    return '5';
  }
  return '6';
}

// A decimal number and nothing else.
std::optional<std::uintmax_t> ParseNumber(std::string_view text) {
  std::uintmax_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool IsJournalStream(int fd) {
  const char* named = std::getenv("JOURNAL_STREAM");
  if (named == nullptr) {
    return false;
  }
  const std::string_view text(named);
  const auto colon = text.find(':');
  const auto device = ParseNumber(text.substr(0, colon));
  const auto inode =
      colon == std::string_view::npos ? std::nullopt : ParseNumber(text.substr(colon + 1));
  struct stat status {};
  return device && inode && fstat(fd, &status) == 0 && status.st_dev == *device &&
         status.st_ino == *inode;
}

std::string JournalEntry(ivo::ITracer::TraceLevel level, const std::string& text) {
  std::string entry;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    boost::algorithm::trim(line);
    if (!line.empty()) {
      entry.append(entry.empty() ? "" : " ").append(line);
    }
  }
  if (entry.empty()) {
    return entry;
  }
  return std::string{'<', PriorityDigit(level), '>'} + entry + "\n";
}

}  // namespace sov::supervisor
