// The product's lock: one launcher command at a time changes the product's files, links and
// registration. Install (up to its restart step), uninstall and the start (its upgrade loop,
// across the exec of the other patch's launcher, until the product runs) hold it; stop,
// restart, status, export and help never take it, so that what the holders run through the
// service manager (a stop, the export) never waits for its own caller.
//
// The lock is an exclusive flock on ProductPaths::LauncherLock(), a root-only regular file
// in the product's variable directory: opened without following a link and without
// blocking (a FIFO planted there is refused, never waited on), close-on-exec. The holder
// writes "<pid> <command>" into it, so that a command that gives up can name the holder.
// The kernel releases the lock when the holder dies: a killed command leaves nothing stale.
//
// Across an exec the lock goes on deliberately: the holder puts a copy of its descriptor at
// kInheritedFd without close-on-exec just before execve; the launcher started there adopts
// that descriptor when it is an open description of the same lock file that it can lock at
// once (then it is the one this process already holds). Every other child gets none of it:
// programs are started with close-on-exec on everything but the standard streams, and a
// forked child that runs no program closes its copy (CloseInChild). No environment marker
// goes along: the launcher's environment passes to the other launcher unchanged, and the
// description itself is the proof. The file's path and kInheritedFd are an interface
// between the launchers of different versions, which execute each other: a launcher that
// did not recognise the lock it was handed would wait for itself. Never change them.
#pragma once

#include "sov_common/unique_fd.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/traceable.h"

#include <chrono>
#include <optional>
#include <string>

namespace sov::supervisor {

class ProductLock : public Traceable {
 public:
  // How long a second command waits for the holder. An install lays its patch by hard
  // links and merges a few files, and a normal upgrade start exports the settings and
  // starts the server, in seconds to a minute; three minutes covers them with a wide
  // margin. Longer would hold a start at boot too long: it must still do its own work
  // within its unit's 15 minutes, and when it gives up the service manager (Restart=
  // on-failure) tries again. A package manager's script fails in plain time rather than
  // seeming to hang, and can be run again.
  static constexpr std::chrono::minutes kWait{3};
  // Where the holder hands its descriptor to the launcher it executes; far above what a
  // launcher opens itself, so the number is free at the exec.
  static constexpr int kInheritedFd = 213;

  // Takes the lock of `product`, or adopts the one that the executing launcher passed on.
  // `command` names this run in the lock file ("--install t2"). While another command holds
  // the lock, prints and traces that it waits, and polls for at most `wait`; then throws
  // ApplicationError "Another launcher command is changing the product (pid <pid>:
  // <command>); gave up after waiting <seconds> s for <lock file>". A lock file that is not
  // a regular file of this user, or that cannot be opened, locked or written, throws
  // ApplicationError naming it and the cause. Without the variable directory (nothing is
  // installed) there is nothing to guard: nullopt, traced.
  static std::optional<ProductLock> Acquire(const Traceable& tracing,
                                            const ProductPaths& product,
                                            const std::string& command,
                                            std::chrono::milliseconds wait = kWait);

  ProductLock(ProductLock&&) noexcept = default;
  // Releases the lock held before.
  ProductLock& operator=(ProductLock&& other) noexcept;
  // Releases the lock (Release).
  ~ProductLock();

  // Unlocks and closes; nothing happens on a second call.
  void Release();
  // The last step before execve of a launcher that goes on with the lock: a copy of the
  // descriptor at kInheritedFd, without close-on-exec. Async-signal-safe.
  void PassOnAtExec() const;
  // After a failed execve: closes the copy again.
  void TakeBackAfterFailedExec() const;
  // In a forked child that runs no program: closes this process's descriptor without
  // unlocking, which would release the parent's lock. The object then holds nothing.
  void CloseInChild();

 private:
  ProductLock(const Traceable& tracing, sov::tools::UniqueFd fd);

  sov::tools::UniqueFd fd_;
};

}  // namespace sov::supervisor
