// The console printer: every message the launcher shows goes through it. Messages carry
// colour tags ("<RED>", "<B>", "</RED>" ...) that become ANSI escapes, or vanish when the
// environment variable ANSI_COLORS_DISABLED is set, and are wrapped at 74 visible columns.
#pragma once

#include "ivo/tracer.h"

#include <iosfwd>
#include <string>

namespace sov::supervisor {

// Traces "> <text>" when `tracer` accepts `level`, then writes the converted, wrapped text
// and a newline to `stream` and flushes it. When `stream` is standard output or error and
// systemd connected it to the journal (IsJournalStream), it writes the message as one
// journal entry at the priority of `level` instead: no colours, no wrapping (JournalEntry).
void PrintLine(ivo::ITracer* tracer,
               std::ostream& stream,
               ivo::ITracer::TraceLevel level,
               const std::string& text);

// Traces "> <text>" at debug level, then writes the converted, wrapped text without its
// trailing white space to standard output, followed by one blank and no newline.
void PrintPrompt(ivo::ITracer* tracer, const std::string& text);

// Replaces the colour tags by escape sequences, or removes them when colours are disabled.
std::string ConvertMarkup(const std::string& text);
// Removes the colour tags, whatever the environment says.
std::string RemoveMarkup(const std::string& text);

// Breaks every line of `text` between words so that no line exceeds 74 visible columns
// (escape sequences are invisible); a longer word stands alone. Every line ends in "\n".
std::string WrapWords(const std::string& text);

}  // namespace sov::supervisor
