// The "export" command. The source patch is found from the running executable, never from
// the install links: during an upgrade the links already name the new patch while the old
// launcher runs. Inputs are checked before the library sees them, so that a missing file is
// reported by name.
#include "supervisor/launcher/export_command.h"

#include "supervisor/common/exceptions.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kOperation = "Export";
constexpr const char* kLauncherBelowRoot = "/opt/brevantis/tarn/libexec/launcher";
constexpr const char* kLibrary = "libtarn_infra.so";

}  // namespace

ExportCommand::ExportCommand(Launcher& launcher, std::shared_ptr<const LauncherArguments> arguments)
    : LauncherCommand(launcher, std::move(arguments)) {}

ExportCommand::ExportCommand(Launcher& launcher,
                             std::shared_ptr<const LauncherArguments> arguments,
                             Path sourceRoot)
    : LauncherCommand(launcher, std::move(arguments)), sourceRoot_(std::move(sourceRoot)) {}

Path ExportCommand::PatchRootOf(const Path& executable, const std::string& productName) {
  const std::string& path = executable.string();
  const std::string below = ExpandPathTemplate(kLauncherBelowRoot, productName);
  const bool inPatch = path.size() > below.size() + 1 && path.front() == '/' &&
                       path.compare(path.size() - below.size(), below.size(), below) == 0;
  if (!inPatch) {
    BOOST_THROW_EXCEPTION(
        ApplicationError("Can't export settings: " + path + " is not the launcher of a patch"));
  }
  return path.substr(0, path.size() - below.size());
}

int ExportCommand::operator()() {
  const Context context = MakeContext();
  Trace(kTraceDebug, kOperation, "Exporting settings of ", context.source.Root(), " to ",
        context.destination.Root(), " ...");
  const AppInfraLoader loader(
      Tracer(),
      context.source.Lib64Dir() / ExpandPathTemplate(kLibrary, context.product.ProductName()));
  const Interfaces interfaces = GetInterfaces(loader);
  const AppInfraConfig config(ReadRuntimeConfig(context));
  const ExportTaskManager::Result result = RunExport(context, loader, interfaces, config);
  WriteOutputs(context, result);
  return 0;
}

ExportCommand::Interfaces ExportCommand::GetInterfaces(const AppInfraLoader& loader) {
  return {loader.GetInterface<SovXmlStorageFactory>("IXmlStorageFactory"),
          loader.GetInterface<SovSettingsExporter>("ISettingsExporter"),
          loader.GetInterface<SovPersistentDataExporter>("IPersistentDataExporter")};
}

sov::tools::RuntimeConfig ExportCommand::ReadRuntimeConfig(const Context& context) const {
  const Path ini = context.product.Ini();
  RequireInput(ini);
  sov::tools::RuntimeConfig record;
  const ivo::ResultCode read = sov::tools::ReadRuntimeConfig(
      ini, context.product.Pcid(), context.product.AgreementsIni(), record, Tracer().get());
  if (ivo::Failed(read)) {
    BOOST_THROW_EXCEPTION(ApplicationError(std::string("Can't read the runtime configuration: ") +
                                           ivo::DescribeResult(read)));
  }
  return record;
}

ExportTaskManager::Result ExportCommand::RunExport(const Context& context,
                                                   const AppInfraLoader& loader,
                                                   const Interfaces& interfaces,
                                                   const AppInfraConfig& config) const {
  const Path settingsXml = context.source.SettingsXml();
  const Path kvdbDir = context.source.KvdbDir();
  RequireInput(settingsXml);
  RequireInput(kvdbDir);
  const SovExportTaskParams params = {settingsXml.c_str(),  kvdbDir.c_str(),
                                      &config.View(),       &interfaces.storageFactory,
                                      &interfaces.settings, &interfaces.persistentData};
  ExportTaskManager manager(loader, params);
  return manager.Run();
}

void ExportCommand::WriteOutputs(const Context& context,
                                 const ExportTaskManager::Result& result) const {
  fs::create_directories(context.destination.PrivateDir());
  WriteTextFile(context.destination.UpgradeSettings(), result.settings);
  WriteTextFile(context.destination.UpgradePersistentData(), result.persistentData);
}

ExportCommand::Context ExportCommand::MakeContext() const {
  const ProductPaths product(Tracer());
  const Path root = sourceRoot_
                        ? *sourceRoot_
                        : PatchRootOf(fs::read_symlink("/proc/self/exe"), product.ProductName());
  Context context{product, product.PatchRootedAt(root), product.Current()};
  if (!fs::is_directory(context.destination.Root())) {
    BOOST_THROW_EXCEPTION(
        ApplicationError("Active patch " + context.destination.Root() + " not found"));
  }
  return context;
}

void ExportCommand::RequireInput(const Path& path) const {
  boost::system::error_code error;
  if (!fs::exists(path, error)) {
    const std::string message = (boost::format("File %1% not found") % path.string()).str();
    Trace(kTraceError, kOperation, message);
    BOOST_THROW_EXCEPTION(ApplicationError(message));
  }
}

}  // namespace sov::supervisor
