// The service facade and the common part of both service forms. The forms are chosen once
// per object; the init process decides, so a SysV system with systemctl installed still
// gets the SysV form.
#include "supervisor/common/system/service.h"

#include "sov_common/init_system.h"
#include "supervisor/common/files/utils.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/system/init_service.h"
#include "supervisor/common/system/systemd_service.h"

namespace sov::supervisor {

BaseService::BaseService(ivo::TracerPtr tracer,
                         std::string name,
                         std::unique_ptr<IServiceEnabler> enabler)
    : Traceable(std::move(tracer)), name_(std::move(name)), enabler_(std::move(enabler)) {}

int BaseService::Run(const std::vector<std::string>& arguments, bool check) const {
  const auto result = CmdObject(Tracer().get()).SetArgs(arguments)();
  if (check) {
    result.Check();
  }
  return result.code;
}

namespace {

std::unique_ptr<IServiceEnabler> MakeEnabler(const Utils& utils) {
  if (IsSystemd()) {
    return std::make_unique<Systemctl>(utils.Tracer(), utils.ResolvePath("systemctl"));
  }
  if (Utils::IsResolvable("chkconfig")) {
    return std::make_unique<ChkConfig>(utils.Tracer(), utils.ResolvePath("chkconfig"));
  }
  return std::make_unique<UpdateRcD>(utils.Tracer(), utils.ResolvePath("update-rc.d"));
}

std::unique_ptr<BaseService> MakeService(const ivo::TracerPtr& tracer, const std::string& name) {
  const Utils utils(tracer);
  if (IsSystemd()) {
    const Path systemctl = utils.ResolvePath("systemctl");
    return std::make_unique<SystemdService>(tracer, name, MakeEnabler(utils), systemctl);
  }
  const Path service = utils.ResolvePath("service");
  return std::make_unique<InitService>(tracer, name, MakeEnabler(utils), service);
}

}  // namespace

Service::Service(const ivo::TracerPtr& tracer, const std::string& name)
    : impl_(MakeService(tracer, name)) {}

Service::Service(std::unique_ptr<BaseService> implementation) : impl_(std::move(implementation)) {}

}  // namespace sov::supervisor
