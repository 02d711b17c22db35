// The "uninstall" command, which package scripts run before the package manager removes the
// product's files: it takes the product out of the system (certificates, service
// registration, packet-filter chains, the patch's links, legacy kernel module files, the
// product groups) and hands control back to the management agent and its connectors. When
// the removal is the first half of an upgrade to a product with other paths (mode
// "Upgrade"), the previous product is registered again instead.
//
// The product never outlives the command's stop step: a product that still runs after the
// service manager's stop (systemd stops only what it started) is stopped directly, as
// "--stop" does, but within a bound: a server still running after its product's shutdown
// timeout ("Watchdog.TimeoutAfterShutdown") and 10 s more is killed with its process group,
// and one that even outlives SIGKILL ends the command with an error naming its pid. A live
// ini that cannot be read is traced, and the server's default timeout (2 min) counts. The
// service manager's stop before it is bounded by the service's own files: the unit's
// TimeoutStopSec, the init script's STOP_TIMEOUT (dist/).
//
// It holds the product's lock (ProductLock) throughout, so it never runs in the middle of
// an install or of a start's upgrade; its stop goes through the service manager to
// "--stop", which takes no lock.
//
// Running it again, after a failed run or on a product that never ran, succeeds and
// changes nothing more: a service whose unit file or init script is gone is neither stopped
// nor disabled through the service manager, which would refuse an unknown service, and
// absent files are no error.
//
// Failures that end the command (steps already done stay done): a missing system tool
// ("<tool> not found"), a failing stop, disable or enable of a service, a failing daemon
// reload, a failing uninstall script, a file that cannot be removed. Only traced: the
// certificate removal, the group deletions, every packet-filter run, the agent's
// try-restart and the connector reload.
#pragma once

#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/service.h"
#include "supervisor/launcher/command.h"

#include <optional>
#include <string>

namespace sov::supervisor {

enum class UninstallMode { Uninstall = 0, Upgrade = 1 };

// "Uninstall" or "Upgrade".
std::string ToString(UninstallMode mode);

class UninstallCommand : public LauncherCommand {
 public:
  struct Context {
    // With the built-in product name both products are `paths`.
    explicit Context(const ProductPaths& paths);

    ProductPaths product;
    ProductPaths previousProduct;
    PatchPaths current;
    PatchPaths previous;
    UninstallMode mode = UninstallMode::Uninstall;
    std::optional<Service> currentService;
    std::optional<Service> previousService;
    // Present only when the management agent is installed.
    std::optional<Service> agentService;
    bool systemd = false;
  };

  using LauncherCommand::LauncherCommand;

  // 0 once the product is out of the system; failures are exceptions.
  int operator()() override;

 private:
  Context BuildContext() const;
  void CreateServices(Context& context) const;
  void RemoveCertificates(const Context& context) const;
  // Whether the service manager knows the product's service: its unit file (systemd) or
  // its init script (SysV) is in place.
  bool IsServiceRegistered(const Context& context) const;
  void StopService(Context& context) const;
  void UnregisterService(Context& context) const;
  void RemoveLegacyKernelModules() const;
  void RestartAgent(Context& context) const;
  void RemoveUpgradeConfig(const Context& context) const;
  void ReloadConnectors() const;
};

}  // namespace sov::supervisor
