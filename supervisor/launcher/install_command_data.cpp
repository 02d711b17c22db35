// The install steps that carry the installed product's data over to the new patch: initial
// storage and updates, the live ini, the identity, the agreements, the settings, the events
// database, the previous logs and the upgrade info. Each can be run again after an
// interruption: copies never overwrite, merges of merged files change nothing, and every
// file is replaced in one rename.
#include "sov_common/control_escape.h"
#include "sov_common/enum_names.h"
#include "sov_common/file_reader.h"
#include "sov_common/unique_fd.h"
#include "supervisor/common/system/pcid.h"
#include "supervisor/common/upgrade/tree_merge.h"
#include "supervisor/launcher/install_command.h"
#include "supervisor/launcher/launcher_arguments.h"

#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

// The names of the ZTN usage policy values, as the product's other programs read them
// from upgrade.json; the index is the command line's ZTN request.
constexpr std::array<const char*, 3> kZtnUsagePolicyNames = {"Disabled", "Enabled", "Unchanged"};

std::string ZtnUsagePolicyName(std::int32_t request) {
  return sov::tools::EnumName(kZtnUsagePolicyNames, request, "ZtnUsagePolicy");
}

bool Exists(const Path& path) {
  return fs::exists(fs::symlink_status(path));
}

// The directories whose values an upgrade that renames the product rewrites.
std::vector<SettingsMergeRule::PathRewrite> DirectoryRewrites(const InstallCommand::Context& c) {
  if (c.mode != InstallMode::UpgradeWithRenaming) {
    return {};
  }
  const ProductPaths& from = c.previousProduct;
  const ProductPaths& to = c.product;
  return {{from.VarDir().string(), to.VarDir().string()},
          {from.LogDir().string(), to.LogDir().string()},
          {from.OptDir().string(), to.OptDir().string()}};
}

const PatchPaths& OldPatch(const InstallCommand::Context& context) {
  return context.mode == InstallMode::UpgradeWithRenaming ? context.previousLink
                                                          : context.currentLink;
}

}  // namespace

void InstallCommand::InstallStorage(Context& context) {
  Trace(kTraceDebug, "InstallStorage", "Installing storage ...");
  // cp copies a directory into an existing one, but makes a missing one the copy itself.
  const Path privateDir = context.newPatch.PrivateDir();
  if (fs::create_directories(privateDir)) {
    Trace(kTraceDebug, "InstallStorage", privateDir, " created");
  }
  CopyNPRV(context.newPatch.InitStorageDir(), privateDir);
}

void InstallCommand::InstallCommon(Context& context) {
  Trace(kTraceDebug, "InstallCommon", "Installing common ...");
  if (context.mode == InstallMode::UpgradeWithRenaming) {
    CopyNPRV(context.previousProduct.CommonDir(), context.product.VarDir());
  }
}

void InstallCommand::InstallUpdates(Context& context) {
  TraceEntry(kTraceDebug, "InstallUpdates", "Installing initial updates ...");
  // A build without its initial updates fails here (cp finds no source): the product must
  // not run without them.
  CopyNPRV(context.newPatch.InitUpdatesDir(), context.newPatch.PrivateDir());
}

void InstallCommand::InstallConfig(Context& context) {
  constexpr const char* kStep = "InstallConfig";
  Trace(kTraceDebug, kStep, "Installing config ...");
  pt::ptree shipped;
  ReadIni(context.newPatch.InitIni(), shipped);
  if (const auto packageType = Arguments().GetPackageType()) {
    shipped.put("General.PackageType", *packageType);
  }
  const Path live = context.product.Ini();
  const Path source = context.mode == InstallMode::UpgradeWithRenaming
                          ? context.previousProduct.Ini()
                          : context.newPatch.InitIni();
  // A first install finds no common directory; cp does not make it.
  fs::create_directories(live.parent_path());
  MakeTraversable(live.parent_path());
  CopyPV(source, live);
  ReadIni(live, context.config);
  if (Merge(*this, shipped, context.config, ConfigMergeRule)) {
    WriteIni(live, context.config);
  }
  // The product's unprivileged programs read the live ini.
  if (chmod(live.c_str(), 0644) != 0) {
    Trace(kTraceError, kStep, "Cannot make ", live, " world readable: ", std::strerror(errno));
  } else {
    Trace(kTraceDebug, kStep, "Made ", live, " world readable.");
  }
}

