// The PCID sources and the install step. A source that cannot be read or parsed is only
// traced: the next source is tried, and a new identifier is always possible.
#include "supervisor/common/system/pcid.h"

#include "sov_common/file_reader.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/stat.h>

#include <cstring>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

// A PCID file holds 36 to 38 characters; anything much larger is no PCID.
constexpr std::size_t kMaxPcidFileSize = 4096;

bool TryParse(const std::string& text, Guid& guid) {
  try {
    guid = Guid::Parse(text);
    return true;
  } catch (const GuidSyntaxError&) {
    return false;
  }
}

// Whether "General.PCID" of `config` names `installed`: what an install that was killed
// between writing the identity file and rewriting the ini left behind.
bool HoldsLeftover(const pt::ptree& config, const Guid& installed) {
  const auto value = config.get_optional<std::string>("General.PCID");
  Guid parsed;
  return value && TryParse(*value, parsed) && parsed == installed;
}

// Writes `config` back to the ini without any "General.PCID".
void RemoveFromIni(const Utils& utils, const Path& ini, pt::ptree& config) {
  if (auto general = config.get_child_optional("General")) {
    general->erase("PCID");
    // The ini writer would turn a section without keys into a key "General=".
    if (general->empty()) {
      config.erase("General");
    }
  }
  utils.WriteIni(ini, config);
}

}  // namespace

Path EndpointAgentPcidFile() {
  return Path("/var/opt/brevantis/") / "sentrel" / "install_id";
}

ivo::ResultCode GetPcidFromFile(const Traceable& tracing, const Path& path, Guid& guid) {
  boost::system::error_code error;
  const auto type = fs::status(path, error).type();
  if (type == fs::file_not_found || type == fs::status_error) {
    tracing.Trace(kTraceError, "GetPcidFromFile", "File with PCID not found: ", path);
    return ivo::result::kNotFound;
  }
  auto content = sov::tools::ReadWholeFile(path, {kMaxPcidFileSize, true});
  if (!content) {
    tracing.Trace(kTraceError, "GetPcidFromFile", "Cannot read PCID file ", path, ": ",
                  std::strerror(content.error));
    return ivo::result::kFail;
  }
  boost::algorithm::trim(content.text);
  if (!TryParse(content.text, guid)) {
    tracing.Trace(kTraceError, "GetPcidFromFile", "Bad PCID format: ", content.text);
    return ivo::result::kBadFormat;
  }
  return ivo::result::kOk;
}

ivo::ResultCode GetPcidFromConfig(const Traceable& tracing, const pt::ptree& config, Guid& guid) {
  const auto value = config.get<std::string>("General.PCID", "");
  if (!TryParse(value, guid)) {
    tracing.Trace(kTraceError, "GetPcidFromConfig", "Bad PCID format from the config: ", value);
    return ivo::result::kBadFormat;
  }
  return ivo::result::kOk;
}

void WritePcid(const Utils& utils, const Path& path, const Guid& guid) {
  // Other programs of the product read the identifier; it is no secret.
  utils.WriteTextFile(path, guid.ToString(), S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
}

void InstallPcid(const Utils& utils, const ProductPaths& product, pt::ptree& config) {
  utils.Trace(kTraceDebug, "InstallPcid", "Installing PCID ...");
  Guid guid;
  if (ivo::Succeeded(GetPcidFromFile(utils, product.Pcid(), guid))) {
    utils.Trace(kTraceDebug, "InstallPcid", "PCID already installed");
    if (HoldsLeftover(config, guid)) {
      utils.Trace(kTraceDebug, "InstallPcid",
                  "Removing General.PCID, which holds the installed PCID");
      RemoveFromIni(utils, product.Ini(), config);
    }
    return;
  }
  utils.ReadIni(product.Ini(), config);
  if (ivo::Succeeded(GetPcidFromFile(utils, EndpointAgentPcidFile(), guid))) {
    utils.Trace(kTraceDebug, "InstallPcid", "Import PCID from sentrel");
  } else if (ivo::Succeeded(GetPcidFromConfig(utils, config, guid))) {
    utils.Trace(kTraceDebug, "InstallPcid", "Import PCID from config");
  } else {
    guid = Guid::NewRandom();
    utils.Trace(kTraceDebug, "InstallPcid", "Generate new PCID");
  }
  // The identifier is on disk before it leaves the ini: a crash in between loses nothing,
  // and the next install finds it in both places (above).
  WritePcid(utils, product.Pcid(), guid);
  RemoveFromIni(utils, product.Ini(), config);
}

}  // namespace sov::supervisor
