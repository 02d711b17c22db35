// The install command: the order of its steps, its context and the laying of the new patch.
// The steps that carry data over live in install_command_data.cpp, those that register
// the service, record the state and restart in install_command_finish.cpp.
#include "supervisor/launcher/install_command.h"

#include "localization_tools/message_catalogue.h"
#include "sov_common/control_escape.h"
#include "sov_common/init_system.h"
#include "supervisor/common/console.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/common/files/product_lock.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/system/selinux.h"
#include "supervisor/common/system/user_groups.h"
#include "supervisor/common/upgrade/patch_manifest.h"
#include "supervisor/common/upgrade/upgrade_state_store.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/launcher_arguments.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kRun = "operator()";
constexpr std::uint32_t kInstallFailedMessage = 40;

// Package versions put "+", "~" or ":" in tags; blanks, control characters and bytes
// beyond ASCII would make a directory name that traces and scripts mangle.
bool IsTagCharacter(char c) {
  return c > ' ' && c < '\x7f' && c != '/';
}

bool IsLink(const PatchPaths& link) {
  return fs::is_symlink(fs::symlink_status(link.Root()));
}

// Whether `link` is a link that leads to the directory `root`.
bool Names(const PatchPaths& link, const Path& root) {
  boost::system::error_code error;
  return IsLink(link) && fs::equivalent(link.Root(), root, error) && !error;
}

// The language of the locale the messages are shown in: "de" of "de_DE.UTF-8". The C
// locale shows the built-in English.
std::string LanguageCode() {
  const char* lang = std::getenv("LANG");
  std::string code = lang != nullptr ? lang : "en_US.UTF-8";
  code = code.substr(0, code.find_first_of("_.@"));
  return code.empty() || code == "C" || code == "POSIX" ? "en" : code;
}

}  // namespace

InstallCommand::Context::Context(const ProductPaths& paths)
    : product(paths),
      previousProduct(paths),
      currentLink(paths.Current()),
      previousLink(paths.Current()) {}

void InstallCommand::CheckInstallTag(const std::string& tag) {
  const bool plain = !tag.empty() && tag.size() <= kMaxInstallTag && tag != "." && tag != ".." &&
                     std::all_of(tag.begin(), tag.end(), IsTagCharacter);
  if (!plain) {
    throw ApplicationError(Concat("Invalid install tag '", sov::tools::EscapeControlCharacters(tag),
                                  "': it names the patch directory, so it must be 1 to ",
                                  kMaxInstallTag,
                                  " printable ASCII characters without blanks or '/', and not '.' "
                                  "or '..'"));
  }
}

InstallMode InstallCommand::DecideInstallMode(const ProductPaths& product,
                                              const ProductPaths& previousProduct,
                                              const PatchPaths& newPatch) {
  const InstallMode mode = GetInstallMode(product, previousProduct);
  const bool onlyCurrentLink = !IsLink(product.Upgrade()) && !IsLink(product.Previous()) &&
                               !IsLink(product.Failed()) &&
                               !fs::exists(fs::symlink_status(product.UpgradeIni()));
  if (mode == InstallMode::UpgradeWithoutRenaming && onlyCurrentLink &&
      Names(product.Current(), newPatch.Root())) {
    return InstallMode::Install;
  }
  return mode;
}

int InstallCommand::operator()() {
  try {
    return Install();
  } catch (...) {
    ReportFailure();
    throw;
  }
}

int InstallCommand::Install() {
  const std::string tag = Arguments().GetInstall().value();
  CheckInstallTag(tag);
  std::optional<ProductLock> lock =
      ProductLock::Acquire(*this, ProductPaths(Tracer()), "--install " + tag);
  Context context = BuildContext(tag);
  LayNewPatch(context);
  ConfigureSELinux(context);
  ReadNewPatch(context);
  std::vector<std::string> products = {context.product.ProductName()};
  if (context.mode == InstallMode::UpgradeWithRenaming) {
    products.push_back(context.previousProduct.ProductName());
  }
  GetLauncher().SendEvent(EventName::PatchInstallStarted, products);
  UserGroups(Tracer(), Launcher::GroupNames()).Create();
  RunInstallScript(context);
  InstallStorage(context);
  InstallCommon(context);
  InstallUpdates(context);
  InstallConfig(context);
  InstallPcid(context);
  InstallAgreements(context);
  InstallSettings(context);
  InstallEvents(context);
  SavePreviousLogs(context);
  SaveUpgradeInfo(context);
  RemoveLegacyKernelModules();
  InstallService(context);
  WriteInstallDate(context);
  SetUpgradeState(context);
  RegisterService(context);
  SetUpgradeConfig(context);
  ReportResult(context);
  DisableReloadConnectors(context);
  // The restart makes the service manager run a start, which takes the lock itself.
  lock.reset();
  RestartForUpgrade(context);
  return 0;
}

