// Upgrade state from the patch links. Every transition changes the links with operations
// that are atomic on their own (symlink, rename); where the table names two steps, the new
// link is put in place first so that an interruption leaves either the old state or the new
// one, never a third.
#include "supervisor/common/upgrade/upgrade_state_store.h"

#include "sov_common/atomic_file.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>

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

bool SameFile(const Path& left, const Path& right) {
  boost::system::error_code error;
  return !left.empty() && !right.empty() && fs::equivalent(left, right, error) && !error;
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
      {S::Installed, S::PackageReconfigured, [&] { CreateOrReplaceSymlink(upgrade, patch); }},
      {S::PackageReconfigured, S::Upgrade, [&] { CopySymlink(current, previous); }},
      {S::Upgrade, S::Start, [&] { Rename(upgrade, current); }},
      {S::Start, S::Installed, [&] { RemovePatch(paths.Previous(), {current}); }},
      {S::Start, S::StartFailed, [&] { CopySymlink(current, failed); }},
      {S::StartFailed, S::RollingBack, [&] { Rename(previous, current); }},
      {S::RollingBack, S::RolledBack, [&] { CopySymlink(failed, upgrade); }},
      {S::RolledBack, S::PackageReconfigured,
       [&] {
         CreateOrReplaceSymlink(upgrade, patch);
         RemovePatch(paths.Failed(), {current, patch});
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
  transition->action();
  sov::tools::SyncDirectory(current.parent_path());
  Trace(kTraceDebug, "SetUpgradeState", "Upgrade state changed ", ToString(from), " -> ",
        ToString(to));
}

void UpgradeStateStore::RemovePatch(const PatchPaths& link,
                                    std::initializer_list<Path> keep) const {
  const Path linkPath = link.Root();
  boost::system::error_code error;
  const Path target = fs::canonical(linkPath, error);
  const bool resolved = !error;
  Remove(linkPath);
  if (!resolved) {
    return;
  }
  for (const auto& inUse : keep) {
    if (SameFile(target, inUse)) {
      Trace(kTraceWarning, "RemovePatch", "Patch ", target, " is in use. Keep it.");
      return;
    }
  }
  RemoveAllNoThrow(target);
}

}  // namespace sov::supervisor
