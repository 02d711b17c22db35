// A 128-bit GUID as the product stores identifiers: 16 bytes in the order of the text form
// (the first two hexadecimal digits are byte 0), written as upper-case 8-4-4-4-12 groups.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sov::supervisor {

// Thrown for text that is not a GUID; what() is "Bad guid syntax".
class GuidSyntaxError : public std::invalid_argument {
 public:
  GuidSyntaxError() : std::invalid_argument("Bad guid syntax") {}
};

class Guid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  Guid() = default;
  explicit Guid(const Bytes& bytes) : bytes_(bytes) {}

  // Accepts exactly 36 characters "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hexadecimal digits
  // of either case), or exactly 38 with "{" and "}" around them. No white space. Throws
  // GuidSyntaxError for anything else.
  static Guid Parse(std::string_view text);

  // A random version-4 GUID from the process-wide generator (see guid.cpp). Throws
  // ivo::ResultError "Cannot get system time" when the clock cannot be read on first use.
  static Guid NewRandom();

  // Upper-case 8-4-4-4-12, no braces, no line end.
  std::string ToString() const;

  const Bytes& GetBytes() const { return bytes_; }
  bool operator==(const Guid& other) const { return bytes_ == other.bytes_; }
  bool operator!=(const Guid& other) const { return !(*this == other); }

 private:
  Bytes bytes_{};
};

}  // namespace sov::supervisor
