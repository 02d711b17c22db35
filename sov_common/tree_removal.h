// Removal of a directory tree by a privileged process, in one walk over open directories:
// every directory is opened relative to its parent without following a link, and every
// entry is removed by the type its directory listing gives, so nothing is looked up by
// path twice and a link planted anywhere in the tree is removed, never followed.
#pragma once

#include <boost/filesystem/path.hpp>

namespace sov::tools {

// Removes `path` and everything below it. A symbolic link or other non-directory at
// `path` itself is removed, not followed; a missing `path` is no error. Entries are removed
// until the first one that cannot be: then boost::filesystem::filesystem_error names that
// entry and the cause, and what was not reached yet stays.
void RemoveTree(const boost::filesystem::path& path);

}  // namespace sov::tools
