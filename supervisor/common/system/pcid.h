// The product installation identifier (PCID): a GUID in the file ProductPaths::Pcid(),
// made once per installation and then kept. The install step adopts an identifier that
// the installation already has, a co-installed endpoint agent's, or one that an older
// installation left in the live ini, and only then makes a new one.
#pragma once

#include "ivo/result.h"
#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/guid.h"

#include <boost/property_tree/ptree_fwd.hpp>

namespace sov::supervisor {

// "/var/opt/brevantis/sentrel/install_id": the endpoint agent's identifier.
Path EndpointAgentPcidFile();

// Reads the GUID held by the file at `path` (white space around it is ignored). Fails with
// kNotFound, tracing "File with PCID not found: <path>" at error level, when there is no
// file or its status cannot be read; with kFail when it cannot be read as a small regular
// file; with kBadFormat, tracing "Bad PCID format: <text>", when the text is no GUID.
// Never throws for a bad source.
ivo::ResultCode GetPcidFromFile(const Traceable& tracing, const Path& path, Guid& guid);

// The GUID of "General.PCID" in `config` (absent reads as empty). Fails with kBadFormat,
// tracing "Bad PCID format from the config: <value>", when the value is no GUID.
ivo::ResultCode GetPcidFromConfig(const Traceable& tracing,
                                  const boost::property_tree::ptree& config,
                                  Guid& guid);

// Replaces the file at `path` with the GUID's text form (no line end) in one rename; a new
// file is readable by all. Throws the writer's error.
void WritePcid(const Utils& utils, const Path& path, const Guid& guid);

// The install step. When `product`'s Pcid() holds a GUID, the live ini is left as it is,
// unless `config` (the live ini as the caller read it) holds that same GUID (in any of its
// text forms) under "General.PCID": an install killed after it wrote Pcid() left it, and
// the ini is written back from `config` without the key. Otherwise `config` is read from
// the live ini, the GUID is taken from the endpoint agent, else from "General.PCID", else
// made anew, written to Pcid(), and the ini is written back from `config` without any
// "General.PCID". Throws when the ini cannot be read or a file cannot be written.
void InstallPcid(const Utils& utils,
                 const ProductPaths& product,
                 boost::property_tree::ptree& config);

}  // namespace sov::supervisor
