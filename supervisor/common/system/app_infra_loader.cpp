// Loading of the application infrastructure library. It is opened with RTLD_LOCAL so that
// its symbols never resolve anything of the launcher's, and RTLD_NOW so that a library
// with missing symbols fails here, with dlerror's reason, rather than in the middle of a call.
#include "supervisor/common/system/app_infra_loader.h"

#include "ivo/result.h"
#include "supervisor/common/exceptions.h"

#include <boost/throw_exception.hpp>

#include <dlfcn.h>

namespace sov::supervisor {
namespace {

constexpr const char* kLoaderFailure = "Can't create application infrastructure loader: ";

std::string DlError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

}  // namespace

AppInfraLoader::AppInfraLoader(ivo::TracerPtr tracer, const Path& library)
    : Traceable(std::move(tracer)) {
  if (!library.is_absolute()) {
    BOOST_THROW_EXCEPTION(
        ApplicationError(kLoaderFailure + library.string() + " is not an absolute path"));
  }
  Trace(kTraceDebug, "AppInfraLoader", "Loading ", library, " ...");
  handle_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    BOOST_THROW_EXCEPTION(ApplicationError(kLoaderFailure + DlError()));
  }
  // From here on the destructor does not run if the constructor throws: close by hand.
  const auto entry = reinterpret_cast<SovAppInfraEntry>(dlsym(handle_, SOV_APP_INFRA_ENTRY));
  if (entry == nullptr) {
    const std::string reason = DlError();
    dlclose(handle_);
    BOOST_THROW_EXCEPTION(ApplicationError(kLoaderFailure + reason));
  }
  api_ = entry(SOV_APP_INFRA_VERSION);
  if (api_ == nullptr || api_->version != SOV_APP_INFRA_VERSION) {
    dlclose(handle_);
    BOOST_THROW_EXCEPTION(ApplicationError(kLoaderFailure + library.string() +
                                           " does not serve interface version " +
                                           std::to_string(SOV_APP_INFRA_VERSION)));
  }
}

AppInfraLoader::~AppInfraLoader() {
  dlclose(handle_);
}

const void* AppInfraLoader::GetInterfaceTable(const char* name) const {
  const void* table = api_->get_interface(name);
  if (table == nullptr) {
    BOOST_THROW_EXCEPTION(ApplicationError(std::string("Can't get interface ") + name));
  }
  Trace(kTraceDebug, "GetInterface", name, " acquired");
  return table;
}

ExportTaskManager::ExportTaskManager(const AppInfraLoader& loader,
                                     const SovExportTaskParams& params)
    : api_(loader.Api()) {
  SovError error{};
  const ivo::ResultCode code = api_.create_task_manager(&params, &manager_, &error);
  if (code == ivo::result::kNotFound) {
    BOOST_THROW_EXCEPTION(ApplicationError(error.text));
  }
  if (ivo::Failed(code) || manager_ == nullptr) {
    BOOST_THROW_EXCEPTION(
        ApplicationError(std::string("Can't create task manager: ") + error.text));
  }
}

ExportTaskManager::~ExportTaskManager() {
  api_.destroy_task_manager(manager_);
}

namespace {

// Text that the library allocated, released on every path out.
class LibraryText {
 public:
  explicit LibraryText(const SovAppInfraApi& api) : api_(api) {}
  ~LibraryText() { api_.free_text(&text_); }
  LibraryText(const LibraryText&) = delete;
  LibraryText& operator=(const LibraryText&) = delete;

  SovText* Out() { return &text_; }
  std::string Copy() const {
    return text_.data != nullptr ? std::string(text_.data, text_.size) : std::string();
  }

 private:
  const SovAppInfraApi& api_;
  SovText text_{};
};

}  // namespace

ExportTaskManager::Result ExportTaskManager::Run() {
  LibraryText settings(api_);
  LibraryText persistentData(api_);
  SovError error{};
  if (ivo::Failed(api_.run_export(manager_, settings.Out(), persistentData.Out(), &error))) {
    BOOST_THROW_EXCEPTION(ApplicationError(std::string("Can't export settings: ") + error.text));
  }
  return {settings.Copy(), persistentData.Copy()};
}

}  // namespace sov::supervisor
