// Upgrade state from the patch links. Every transition changes the links with operations
// that are atomic on their own (symlink, rename); where the table names two steps, the new
// link is put in place first so that an interruption leaves either the old state or the new
// one, never a third. A patch tree is removed only after its link has been renamed out of
// the state, and that renamed link stays until the tree is gone, so a killed removal is
// completed by the next run rather than leaving a tree that nothing names.
#include "supervisor/common/upgrade/upgrade_state_store.h"

#include "sov_common/atomic_file.h"
#include "sov_common/tree_removal.h"
#include "sov_common/unique_fd.h"
#include "supervisor/common/error_guard.h"
#include "supervisor/common/exceptions.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr size_t kMaxLinkTarget = 4096;

bool IsLink(const std::string& path) {
  return fs::is_symlink(fs::symlink_status(path));
}

std::optional<std::string> LinkTarget(const std::string& path) {
  char target[kMaxLinkTarget];
  const ssize_t size = readlink(path.c_str(), target, sizeof target);
  if (size < 0) {
    return std::nullopt;
  }
  return std::string(target, static_cast<size_t>(size));
}

UpgradeState BaseState(bool upgrade, bool previous) {
  if (upgrade) {
    return previous ? UpgradeState::Upgrade : UpgradeState::PackageReconfigured;
  }
  return previous ? UpgradeState::Start : UpgradeState::Installed;
}

UpgradeState Decode(const ProductPaths& paths) {
  const std::string current = paths.Current().Root();
  if (!IsLink(current)) {
    return UpgradeState::NotInstalled;
  }
  if (fs::exists(fs::symlink_status(paths.UpgradeIni()))) {
    return UpgradeState::UpgradeWithRenaming;
  }
  const bool upgrade = IsLink(paths.Upgrade().Root());
  const std::string previous = paths.Previous().Root();
  const bool hasPrevious = IsLink(previous);
  if (!IsLink(paths.Failed().Root())) {
    return BaseState(upgrade, hasPrevious);
  }
  if (!hasPrevious) {
    return upgrade ? UpgradeState::RolledBack : UpgradeState::RollingBack;
  }
  const auto currentTarget = LinkTarget(current);
  const auto previousTarget = LinkTarget(previous);
  if (!currentTarget || !previousTarget) {
    return UpgradeState::NotInstalled;
  }
  return *currentTarget == *previousTarget ? UpgradeState::UpgradeFailed
                                           : UpgradeState::StartFailed;
}

// Whether `inner` is `outer` or lies below it; both are canonical.
bool IsWithin(const Path& inner, const Path& outer) {
  auto at = inner.begin();
  for (const auto& part : outer) {
    if (at == inner.end() || *at != part) {
      return false;
    }
    ++at;
  }
  return true;
}

// Flushes the whole file system that holds `directory`: the files a state change relies on
// (those just copied into a patch) must be on disk before the links name them.
void SyncFileSystem(const Path& directory) {
  const sov::tools::UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || syncfs(fd.Get()) != 0) {
    BOOST_THROW_EXCEPTION(std::system_error(
        errno, std::generic_category(), "Can't flush the file system of " + directory.string()));
  }
}

// The name a state link takes while the tree it named is being removed.
Path PendingName(const Path& link) {
  return link.parent_path() / (link.filename().string() + ".removing");
}

// Why the patch tree `target` (canonical) must stay, or nullopt when it may go: only a
// patch directory directly below the variable directory is ever removed, and never one
// that is or holds a tree in `keep` (paths resolved here, links followed).
std::optional<std::string> WhyKept(const ProductPaths& paths,
                                   const Path& target,
                                   const std::vector<Path>& keep) {
  boost::system::error_code error;
  const Path varDir = fs::canonical(paths.VarDir(), error);
  if (error || target.parent_path() != varDir || !fs::is_directory(target, error) ||
      target == fs::canonical(paths.CommonDir(), error)) {
    return Concat(target, " is not a patch directory below ", paths.VarDir(), ".");
  }
  for (const auto& inUse : keep) {
    const Path kept = inUse.empty() ? Path() : fs::canonical(inUse, error);
    if (kept.empty() || error) {
      continue;
    }
    if (kept == target) {
      return Concat("Patch ", target, " is in use.");
    }
    if (IsWithin(kept, target)) {
      return Concat(target, " holds the patch ", kept, ", which is in use.");
    }
  }
  return std::nullopt;
}

}  // namespace

