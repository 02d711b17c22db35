// Whether a file is a program that this machine's kernel can load: an ELF executable or
// position-independent executable of this build's class, byte order and architecture, with
// every part that its headers name inside the file. It reads the two header tables only
// (a few hundred bytes), so it is cheap enough for the start path. It catches an empty or
// cut-off file and another machine's build before an exec fails on it, or a cut-off file
// that the exec accepts crashes on its first touch of a missing page.
#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

namespace sov::supervisor {

using Path = boost::filesystem::path;

// "" when `path` can be loaded; otherwise why not, as a clause: "it is empty", "it is cut
// off", "it is not an ELF file", "it is not built for this machine", "it is not an
// executable", "it is not a regular file", or the open's error text. The file is opened
// without blocking (a FIFO planted there is refused, not waited on); links are followed,
// as the exec would.
std::string WhyNotLoadable(const Path& path);

}  // namespace sov::supervisor
