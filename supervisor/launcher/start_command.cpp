// The start command: its context, the agreement check, and the start of the product once
// the upgrade loop lets it run. Integrity checks run in forked children that the start
// never waits for: a slow checker must not delay the product.
#include "supervisor/launcher/start_command.h"

#include "sov_common/distrib_type.h"
#include "sov_common/platform.h"
#include "supervisor/common/console.h"
#include "supervisor/common/error_guard.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/process/termination_signals.h"
#include "supervisor/common/system/core_dumps.h"
#include "supervisor/common/system/kernel_modules.h"
#include "supervisor/common/system/package_query.h"
#include "supervisor/common/upgrade/update_copy.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/product_limits.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/throw_exception.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kRun = "operator()";
constexpr const char* kStartProduct = "StartProduct";
constexpr const char* kCheckIntegrity = "CheckIntegrity";

std::string LocaleName() {
  const char* lang = std::getenv("LANG");
  return lang != nullptr ? lang : "en_US.UTF-8";
}

// The integrity-check child must not keep open what the launcher's caller waits on (a
// pipe on a standard stream, or any descriptor it inherited from its caller) nor stay in
// the caller's session: the caller sees the start end when the launcher ends.
void DetachFromCaller() {
  setsid();
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd) {
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  // Our own descriptors are close-on-exec; those without the flag came from the caller.
  std::vector<int> inherited;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != dirfd(fds) && fd != null && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
        inherited.push_back(fd);
      }
    }
    closedir(fds);
  }
  for (const int fd : inherited) {
    close(fd);
  }
}

}  // namespace

StartCommand::Context::Context(const ProductPaths& paths)
    : product(paths), secondProduct(paths), current(paths.Current()), previous(paths.Previous()) {}

int StartCommand::operator()() {
  // First of all: a start that a signal ends must say so, stop the program it runs, and
  // fail, whichever step it was in; the next start goes on from the state last written.
  const TerminationSignals signals([this](int signal) { ReportTermination(signal); });
  // Before the context: an install or uninstall that runs now changes what it reads.
  lock_ = ProductLock::Acquire(*this, ProductPaths(Tracer()), "--start");
  Context context = BuildContext();
  CheckAgreements(context);
  context.packageType = context.ini.get<std::string>("General.PackageType", "");
  Trace(kTraceDebug, kRun, "Package type: ", context.packageType);
  Trace(kTraceDebug, kRun, "Starting product ...");
  return UpgradeLoop(context);
}

void StartCommand::ReportTermination(int signal) const {
  const std::string name = TerminationSignals::Name(signal);
  Trace(kTraceError, kRun, "Ended by ", name,
        "; the next start goes on from the upgrade state written last");
  PrintLine(nullptr, std::cerr, kTraceError,
            "\n<RED>Error: the start was ended by " + name +
                "; the next start goes on from where it stopped.</RED>\n");
}

StartCommand::Context StartCommand::BuildContext() {
  Launcher& launcher = GetLauncher();
  Context context{ProductPaths(Tracer())};
  context.installMode = GetInstallMode(context.product, context.secondProduct);
  Trace(kTraceDebug, kRun, "Mode: ", ToString(context.installMode));
  launcher.SetLocalization(context.current);
  Trace(kTraceDebug, kRun, "Language: ", LocaleName());
  context.firstService.emplace(launcher.MakeService(context.product));
  context.secondService.emplace(launcher.MakeService(context.secondProduct));
  if (launcher.IsAgentInstalled()) {
    context.agentService.emplace(Tracer(), AgentServiceName());
  }
  context.version = launcher.GetPatchVersion(context.current);
  Trace(kTraceDebug, kRun, "Version: ", context.version.ToString());
  context.packagesToRemove = PackagesToRemove(context);
  Trace(kTraceDebug, kRun,
        "Packages to remove: ", boost::algorithm::join(context.packagesToRemove, ", "));
  boost::property_tree::ptree agreements;
  ReadIni(context.product.AgreementsIni(), agreements);
  context.agreements = Agreements::FromTree(agreements);
  ReadIni(context.product.Ini(), context.ini);
  return context;
}

void StartCommand::CheckAgreements(const Context& context) const {
  if (!context.agreements.IsEulaAccepted(Agreements::kEulaId)) {
    BOOST_THROW_EXCEPTION(std::logic_error(
        Concat("The end-user license agreement ", Agreements::kEulaId, " is not accepted")));
  }
}

StartCommand::Result StartCommand::StartProduct(Context& context) {
  context.startupMode = DecideStartupMode(context);
  Trace(kTraceDebug, kStartProduct, "Startup mode: ", ToString(context.startupMode));
  CheckIntegrity(context);
  BuildKernelModulesIfRequired(context);
  ReadIni(context.product.Ini(), context.ini);
  WdServerInputs inputs;
  inputs.current = context.current;
  inputs.serverLog = context.product.WdServerLog();
  inputs.healthLog = context.ini.get<std::string>(
      "Watchdog.ProductHealthLogFile", (context.product.PrivateDir() / "tarn_health.log").string());
  inputs.memoryLimit = EvaluateMemoryLimit(*this, context.ini);
  inputs.startupMode = context.startupMode;
  inputs.root = getuid() == 0;
  if (const char* term = std::getenv("TERM")) {
    inputs.term = term;
  }
  const auto arguments = WdServerArguments(*this, context.ini, inputs);
  AdjustNoFileLimit(*this);
  return RunWdServer(arguments);
}

