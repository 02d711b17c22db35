// The runtime configuration record as the product's application infrastructure library
// takes it (sov_common/app_infra.h): every field of the record as text, by section and key.
// Ini fields keep their ini section and key; the identity is "Identity.Pcid", the
// agreements "AcceptedAgreement.EulaAccepted" and "AcceptedAgreement.ZtnaId", and each
// "Environment" pair is one value of that section. Flags are "yes" or "no", numbers decimal,
// durations in seconds, the memory limit in its ini form.
#pragma once

#include "sov_common/app_infra.h"
#include "sov_common/runtime_config.h"

#include <string>
#include <vector>

namespace sov::supervisor {

class AppInfraConfig {
 public:
  struct Value {
    std::string section;
    std::string key;
    std::string value;
  };

  explicit AppInfraConfig(const sov::tools::RuntimeConfig& config);
  AppInfraConfig(const AppInfraConfig&) = delete;
  AppInfraConfig& operator=(const AppInfraConfig&) = delete;

  const std::vector<Value>& Values() const { return values_; }
  // The C view of Values(); valid as long as this object.
  const SovRuntimeConfig& View() const { return view_; }

 private:
  std::vector<Value> values_;
  std::vector<SovConfigValue> cValues_;
  SovRuntimeConfig view_{};
};

}  // namespace sov::supervisor
