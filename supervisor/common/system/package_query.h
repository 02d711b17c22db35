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
  // For tests: the tool at `tool` speaks the language of `database`.
  PackageQuery(ivo::TracerPtr tracer, PackageDatabase database, Path tool);

  // True only when the database reports the package fully installed ("install ok
  // installed" for dpkg, exit status 0 for "rpm -q"). A missing tool, an unknown package
  // or a failed query is false; nothing throws.
  bool IsInstalled(const std::string& package) const;

 private:
  PackageDatabase database_ = PackageDatabase::Deb;
  Path tool_;
};

// "qvnagent" on a 32-bit system, "qvnagent64" otherwise: the agent's service name.
std::string AgentServiceName();

// Whether the management agent's package, "qvnagent" or "qvnagent64", is installed as
// `query`'s database says. Where `bitness` names the agent "qvnagent64" it lives below
// /opt/brevantis/qvnagent64, and without that directory the database (a slow query) is not
// asked; the 32-bit "qvnagent" may live elsewhere, so there the database is always asked.
bool IsAgentInstalled(const PackageQuery& query, int bitness);

}  // namespace sov::supervisor
