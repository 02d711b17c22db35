// Init-system detection from the executable of PID 1.
#include "sov_common/init_system.h"

#include <boost/filesystem/operations.hpp>

#include <string>

namespace sov::supervisor {

bool IsSystemdExecutable(std::string_view initExecutable) {
  return initExecutable.find("systemd") != std::string_view::npos;
}

bool IsSystemd() {
  static const bool systemd = [] {
    boost::system::error_code error;
    const auto target = boost::filesystem::read_symlink("/proc/1/exe", error);
    return !error && IsSystemdExecutable(target.string());
  }();
  return systemd;
}

}  // namespace sov::supervisor
