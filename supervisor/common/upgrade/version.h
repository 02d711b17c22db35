// Version: the four-part product version, written "major.minor.build.revision".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace sov::supervisor {

struct Version {
  std::uint32_t revision = 0;
  std::uint32_t build = 0;
  std::uint32_t minor = 0;
  std::uint32_t major = 0;

  Version() = default;
  Version(std::uint32_t majorPart,
          std::uint32_t minorPart,
          std::uint32_t buildPart,
          std::uint32_t revisionPart)
      : revision(revisionPart), build(buildPart), minor(minorPart), major(majorPart) {}

  // One to four dotted decimal numbers ("12.4" is 12.4.0.0). A missing part, a part that
  // does not fit a signed 32-bit integer, or text of another shape gives 0 for that part.
  static Version FromText(const std::string& text);

  std::string ToString() const;
};

// The parts of one to four dotted runs of ASCII digits ("12", "12.4.0.118"), views of
// `text`; nullopt for text of any other shape (an empty part, a sign, a blank, a fifth part).
std::optional<std::vector<std::string_view>> SplitVersion(std::string_view text);

inline bool operator<(const Version& left, const Version& right) {
  return std::tie(left.major, left.minor, left.build, left.revision) <
         std::tie(right.major, right.minor, right.build, right.revision);
}
inline bool operator==(const Version& left, const Version& right) {
  return std::tie(left.major, left.minor, left.build, left.revision) ==
         std::tie(right.major, right.minor, right.build, right.revision);
}
inline bool operator!=(const Version& left, const Version& right) {
  return !(left == right);
}

}  // namespace sov::supervisor
