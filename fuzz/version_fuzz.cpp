// Version texts as manifests and package scripts give them. A version read from any text
// must print as a text that reads back as the same version.
#include "fuzz/fuzz_support.h"
#include "supervisor/common/upgrade/version.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using sov::supervisor::Version;
  const std::string text(sov::fuzz::AsText(data, size));
  const Version version = Version::FromText(text);
  const std::string printed = version.ToString();
  if (Version::FromText(printed) != version) {
    sov::fuzz::Broken("Version::FromText(\"" + sov::fuzz::Visible(text) + "\") printed as \"" +
                      printed + "\" does not read back");
  }
  return 0;
}
