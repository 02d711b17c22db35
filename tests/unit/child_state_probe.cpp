// The clutter a careless caller leaves to the launcher, and the probes that show whether a
// child of the launcher inherited it.
#include "tests/unit/child_state_probe.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace sov::testing {
namespace {

// The value of the "<field>:" line of a /proc/<pid>/status text.
std::string StatusField(const std::string& status, const std::string& field) {
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return boost::algorithm::trim_copy(line.substr(field.size() + 1));
    }
  }
  return "<missing>";
}

}  // namespace

InheritedClutter::InheritedClutter() : fd_(open("/dev/null", O_RDONLY)) {
  if (fd_ < 0) {
    throw std::runtime_error("cannot open /dev/null");
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &ignore, &hangup_);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &mask_);
}

InheritedClutter::~InheritedClutter() {
  sigprocmask(SIG_SETMASK, &mask_, nullptr);
  sigaction(SIGHUP, &hangup_, nullptr);
  close(fd_);
}

std::vector<std::string> ChildStateProbe::DescriptorsCommand() const {
  // The glob's own directory descriptor is closed again by the time each entry is tested.
  return {"/bin/sh", "-c",
          "exec >\"$1.tmp\"; for f in /proc/self/fd/*; do [ -e \"$f\" ] && printf ' %s' "
          "\"${f##*/}\"; done; mv \"$1.tmp\" \"$1\"",
          "sh", (dir_ / "fds").string()};
}

std::vector<std::string> ChildStateProbe::SignalsCommand() const {
  return {"cp", "/proc/self/status", (dir_ / "status").string()};
}

std::string ChildStateProbe::Report() const {
  const Path fds = dir_ / "fds";
  const Path status = dir_ / "status";
  const auto complete = [&] {
    // SigCgt follows the lines we read, so a status that has it is copied far enough.
    return boost::filesystem::exists(fds) && boost::filesystem::exists(status) &&
           ReadFile(status).find("SigCgt:") != std::string::npos;
  };
  for (int i = 0; i < 100 && !complete(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!complete()) {
    return "no report";
  }
  const std::string statusText = ReadFile(status);
  return "fds: " + boost::algorithm::trim_copy(ReadFile(fds)) +
         ", SigBlk: " + StatusField(statusText, "SigBlk") +
         ", SigIgn: " + StatusField(statusText, "SigIgn");
}

}  // namespace sov::testing
