// The language that message texts are shown in. Load reads a localized catalogue from a
// directory of message files; LookupMessage (message_catalogue.h) then prefers its texts.
//
// Message files are UTF-8 text named "messages.<language>.txt", where <language> is
// "de" or "de_DE". One message per line:
//
//   NUMBER<TAB>TEXT[<TAB>PLURAL FORM...]
//
// NUMBER is decimal (1..4294967295, digits only) and appears once per file. TEXT and each
// further plural form are non-empty and may use the escapes "\n", "\t" and "\\"; any other
// backslash sequence is an error. Blank lines and lines whose first character is "#" are
// ignored. Lines may end in "\n" or "\r\n", and a UTF-8 byte-order mark at the start of the
// file is skipped. A message missing from the file is shown in English.
#pragma once

#include "ivo/result.h"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sov::localization {

class Translator {
 public:
  // The process-wide translator that LookupMessage consults. Starts in English.
  static Translator& Instance();

  Translator() = default;
  Translator(const Translator&) = delete;
  Translator& operator=(const Translator&) = delete;

  // Loads the catalogue for `localeName`, a POSIX locale name such as "de_DE.UTF-8": the
  // codeset (".UTF-8") and modifier ("@euro") are dropped, then
  // "<directory>/messages.de_DE.txt" is tried and, when it does not exist,
  // "<directory>/messages.de.txt". "C", "POSIX" and "" (with or without a codeset) mean the
  // built-in English: the loaded language is dropped and kOk returned.
  //
  // Returns kOk and clears `reason` on success. On failure `reason` says why and the language
  // loaded before stays in place, whole:
  //   kInvalidArgument  the name is not language[_TERRITORY] (2-3 letters, then 2-3 letters
  //                     or digits): it must not be able to name another file;
  //   kNotFound         no candidate file exists; `reason` names every file tried;
  //   kSystemError      a file exists but cannot be read; `reason` has the file and errno text;
  //   kBadFormat        a line breaks the format above; `reason` is "<file>:<line>: <cause>".
  // A malformed "messages.de_DE.txt" fails the load: it does not fall back to "messages.de.txt".
  ivo::ResultCode Load(const boost::filesystem::path& directory,
                       const std::string& localeName,
                       std::string& reason);

  // The loaded text of message `number` in plural form `plural` (clamped to the last form
  // the text has), or nullopt when no language is loaded or it lacks the number.
  std::optional<std::string> Lookup(std::uint32_t number, std::size_t plural) const;

  // The <language> part of the loaded file's name ("de_DE" or "de"); "en" when nothing is
  // loaded.
  std::string Language() const;

  // Drops the loaded language: back to the built-in English.
  void Reset();

 private:
  // Message number -> text forms by plural index (never empty).
  using Messages = std::unordered_map<std::uint32_t, std::vector<std::string>>;

  mutable std::mutex mutex_;
  std::string language_ = "en";
  Messages messages_;
};

}  // namespace sov::localization
