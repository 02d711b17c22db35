// Names of enumeration values, from a table indexed by the value. Every enumeration of the
// product prints a value outside its table the same way, so that a trace line shows which
// enumeration and which number went wrong instead of an empty text or a crash.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sov::tools {

// The name of `value`, or "EnumToString, invalid '<enumName>' enum value: <value>".
template <std::size_t Size>
std::string EnumName(const std::array<const char*, Size>& names,
                     long long value,
                     std::string_view enumName) {
  if (value >= 0 && static_cast<unsigned long long>(value) < Size) {
    return names[static_cast<std::size_t>(value)];
  }
  return "EnumToString, invalid '" + std::string(enumName) +
         "' enum value: " + std::to_string(value);
}

// The value whose name is `name`; throws std::invalid_argument
// "StringToEnum, invalid '<enumName>' enum name: <name>" for any other text.
template <typename Enum, std::size_t Size>
Enum EnumValue(const std::array<const char*, Size>& names,
               std::string_view name,
               std::string_view enumName) {
  for (std::size_t i = 0; i < Size; ++i) {
    if (name == names[i]) {
      return static_cast<Enum>(i);
    }
  }
  throw std::invalid_argument("StringToEnum, invalid '" + std::string(enumName) +
                              "' enum name: " + std::string(name));
}

}  // namespace sov::tools
