// Message texts from localized files filled with arguments. The input is the text, then the
// arguments, separated by NUL bytes. Without arguments every placeholder stays as it is, so
// the only change left is "%%" turning into "%".
#include "fuzz/fuzz_support.h"
#include "localization_tools/message_format.h"

#include <string>
#include <vector>

namespace {

std::string CollapsePercentPairs(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using sov::localization::FormatMessage;
  const auto parts = sov::fuzz::Split(sov::fuzz::AsText(data, size), '\0', 12);
  const std::string_view text = parts[0];
  const std::vector<std::string> arguments(parts.begin() + 1, parts.end());

  FormatMessage(text, arguments);

  const std::string alone = FormatMessage(text, {});
  if (alone != CollapsePercentPairs(text)) {
    sov::fuzz::Broken("FormatMessage(\"" + sov::fuzz::Visible(text) +
                      "\") without arguments gave \"" + sov::fuzz::Visible(alone) + "\"");
  }
  return 0;
}
