// Loading of localized message files. A file is read and parsed whole into a fresh map that
// replaces the loaded one only when every line is sound, so a failed load never leaves a
// language half-loaded. The locale name picks a file name, so it is checked first.
#include "localization_tools/translator.h"

#include "sov_common/file_reader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

namespace sov::localization {
namespace fs = boost::filesystem;
namespace {

using Messages = std::unordered_map<std::uint32_t, std::vector<std::string>>;

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsAsciiAlnum(char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9');
}
bool IsPart(std::string_view part, bool (*allowed)(char)) {
  return part.size() >= 2 && part.size() <= 3 && std::all_of(part.begin(), part.end(), allowed);
}

// The <language> names to try for `localeName`, most specific first; empty for English;
// nullopt for a name that is not language[_TERRITORY].
std::optional<std::vector<std::string>> LanguagesToTry(std::string_view localeName) {
  const std::string_view name = localeName.substr(0, localeName.find_first_of(".@"));
  // Only the empty name means English; ".UTF-8" or "../x" has no language at all.
  if (localeName.empty() || name == "C" || name == "POSIX") {
    return std::vector<std::string>();
  }
  const std::size_t underscore = name.find('_');
  const std::string_view language = name.substr(0, underscore);
  if (!IsPart(language, IsAsciiLetter)) {
    return std::nullopt;
  }
  if (underscore == std::string_view::npos) {
    return std::vector<std::string>{std::string(language)};
  }
  if (!IsPart(name.substr(underscore + 1), IsAsciiAlnum)) {
    return std::nullopt;
  }
  return std::vector<std::string>{std::string(name), std::string(language)};
}

// A catalogue holds some hundred messages; a file past this is refused (EFBIG).
constexpr sov::tools::ReadLimits kMessageFileLimits{std::size_t{4} * 1024 * 1024, true};

// Reads `file` whole. kNotFound when it does not exist; kSystemError with `reason` set when
// it exists but cannot be read (a FIFO in its place is not waited on).
ivo::ResultCode ReadMessageFile(const fs::path& file, std::string& content, std::string& reason) {
  sov::tools::FileContent read = sov::tools::ReadWholeFile(file, kMessageFileLimits);
  if (read) {
    content = std::move(read.text);
    return ivo::result::kOk;
  }
  if (read.error == ENOENT || read.error == ENOTDIR) {
    return ivo::result::kNotFound;
  }
  const bool irregular = read.error == EISDIR || read.error == EINVAL;
  reason = "cannot read " + file.string() + ": " +
           (irregular ? std::string("not a regular file") : std::strerror(read.error));
  return ivo::result::kSystemError;
}

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or code points
// above U+10FFFF.
bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, lowest = 0x80, point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, lowest = 0x800, point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, lowest = 0x10000, point = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      point = (point << 6) | (next & 0x3F);
    }
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Decodes one text form; false with `cause` set on a bad escape or an empty form.
bool Unescape(std::string_view field, std::string& text, std::string& cause) {
  if (field.empty()) {
    cause = "empty text";
    return false;
  }
  text.clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      text += field[i];
      continue;
    }
    const char escaped = i + 1 < field.size() ? field[++i] : '\0';
    switch (escaped) {
      case 'n':
        text += '\n';
        break;
      case 't':
        text += '\t';
        break;
      case '\\':
        text += '\\';
        break;
      case '\0':
        cause = "backslash at the end of the text";
        return false;
      default:
        // The byte may start a multi-byte character: name it only when it is printable ASCII.
        cause = escaped > ' ' && escaped < 0x7F
                    ? std::string("unknown escape \"\\") + escaped + "\""
                    : std::string("unknown escape after a backslash");
        return false;
    }
  }
  return true;
}

