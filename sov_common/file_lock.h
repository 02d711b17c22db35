// Scoped exclusive flock: taken in the constructor (waiting for other holders), released
// in the destructor on every path out of the holder's scope.
#pragma once

#include <sys/file.h>

#include <cerrno>

namespace sov::tools {

class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        return;
      }
    }
    locked_ = true;
  }
  ~FileLock() {
    if (locked_) {
      flock(fd_, LOCK_UN);
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Locked() const { return locked_; }
  // The errno of the failed flock when Locked() is false.
  int Error() const { return error_; }

 private:
  int fd_;
  bool locked_ = false;
  int error_ = 0;
};

}  // namespace sov::tools
