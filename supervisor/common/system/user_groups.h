// The system groups through which the product grants access to its administration and
// audit functions. The launcher only creates and deletes them; membership is the
// administrator's.
#pragma once

#include "supervisor/common/files/utils.h"

#include <string>
#include <vector>

namespace sov::supervisor {

class UserGroups : public Utils {
 public:
  UserGroups(ivo::TracerPtr tracer, std::vector<std::string> names);

  // Runs "groupadd -rf <name>" for each name in order (a system group; an existing group
  // is no failure). Throws "groupadd not found" when the tool is missing and the runner's
  // error at the first failing run; groups made before it stay.
  void Create() const;

  // Runs "groupdel <name>" for each name in order. A failing run (a group that is already
  // gone) is traced by the runner and otherwise ignored. Throws "groupdel not found" when
  // the tool is missing.
  void Delete() const;

 private:
  std::vector<std::string> names_;
};

}  // namespace sov::supervisor
