// A service's standard output and error that systemd connected to the journal: each line
// becomes one journal entry, whose priority a "<N>" prefix sets (the syslog levels of
// sd-daemon(3)). Console messages meant for a terminal would reach it wrapped over several
// entries, with their colour escapes, at the stream's default priority (info).
#pragma once

#include "ivo/tracer.h"

#include <string>

namespace sov::supervisor {

// Whether descriptor `fd` is the journal stream of this service: systemd names it in
// JOURNAL_STREAM ("<device>:<inode>", see systemd.exec(5)). A child that inherited the
// variable has other descriptors, so the comparison with the descriptor itself is what
// counts. False when the variable is unset or malformed, or `fd` cannot be examined.
bool IsJournalStream(int fd);

// The journal entry of a console message at trace level `level`: its lines without their
// white space at both ends, empty ones dropped, joined by one blank into one line, after
// the priority prefix ("<3>" for error and worse, "<4>" warning, "<5>" important, "<6>"
// otherwise), and ended with "\n". Empty when the message holds nothing but white space.
// `text` must not hold colour markup.
std::string JournalEntry(ivo::ITracer::TraceLevel level, const std::string& text);

}  // namespace sov::supervisor
