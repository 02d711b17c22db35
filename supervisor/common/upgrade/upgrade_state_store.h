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
  // table says; `patch` is the new patch directory for the transitions that link one. The
  // directory holding the links is flushed to disk before this returns, so no later step
  // acts on a state that a power cut could take back. Equal states change nothing. Any
  // other pair throws std::logic_error "Unexpected upgrade state transition <from> -> <to>"
  // with the links untouched.
  void Set(const ProductPaths& paths, UpgradeState from, UpgradeState to, const Path& patch) const;

 private:
  // Removes the patch that `link` names: the link, then its directory tree, unless that
  // tree is one of `keep` (the active or the new patch: a reinstall into the same
  // directory makes them the same tree as the one left behind).
  void RemovePatch(const PatchPaths& link, std::initializer_list<Path> keep) const;
};

}  // namespace sov::supervisor