// Parses one message line into `messages`; false with `cause` set when it is malformed.
bool ParseLine(std::string_view line,
               Messages& messages,
               std::unordered_map<std::uint32_t, std::size_t>& firstLines,
               std::size_t lineNumber,
               std::string& cause) {
  if (!IsUtf8(line)) {
    cause = "not UTF-8 text";
    return false;
  }
  const std::size_t tab = line.find('\t');
  if (tab == std::string_view::npos) {
    cause = "no tab between the message number and its text";
    return false;
  }
  const std::string_view digits = line.substr(0, tab);
  std::uint32_t number = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || stop != digits.data() + digits.size() ||
      number == 0) {
    cause = "bad message number \"" + std::string(digits) + "\"";
    return false;
  }
  const auto [first, isNew] = firstLines.emplace(number, lineNumber);
  if (!isNew) {
    cause = "message " + std::to_string(number) + " is already defined at line " +
            std::to_string(first->second);
    return false;
  }
  std::vector<std::string> forms;
  std::string_view rest = line.substr(tab + 1);
  for (;;) {
    const std::size_t next = rest.find('\t');
    std::string text;
    if (!Unescape(rest.substr(0, next), text, cause)) {
      cause += " in form " + std::to_string(forms.size() + 1);
      return false;
    }
    forms.push_back(std::move(text));
    if (next == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(next + 1);
  }
  messages.emplace(number, std::move(forms));
  return true;
}

// Parses a whole file; kBadFormat with `reason` "<file>:<line>: <cause>" on the first bad line.
ivo::ResultCode ParseMessages(const fs::path& file,
                              std::string_view content,
                              Messages& messages,
                              std::string& reason) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (content.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    content.remove_prefix(kByteOrderMark.size());
  }
  std::unordered_map<std::uint32_t, std::size_t> firstLines;
  std::size_t lineNumber = 0;
  while (!content.empty()) {
    ++lineNumber;
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.empty() || line.front() == '#') {
      continue;
    }
    std::string cause;
    if (!ParseLine(line, messages, firstLines, lineNumber, cause)) {
      reason = file.string() + ":" + std::to_string(lineNumber) + ": " + cause;
      return ivo::result::kBadFormat;
    }
  }
  return ivo::result::kOk;
}

}  // namespace

Translator& Translator::Instance() {
  static Translator instance;
  return instance;
}

ivo::ResultCode Translator::Load(const fs::path& directory,
                                 const std::string& localeName,
                                 std::string& reason) {
  const auto languages = LanguagesToTry(localeName);
  if (!languages) {
    reason = "bad locale name \"" + localeName + "\"";
    return ivo::result::kInvalidArgument;
  }
  if (languages->empty()) {
    Reset();
    reason.clear();
    return ivo::result::kOk;
  }
  std::string tried;
  for (const std::string& language : *languages) {
    const fs::path file = directory / ("messages." + language + ".txt");
    std::string content;
    const ivo::ResultCode read = ReadMessageFile(file, content, reason);
    if (read == ivo::result::kNotFound) {
      tried += (tried.empty() ? "" : ", ") + file.string();
      continue;
    }
    if (ivo::Failed(read)) {
      return read;
    }
    Messages messages;
    const ivo::ResultCode parsed = ParseMessages(file, content, messages, reason);
    if (ivo::Failed(parsed)) {
      return parsed;
    }
    // Swapped in under the lock, and the old map freed after it.
    std::string loaded = language;
    std::lock_guard<std::mutex> lock(mutex_);
    language_.swap(loaded);
    messages_.swap(messages);
    reason.clear();
    return ivo::result::kOk;
  }
  reason = "no message file for locale \"" + localeName + "\": tried " + tried;
  return ivo::result::kNotFound;
}

std::optional<std::string> Translator::Lookup(std::uint32_t number, std::size_t plural) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = messages_.find(number);
  if (found == messages_.end()) {
    return std::nullopt;
  }
  const auto& forms = found->second;
  return forms[std::min(plural, forms.size() - 1)];
}

std::string Translator::Language() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return language_;
}

void Translator::Reset() {
  std::string english = "en";
  Messages none;
  std::lock_guard<std::mutex> lock(mutex_);
  language_.swap(english);
  messages_.swap(none);
}

}  // namespace sov::localization
