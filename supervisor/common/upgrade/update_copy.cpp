// Copying updates from the previous patch into the new one at its first start. Links are
// copied as links (never followed), so a link in the previous tree cannot make the copy
// read or write outside the two patches.
#include "supervisor/common/upgrade/update_copy.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>

namespace sov::supervisor {
namespace fs = boost::filesystem;

bool UpdateCopy::IsUlkmUpdate(const std::string& fileName) {
  return boost::starts_with(fileName, "libsystem_interceptors");
}

void UpdateCopy::CopyTree(const Path& from, const Path& to, const Filter& take) const {
  if (!fs::is_directory(fs::symlink_status(from))) {
    return;
  }
  fs::create_directories(to);
  for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
    const fs::file_status status = it->symlink_status();
    const Path target = to / fs::relative(it->path(), from);
    if (fs::is_directory(status)) {
      fs::create_directories(target);
    } else if (!take(it->path().filename().string())) {
      continue;
    } else if (fs::is_symlink(status)) {
      Remove(target);
      CopySymlink(it->path(), target);
    } else if (fs::is_regular_file(status)) {
      CopyFile(it->path(), target, true);
    }
  }
}

void UpdateCopy::CopyAllUpdates(const PatchPaths& previous, const PatchPaths& current) const {
  Trace(kTraceDebug, "CopyUpdates", "Copying all update files from previous version ...");
  CopyTree(previous.UpdatesDir(), current.UpdatesDir(), [](const std::string&) { return true; });
  CopyDetectsDb(previous, current);
}

void UpdateCopy::CopyDetectsDb(const PatchPaths& previous, const PatchPaths& current) const {
  Trace(kTraceDebug, "CopyUpdates", "Copying detects.db from previous version ...");
  const Path source = previous.StorageDir() / "detects.db";
  if (fs::is_regular_file(fs::symlink_status(source))) {
    fs::create_directories(current.StorageDir());
    CopyFile(source, current.StorageDir() / "detects.db", true);
  }
}

void UpdateCopy::CopyUpdatableModules(const PatchPaths& previous,
                                      const PatchPaths& current,
                                      bool withUlkm) const {
  Trace(kTraceDebug, "CopyUpdates", "Copying updatable modules from previous version ...");
  CopyTree(previous.UpdatableModulesDir(), current.UpdatableModulesDir(),
           [withUlkm](const std::string& name) { return withUlkm || !IsUlkmUpdate(name); });
}

void UpdateCopy::RemoveUlkmUpdates(const PatchPaths& previous, const PatchPaths& current) const {
  Trace(kTraceDebug, "CopyUpdates", "Removing ULKM updates ...");
  const Path from = previous.UpdatesDir();
  if (!fs::is_directory(fs::symlink_status(from))) {
    return;
  }
  std::vector<Path> copied;
  for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
    if (!fs::is_directory(it->symlink_status()) && IsUlkmUpdate(it->path().filename().string())) {
      copied.push_back(fs::relative(it->path(), from));
    }
  }
  // The install laid the build's initial updates from InitUpdatesDir() into UpdatesDir().
  for (const Path& file : copied) {
    const Path target = current.UpdatesDir() / file;
    const Path shipped = current.InitUpdatesDir() / file;
    if (fs::is_regular_file(fs::symlink_status(shipped))) {
      CopyFile(shipped, target, true);
    } else {
      Remove(target);
    }
  }
}

void UpdateCopy::RemovePreviousUpdates(const PatchPaths& previous) const {
  const Path directory = previous.UpdatesDir();
  Trace(kTraceDebug, "RemovePreviousUpdates", "Removing ", directory, " ...");
  RemoveAll(directory);
}

}  // namespace sov::supervisor
