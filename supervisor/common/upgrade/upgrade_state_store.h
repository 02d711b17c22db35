// The upgrade state is kept as symbolic links between patch directories in the product's
// variable directory (install-current, install-upgrade, install-previous, install-failed)
// plus the presence of "upgrade.ini". This store decodes the state from them and moves it
// along the allowed transitions only.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/upgrade/upgrade_state.h"

#include <initializer_list>

namespace sov::supervisor {

class UpgradeStateStore : public Utils {
 public:
  using Utils::Utils;

  // Decodes the state of `paths`: no install-current link is NotInstalled, "upgrade.ini"
  // is UpgradeWithRenaming, then the upgrade/previous/failed links decide. Traces
  // "GetUpgradeState: Current upgrade state: <name>".
  UpgradeState Get(const ProductPaths& paths) const;

  // Moves from `from` (the state last read) to `to`, changing the links as the transition
  // table says; `patch` is the new patch directory for the transitions that link one.
  // The file system of the variable directory is flushed before the links change (so
  // they never name files that a power cut could take back; a failure throws
  // std::system_error naming the directory), and the directory holding the links is
  // flushed before this returns. Equal states change nothing. Any other pair throws
  // std::logic_error "Unexpected upgrade state transition <from> -> <to>" with the links
  // untouched. A non-empty directory where install-upgrade is to be linked is never
  // removed: std::runtime_error "<path> is a directory, not a link; refusing to replace it".
  void Set(const ProductPaths& paths, UpgradeState from, UpgradeState to, const Path& patch) const;

  // In state PackageReconfigured, makes `patch` the upgrade instead of the patch that
  // install-upgrade names (a second package installed before the restart that would have
  // completed the first): install-upgrade is replaced in one rename, with the same flushes
  // as Set, and the superseded tree is then removed under RemovePatch's rules (directly
  // below the variable directory, neither in use nor named by another state link),
  // otherwise kept with a warning. Nothing changes when install-upgrade names `patch`
  // already. Throws std::logic_error "Unexpected upgrade state <state>" in any other state.
  void SupersedeUpgrade(const ProductPaths& paths, const Path& patch) const;

 private:
  // Points the state link `link` at `target` (CreateOrReplaceSymlink refusing directories).
  void ReplaceLink(const Path& link, const Path& target) const;
  // Removes the patch that `link` names: the link, then its directory tree. The tree is
  // kept, with a warning naming it and why, unless it is a patch directory directly below
  // the variable directory that neither is nor holds one of `keep` (the active or the new
  // patch: a reinstall into the same directory makes them the tree left behind). Anything
  // at `link` that is not a symbolic link is left alone with a warning.
  void RemovePatch(const ProductPaths& paths,
                   const PatchPaths& link,
                   std::initializer_list<Path> keep) const;
};

}  // namespace sov::supervisor
