// Dump clean-up of the first start after an upgrade. Only the top level of each directory
// is looked at; dumps are never written deeper.
#include "supervisor/common/system/core_dumps.h"

#include "sov_common/unique_fd.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

[[noreturn]] void ThrowFileError(const char* operation, const Path& path) {
  throw fs::filesystem_error(operation, path,
                             boost::system::error_code(errno, boost::system::system_category()));
}

// The path without the slashes at its end ("/" stays): open follows a link named with a
// trailing slash, O_NOFOLLOW or not, as the default dumps directory is written.
std::string WithoutTrailingSlashes(const Path& path) {
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

}  // namespace

CoreDumps::CoreDumps(ivo::TracerPtr tracer,
                     const ProductPaths& product,
                     const boost::property_tree::ptree& ini)
    : Utils(std::move(tracer)),
      dumpsDir_(
          ini.get<std::string>("General.CoreDumpsPath", (product.CommonDir() / "dumps/").string())),
      userDumpsRoot_(product.CommonDir() / "dumps-user/") {}

boost::regex CoreDumps::KeepPattern(const Version& version) {
  return boost::regex((boost::format(".*_%1%\\.%2%\\.%3%\\.%4%_.*\\.dmp$") % version.major %
                       version.minor % version.build % version.revision)
                          .str());
}

void CoreDumps::CleanDirectory(const Path& directory, const boost::regex& keep) const {
  // The per-user directories belong to their users, who could swap one for a link between
  // our listing and our removal: the directory is opened once without following a link and
  // every removal is made relative to that descriptor.
  const tools::UniqueFd dirFd(open(WithoutTrailingSlashes(directory).c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd) {
    ThrowFileError("open", directory);
  }
  std::vector<std::string> doomed;
  {
    DIR* stream = fdopendir(dup(dirFd.Get()));
    if (stream == nullptr) {
      ThrowFileError("fdopendir", directory);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, closedir);
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && !boost::regex_match(name, keep)) {
        doomed.push_back(name);
      }
    }
  }
  for (const auto& name : doomed) {
    if (unlinkat(dirFd.Get(), name.c_str(), 0) != 0 &&
        (errno != EISDIR || unlinkat(dirFd.Get(), name.c_str(), AT_REMOVEDIR) != 0)) {
      ThrowFileError("unlinkat", directory / name);
    }
    Trace(kTraceDebug, "Remove", directory / name, " removed");
  }
}

void CoreDumps::RemoveOtherVersions(const Version& current) const {
  const boost::regex keep = KeepPattern(current);
  // The product makes the directory with its first dump: until then there is nothing to do.
  if (fs::exists(fs::symlink_status(dumpsDir_))) {
    CleanDirectory(dumpsDir_, keep);
  }
  if (!fs::exists(userDumpsRoot_)) {
    return;
  }
  for (const auto& entry : fs::directory_iterator(userDumpsRoot_)) {
    if (fs::is_directory(entry.symlink_status())) {
      CleanDirectory(entry.path(), keep);
    }
  }
}

}  // namespace sov::supervisor
