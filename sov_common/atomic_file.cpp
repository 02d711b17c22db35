// Temporary file + fsync + rename. The directory is flushed after the rename too, since
// the rename itself lives in the directory. A writer holds an flock on its temporary file
// from its creation to the rename, which tells a file being written from one that a killed
// writer abandoned: only the latter can be locked by someone else, and only it is removed.
#include "sov_common/atomic_file.h"

#include <boost/filesystem/exception.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sov::tools {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kTemporarySuffix = ".tmp.";
constexpr std::size_t kRandomLength = 6;  // the XXXXXX that mkostemp fills
constexpr int kCreateAttempts = 8;

[[noreturn]] void ThrowFilesystemError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path,
                             boost::system::error_code(error, boost::system::generic_category()));
}

fs::path DirectoryOf(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// "<prefix>" followed by exactly what mkostemp puts in place of "XXXXXX".
bool IsTemporaryName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kRandomLength || name.substr(0, prefix.size()) != prefix) {
    return false;
  }
  for (const char c : name.substr(prefix.size())) {
    if (!IsLetterOrDigit(c)) {
      return false;
    }
  }
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names in the directory open as `directoryFd` that `accept` takes.
template <typename Accept>
std::vector<std::string> NamesIn(int directoryFd, Accept accept) {
  std::vector<std::string> names;
  const int listFd = dup(directoryFd);  // closedir closes it
  if (listFd < 0) {
    return names;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> list(fdopendir(listFd), closedir);
  if (!list) {
    close(listFd);
    return names;
  }
  while (const dirent* entry = readdir(list.get())) {
    if (accept(entry->d_name)) {
      names.emplace_back(entry->d_name);
    }
  }
  return names;
}

// Removes `name` in the directory `directoryFd` when it is a regular file of ours that no
// writer holds locked. Each check is made on the file that is then removed: the entry is
// looked at without following it, opened without following it, compared with what was
// looked at, locked, and compared once more just before the unlink.
void RemoveIfAbandoned(int directoryFd, const std::string& name) {
  struct stat entry {};
  if (fstatat(directoryFd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(entry.st_mode) || entry.st_uid != geteuid()) {
    return;
  }
  const UniqueFd fd(
      openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!fd || fstat(fd.Get(), &opened) != 0 || !SameFile(entry, opened) ||
      flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    return;
  }
  struct stat now {};
  if (fstatat(directoryFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, opened)) {
    unlinkat(directoryFd, name.c_str(), 0);
  }
}

}  // namespace

AtomicFile::AtomicFile(fs::path target) : target_(std::move(target)) {
  // First, so that the space the leftovers took is free for this write.
  RemoveLeftovers();
  CreateTemporary();
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    unlink(temporary_.c_str());
    fd_.Reset();
  }
}

void AtomicFile::RemoveLeftovers() const {
  const UniqueFd directory(open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) {
    return;  // then creating the temporary file fails and says why
  }
  const std::string prefix = target_.filename().string() + kTemporarySuffix;
  const auto leftovers = NamesIn(
      directory.Get(), [&prefix](const char* name) { return IsTemporaryName(name, prefix); });
  for (const auto& name : leftovers) {
    RemoveIfAbandoned(directory.Get(), name);
  }
}

void AtomicFile::CreateTemporary() {
  const std::string pattern = target_.string() + kTemporarySuffix + std::string(kRandomLength, 'X');
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));
    if (!fd) {
      ThrowFilesystemError("Can't create temporary file for", target_, errno);
    }
    // Another writer's clean-up may have locked the new file before this one did, to remove
    // it, or removed it already: then it is left to that and another one is made. A file
    // system without flock leaves the file unlocked, and the clean-up then never removes it.
    const bool takenByCleanUp = flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    struct stat status {};
    if (!takenByCleanUp && fstat(fd.Get(), &status) == 0 && status.st_nlink > 0) {
      fd_ = std::move(fd);
      temporary_ = name.data();
      return;
    }
  }
  ThrowFilesystemError("Can't create temporary file for", target_, EAGAIN);
}

void AtomicFile::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(fd_.Get(), data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("Can't write", errno);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

void AtomicFile::SetOwner(uid_t owner, gid_t group) {
  if (fchown(fd_.Get(), owner, group) != 0) {
    Fail("Can't chown", errno);
  }
}

void AtomicFile::SetMode(mode_t mode) {
  if (fchmod(fd_.Get(), mode) != 0) {
    Fail("Can't chmod", errno);
  }
}

void AtomicFile::Flush() {
  if (fsync(fd_.Get()) != 0) {
    Fail("Can't flush", errno);
  }
}

void AtomicFile::Commit() {
  Flush();
  if (rename(temporary_.c_str(), target_.c_str()) != 0) {
    Fail("Can't rename", errno);
  }
  committed_ = true;
  // Closed (and unlocked) only after the rename, which the lock protects. After the fsync,
  // a close has nothing left to report.
  fd_.Reset();
  SyncDirectory(DirectoryOf(target_));
}

void AtomicFile::CommitNew() {
  Flush();
  // link() refuses an existing target, which makes "copy unless present" atomic.
  if (link(temporary_.c_str(), target_.c_str()) != 0) {
    Fail("Can't create", errno);
  }
  unlink(temporary_.c_str());
  committed_ = true;
  fd_.Reset();
  SyncDirectory(DirectoryOf(target_));
}

void AtomicFile::Fail(const char* what, int error) const {
  ThrowFilesystemError(what, target_, error);
}

void SyncDirectory(const fs::path& directory) {
  const UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || fsync(fd.Get()) != 0) {
    ThrowFilesystemError("Can't flush directory", directory, errno);
  }
}

void SyncFileSystem(const fs::path& directory) {
  // Followed if a link: a flush of another file system is harmless.
  const UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || syncfs(fd.Get()) != 0) {
    ThrowFilesystemError("Can't flush the file system of", directory, errno);
  }
}

}  // namespace sov::tools
