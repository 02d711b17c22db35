// Helpers shared by the fuzz targets: reporting a broken property, a scratch directory for
// the targets that read files, and splitting one input into several texts.
#pragma once

#include "ivo/tracer.h"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sov::fuzz {

using Path = boost::filesystem::path;

// The input as a text; the bytes are kept as they are.
inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Prints "property broken: <what>" and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Broken(const std::string& what);

// `text` with the bytes outside printable ASCII written as \n, \t, \r or \xHH, cut after
// `limit` characters: a failure message shows exactly what was read or written.
std::string Visible(std::string_view text, std::size_t limit = 2000);

// The parts of `text` between the separators, at most `maxParts`: the last part keeps any
// further separators.
std::vector<std::string_view> Split(std::string_view text, char separator, std::size_t maxParts);

// A directory of this process below $TMPDIR (or /tmp), made on first use and removed when
// the process exits normally.
const Path& ScratchDirectory();

// Replaces `path` with `content`; aborts when it cannot (that is the harness, not a finding).
void WriteFile(const Path& path, std::string_view content);
std::string ReadFile(const Path& path);
// The names in `directory`, sorted.
std::vector<std::string> ListDirectory(const Path& directory);

// A tracer that accepts every level and drops the records, so that the code under test
// builds its trace texts from the input as it would for the trace file.
ivo::TracerPtr DiscardingTracer();

}  // namespace sov::fuzz