void InstallCommand::MakeTraversable(const Path& directory) const {
  constexpr mode_t kSearchByAll = S_IXUSR | S_IXGRP | S_IXOTH;
  if (ChangeMode(directory, O_DIRECTORY, [](mode_t mode) { return mode | kSearchByAll; })) {
    Trace(kTraceDebug, "InstallConfig", directory, " is traversable");
  } else {
    Trace(kTraceError, "InstallConfig", "Cannot make ", directory,
          " traversable: ", std::strerror(errno));
  }
}

void InstallCommand::KeepPrivate(const Path& file) const {
  if (!ChangeMode(file, 0, [](mode_t mode) { return mode & ~mode_t{S_IRWXG | S_IRWXO}; })) {
    Trace(kTraceError, "InstallAgreements", "Cannot make ", file,
          " private: ", std::strerror(errno));
  }
}

bool InstallCommand::ChangeMode(const Path& path,
                                int openFlags,
                                const std::function<mode_t(mode_t)>& change) const {
  // By descriptor, without following a link or waiting on a FIFO: the mode goes to this
  // file only.
  const sov::tools::UniqueFd fd(
      open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | openFlags));
  struct stat status {};
  if (!fd || fstat(fd.Get(), &status) != 0) {
    return false;
  }
  const mode_t mode = status.st_mode & 07777;
  return change(mode) == mode || fchmod(fd.Get(), change(mode)) == 0;
}

void InstallCommand::InstallPcid(Context& context) {
  supervisor::InstallPcid(*this, context.product, context.config);
}

void InstallCommand::InstallAgreements(Context& context) {
  Trace(kTraceDebug, "InstallAgreements", "Installing agreements ...");
  const Path file = context.product.AgreementsIni();
  if (context.mode != InstallMode::UpgradeWithRenaming) {
    CopyPV(context.newPatch.InitAgreementsIni(), file);
  }
  // cp keeps the package's mode; only the live ini and the identity are for all to read.
  KeepPrivate(file);
  pt::ptree tree;
  ReadIni(file, tree);
  context.agreements = Agreements::FromTree(tree);
  // The accepted end-user agreement stays as the installed product had it: the start that
  // completes the upgrade refuses to run without it.
  const std::int32_t ztn = Arguments().GetZtnRequest();
  if (ztn == LauncherArguments::kZtnOn) {
    context.agreements.Accept(Agreements::Kind::Ztna, Agreements::kZtnaId);
  }
  context.upgradeInfo.put("ZtnUsagePolicy", ZtnUsagePolicyName(ztn));
  if (context.agreements.changed) {
    WriteIni(file, context.agreements.ToTree());
  }
}

void InstallCommand::InstallSettings(Context& context) {
  constexpr const char* kStep = "InstallSettings";
  Trace(kTraceDebug, kStep, "Installing settings ...");
  if (context.mode == InstallMode::Install) {
    return;
  }
  const PatchPaths& oldPatch = OldPatch(context);
  pt::ptree previous;
  pt::ptree initial;
  pt::ptree current;
  if (fs::exists(oldPatch.AppSettings())) {
    ReadXml(oldPatch.AppSettings(), previous);
  }
  if (fs::exists(oldPatch.InitAppSettings())) {
    ReadXml(oldPatch.InitAppSettings(), initial);
  }
  const Path settings = context.newPatch.AppSettings();
  ReadXml(settings, current);
  Trace(kTraceDebug, kStep, "Merging previous to current settings ...");
  SettingsMergeRule rule(*this, initial, DirectoryRewrites(context));
  if (Merge(*this, previous, current, std::ref(rule))) {
    WriteXml(settings, current);
  }
  context.upgradeInfo.put_child("AppSettings", rule.Changes());
  TraceContent(kStep, settings);
  InstallExportedSettings(context, oldPatch);
}

