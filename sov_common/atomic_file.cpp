// Temporary file + fsync + rename. The directory is flushed after the rename too, since
// the rename itself lives in the directory.
#include "sov_common/atomic_file.h"

#include <boost/filesystem/exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace sov::tools {
namespace fs = boost::filesystem;
namespace {

[[noreturn]] void ThrowFilesystemError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path,
                             boost::system::error_code(error, boost::system::generic_category()));
}

fs::path DirectoryOf(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

}  // namespace

AtomicFile::AtomicFile(fs::path target) : target_(std::move(target)) {
  std::string pattern = target_.string() + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_.Reset(mkostemp(name.data(), O_CLOEXEC));
  if (!fd_) {
    ThrowFilesystemError("Can't create temporary file for", target_, errno);
  }
  temporary_ = name.data();
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    fd_.Reset();
    unlink(temporary_.c_str());
  }
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

void AtomicFile::Finish() {
  if (fsync(fd_.Get()) != 0) {
    Fail("Can't flush", errno);
  }
  if (close(fd_.Release()) != 0) {
    Fail("Can't close", errno);
  }
}

void AtomicFile::Commit() {
  Finish();
  if (rename(temporary_.c_str(), target_.c_str()) != 0) {
    Fail("Can't rename", errno);
  }
  committed_ = true;
  SyncDirectory(DirectoryOf(target_));
}

void AtomicFile::CommitNew() {
  Finish();
  // link() refuses an existing target, which makes "copy unless present" atomic.
  if (link(temporary_.c_str(), target_.c_str()) != 0) {
    Fail("Can't create", errno);
  }
  unlink(temporary_.c_str());
  committed_ = true;
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

}  // namespace sov::tools