UpgradeState UpgradeStateStore::Get(const ProductPaths& paths) const {
  const UpgradeState state = Decode(paths);
  Trace(kTraceDebug, "GetUpgradeState", "Current upgrade state: ", ToString(state));
  return state;
}

void UpgradeStateStore::Set(const ProductPaths& paths,
                            UpgradeState from,
                            UpgradeState to,
                            const Path& patch) const {
  if (from == to) {
    return;
  }
  using S = UpgradeState;
  const Path current = paths.Current().Root();
  const Path upgrade = paths.Upgrade().Root();
  const Path previous = paths.Previous().Root();
  const Path failed = paths.Failed().Root();
  // The transition table: the only way the links change.
  const struct {
    S from;
    S to;
    std::function<void()> action;
  } transitions[] = {
      {S::NotInstalled, S::Installed, [&] { CreateSymlink(current, patch); }},
      {S::Installed, S::PackageReconfigured, [&] { ReplaceLink(upgrade, patch); }},
      {S::PackageReconfigured, S::Upgrade, [&] { CopySymlink(current, previous); }},
      {S::Upgrade, S::Start, [&] { Rename(upgrade, current); }},
      {S::Start, S::Installed, [&] { RemovePatch(paths, previous, Path()); }},
      {S::Start, S::StartFailed, [&] { CopySymlink(current, failed); }},
      {S::StartFailed, S::RollingBack, [&] { Rename(previous, current); }},
      {S::RollingBack, S::RolledBack, [&] { CopySymlink(failed, upgrade); }},
      {S::RolledBack, S::PackageReconfigured,
       [&] {
         ReplaceLink(upgrade, patch);
         RemovePatch(paths, failed, patch);
       }},
  };
  const auto transition = std::find_if(std::begin(transitions), std::end(transitions),
                                       [&](const auto& t) { return t.from == from && t.to == to; });
  if (transition == std::end(transitions)) {
    BOOST_THROW_EXCEPTION(
        std::logic_error((boost::format("Unexpected upgrade state transition %1% -> %2%") %
                          ToString(from) % ToString(to))
                             .str()));
  }
  Trace(kTraceDebug, "SetUpgradeState", "Changing upgrade state ", ToString(from), " -> ",
        ToString(to), " ...");
  // A pending name is reused by the removals below; what it still names goes first.
  CompletePendingRemovals(paths, patch);
  SyncFileSystem(paths.VarDir());
  transition->action();
  sov::tools::SyncDirectory(current.parent_path());
  Trace(kTraceDebug, "SetUpgradeState", "Upgrade state changed ", ToString(from), " -> ",
        ToString(to));
}

void UpgradeStateStore::SupersedeUpgrade(const ProductPaths& paths, const Path& patch) const {
  constexpr const char* kOperation = "SupersedeUpgrade";
  const UpgradeState state = Decode(paths);
  if (state != UpgradeState::PackageReconfigured) {
    BOOST_THROW_EXCEPTION(std::logic_error("Unexpected upgrade state " + ToString(state)));
  }
  // What an earlier supersede that was interrupted left to remove.
  RemoveSuperseded(paths, patch);
  const Path upgrade = paths.Upgrade().Root();
  boost::system::error_code error;
  if (fs::equivalent(upgrade, patch, error)) {
    Trace(kTraceDebug, kOperation, upgrade, " names ", patch, " already");
    return;
  }
  const Path superseded = fs::read_symlink(upgrade, error);
  Trace(kTraceDebug, kOperation, "Superseding the upgrade to ", superseded, " by ", patch, " ...");
  SyncFileSystem(paths.VarDir());
  // The superseded tree is named on disk before install-upgrade stops naming it, so that a
  // run interrupted before its removal is done leaves it to the next one.
  if (!error) {
    ReplaceLink(SupersededMarker(paths), superseded);
    sov::tools::SyncDirectory(upgrade.parent_path());
  }
  ReplaceLink(upgrade, patch);
  sov::tools::SyncDirectory(upgrade.parent_path());
  RemoveSuperseded(paths, patch);
}

bool UpgradeStateStore::IsCurrentLost(const ProductPaths& paths) {
  const Path current = paths.Current().Root();
  return fs::is_symlink(fs::symlink_status(current)) && !fs::exists(fs::status(current));
}

