// The upgrade state is kept as symbolic links between patch directories in the product's
// variable directory (install-current, install-upgrade, install-previous, install-failed)
// plus the presence of "upgrade.ini". This store decodes the state from them and moves it
// along the allowed transitions only.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/upgrade/upgrade_state.h"

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
  // Removals left pending by an interrupted run are completed first (CompletePendingRemovals,
  // keeping `patch` too). The file system of the variable directory is flushed before the links
  // change (so they never name files that a power cut could take back; a failure throws
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
  // otherwise kept with a warning. A removal that an interruption left undone (the link
  // ".install-superseded" names its tree) is finished by the next call. Nothing else
  // changes when install-upgrade names `patch` already. Throws std::logic_error
  // "Unexpected upgrade state <state>" in any other state.
  void SupersedeUpgrade(const ProductPaths& paths, const Path& patch) const;

  // Whether install-current is a link that names nothing any more (its patch directory was
  // deleted): the product is then installed as far as the state says, yet nothing can run.
  static bool IsCurrentLost(const ProductPaths& paths);

  // Throws ApplicationError "<install-current> names <target>, which is gone, and <path>
  // is present: the upgrade state cannot be repaired; purge the product and install it
  // again" when another state link or "upgrade.ini" stands beside a lost install-current:
  // the state names patches whose fate only the administrator can decide.
  static void CheckLostCurrentRepairable(const ProductPaths& paths);

  // Points a lost install-current (IsCurrentLost) at `patch`, with the same flushes as Set;
  // the state then says Installed. Throws as CheckLostCurrentRepairable, changing nothing,
  // and std::logic_error when install-current is not lost.
  void RepairLostCurrent(const ProductPaths& paths, const Path& patch) const;

  // Completes the patch removals that a killed run left half done: a link
  // "install-previous.removing" or "install-failed.removing" (names the decoding ignores)
  // still naming the tree, or part of it. The tree goes under the rules of RemovePatch,
  // keeping whatever a state link or `keep` names, then the link goes. Never throws:
  // failures are traced at error level, and anything at those names that is not a
  // symbolic link is left alone.
  void CompletePendingRemovals(const ProductPaths& paths, const Path& keep = Path()) const;

 private:
  // Points the state link `link` at `target` (CreateOrReplaceSymlink refusing directories).
  void ReplaceLink(const Path& link, const Path& target) const;
  // The link that names the superseded patch from just before install-upgrade is switched
  // until its tree is removed.
  static Path SupersededMarker(const ProductPaths& paths);
  // Removes the tree that the marker names, unless a state link or `patch` names it or it
  // lies elsewhere, then the marker (FinishRemoval).
  void RemoveSuperseded(const ProductPaths& paths, const Path& patch) const;
  // Removes the patch that the state link `link` names so that a kill at any point leaves
  // either the link or a pending removal: the link is renamed to "<link>.removing" and the
  // directory flushed (the state no longer sees it), then the tree and that link go
  // (FinishRemoval). Anything at `link` that is not a symbolic link is left alone with a
  // warning; a non-empty directory at the pending name throws std::runtime_error.
  void RemovePatch(const ProductPaths& paths, const Path& link, const Path& keep) const;
  // Removes the tree that the pending link `pending` names, then the link; a tree that
  // cannot be removed in full keeps its link (traced at error level). The tree is
  // kept, with a warning naming it and why, unless it is a patch directory directly below
  // the variable directory that neither is nor holds a patch that a state link or `keep`
  // names (the active or the new patch: a reinstall into the same directory makes them the
  // tree left behind).
  void FinishRemoval(const ProductPaths& paths, const Path& pending, const Path& keep) const;
};

}  // namespace sov::supervisor
