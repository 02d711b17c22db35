// Fixed system paths.
#include "supervisor/common/paths/system_paths.h"

#include "sov_common/platform.h"

namespace sov::supervisor {

Path KernelModulesDir() {
  return Path("/") / "lib" / "modules" / GetOsRelease() / "misc";
}
Path WdServerSocket() {
  return "/var/run/wdserver.sock";
}
Path WdServerPid() {
  return "/var/run/wdserver.pid";
}
Path NagentPid() {
  return "/var/run/qvnagent.pid";
}
Path NagentIntegrityCheckXml() {
  return "/opt/brevantis/qvnagent64/bin/integrity_check.xml";
}
Path NagentIntegrityManifest() {
  return "/opt/brevantis/qvnagent64/bin/qv_file_integrity_manifest.xml";
}
Path NagentModuleChecker() {
  return "/opt/brevantis/qvnagent64/bin/qvscmodchk";
}
Path SystemdSleepDir() {
  return "/lib/systemd/system-sleep/";
}
Path PmSleepDir() {
  return "/etc/pm/sleep.d/";
}
Path UsrBin() {
  return "/usr/bin";
}

}  // namespace sov::supervisor
