// Fixed system paths that belong to no product path set (no product-name substitution).
#pragma once

#include <boost/filesystem/path.hpp>

namespace sov::supervisor {

using Path = boost::filesystem::path;

// "/lib/modules/<kernel release>/misc"; throws as GetOsRelease() does.
Path KernelModulesDir();
Path WdServerSocket();
Path WdServerPid();
Path NagentPid();
Path NagentIntegrityCheckXml();
Path NagentIntegrityManifest();
Path NagentModuleChecker();
Path SystemdSleepDir();
Path PmSleepDir();
Path UsrBin();

}  // namespace sov::supervisor
