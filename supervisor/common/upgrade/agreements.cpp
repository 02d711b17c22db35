// Accepted agreements record.
#include "supervisor/common/upgrade/agreements.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ptree.hpp>

#include <vector>

namespace sov::supervisor {
namespace pt = boost::property_tree;
namespace {

constexpr const char* kSection = "AcceptedAgreement";

std::set<std::string> ReadIds(const pt::ptree& tree, const char* key) {
  std::set<std::string> ids;
  const auto text = tree.get_optional<std::string>(std::string(kSection) + "." + key);
  if (!text) {
    return ids;
  }
  std::vector<std::string> parts;
  boost::split(parts, *text, boost::is_any_of(","));
  for (auto& part : parts) {
    boost::trim(part);
    if (!part.empty()) {
      ids.insert(part);
    }
  }
  return ids;
}

void WriteIds(pt::ptree& section, const char* key, const std::set<std::string>& ids) {
  if (ids.empty()) {
    section.erase(key);
  } else {
    section.put(key, boost::algorithm::join(ids, ","));
  }
}

}  // namespace

bool Agreements::IsEulaAccepted(const std::string& id) const {
  return eulaIds.count(id) != 0;
}

void Agreements::Accept(Kind kind, const std::string& id) {
  auto& ids = kind == Kind::Eula ? eulaIds : kind == Kind::Ztna ? ztnaIds : patchIds;
  changed = ids.insert(id).second || changed;
}

void Agreements::Revoke(const std::string& id) {
  for (auto* ids : {&eulaIds, &ztnaIds, &patchIds}) {
    changed = ids->erase(id) != 0 || changed;
  }
}

Agreements Agreements::FromTree(const pt::ptree& tree) {
  Agreements agreements;
  agreements.asRead = tree;
  agreements.eulaIds = ReadIds(tree, "EulaId");
  agreements.ztnaIds = ReadIds(tree, "ZtnaId");
  agreements.patchIds = ReadIds(tree, "PatchId");
  if (auto groupCheck = tree.get_optional<std::string>(std::string(kSection) + ".GroupCheck")) {
    agreements.groupCheck = *groupCheck;
  }
  return agreements;
}

pt::ptree Agreements::ToTree() const {
  pt::ptree tree = asRead;
  auto found = tree.to_iterator(tree.find(kSection));
  if (found == tree.end()) {
    found = tree.push_back({kSection, pt::ptree()});
  }
  pt::ptree& section = found->second;
  WriteIds(section, "EulaId", eulaIds);
  WriteIds(section, "ZtnaId", ztnaIds);
  WriteIds(section, "PatchId", patchIds);
  if (groupCheck) {
    section.put("GroupCheck", *groupCheck);
  } else {
    section.erase("GroupCheck");
  }
  // An empty section would be written as a key of the top level.
  if (section.empty() && section.data().empty()) {
    tree.erase(found);
  }
  return tree;
}

}  // namespace sov::supervisor
