// Lookup of system tools by name in a fixed list of directories. PATH is never consulted:
// the launcher runs as root and must not run whatever a caller's PATH offers.
#pragma once

#include <boost/filesystem/path.hpp>

#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

// "/usr/sbin", "/usr/bin", "/bin", "/sbin", in the order they are tried.
const std::vector<std::string>& SystemExecutableDirs();

// A name that begins with "/" is returned unchanged. A bare name (no "/") gives the first
// directory of SystemExecutableDirs() in which it is a regular file (links followed) that
// the caller may execute. nullopt when there is none, and for a relative path such as
// "bin/tool" or "./tool": what that names depends on the caller's working directory, and
// the launcher never runs a program by a relative name.
std::optional<boost::filesystem::path> FindSystemExecutable(const std::string& name);

}  // namespace sov::supervisor
