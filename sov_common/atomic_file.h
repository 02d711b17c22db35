// A file written beside its target and moved into place in one rename: readers see the old
// content or the new one, never a half-written file, and a failure leaves the target as it
// was. The destructor discards an uncommitted temporary file; it never commits. A writer
// that was killed leaves its temporary file behind; the next writer of the same target
// removes it.
#pragma once

#include "sov_common/unique_fd.h"

#include <boost/filesystem/path.hpp>

#include <sys/types.h>

#include <string_view>

namespace sov::tools {

class AtomicFile {
 public:
  // Removes the temporary files that killed writers of `target` left behind, then creates
  // "<target>.tmp.XXXXXX" in the target's directory and holds an flock on it until it is
  // committed or discarded. Removed are only entries named exactly so (six letters or
  // digits) that are regular files of this process's user (a link is never followed) and
  // that no living writer holds locked; a failure to remove one is ignored. Throws
  // boost::filesystem::filesystem_error when the file cannot be created.
  explicit AtomicFile(boost::filesystem::path target);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends `data`; throws filesystem_error on a write error.
  void Write(std::string_view data);

  // The file starts with mode 0600; these give it the mode and owner it should have.
  void SetMode(mode_t mode);
  void SetOwner(uid_t owner, gid_t group);

  // Flushes the data to disk and renames the file over the target (a new inode: other hard
  // links to the old file keep its content).
  void Commit();
  // Same, but fails with EEXIST (target untouched) when the target exists.
  void CommitNew();

  const boost::filesystem::path& TemporaryPath() const { return temporary_; }

 private:
  void RemoveLeftovers() const;
  void CreateTemporary();
  void Flush();
  [[noreturn]] void Fail(const char* what, int error) const;

  boost::filesystem::path target_;
  boost::filesystem::path temporary_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Flushes the directory entry list of `directory` to disk, so that a rename or link made in
// it survives a power cut. Throws filesystem_error.
void SyncDirectory(const boost::filesystem::path& directory);

// Flushes the whole file system that holds the directory `directory` (syncfs): cheaper than
// a flush per file when a step has written many. Throws filesystem_error.
void SyncFileSystem(const boost::filesystem::path& directory);

}  // namespace sov::tools
