// Utils: system tool lookup and the file operations on the product trees.
#include "supervisor/common/files/utils.h"

#include "sov_common/atomic_file.h"
#include "sov_common/distrib_type.h"
#include "sov_common/file_copy.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/process/system_executable.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <mutex>
#include <stdexcept>
#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

// Whether cp's exit status counts on this distribution, decided once per process.
bool CopyNoClobberStatusCounts(const Utils& utils) {
  static std::once_flag traced;
  const DistribType type = GetDistribType();
  std::call_once(traced, [&] {
    utils.Trace(kTraceDebug, "CopyNPRV", "Deduced distrib type: ", ToString(type));
  });
  return type != DistribType::Alt && type != DistribType::Euler;
}

void RefuseNonEmptyDirectory(const Path& path) {
  boost::system::error_code error;
  // A directory that cannot be listed counts as not empty.
  if (fs::is_directory(fs::symlink_status(path)) && !fs::is_empty(path, error)) {
    BOOST_THROW_EXCEPTION(std::runtime_error(
        (boost::format("%1% is a directory, not a link; refusing to replace it") % path.string())
            .str()));
  }
}

}  // namespace

Path Utils::ResolvePath(const std::string& name) const {
  if (auto found = FindSystemExecutable(name)) {
    return *found;
  }
  if (IsTraceEnabled(kTraceError)) {
    Tracer()->Trace(kTraceError, Concat(name, " not found"));
  }
  BOOST_THROW_EXCEPTION(std::runtime_error((boost::format("%1% not found") % name).str()));
}

bool Utils::IsResolvable(const std::string& name) {
  return FindSystemExecutable(name).has_value();
}

void Utils::CreateSymlink(const Path& link, const Path& target) const {
  fs::create_symlink(target, link);
  Trace(kTraceDebug, "CreateSymlink", "Symlink created ", link, " -> ", target);
}

void Utils::CopySymlink(const Path& from, const Path& to) const {
  fs::copy_symlink(from, to);
  Trace(kTraceDebug, "CopySymlink", "Symlink copied ", from, " -> ", to);
}

void Utils::CreateHardlink(const Path& link, const Path& target) const {
  fs::create_hard_link(target, link);
  Trace(kTraceDebug, "CreateHardlink", "Hardlink created ", link, " -> ", target);
}

void Utils::Rename(const Path& from, const Path& to) const {
  fs::rename(from, to);
  Trace(kTraceDebug, "Rename", "Renamed ", from, " -> ", to);
}

void Utils::CopyFile(const Path& from, const Path& to) const {
  CopyFile(from, to, false);
}

void Utils::CopyFile(const Path& from, const Path& to, bool overwrite) const {
  sov::tools::CopyFile(
      from, to, overwrite ? sov::tools::CopyMode::kOverwrite : sov::tools::CopyMode::kFailIfExists);
  Trace(kTraceDebug, "CopyFile", "File ", from, " copied to ", to);
}

void Utils::Remove(const Path& path) const {
  if (fs::remove(path)) {
    Trace(kTraceDebug, "Remove", path, " removed");
  }
}

void Utils::RemoveSymlink(const Path& path) const {
  const auto status = fs::symlink_status(path);
  if (fs::is_symlink(status)) {
    Remove(path);
  } else if (fs::exists(status)) {
    Trace(kTraceWarning, "RemoveSymlink", "Path '", path, "' not a symlink. Skip it.");
  }
}

void Utils::RemoveAll(const Path& path) const {
  const auto count = fs::remove_all(path);
  if (count > 0) {
    Trace(kTraceDebug, "RemoveAll", path, " removed (", count, ")");
  }
}

void Utils::RemoveAllNoThrow(const Path& path) const {
  boost::system::error_code error;
  fs::remove_all(path, error);
  if (error) {
    Trace(kTraceError, "RemoveAllNoThrow", "Can't remove ", path, ". Reason: ", error.message());
    return;
  }
  Trace(kTraceDebug, "RemoveAllNoThrow", path, " removed");
}

void Utils::ReplaceWithSymlink(const Path& link, const Path& target) const {
  RemoveAll(link);
  CreateSymlink(link, target);
}

void Utils::CreateOrReplaceSymlink(const Path& link,
                                   const Path& target,
                                   DirectoryInTheWay directory) const {
  const bool refuse = directory == DirectoryInTheWay::kRefuseUnlessEmpty;
  if (fs::is_symlink(fs::symlink_status(link))) {
    if (fs::read_symlink(link) == target) {
      Trace(kTraceDebug, "CreateOrReplaceSymlink", link, " symlink already has expected value");
      return;
    }
    const Path temporary = link.parent_path() / (link.filename().string() + ".tmp");
    if (refuse) {
      RefuseNonEmptyDirectory(temporary);
    }
    Trace(kTraceDebug, "CreateOrReplaceSymlink", "Replacing symlink ", link, " -> ", target);
    RemoveAll(temporary);
    CreateSymlink(temporary, target);
    Rename(temporary, link);
    return;
  }
  if (refuse) {
    RefuseNonEmptyDirectory(link);
  }
  Trace(kTraceDebug, "CreateOrReplaceSymlink", "Creating symlink ", link, " -> ", target);
  RemoveAll(link);
  CreateSymlink(link, target);
}

CmdObject::Result Utils::RunCp(CmdObject::Arguments options,
                               const Path& from,
                               const Path& to) const {
  options.insert(options.begin(), "cp");
  options.push_back(from.string());
  options.push_back(to.string());
  auto result = CmdObject(Tracer().get()).SetArgs(std::move(options)).KeepCause()();
  // cp writes without flushing, and a rerun keeps the files it finds (no clobber, or
  // nothing at `to`). Any later flush (of a replaced ini, say) publishes the new names,
  // while their data may still be in memory: after a power cut those files would come back
  // empty and stay so. On disk before the next step, they come back whole or not at all.
  // A cp that found no directory to copy into wrote nothing; its own failure tells why.
  boost::system::error_code error;
  if (fs::is_directory(to.parent_path(), error)) {
    sov::tools::SyncFileSystem(to.parent_path());
  }
  return result;
}

void Utils::CopyPRV(const Path& from, const Path& to) const {
  // The files of a patch are hard links to the package's unpacked files: cp must replace an
  // existing file with a new one rather than write into it, or the package's copy changes
  // too.
  RunCp({"-prv", "--remove-destination"}, from, to).Check();
}

void Utils::CopyPV(const Path& from, const Path& to) const {
  // Anything at `to`, a dangling link included, counts: cp would write through the link.
  if (!fs::exists(fs::symlink_status(to))) {
    RunCp({"-pv"}, from, to).Check();
  }
}

void Utils::CopyNPRV(const Path& from, const Path& to) const {
  const auto result = RunCp({"-nprv"}, from, to);
  if (CopyNoClobberStatusCounts(*this)) {
    result.Check();
  }
}

}  // namespace sov::supervisor
