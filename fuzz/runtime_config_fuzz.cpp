// The live ini, the identity file and the agreements file as the runtime configuration
// reader finds them. The input holds the three texts separated by NUL bytes; a missing part
// leaves that file absent. Beyond not crashing, every value rule must read back what it
// writes for any value the ini holds.
#include "fuzz/fuzz_support.h"
#include "sov_common/runtime_config.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cctype>
#include <sstream>
#include <string>

namespace {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
using sov::fuzz::Broken;
using sov::fuzz::Visible;

template <typename Value>
std::string Text(const Value& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// Parse, print, parse again: the second reading must give the first value.
template <typename Parse>
void CheckRereads(const char* rule, Parse parse, const std::string& text) {
  const auto value = parse(text);
  if (!value) {
    return;
  }
  const std::string printed = Text(*value);
  const auto again = parse(printed);
  if (!again || !(*again == *value)) {
    Broken(std::string(rule) + "(\"" + Visible(text) + "\") printed as \"" + Visible(printed) +
           "\" does not read back");
  }
}

void CheckValueRules(const pt::ptree& tree) {
  for (const auto& [key, node] : tree) {
    if (!node.empty()) {
      CheckValueRules(node);
      continue;
    }
    const std::string& text = node.data();
    CheckRereads("ParseFlag", sov::tools::ParseFlag, text);
    CheckRereads("ParseUnsigned", sov::tools::ParseUnsigned, text);
    CheckRereads("ParseSigned", sov::tools::ParseSigned, text);
    CheckRereads("ParseMemoryLimit", sov::tools::ParseMemoryLimit, text);
  }
}

void CheckRecord(const sov::tools::RuntimeConfig& config, std::string_view agreements) {
  if (config.eulaAccepted && agreements.find(sov::tools::kBuiltInEulaId) == std::string::npos) {
    Broken("the agreement counts as accepted, but the agreements file does not name it");
  }
  const std::string& pcid = config.pcid;
  if (!pcid.empty() && (std::isspace(static_cast<unsigned char>(pcid.front())) != 0 ||
                        std::isspace(static_cast<unsigned char>(pcid.back())) != 0)) {
    Broken("the identity keeps white space around it: \"" + Visible(pcid) + "\"");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = sov::fuzz::Split(sov::fuzz::AsText(data, size), '\0', 3);
  const fs::path& directory = sov::fuzz::ScratchDirectory();
  const fs::path files[] = {directory / "tarn.ini", directory / "tarn.pcid",
                            directory / "agreements.ini"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (i < parts.size()) {
      sov::fuzz::WriteFile(files[i], parts[i]);
    } else {
      fs::remove(files[i]);
    }
  }

  const ivo::TracerPtr tracer = sov::fuzz::DiscardingTracer();
  sov::tools::RuntimeConfig config;
  const ivo::ResultCode code =
      sov::tools::ReadRuntimeConfig(files[0], files[1], files[2], config, tracer.get());
  if (code != ivo::result::kOk && code != ivo::result::kBadFormat) {
    Broken("readable files gave the result code " + std::to_string(code));
  }
  if (code == ivo::result::kOk) {
    CheckRecord(config, parts.size() > 2 ? parts[2] : std::string_view());
  }

  // The value rules on every value of the ini, whether or not its key is one of ours.
  std::istringstream ini{std::string(parts[0])};
  pt::ptree tree;
  try {
    pt::read_ini(ini, tree);
  } catch (const pt::ini_parser_error&) {
    return 0;
  }
  CheckValueRules(tree);
  return 0;
}
