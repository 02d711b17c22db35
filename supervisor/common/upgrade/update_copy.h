// What the first start of a new patch carries over from the previous patch's updates.
//
// - All updates: the tree of the previous patch's updates directory
//   (".../private/updates/") is copied over the new patch's, file by file, replacing files
//   of the same name: what the previous product downloaded is newer than what the package
//   shipped. Then the detection database "storage/detects.db", when the previous patch
//   has one, replaces the new patch's.
// - Updatable modules: the files of the previous patch's "lib64/updatable_modules/"
//   replace the new patch's of the same name.
// - Kernel-level (ULKM) updates: every file whose name begins with "libsystem_interceptors"
//   (the library, its versioned names and signatures). Updates of that kind made before
//   12.4.0.0 do not fit the new kernel interface: what the copy of all updates took from
//   them is undone in the new patch (where the new build shipped a file of that name among
//   its initial updates, the shipped one comes back), and they are left out of the module
//   copy. Files that the new build shipped are never removed. The previous patch keeps its
//   own: it is the rollback target.
//
// Every file is replaced by a rename, so a copy interrupted at any point and run again
// ends with the same tree. A missing source directory copies nothing.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/patch_paths.h"

#include <functional>
#include <string>

namespace sov::supervisor {

class UpdateCopy : public Utils {
 public:
  using Utils::Utils;

  static bool IsUlkmUpdate(const std::string& fileName);

  void CopyAllUpdates(const PatchPaths& previous, const PatchPaths& current) const;
  void CopyDetectsDb(const PatchPaths& previous, const PatchPaths& current) const;
  // `withUlkm` false leaves the kernel-level updates behind.
  void CopyUpdatableModules(const PatchPaths& previous,
                            const PatchPaths& current,
                            bool withUlkm) const;
  // Undoes the copy of `previous`'s kernel-level updates into `current`'s updates.
  void RemoveUlkmUpdates(const PatchPaths& previous, const PatchPaths& current) const;
  // The previous patch's updates directory, once the new patch runs.
  void RemovePreviousUpdates(const PatchPaths& previous) const;

 private:
  using Filter = std::function<bool(const std::string& fileName)>;
  // Copies regular files and links below `from` into `to` where `take` accepts the name.
  void CopyTree(const Path& from, const Path& to, const Filter& take) const;
};

}  // namespace sov::supervisor
