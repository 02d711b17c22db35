// The merge of one property tree into another that an install makes twice: the shipped
// defaults into the live ini (the installed values win, a few keys excepted) and the
// previous patch's settings into the new patch's (the previous values always win). A value
// rule decides, for each value of the source, what the target gets.
#pragma once

#include "supervisor/common/traceable.h"

#include <boost/property_tree/ptree.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

// rule(key, source value, target value or none when the target lacks the key): the value
// the target gets, or none to leave the target as it is.
using MergeRule = std::function<std::optional<std::string>(
    const std::string& key, const std::string& sourceValue, const std::optional<std::string>&)>;

// Visits every value of `source` depth first, children in their stored order (a node with
// a value, or without children; the root is not visited), names it by its keys joined with
// "." and asks `rule` what `target` gets at that key. Traces, as "Merge: Property <key>...":
// " ignored" (absent, no answer), "=<value> added", " preserved" (present, no answer),
// " not changed" (the answer is the value held), "=<value> changed. Previous value: <old>".
// Values are traced with control characters escaped. A key that occurs several times on
// one level (a list in XML) matches the target's node of the same key and the same rank
// among its namesakes. Returns whether `target` changed.
bool Merge(const Traceable& tracing,
           const boost::property_tree::ptree& source,
           boost::property_tree::ptree& target,
           const MergeRule& rule);

// The config rule: the installed value stays, except that "General.PackageType" and
// "General.ExecArgMax" always take the shipped one; a key the installed file lacks takes
// the shipped value.
std::optional<std::string> ConfigMergeRule(const std::string& key,
                                           const std::string& shippedValue,
                                           const std::optional<std::string>& installedValue);

// The settings rule: the previous patch's value always wins. When the product was renamed,
// a value that begins with one of the previous product's directories begins with the
// current product's instead ("Path replaced: " traced). Every answer is recorded in
// Changes() under its key: {"currentValue": <answer>, "initialValue": <the previous patch's
// shipped value at that key, when it has one>}.
class SettingsMergeRule {
 public:
  struct PathRewrite {
    std::string from;
    std::string to;
  };

  // `initial`: the previous patch's shipped settings (may be empty); `rewrites`: the
  // directory prefixes to replace, tried in order (empty when not renaming).
  SettingsMergeRule(const Traceable& tracing,
                    const boost::property_tree::ptree& initial,
                    std::vector<PathRewrite> rewrites);

  std::optional<std::string> operator()(const std::string& key,
                                        const std::string& previousValue,
                                        const std::optional<std::string>& newValue);

  const boost::property_tree::ptree& Changes() const { return changes_; }

 private:
  const Traceable& tracing_;
  boost::property_tree::ptree initial_;
  std::vector<PathRewrite> rewrites_;
  boost::property_tree::ptree changes_;
};

}  // namespace sov::supervisor
