// Scoped exclusive flock: taken in the constructor, released in the destructor on every
// path out of the holder's scope. The bounded form polls instead of blocking, so a holder
// that never lets go (any user can lock a file they can open) cannot hang the caller.
#pragma once

#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace sov::tools {

class FileLock {
 public:
  // Waits as long as another holder keeps the lock.
  explicit FileLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        return;
      }
    }
    locked_ = true;
  }

  // Waits at most about `wait`; when the lock is still held by then, Error() is
  // EWOULDBLOCK.
  FileLock(int fd, std::chrono::milliseconds wait) : fd_(fd) {
    constexpr std::chrono::milliseconds kRetry{5};
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        error_ = errno;
        return;
      }
      std::this_thread::sleep_for(kRetry);
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
