// Fixed-list lookup of system executables.
#include "supervisor/common/process/system_executable.h"

#include <sys/stat.h>
#include <unistd.h>

namespace sov::supervisor {

const std::vector<std::string>& SystemExecutableDirs() {
  static const std::vector<std::string> dirs = {"/usr/sbin", "/usr/bin", "/bin", "/sbin"};
  return dirs;
}

std::optional<boost::filesystem::path> FindSystemExecutable(const std::string& name) {
  if (!name.empty() && name.front() == '/') {
    return boost::filesystem::path(name);
  }
  if (name.empty() || name.find('/') != std::string::npos) {
    return std::nullopt;
  }
  for (const auto& dir : SystemExecutableDirs()) {
    const std::string candidate = dir + "/" + name;
    struct stat status {};
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return boost::filesystem::path(candidate);
    }
  }
  return std::nullopt;
}

}  // namespace sov::supervisor
