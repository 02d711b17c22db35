// Copy of one regular file by reading and writing. (The file-system library of the
// distribution copies with sendfile, which fails with EXDEV between some file systems,
// overlayfs among them.)
#pragma once

#include <boost/filesystem/path.hpp>

namespace sov::tools {

enum class CopyMode { kFailIfExists, kOverwrite };

// Copies the content and permission bits of `from` to `to` through an AtomicFile: an
// interrupted copy never leaves a partial `to`, and an overwritten `to` gets a new inode
// (hard links to the old one keep the old content) with the owner and group of the regular
// file it replaces. Throws
// boost::filesystem::filesystem_error; kFailIfExists fails with EEXIST on an existing `to`.
void CopyFile(const boost::filesystem::path& from,
              const boost::filesystem::path& to,
              CopyMode mode);

}  // namespace sov::tools
