// Distribution family from the release files. os-release is looked at twice on purpose:
// Astra is recognised by its ID line before the INI parser looks for PRETTY_NAME. The
// files are followed through links (os-release usually is one into /usr/lib).
#include "sov_common/distrib_type.h"

#include "sov_common/enum_names.h"
#include "sov_common/file_reader.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>

#include <array>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

// Release files hold a few lines; a larger one is refused (EFBIG).
constexpr sov::tools::ReadLimits kReleaseFileLimits{std::size_t{64} * 1024, true};

// The text of `file`, or nullopt when no regular file is there. Any other failure throws
// std::system_error "Cannot read <file>".
std::optional<std::string> ReadReleaseFile(const fs::path& file) {
  sov::tools::FileContent content = sov::tools::ReadWholeFile(file, kReleaseFileLimits);
  switch (content.error) {
    case 0:
      return std::move(content.text);
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case EISDIR:
    case EINVAL:
      return std::nullopt;
    default:
      BOOST_THROW_EXCEPTION(std::system_error(content.error, std::generic_category(),
                                              "Cannot read " + file.string()));
  }
}

// PRETTY_NAME of os-release `text`; the parser's error names `file`.
std::string PrettyName(const fs::path& file, const std::string& text) {
  std::istringstream in(text);
  pt::ptree tree;
  try {
    pt::ini_parser::read_ini(in, tree);
  } catch (const pt::ini_parser_error& error) {
    BOOST_THROW_EXCEPTION(pt::ini_parser_error(error.message(), file.string(), error.line()));
  }
  return tree.get<std::string>("PRETTY_NAME", "");
}

// The text that names the distribution, or nullopt when os-release says Astra outright.
std::optional<std::string> Description(const fs::path& etcDir) {
  const fs::path osRelease = etcDir / "os-release";
  if (const auto text = ReadReleaseFile(osRelease)) {
    if (text->find("ID=astra") != std::string::npos) {
      return std::nullopt;
    }
    return PrettyName(osRelease, *text);
  }
  const std::array<std::pair<const char*, const char*>, 4> releaseFiles = {{
      {"redhat-release", ""},
      {"SuSE-release", ""},
      {"debian_version-release", "Debian "},
      {"centos-release", ""},
  }};
  for (const auto& [name, prefix] : releaseFiles) {
    if (const auto text = ReadReleaseFile(etcDir / name)) {
      return prefix + *text;
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