ProductStartupMode StartCommand::DecideStartupMode(const Context& context) const {
  if (context.upgradeState == UpgradeState::Start ||
      (context.upgradeState == UpgradeState::Installed &&
       context.installMode == InstallMode::UpgradeWithRenaming)) {
    return ProductStartupMode::Upgrade;
  }
  const Path healthLog = context.ini.get<std::string>(
      "Watchdog.ProductHealthLogFile", (context.product.PrivateDir() / "tarn_health.log").string());
  return fs::exists(healthLog) ? ProductStartupMode::Regular : ProductStartupMode::Install;
}

StartCommand::Result StartCommand::RunWdServer(const std::vector<std::string>& arguments) {
  const auto result = CmdObject(Tracer().get()).SetArgs(arguments)();
  if (result.code == kAlreadyRunning) {
    Trace(kTraceDebug, kStartProduct, "wdserver already started!");
    return kAlreadyRunning;
  }
  result.Check();
  Trace(kTraceDebug, kStartProduct, "wdserver started!");
  return kStarted;
}

void StartCommand::CleanUpAfterUpgrade(Context& context) {
  RunGuarded(*this, kStartProduct, [this] { GetLauncher().ReloadConnectors(); });
  RunGuarded(*this, kStartProduct,
             [&] { UpdateCopy(Tracer()).RemovePreviousUpdates(context.previous); });
  RunGuarded(*this, kStartProduct, [&] {
    CoreDumps(Tracer(), context.product, context.ini).RemoveOtherVersions(context.version);
  });
}

void StartCommand::BuildKernelModulesIfRequired(Context& context) {
  Launcher& launcher = GetLauncher();
  KernelModules modules(Tracer(), GetDistribType(), [&launcher](const std::string& reason) {
    RunGuarded(launcher, "BuildKernelModules",
               [&] { launcher.SendEvent(EventName::KernelModuleBuildFailed, {reason}); });
  });
  modules.BuildIfRequired(launcher.IsFanotifyOn(context.ini), context.current,
                          context.product.PrepareModuleLog());
}

void StartCommand::CheckIntegrity(const Context& context) {
  const PatchPaths& current = context.current;
  const std::vector<std::string> product = {
      current.IntegrityChecker().string(),
      "--signature-type",
      "pds-with-filename",
      "--crl",
      (context.product.PrivateDir() / "data" / "PDSCRL").string(),
      current.IntegrityCheckXml().string()};
  ForkIntegrityCheck(product, "tarn", false);
  if (fs::exists(current.Gui())) {
    Trace(kTraceDebug, kCheckIntegrity, "GUI installed");
    auto gui = product;
    gui.back() = current.GuiIntegrityCheckXml().string();
    ForkIntegrityCheck(gui, "GUI", false);
  } else {
    Trace(kTraceDebug, kCheckIntegrity, "GUI not installed");
  }
  if (GetLauncher().IsAgentInstalled()) {
    const Path manifest = fs::exists(NagentIntegrityManifest()) ? NagentIntegrityManifest()
                                                                : NagentIntegrityCheckXml();
    ForkIntegrityCheck(
        {current.IntegrityChecker().string(), "--signature-type", "dsig2", manifest.string()},
        "qvnagent", true);
  }
}

void StartCommand::ForkIntegrityCheck(const std::vector<std::string>& checker,
                                      const char* component,
                                      bool runAgentModuleChecker) {
  const pid_t pid = fork();
  if (pid < 0) {
    BOOST_THROW_EXCEPTION(std::system_error(errno, std::generic_category(), "fork syscall failed"));
  }
  if (pid > 0) {
    return;
  }
  // The child: report and leave with _exit, so that nothing of the parent's state (the
  // command, the launcher, buffered streams) is unwound or flushed twice. It outlives the
  // start, so it must not keep the product's lock.
  if (lock_) {
    lock_->CloseInChild();
  }
  TerminationSignals::UnblockInChild();
  int status = 1;
  try {
    DetachFromCaller();
    if (runAgentModuleChecker && fs::exists(NagentModuleChecker())) {
      CmdObject(Tracer().get()).SetArgs(NagentModuleChecker().c_str())();
    }
    const bool passed = CmdObject(Tracer().get()).SetArgs(checker)().code == 0;
    GetLauncher().SendEvent(
        passed ? EventName::IntegrityCheckPassed : EventName::IntegrityCheckFailed, {component});
    status = 0;
  } catch (const std::exception& error) {
    Trace(kTraceError, kCheckIntegrity, error.what());
  } catch (...) {
    Trace(kTraceError, kCheckIntegrity, "Unknown exception");
  }
  _exit(status);
}

}  // namespace sov::supervisor