void InstallCommand::InstallExportedSettings(const Context& context, const PatchPaths& oldPatch) {
  constexpr const char* kStep = "InstallSettings";
  const Path source = oldPatch.ExportedSettings();
  if (!fs::exists(source)) {
    Trace(kTraceDebug, kStep, "Settings file ", source, " not found");
    return;
  }
  const Path exported = context.newPatch.ExportedSettings();
  if (!Exists(exported)) {
    CopyFile(source, exported);
  }
  TraceContent(kStep, exported);
  if (context.mode != InstallMode::UpgradeWithRenaming) {
    return;
  }
  static const boost::regex keyValue("([^=]+)=(.*)");
  const auto rewrites = DirectoryRewrites(context);
  std::istringstream lines(sov::tools::ReadWholeFileOrThrow(exported));
  std::string rewritten;
  for (std::string line; std::getline(lines, line);) {
    boost::smatch match;
    if (boost::regex_match(line, match, keyValue)) {
      std::string value = match[2];
      for (const auto& [from, to] : rewrites) {
        if (value.compare(0, from.size(), from) == 0) {
          value = to + value.substr(from.size());
          Trace(kTraceDebug, kStep, "Path replaced: ", match[2].str(), " -> ", value);
          break;
        }
      }
      line = match[1].str() + "=" + value;
    }
    rewritten += line + "\n";
  }
  WriteTextFile(exported, rewritten);
  TraceContent(kStep, exported);
}

void InstallCommand::InstallEvents(Context& context) {
  Trace(kTraceDebug, "InstallEvents", "Installing events ...");
  if (context.mode == InstallMode::Install) {
    return;
  }
  const Path source = OldPatch(context).EventsDb();
  const Path target = context.newPatch.EventsDb();
  boost::system::error_code error;
  // A repeated run finds the link made already.
  if (!fs::exists(source) || fs::equivalent(source, target, error)) {
    return;
  }
  CreateHardlink(target, source);
}

void InstallCommand::SavePreviousLogs(Context& context) {
  Trace(kTraceDebug, "SavePreviousLogs", "Saving previous logs ...");
  if (context.mode != InstallMode::UpgradeWithRenaming) {
    return;
  }
  const Path source = context.previousProduct.LauncherLog();
  const Path target = context.product.LauncherLog().parent_path() / source.filename();
  if (fs::exists(source) && !Exists(target)) {
    CreateHardlink(target, source);
  }
}

void InstallCommand::SaveUpgradeInfo(Context& context) {
  if (context.mode == InstallMode::Install) {
    return;
  }
  Trace(kTraceDebug, "SaveUpgradeInfo", "Saving upgrade info ...");
  WriteJson(context.newPatch.UpgradeJson(), context.upgradeInfo);
}

void InstallCommand::TraceContent(const char* step, const Path& file) const {
  if (!IsTraceEnabled(kTraceDebug)) {
    return;
  }
  const auto content = sov::tools::ReadWholeFile(file);
  if (!content) {
    Trace(kTraceError, step, "Cannot read ", file, ": ", std::strerror(content.error));
    return;
  }
  Trace(kTraceDebug, step, "Begin content of ", file);
  std::istringstream lines(content.text);
  for (std::string line; std::getline(lines, line);) {
    Trace(kTraceDebug, step, sov::tools::EscapeControlCharacters(line));
  }
  Trace(kTraceDebug, step, "End content of ", file);
}

}  // namespace sov::supervisor
