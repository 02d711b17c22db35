// For the tests of the ways the launcher starts programs: a caller that leaves clutter for
// its children, and probe programs that write down what a child was given.
#pragma once

#include "tests/unit/test_support.h"

#include <signal.h>

#include <string>
#include <vector>

namespace sov::testing {

// While it lives, this process holds an inheritable descriptor (as a package script's pipe
// would be), ignores SIGHUP and blocks SIGUSR1. Everything is restored at the end.
class InheritedClutter {
 public:
  InheritedClutter();
  ~InheritedClutter();
  InheritedClutter(const InheritedClutter&) = delete;
  InheritedClutter& operator=(const InheritedClutter&) = delete;

  int Descriptor() const { return fd_; }

 private:
  int fd_;
  struct sigaction hangup_ {};
  sigset_t mask_{};
};

// Two programs that write into `dir` what they were given: the descriptors open in them,
// and their signal mask and ignored signals (copied from their own /proc/self/status, by
// a program run directly: a shell would reset the mask on its own).
class ChildStateProbe {
 public:
  explicit ChildStateProbe(Path dir) : dir_(std::move(dir)) {}

  std::vector<std::string> DescriptorsCommand() const;
  std::vector<std::string> SignalsCommand() const;

  // "fds: 0 1 2, SigBlk: 0000000000000000, SigIgn: 0000000000000000" for a child that got
  // only the standard streams and default signals. Waits up to 5 s for both reports, for a
  // child that runs on its own.
  std::string Report() const;

  static constexpr const char* kClean =
      "fds: 0 1 2, SigBlk: 0000000000000000, SigIgn: 0000000000000000";

 private:
  Path dir_;
};

}  // namespace sov::testing
