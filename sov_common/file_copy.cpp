// Read/write file copy onto an atomically replaced target.
#include "sov_common/file_copy.h"

#include "sov_common/atomic_file.h"
#include "sov_common/unique_fd.h"

#include <boost/filesystem/exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sov::tools {
namespace fs = boost::filesystem;
namespace {

[[noreturn]] void ThrowCopyError(const fs::path& from, const fs::path& to, int error) {
  throw fs::filesystem_error("Can't copy file", from, to,
                             boost::system::error_code(error, boost::system::generic_category()));
}

// The copy that replaces a regular file keeps that file's owner and group. A link at `to`
// lends none: the link is replaced, not what it points to.
void KeepOwnerOfReplaced(const fs::path& to, AtomicFile& copy) {
  struct stat replaced {};
  if (lstat(to.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
    copy.SetOwner(replaced.st_uid, replaced.st_gid);
  }
}

}  // namespace

void CopyFile(const fs::path& from, const fs::path& to, CopyMode mode) {
  const UniqueFd source(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!source || fstat(source.Get(), &status) != 0) {
    ThrowCopyError(from, to, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    ThrowCopyError(from, to, EINVAL);
  }
  if (mode == CopyMode::kFailIfExists && access(to.c_str(), F_OK) == 0) {
    ThrowCopyError(from, to, EEXIST);
  }
  AtomicFile target(to);
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t got = read(source.Get(), buffer.data(), buffer.size());
    if (got == 0) {
      break;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      ThrowCopyError(from, to, errno);
    }
    target.Write(std::string_view(buffer.data(), static_cast<size_t>(got)));
  }
  target.SetMode(status.st_mode & 07777);
  if (mode == CopyMode::kOverwrite) {
    KeepOwnerOfReplaced(to, target);
    target.Commit();
  } else {
    target.CommitNew();
  }
}

}  // namespace sov::tools
