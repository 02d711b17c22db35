// Trace channels: a file channel that appends finished lines, and a formatting channel
// that prefixes every record with a header built from a strftime-like format.
#pragma once

#include "ivo/tracer.h"

#include <string>

namespace ivo {

// Opens `fileName` write-only, append, close-on-exec, creating it with mode 0600.
// Each record's message becomes one line, written with a single write() so that
// several processes can append to the same file without tearing lines.
// Throws std::system_error "Can't open trace file <fileName>" when the open fails, and
// when `fileName` is a symbolic link (ELOOP; it is never followed) or not a regular file
// (EINVAL; a FIFO without a reader gives ENXIO, and nothing waits for one).
ChannelPtr CreateFileChannel(const char* fileName);

// Wraps `inner`: each record is written as the expanded `format` followed by the message.
// Specifiers: %Y %m %d (date), %X (HH:MM:SS.mmm), %I (thread id), %p (level name),
// %P (process id), %% (percent). Records above `maxLevel` are dropped.
ChannelPtr CreateFormattedChannel(ChannelPtr inner, std::string format, std::uint32_t maxLevel);

// The header that `format` gives for `record` (exposed for tests).
std::string FormatTraceHeader(const std::string& format, const TraceRecord& record);

}  // namespace ivo
