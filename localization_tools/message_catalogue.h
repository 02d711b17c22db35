// The built-in English texts that the product shows to users, by message number. A
// language loaded by the Translator overrides the texts of the numbers it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sov::localization {

// What LookupMessage gives for a number the program does not know. A fixed, unmistakable
// text, so that a wrong number shows up in the output instead of an empty line.
inline constexpr std::string_view kMessageNotFound = "63fc5ebd-ec5d-4486-91be-7c6efced3a77";

struct MessageEntry {
  std::uint32_t number = 0;
  // CamelCase identifier; a trailing digit is usually the number of placeholders.
  std::string key;
  // Text forms by plural index; never empty. English has one form.
  std::vector<std::string> forms;
};

using MessageCatalogue = std::unordered_map<std::uint32_t, MessageEntry>;

// The built-in English catalogue. Built on the first call (not at process start) and kept
// for the life of the process.
const MessageCatalogue& BuiltinCatalogue();

// The text of message `number` in plural form `plural`, clamped to the last form the text
// has. The loaded language's text wins when it has the number; otherwise the English one.
// A number that the built-in catalogue does not know gives kMessageNotFound whatever the
// loaded language: a language file cannot add messages. Never throws; an internal failure
// such as running out of memory terminates.
std::string LookupMessage(std::uint32_t number, std::size_t plural = 0) noexcept;

// The key of message `number`, or an empty string when the program does not know it.
std::string MessageKey(std::uint32_t number);

}  // namespace sov::localization
