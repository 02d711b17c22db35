// Tree removal over directory descriptors (openat/unlinkat), without a stat per entry
// where the directory listing tells the type.
#include "sov_common/tree_removal.h"

#include "sov_common/unique_fd.h"

#include <boost/filesystem/exception.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sov::tools {
namespace fs = boost::filesystem;
namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void ThrowError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path,
                             boost::system::error_code(error, boost::system::generic_category()));
}

struct Entry {
  std::string name;
  bool directory;
};

bool IsDirectoryAt(int directoryFd, const std::string& name) {
  struct stat status {};
  return fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

// The entries of the directory open as `directoryFd`, read in full before any goes.
std::vector<Entry> EntriesOf(int directoryFd, const fs::path& path) {
  const int listFd = dup(directoryFd);  // closedir closes it
  if (listFd < 0) {
    ThrowError("Can't read directory", path, errno);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> list(fdopendir(listFd), closedir);
  if (!list) {
    const int error = errno;
    close(listFd);
    ThrowError("Can't read directory", path, error);
  }
  std::vector<Entry> entries;
  errno = 0;
  while (const dirent* entry = readdir(list.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      const bool directory =
          entry->d_type == DT_UNKNOWN ? IsDirectoryAt(directoryFd, name) : entry->d_type == DT_DIR;
      entries.push_back({name, directory});
    }
    errno = 0;
  }
  if (errno != 0) {
    ThrowError("Can't read directory", path, errno);
  }
  return entries;
}

void RemoveContents(int directoryFd, const fs::path& path) {
  for (const Entry& entry : EntriesOf(directoryFd, path)) {
    const fs::path entryPath = path / entry.name;
    if (entry.directory) {
      const UniqueFd child(openat(directoryFd, entry.name.c_str(), kOpenDirectory));
      if (!child) {
        ThrowError("Can't open directory", entryPath, errno);
      }
      RemoveContents(child.Get(), entryPath);
    }
    if (unlinkat(directoryFd, entry.name.c_str(), entry.directory ? AT_REMOVEDIR : 0) != 0 &&
        errno != ENOENT) {
      ThrowError("Can't remove", entryPath, errno);
    }
  }
}

}  // namespace

void RemoveTree(const fs::path& path) {
  const UniqueFd directory(open(path.c_str(), kOpenDirectory));
  if (!directory) {
    const int error = errno;
    if (error == ENOENT) {
      return;
    }
    if (error != ELOOP && error != ENOTDIR) {
      ThrowError("Can't open directory", path, error);
    }
    // A link (not followed) or another file: it goes itself.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      ThrowError("Can't remove", path, errno);
    }
    return;
  }
  RemoveContents(directory.Get(), path);
  if (rmdir(path.c_str()) != 0 && errno != ENOENT) {
    ThrowError("Can't remove", path, errno);
  }
}

}  // namespace sov::tools
