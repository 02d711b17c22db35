// Property-tree merge and the two value rules of an install. The merge walks both trees
// together instead of addressing keys by their dotted paths: a path finds only the first of
// several namesakes, so a list in the settings would have all its items written over its
// first one.
#include "supervisor/common/upgrade/tree_merge.h"

#include "sov_common/control_escape.h"

#include <boost/algorithm/string/predicate.hpp>

#include <map>
#include <utility>

namespace sov::supervisor {
namespace pt = boost::property_tree;
namespace {

constexpr const char* kMerge = "Merge";

std::string Escaped(const std::string& text) {
  return sov::tools::EscapeControlCharacters(text);
}

// The child of `parent` named `key` that is the `rank`-th of that name (from 0).
pt::ptree* FindRanked(pt::ptree& parent, const std::string& key, std::size_t rank) {
  for (auto& [childKey, child] : parent) {
    if (childKey == key && rank-- == 0) {
      return &child;
    }
  }
  return nullptr;
}

class Merger {
 public:
  Merger(const Traceable& tracing, const MergeRule& rule) : tracing_(tracing), rule_(rule) {}

  // Merges the children of `source` into `target`. `present` is false while `target` is
  // a node still being built for a key that the real target lacks.
  bool MergeChildren(const pt::ptree& source,
                     pt::ptree& target,
                     bool present,
                     const std::string& prefix) {
    bool changed = false;
    std::map<std::string, std::size_t> ranks;
    for (const auto& [key, child] : source) {
      const std::size_t rank = ranks[key]++;
      const std::string fullKey = prefix.empty() ? key : prefix + "." + key;
      if (pt::ptree* existing = present ? FindRanked(target, key, rank) : nullptr) {
        changed = MergeNode(child, *existing, true, fullKey) || changed;
        continue;
      }
      // Built aside and added only when a value below it was taken: a key whose values
      // are all ignored leaves no empty node behind.
      pt::ptree fresh;
      if (MergeNode(child, fresh, false, fullKey)) {
        target.push_back({key, std::move(fresh)});
        changed = true;
      }
    }
    return changed;
  }

 private:
  bool MergeNode(const pt::ptree& source, pt::ptree& target, bool present, const std::string& key) {
    bool changed = false;
    if (!source.data().empty() || source.empty()) {
      changed = MergeValue(source.data(), target, present, key);
    }
    return MergeChildren(source, target, present, key) || changed;
  }

  bool MergeValue(const std::string& value,
                  pt::ptree& target,
                  bool present,
                  const std::string& key) {
    if (!present) {
      const auto answer = rule_(key, value, std::nullopt);
      if (!answer) {
        tracing_.Trace(kTraceDebug, kMerge, "Property ", Escaped(key), " ignored");
        return false;
      }
      target.data() = *answer;
      tracing_.Trace(kTraceDebug, kMerge, "Property ", Escaped(key), "=", Escaped(*answer),
                     " added");
      return true;
    }
    const std::string previous = target.data();
    const auto answer = rule_(key, value, previous);
    if (!answer) {
      tracing_.Trace(kTraceDebug, kMerge, "Property ", Escaped(key), " preserved");
      return false;
    }
    if (*answer == previous) {
      tracing_.Trace(kTraceDebug, kMerge, "Property ", Escaped(key), " not changed");
      return false;
    }
    target.data() = *answer;
    tracing_.Trace(kTraceDebug, kMerge, "Property ", Escaped(key), "=", Escaped(*answer),
                   " changed. Previous value: ", Escaped(previous));
    return true;
  }

  const Traceable& tracing_;
  const MergeRule& rule_;
};

}  // namespace

bool Merge(const Traceable& tracing,
           const pt::ptree& source,
           pt::ptree& target,
           const MergeRule& rule) {
  return Merger(tracing, rule).MergeChildren(source, target, true, "");
}

std::optional<std::string> ConfigMergeRule(const std::string& key,
                                           const std::string& shippedValue,
                                           const std::optional<std::string>& installedValue) {
  // The package type names the package that installed this build, and the argument limit
  // is the build's own; neither is the administrator's to keep.
  if (key == "General.PackageType" || key == "General.ExecArgMax" || !installedValue) {
    return shippedValue;
  }
  return std::nullopt;
}

SettingsMergeRule::SettingsMergeRule(const Traceable& tracing,
                                     const pt::ptree& initial,
                                     std::vector<PathRewrite> rewrites)
    : tracing_(tracing), initial_(initial), rewrites_(std::move(rewrites)) {}

std::optional<std::string> SettingsMergeRule::operator()(const std::string& key,
                                                         const std::string& previousValue,
                                                         const std::optional<std::string>&) {
  std::string value = previousValue;
  for (const auto& [from, to] : rewrites_) {
    if (!from.empty() && boost::algorithm::starts_with(value, from)) {
      value = to + value.substr(from.size());
      tracing_.Trace(kTraceDebug, "InstallSettings", "Path replaced: ", Escaped(previousValue),
                     " -> ", Escaped(value));
      break;
    }
  }
  const pt::ptree::path_type path(key, '.');
  pt::ptree record;
  record.put("currentValue", value);
  if (const auto initial = initial_.get_optional<std::string>(path)) {
    record.put("initialValue", *initial);
  }
  changes_.put_child(path, record);
  return value;
}

}  // namespace sov::supervisor
