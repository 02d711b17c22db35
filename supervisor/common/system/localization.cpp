// Process locale and message catalogue set-up.
#include "supervisor/common/system/localization.h"

#include "localization_tools/translator.h"

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace sov::supervisor {
namespace {

constexpr const char* kOperation = "SetLocalization";
constexpr const char* kDefaultLocale = "en_US.UTF-8";
constexpr size_t kMaxLocaleName = 1024;

}  // namespace

ivo::ResultCode SetProcessLocale(const std::string& name) {
  const char* current = std::setlocale(LC_ALL, nullptr);
  if (current == nullptr || std::strlen(current) >= kMaxLocaleName) {
    return ivo::result::kFail;
  }
  const std::string previous = current;
  if (std::setlocale(LC_ALL, name.empty() ? "C" : name.c_str()) == nullptr) {
    return ivo::result::kNotFound;
  }
  if (setenv("LC_ALL", name.c_str(), 1) != 0) {
    std::setlocale(LC_ALL, previous.c_str());
    return ivo::result::kSystemError;
  }
  return ivo::result::kOk;
}

void SetLocalization(const Traceable& tracing, const PatchPaths& patch) {
  std::string name = kDefaultLocale;
  if (const char* lang = std::getenv("LANG")) {
    name = lang;
    tracing.Trace(kTraceDebug, kOperation, "Env LANG: ", name);
  }
  tracing.Trace(kTraceDebug, kOperation, "Setting '", name, "' localization ...");
  const ivo::ResultCode localeSet = SetProcessLocale(name);
  if (ivo::Failed(localeSet)) {
    tracing.Trace(kTraceError, kOperation, "Can't set locale '", name,
                  "'. Reason: ", ivo::DescribeResult(localeSet));
    return;
  }
  const Path directory = patch.LocDir();
  tracing.Trace(kTraceDebug, kOperation, "Loc directory: ", directory);
  std::string reason;
  const ivo::ResultCode loaded = localization::Translator::Instance().Load(directory, name, reason);
  if (ivo::Failed(loaded)) {
    tracing.Trace(kTraceError, kOperation, "Can't set localization '", name,
                  "'. Reason: ", ivo::DescribeResult(loaded), " (", reason, ")");
    return;
  }
  tracing.Trace(kTraceDebug, kOperation, "Localization '", name, "' has been set");
}

}  // namespace sov::supervisor
