// The Linux distribution family, used to tolerate the quirks of a family's tools.
#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

namespace sov::supervisor {

enum class DistribType { Unknown = 0, Ubuntu, Debian, RedHat, Suse, Alt, Astra, Euler };

// "Unknown", "Ubuntu", "Debian", "RedHat", "Suse", "Alt", "Astra" or "Euler".
std::string ToString(DistribType type);

// Deduces the family from the release files below `etcDir` (normally "/etc"): os-release
// first, then the older redhat, SuSE, debian and centos release files. Missing files (and
// anything but a regular file, links followed) give Unknown; a malformed os-release throws
// the INI parser's error, and a release file that exists but cannot be read (or exceeds
// 64 KiB) throws std::system_error "Cannot read <path>".
DistribType DeduceDistribType(const boost::filesystem::path& etcDir);

// DeduceDistribType("/etc"), computed on the first call and kept for the process.
DistribType GetDistribType();

}  // namespace sov::supervisor