void UpgradeStateStore::CheckLostCurrentRepairable(const ProductPaths& paths) {
  const Path current = paths.Current().Root();
  boost::system::error_code error;
  const Path lost = fs::read_symlink(current, error);
  for (const Path& other : {Path(paths.Upgrade().Root()), Path(paths.Previous().Root()),
                            Path(paths.Failed().Root()), paths.UpgradeIni()}) {
    if (fs::exists(fs::symlink_status(other))) {
      throw ApplicationError(
          Concat(current, " names ", lost, ", which is gone, and ", other,
                 " is present: the upgrade state cannot be repaired; purge the product and "
                 "install it again"));
    }
  }
}

void UpgradeStateStore::RepairLostCurrent(const ProductPaths& paths, const Path& patch) const {
  const Path current = paths.Current().Root();
  if (!IsCurrentLost(paths)) {
    BOOST_THROW_EXCEPTION(std::logic_error(current.string() + " is not a lost link"));
  }
  CheckLostCurrentRepairable(paths);
  boost::system::error_code error;
  const Path lost = fs::read_symlink(current, error);
  Trace(kTraceWarning, "SetUpgradeState", current, " names ", lost,
        ", which is gone; pointing it at ", patch);
  SyncFileSystem(paths.VarDir());
  ReplaceLink(current, patch);
  sov::tools::SyncDirectory(current.parent_path());
}

Path UpgradeStateStore::SupersededMarker(const ProductPaths& paths) {
  return paths.VarDir() / ".install-superseded";
}

void UpgradeStateStore::RemoveSuperseded(const ProductPaths& paths, const Path& patch) const {
  // The marker is a pending removal like "<link>.removing": the same rules and walk apply.
  const Path marker = SupersededMarker(paths);
  if (IsLink(marker.string())) {
    FinishRemoval(paths, marker, patch);
  }
}

void UpgradeStateStore::ReplaceLink(const Path& link, const Path& target) const {
  CreateOrReplaceSymlink(link, target, DirectoryInTheWay::kRefuseUnlessEmpty);
}

void UpgradeStateStore::CompletePendingRemovals(const ProductPaths& paths, const Path& keep) const {
  for (const Path& link : {Path(paths.Previous().Root()), Path(paths.Failed().Root())}) {
    const Path pending = PendingName(link);
    if (IsLink(pending.string())) {
      RunGuarded(*this, "CompletePendingRemovals", [&] { FinishRemoval(paths, pending, keep); });
    }
  }
}

void UpgradeStateStore::RemovePatch(const ProductPaths& paths,
                                    const Path& link,
                                    const Path& keep) const {
  if (!IsLink(link.string())) {
    // Not a link this store made: left alone with a warning, whatever it holds.
    RemoveSymlink(link);
    return;
  }
  const Path pending = PendingName(link);
  Rename(link, pending);
  // The state must have lost the link on disk before its tree starts to go: a link that
  // came back after a power cut would name a half-removed patch.
  sov::tools::SyncDirectory(link.parent_path());
  FinishRemoval(paths, pending, keep);
}

void UpgradeStateStore::FinishRemoval(const ProductPaths& paths,
                                      const Path& pending,
                                      const Path& keep) const {
  boost::system::error_code error;
  // Unresolved: the tree is gone already (a kill after its last entry went).
  const Path target = fs::canonical(pending, error);
  if (!error) {
    const std::vector<Path> inUse = {paths.Current().Root(), paths.Upgrade().Root(),
                                     paths.Previous().Root(), paths.Failed().Root(), keep};
    if (const auto reason = WhyKept(paths, target, inUse)) {
      Trace(kTraceWarning, "RemovePatch", *reason, " Keep it.");
    } else {
      try {
        sov::tools::RemoveTree(target);
      } catch (const fs::filesystem_error& failure) {
        // The link stays, so that the next run tries again: without it nothing would
        // name what is left of the tree.
        Trace(kTraceError, "RemoveAllNoThrow", "Can't remove ", target,
              ". Reason: ", failure.code().message());
        Trace(kTraceDebug, "RemovePatch", failure.what());
        return;
      }
      Trace(kTraceDebug, "RemoveAllNoThrow", target, " removed");
    }
  }
  Remove(pending);
}

}  // namespace sov::supervisor
