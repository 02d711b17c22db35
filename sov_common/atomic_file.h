// A file written beside its target and moved into place in one rename: readers see the old
// content or the new one, never a half-written file, and a failure leaves the target as it
// was. The destructor discards an uncommitted temporary file; it never commits.
#pragma once

#include "sov_common/unique_fd.h"

#include <boost/filesystem/path.hpp>

#include <sys/types.h>

#include <string_view>

namespace sov::tools {

class AtomicFile {
 public:
  // Creates "<target>.tmp.XXXXXX" in the target's directory. Throws
  // boost::filesystem::filesystem_error when it cannot.
  explicit AtomicFile(boost::filesystem::path target);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends `data`; throws filesystem_error on a write error.
  void Write(std::string_view data);

  // Flushes the data to disk, gives the file `mode`, and renames it over the target.
  void Commit(mode_t mode);
  // Same, but fails with EEXIST (target untouched) when the target exists.
  void CommitNew(mode_t mode);

  const boost::filesystem::path& TemporaryPath() const { return temporary_; }

 private:
  void Finish(mode_t mode);
  [[noreturn]] void Fail(const char* what, int error) const;

  boost::filesystem::path target_;
  boost::filesystem::path temporary_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Flushes the directory entry list of `directory` to disk, so that a rename or link made in
// it survives a power cut. Throws filesystem_error.
void SyncDirectory(const boost::filesystem::path& directory);

}  // namespace sov::tools
