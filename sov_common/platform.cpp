// uname-based platform facts.
#include "sov_common/platform.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <sys/stat.h>
#include <sys/utsname.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

utsname Uname() {
  utsname names{};
  if (uname(&names) != 0) {
    BOOST_THROW_EXCEPTION(std::system_error(errno, std::generic_category(), "uname failed"));
  }
  return names;
}

bool IsAnyOf(std::string_view machine, std::initializer_list<std::string_view> names) {
  for (auto name : names) {
    if (boost::iequals(machine, name)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Architecture ArchitectureFromMachine(std::string_view machine) {
  // i386 .. i686: an "i", one digit, then "86".
  if (machine.size() >= 4 && (machine[0] == 'i' || machine[0] == 'I') &&
      std::isdigit(static_cast<unsigned char>(machine[1])) && machine.substr(2, 2) == "86") {
    return Architecture::X86;
  }
  if (IsAnyOf(machine, {"AMD64", "x64", "Intel64", "EM64T", "x86_64", "x86-64"})) {
    return Architecture::X86_64;
  }
  if (IsAnyOf(machine, {"IA64", "Itanium"})) {
    return Architecture::IA64;
  }
  if (IsAnyOf(machine, {"arm64", "aarch64"})) {
    return Architecture::Arm64;
  }
  return Architecture::None;
}

std::string GetOsRelease() {
  return Uname().release;
}

int BitnessOf(std::string_view machine) {
  switch (ArchitectureFromMachine(machine)) {
    case Architecture::X86:
      return 32;
    case Architecture::X86_64:
    case Architecture::IA64:
    case Architecture::Arm64:
      return 64;
    case Architecture::None:
      break;
  }
  BOOST_THROW_EXCEPTION(
      std::runtime_error((boost::format("Unsupported architecture %1%") % machine).str()));
}

int GetBitness() {
  return BitnessOf(Uname().machine);
}

std::string ProcessExePath(pid_t pid) {
  return "/proc/" + std::to_string(pid) + "/exe";
}

bool IsSameFile(const std::string& left, const std::string& right) {
  struct stat leftStatus {};
  struct stat rightStatus {};
  return stat(left.c_str(), &leftStatus) == 0 && stat(right.c_str(), &rightStatus) == 0 &&
         leftStatus.st_dev == rightStatus.st_dev && leftStatus.st_ino == rightStatus.st_ino;
}

}  // namespace sov::supervisor
