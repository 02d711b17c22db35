// The product's application infrastructure library, loaded at run time from a full path,
// and owners for what it hands out. Only C crosses the boundary (sov_common/app_infra.h);
// these classes turn its result codes into exceptions and release what it allocated on every
// path out.
#pragma once

#include "sov_common/app_infra.h"
#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

class AppInfraLoader : public Traceable {
 public:
  // Loads `library` (an absolute path; a bare name would be looked up in the library
  // path) and asks its entry point for this version's table. Throws ApplicationError
  // "Can't create application infrastructure loader: <reason>" when the library cannot be
  // loaded, has no entry point or does not serve the version.
  AppInfraLoader(ivo::TracerPtr tracer, const Path& library);
  ~AppInfraLoader();
  AppInfraLoader(const AppInfraLoader&) = delete;
  AppInfraLoader& operator=(const AppInfraLoader&) = delete;

  const SovAppInfraApi& Api() const { return *api_; }

  // The interface table named `name`. Throws ApplicationError "Can't get interface <name>"
  // when the library does not offer it.
  template <typename Interface>
  const Interface& GetInterface(const char* name) const {
    return *static_cast<const Interface*>(GetInterfaceTable(name));
  }

 private:
  const void* GetInterfaceTable(const char* name) const;

  void* handle_ = nullptr;
  const SovAppInfraApi* api_ = nullptr;
};

// The export's task manager: created over the inputs that `params` names, run once.
class ExportTaskManager {
 public:
  struct Result {
    std::string settings;
    std::string persistentData;
  };

  // Throws ApplicationError "Can't create task manager: <library's reason>", or
  // "File <path> not found" when the library reports a missing input.
  ExportTaskManager(const AppInfraLoader& loader, const SovExportTaskParams& params);
  ~ExportTaskManager();
  ExportTaskManager(const ExportTaskManager&) = delete;
  ExportTaskManager& operator=(const ExportTaskManager&) = delete;

  // Both export texts. Throws ApplicationError "Can't export settings: <library's reason>".
  Result Run();

 private:
  const SovAppInfraApi& api_;
  SovTaskManager* manager_ = nullptr;
};

}  // namespace sov::supervisor
