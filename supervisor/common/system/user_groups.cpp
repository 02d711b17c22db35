// Creation and deletion of the product's groups with the system's group tools.
#include "supervisor/common/system/user_groups.h"

#include "supervisor/common/process/cmd.h"

#include <utility>

namespace sov::supervisor {

UserGroups::UserGroups(ivo::TracerPtr tracer, std::vector<std::string> names)
    : Utils(std::move(tracer)), names_(std::move(names)) {}

void UserGroups::Create() const {
  const std::string groupadd = ResolvePath("groupadd").string();
  for (const auto& name : names_) {
    CmdObject(Tracer().get()).SetArgs(groupadd.c_str(), "-rf", name)().Check();
  }
}

void UserGroups::Delete() const {
  const std::string groupdel = ResolvePath("groupdel").string();
  for (const auto& name : names_) {
    CmdObject(Tracer().get()).SetArgs(groupdel.c_str(), name)();
  }
}

}  // namespace sov::supervisor
