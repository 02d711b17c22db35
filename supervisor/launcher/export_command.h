// The "export" command: writes the settings and the persistent data of the patch that this
// launcher belongs to into the active patch ("install-current"), as
// "for_upgrade_settings.xml" and "for_upgrade_peristent_data.xml" of its private directory,
// where the next patch finds them after the exporting patch is gone. During an upgrade the
// start command runs the previous patch's launcher for this.
//
// The work is done by the source patch's application infrastructure library
// (lib64/libtarn_infra.so, sov_common/app_infra.h) over the patch's settings database
// (storage/tarn_settings.xml) and key/value directory (storage/kvdb), fed with the runtime
// configuration record of the live ini, the identity file and the agreements file.
//
// Failures (ApplicationError, exit code 1; nothing is written):
//  - "Can't export settings: <path> is not the launcher of a patch"
//  - "Active patch <path> not found"
//  - "Can't create application infrastructure loader: <reason>"
//  - "Can't get interface <name>"
//  - "File <path> not found": the live ini, the settings database or the key/value
//    directory is missing
//  - "Can't read the runtime configuration: <reason>"
//  - "Can't create task manager: <reason>", "Can't export settings: <reason>"
// A failed write of an output throws the file writer's error.
#pragma once

#include "sov_common/runtime_config.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/app_infra_config.h"
#include "supervisor/common/system/app_infra_loader.h"
#include "supervisor/launcher/command.h"

#include <optional>

namespace sov::supervisor {

class ExportCommand : public LauncherCommand {
 public:
  struct Context {
    ProductPaths product;
    PatchPaths source;       // the patch whose settings are exported
    PatchPaths destination;  // the active patch, which receives them
  };

  ExportCommand(Launcher& launcher, std::shared_ptr<const LauncherArguments> arguments);
  // Exports the patch at `sourceRoot` instead of the running launcher's own.
  ExportCommand(Launcher& launcher,
                std::shared_ptr<const LauncherArguments> arguments,
                Path sourceRoot);

  // 0 on success.
  int operator()() override;

  // The root of the patch whose launcher is `executable` (a resolved path): the path
  // without "/opt/brevantis/tarn/libexec/launcher". Throws ApplicationError when it is not a
  // patch's launcher.
  static Path PatchRootOf(const Path& executable,
                          const std::string& productName = ProductPaths::kBuiltInProductName);

 private:
  struct Interfaces {
    const SovXmlStorageFactory& storageFactory;
    const SovSettingsExporter& settings;
    const SovPersistentDataExporter& persistentData;
  };

  Context MakeContext() const;
  static Interfaces GetInterfaces(const AppInfraLoader& loader);
  sov::tools::RuntimeConfig ReadRuntimeConfig(const Context& context) const;
  ExportTaskManager::Result RunExport(const Context& context,
                                      const AppInfraLoader& loader,
                                      const Interfaces& interfaces,
                                      const AppInfraConfig& config) const;
  void WriteOutputs(const Context& context, const ExportTaskManager::Result& result) const;
  // Throws "File <path> not found" when nothing is at `path`.
  void RequireInput(const Path& path) const;

  std::optional<Path> sourceRoot_;
};

}  // namespace sov::supervisor
