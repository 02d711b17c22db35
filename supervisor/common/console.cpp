// Colour markup and word wrapping for console messages. The markup rules are regular
// expressions compiled on first use: most runs (status above all) print nothing. Where
// systemd connected the stream to the journal, a message is one journal entry instead.
#include "supervisor/common/console.h"

#include "supervisor/common/journal_stream.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/regex.hpp>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <utility>
#include <vector>

namespace sov::supervisor {
namespace {

constexpr size_t kLineWidth = 74;

const std::array<const char*, 6> kEscapes = {"\x1b[0;31m", "\x1b[0;32m", "\x1b[0;33m",
                                             "\x1b[4m",    "\x1b[1m",    "\x1b[0m"};

struct MarkupRule {
  boost::regex pattern;
  const char* escape;
};

const std::array<MarkupRule, 6>& MarkupRules() {
  static const std::array<MarkupRule, 6> rules = {{
      {boost::regex("<RED>"), kEscapes[0]},
      {boost::regex("<GREEN>"), kEscapes[1]},
      {boost::regex("<YELLOW>"), kEscapes[2]},
      {boost::regex("<U>"), kEscapes[3]},
      {boost::regex("<B>"), kEscapes[4]},
      {boost::regex("</((B)|(U)|(RED)|(YELLOW)|(GREEN))>"), kEscapes[5]},
  }};
  return rules;
}

size_t VisibleLength(const std::string& word) {
  size_t length = word.size();
  for (const char* escape : kEscapes) {
    const std::string_view sequence(escape);
    for (size_t at = word.find(sequence); at != std::string::npos;
         at = word.find(sequence, at + sequence.size())) {
      length -= sequence.size();
    }
  }
  return length;
}

void WrapLine(const std::string& line, std::string& out) {
  std::vector<std::string> words;
  boost::split(words, line, boost::is_any_of(" \n\r\f\t\v"));
  size_t column = 0;
  for (const auto& word : words) {
    const size_t visible = VisibleLength(word);
    if (column + visible > kLineWidth) {
      out.append("\n").append(word);
      column = visible;
    } else if (column != 0) {
      out.append(" ").append(word);
      column += visible + 1;
    } else {
      out.append(word);
      column = visible;
    }
  }
  out.append("\n");
}

std::string ApplyMarkup(const std::string& text, bool colors) {
  std::string converted = text;
  for (const auto& rule : MarkupRules()) {
    converted = boost::regex_replace(converted, rule.pattern, colors ? rule.escape : "",
                                     boost::regex_constants::format_literal);
  }
  return converted;
}

// The descriptor behind the standard stream `stream`; -1 for any other stream.
int StandardStreamDescriptor(const std::ostream& stream) {
  if (&stream == &std::cout) {
    return STDOUT_FILENO;
  }
  if (&stream == &std::cerr) {
    return STDERR_FILENO;
  }
  return -1;
}

void TraceEcho(ivo::ITracer* tracer, ivo::ITracer::TraceLevel level, const std::string& text) {
  if (ivo::IsEnabled(tracer, level)) {
    tracer->Trace(level, "> " + text);
  }
}

}  // namespace

std::string ConvertMarkup(const std::string& text) {
  // Read on every conversion: a test or a caller may change it between messages.
  const bool colorsDisabled = std::getenv("ANSI_COLORS_DISABLED") != nullptr;
  return ApplyMarkup(text, !colorsDisabled);
}

std::string RemoveMarkup(const std::string& text) {
  return ApplyMarkup(text, false);
}

std::string WrapWords(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    WrapLine(line, out);
  }
  return out;
}

void PrintLine(ivo::ITracer* tracer,
               std::ostream& stream,
               ivo::ITracer::TraceLevel level,
               const std::string& text) {
  TraceEcho(tracer, level, text);
  const int descriptor = StandardStreamDescriptor(stream);
  if (descriptor >= 0 && IsJournalStream(descriptor)) {
    // One entry at the message's own priority, without colours or line breaks.
    stream << JournalEntry(level, RemoveMarkup(text)) << std::flush;
    return;
  }
  stream << WrapWords(ConvertMarkup(text)) << std::endl;
}

void PrintPrompt(ivo::ITracer* tracer, const std::string& text) {
  TraceEcho(tracer, ivo::ITracer::kDebug, text);
  std::cout << boost::trim_right_copy(WrapWords(ConvertMarkup(text))) << ' ' << std::flush;
}

}  // namespace sov::supervisor
