// Distribution family from the release files. os-release is read twice on purpose: Astra
// is recognised by its ID line before the INI reader looks for PRETTY_NAME.
#include "sov_common/distrib_type.h"

#include "sov_common/enum_names.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <array>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

std::string ReadText(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The text that names the distribution, or nullopt when os-release says Astra outright.
std::optional<std::string> Description(const fs::path& etcDir) {
  const fs::path osRelease = etcDir / "os-release";
  if (fs::is_regular_file(osRelease)) {
    if (ReadText(osRelease).find("ID=astra") != std::string::npos) {
      return std::nullopt;
    }
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(osRelease.string(), tree);
    return tree.get<std::string>("PRETTY_NAME", "");
  }
  const std::array<std::pair<const char*, const char*>, 4> releaseFiles = {{
      {"redhat-release", ""},
      {"SuSE-release", ""},
      {"debian_version-release", "Debian "},
      {"centos-release", ""},
  }};
  for (const auto& [name, prefix] : releaseFiles) {
    if (fs::is_regular_file(etcDir / name)) {
      return prefix + ReadText(etcDir / name);
    }
  }
  return std::string();
}

}  // namespace

std::string ToString(DistribType type) {
  static constexpr std::array<const char*, 8> kNames = {"Unknown", "Ubuntu", "Debian", "RedHat",
                                                        "Suse",    "Alt",    "Astra",  "Euler"};
  return sov::tools::EnumName(kNames, static_cast<int>(type), "DistribType");
}

DistribType DeduceDistribType(const fs::path& etcDir) {
  const auto description = Description(etcDir);
  if (!description) {
    return DistribType::Astra;
  }
  // The first text found decides; the order matters (an ALT description may mention
  // other families).
  const std::array<std::pair<const char*, DistribType>, 7> markers = {{
      {"ALT ", DistribType::Alt},
      {"Euler", DistribType::Euler},
      {"SUSE", DistribType::Suse},
      {"Red Hat", DistribType::RedHat},
      {"CentOS", DistribType::RedHat},
      {"Ubuntu", DistribType::Ubuntu},
      {"Debian", DistribType::Debian},
  }};
  for (const auto& [marker, type] : markers) {
    if (description->find(marker) != std::string::npos) {
      return type;
    }
  }
  return DistribType::Unknown;
}

DistribType GetDistribType() {
  static const DistribType type = DeduceDistribType("/etc");
  return type;
}

}  // namespace sov::supervisor
