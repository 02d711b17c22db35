// Whether a package is installed, as the distribution's package database says. Used to
// find the management agent ("qvnagent" or "qvnagent64").
#pragma once

#include "sov_common/distrib_type.h"
#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

enum class PackageDatabase { Deb, Rpm };

class PackageQuery : public Traceable {
 public:
  // Deb families (Ubuntu, Debian, Astra) ask dpkg-query, rpm families (RedHat, Suse, Alt,
  // Euler) ask rpm; on an Unknown family the first of dpkg-query, rpm that resolves.
  PackageQuery(ivo::TracerPtr tracer, DistribType family);
  // For tests: the tool at `tool` speaks the language of `database`; dpkg keeps its
  // database in `dpkgDir`.
  PackageQuery(ivo::TracerPtr tracer, PackageDatabase database, Path tool, Path dpkgDir = kDpkgDir);

  // True only when the database reports the package fully installed ("install ok
  // installed" for dpkg, exit status 0 for "rpm -q"). A missing tool, an unknown package
  // or a failed query is false; nothing throws.
  bool IsInstalled(const std::string& package) const;

  // False when the package cannot be installed, as a look at the database's files tells
  // without running a query: dpkg keeps "info/<package>.list" (or, for a package of
  // another architecture that may be installed beside its own, "info/<package>:<arch>.list"
  // for an architecture that "arch" names) for every package that is unpacked or installed.
  // True otherwise, and always for rpm, whose database has no such files, and for a dpkg
  // without that directory.
  bool MayBeInstalled(const std::string& package) const;

  static constexpr const char* kDpkgDir = "/var/lib/dpkg";

 private:
  PackageDatabase database_ = PackageDatabase::Deb;
  Path tool_;
  Path dpkgDir_ = kDpkgDir;
};

// "qvnagent" on a 32-bit system, "qvnagent64" otherwise: the agent's service name.
std::string AgentServiceName();

// Whether the management agent's package, "qvnagent" or "qvnagent64", is installed as
// `query`'s database says. A query costs more than a whole start of the product, so it is
// made only for a package that may be installed: "qvnagent64" lives below
// /opt/brevantis/qvnagent64, and without that directory it is not; the 32-bit "qvnagent"
// may live elsewhere, and be installed on a 64-bit system too, so the database's files
// tell (MayBeInstalled).
bool IsAgentInstalled(const PackageQuery& query, int bitness);

}  // namespace sov::supervisor