// Everything here is read from the installation as it was, before anything changes.
InstallCommand::Context InstallCommand::BuildContext(const std::string& tag) {
  Context context{ProductPaths(Tracer())};
  context.installTag = tag;
  context.newPatch = context.product.Patch(tag);
  context.mode = DecideInstallMode(context.product, context.previousProduct, context.newPatch);
  context.systemd = IsSystemd();
  context.serviceRegistered = IsServiceRegistered(context);
  context.currentLost = UpgradeStateStore::IsCurrentLost(context.product);
  if (context.currentLost) {
    // Refused before anything changes when the state cannot be put right.
    UpgradeStateStore::CheckLostCurrentRepairable(context.product);
  }
  Trace(kTraceDebug, kRun, "Mode: ", ToString(context.mode));
  context.isRunning = GetLauncher().IsCurrentPatchRunning(nullptr);
  Trace(kTraceDebug, kRun, "Is running: ", context.isRunning);
  return context;
}

bool InstallCommand::IsServiceRegistered(const Context& context) {
  return fs::exists(context.systemd ? context.product.SystemdUnitFile()
                                    : context.product.InitScript());
}

void InstallCommand::ReadNewPatch(Context& context) {
  Launcher& launcher = GetLauncher();
  launcher.SetLocalization(context.newPatch);
  context.language = LanguageCode();
  Trace(kTraceDebug, kRun, "Language: ", context.language);

  PatchManifest manifest;
  launcher.ReadPatchManifest(context.newPatch, manifest);
  const auto& names = manifest.localizations;
  auto localized = std::find_if(names.begin(), names.end(), [&](const auto& entry) {
    return entry.localeId == context.language;
  });
  if (localized == names.end()) {
    localized = std::find_if(names.begin(), names.end(),
                             [](const auto& entry) { return entry.localeId == "en"; });
  }
  context.productName = localized != names.end() ? localized->productName
                        : !names.empty()         ? names.front().productName
                                                 : context.product.ProductName();
  Trace(kTraceDebug, kRun, "Product name: ", context.productName);

  context.currentService.emplace(launcher.MakeService(context.product));
  context.previousService.emplace(launcher.MakeService(context.previousProduct));
  context.installingVersion = launcher.GetPatchVersion(context.newPatch);
  Trace(kTraceDebug, kRun, "Installing version: ", context.installingVersion.ToString());
  if (context.mode != InstallMode::Install) {
    // The installed product is the previous one when the upgrade renames it: the new
    // name has no install-current yet.
    const PatchPaths& installed = context.mode == InstallMode::UpgradeWithRenaming
                                      ? context.previousLink
                                      : context.currentLink;
    context.installedVersion = launcher.GetPatchVersion(installed);
    Trace(kTraceDebug, kRun, "Installed version: ", context.installedVersion->ToString());
    context.upgradeInfo.put("OldVersion", context.installedVersion->ToString());
  }
  Trace(kTraceDebug, kRun, "Is async restart: ", Arguments().IsAsyncRestart());
  context.restartCommand = context.currentService->RestartCommand();
}

void InstallCommand::ReportFailure() const {
  PrintLine(Tracer().get(), std::cerr, kTraceError,
            "\n<RED>Error: " + localization::LookupMessage(kInstallFailedMessage) + "</RED>\n");
}

void InstallCommand::LayNewPatch(const Context& context) {
  constexpr const char* kStep = "LayNewPatch";
  const Path root = context.newPatch.Root();
  if (fs::exists(fs::symlink_status(root))) {
    const ProductPaths& product = context.product;
    for (const PatchPaths& link :
         {product.Current(), product.Upgrade(), product.Previous(), product.Failed()}) {
      if (Names(link, root)) {
        // This install's own, from a run that was interrupted after its link was made:
        // the steps after the copy have put files there that must stay.
        Trace(kTraceDebug, kStep, "Patch ", root, " is named by ", link.Root(), "; keeping it");
        return;
      }
    }
    Trace(kTraceDebug, kStep, "Patch ", root,
          " is left from an interrupted install; laying it again");
    RemoveAll(root);
  }
  // Laid aside and renamed into place: a patch directory is complete or absent. The name
  // begins with a dot, which no patch directory does.
  const Path laying = root.parent_path() / ("." + root.filename().string() + ".new");
  CheckUnpackedBuild(context);
  RemoveAll(laying);
  CmdObject(Tracer().get())
      .SetArgs("cp", "-rplvPT", context.product.InstallDir().string(), laying.string())
      .KeepCause()()
      .Check();
  Rename(laying, root);
}

void InstallCommand::CheckUnpackedBuild(const Context& context) {
  // Without it, cp would only say that it cannot stat its source.
  const Path build = context.product.InstallDir();
  if (!fs::is_directory(build)) {
    throw ApplicationError(Concat("There is no unpacked build to install: ", build.string(),
                                  " is missing. The package manager unpacks it before it runs "
                                  "--install; install the package again."));
  }
}

void InstallCommand::ConfigureSELinux(const Context& context) {
  SeLinux(Tracer(), context.product).ConfigureSELinux(context.mode, context.newPatch);
}

void InstallCommand::RunInstallScript(const Context& context) {
  if (context.mode != InstallMode::UpgradeWithoutRenaming) {
    GetLauncher().RunInstallScript(context.product, context.newPatch);
  }
}

}  // namespace sov::supervisor
