// The accepted agreements: the "AcceptedAgreement" section of
// "/var/opt/brevantis/tarn/common/agreements.ini". Each of the keys EulaId, ZtnaId and
// PatchId holds one identifier or several separated by commas; GroupCheck is free text.
//
// An end-user agreement counts as accepted only when "EulaId" names it; the same
// identifier under ZtnaId or PatchId accepts nothing. EulaId may be a list: the record
// keeps a set of identifiers per kind and writes a set of several as one comma-separated
// value, so each entry of the list counts, and a file that this record wrote reads back
// with the same agreements accepted. The runtime configuration reads EulaId the same way.
#pragma once

#include "sov_common/runtime_config.h"

#include <boost/property_tree/ptree.hpp>

#include <optional>
#include <set>
#include <string>

namespace sov::supervisor {

struct Agreements {
  // The end-user agreement of this version, and the cloud network usage statement.
  static constexpr const char* kEulaId = sov::tools::kBuiltInEulaId;
  static constexpr const char* kZtnaId = "91d376bd-d0cb-4268-2122-5c8d17398a38";

  enum class Kind { Eula, Ztna, Patch };

  std::set<std::string> eulaIds;
  std::set<std::string> ztnaIds;
  std::set<std::string> patchIds;
  std::optional<std::string> groupCheck;
  // Set by Accept and Revoke when they change something: the file needs writing.
  bool changed = false;
  // The tree as read. ToTree writes the known keys over a copy of it, so that the sections
  // and keys that this version does not know survive a rewrite.
  boost::property_tree::ptree asRead;

  // Whether `id` is one of the EulaId entries.
  bool IsEulaAccepted(const std::string& id) const;
  void Accept(Kind kind, const std::string& id);
  // Removes `id` from every kind.
  void Revoke(const std::string& id);

  // From and to the agreements ini tree; the changed flag starts clear. A kind without
  // identifiers and an absent group check have no key; an "AcceptedAgreement" section left
  // without keys is dropped.
  static Agreements FromTree(const boost::property_tree::ptree& tree);
  boost::property_tree::ptree ToTree() const;
};

}  // namespace sov::supervisor
