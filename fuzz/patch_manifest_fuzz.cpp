// Patch manifests as a package may carry them. The reader promises a result code and never
// an exception; a manifest it accepts names a known importance.
#include "fuzz/fuzz_support.h"
#include "supervisor/common/upgrade/patch_manifest.h"

#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sov::supervisor;
  std::istringstream in{std::string(sov::fuzz::AsText(data, size))};
  PatchManifest manifest;
  ivo::ResultCode code = ivo::result::kOk;
  try {
    code = ReadPatchManifest(in, manifest);
  } catch (const std::exception& error) {
    sov::fuzz::Broken(std::string("ReadPatchManifest threw: ") + error.what());
  }
  if (code != ivo::result::kOk && code != manifest_result::kTreeError &&
      code != manifest_result::kOtherError) {
    sov::fuzz::Broken("ReadPatchManifest gave the result code " + std::to_string(code));
  }
  if (code == ivo::result::kOk) {
    const std::string importance = ToString(manifest.importance);
    if (importance.rfind("EnumToString", 0) == 0) {
      sov::fuzz::Broken("an accepted manifest has an unknown importance: " + importance);
    }
  }
  return 0;
}
