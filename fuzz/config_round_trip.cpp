// Write-then-read of the configuration files: the tree description, the check, and the
// report of the first difference, which names the node by its path of keys.
#include "fuzz/config_round_trip.h"

#include "fuzz/fuzz_support.h"

#include <boost/filesystem/operations.hpp>

#include <vector>

namespace sov::fuzz {
namespace pt = boost::property_tree;
namespace {

// Enough for trees deeper than any reader should have to take, while one run stays short.
constexpr std::size_t kMaxNodes = 20000;
constexpr std::string_view kOldContent = "old content\n";

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == 'n' || next == 't') {
        out += next == 'n' ? '\n' : '\t';
        ++i;
        continue;
      }
      if (next == '\\' || next == '<' || next == '>') {
        out += next;
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

void DescribeNode(const pt::ptree& node, std::size_t depth, std::size_t limit, std::string& out) {
  for (const auto& [key, child] : node) {
    if (out.size() > limit) {
      out += "...\n";
      return;
    }
    out += std::string(2 * depth, ' ') + "\"" + Visible(key, 200) + "\"";
    if (!child.data().empty()) {
      out += " = \"" + Visible(child.data(), 200) + "\"";
    }
    out += '\n';
    DescribeNode(child, depth + 1, limit, out);
  }
}

// The first place where the trees differ, as "<path of keys>: <what>", or empty when they
// are equal. Walks with a stack of its own: the trees may be deeper than the call stack
// allows under the sanitizers.
std::string FirstDifference(const pt::ptree& expected, const pt::ptree& read) {
  struct Level {
    const pt::ptree* expected;
    const pt::ptree* read;
    pt::ptree::const_iterator left, right;
  };
  const auto pathOf = [](const std::vector<Level>& levels) {
    std::string path;
    for (const Level& level : levels) {
      path += "/\"" + Visible(level.left->first, 200) + "\"";
    }
    return path.empty() ? std::string("the root") : path;
  };
  if (expected.data() != read.data()) {
    return "the root: the value \"" + Visible(expected.data(), 200) + "\" came back as \"" +
           Visible(read.data(), 200) + "\"";
  }
  std::vector<Level> levels = {{&expected, &read, expected.begin(), read.begin()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    const bool leftDone = level.left == level.expected->end();
    const bool rightDone = level.right == level.read->end();
    if (leftDone || rightDone) {
      if (leftDone != rightDone) {
        const std::string counts = std::to_string(level.expected->size()) +
                                   " children came back as " + std::to_string(level.read->size());
        levels.pop_back();
        return pathOf(levels) + ": " + counts;
      }
      levels.pop_back();
      if (!levels.empty()) {
        ++levels.back().left;
        ++levels.back().right;
      }
      continue;
    }
    if (level.left->first != level.right->first) {
      return pathOf(levels) + ": the key came back as \"" + Visible(level.right->first, 200) + "\"";
    }
    const pt::ptree& left = level.left->second;
    const pt::ptree& right = level.right->second;
    if (left.data() != right.data()) {
      return pathOf(levels) + ": the value \"" + Visible(left.data(), 200) + "\" came back as \"" +
             Visible(right.data(), 200) + "\"";
    }
    levels.push_back({&left, &right, left.begin(), right.begin()});
  }
  return {};
}

}  // namespace

pt::ptree BuildTree(std::string_view description, std::size_t maxDepth) {
  pt::ptree root;
  // containers[level] receives the nodes of that level; `last` is the node added last at the
  // current level, the one that ">" descends into.
  std::vector<pt::ptree*> containers = {&root};
  pt::ptree* last = nullptr;
  std::size_t nodes = 0;
  while (!description.empty() && nodes < kMaxNodes) {
    const std::size_t end = description.find('\n');
    std::string_view line = description.substr(0, end);
    description.remove_prefix(end == std::string_view::npos ? description.size() : end + 1);

    const std::size_t movesEnd = line.find_first_not_of("<>");
    const std::string_view moves = line.substr(0, movesEnd);
    line.remove_prefix(moves.size());
    const std::size_t tab = line.find('\t');
    const std::string key = Unescape(line.substr(0, tab));
    for (const char move : moves) {
      if (move == '<') {
        if (containers.size() > 1) {
          last = containers.back();
          containers.pop_back();
        }
        continue;
      }
      if (containers.size() >= maxDepth) {
        continue;
      }
      // A ">" with no node to go into makes one, so that deep trees take few bytes.
      if (last == nullptr) {
        containers.back()->push_back({key, pt::ptree()});
        last = &containers.back()->back().second;
        ++nodes;
      }
      containers.push_back(last);
      last = nullptr;
    }
    pt::ptree node;
    if (tab != std::string_view::npos) {
      node.data() = Unescape(line.substr(tab + 1));
    }
    containers.back()->push_back({key, node});
    last = &containers.back()->back().second;
    ++nodes;
  }
  return root;
}

std::string Describe(const pt::ptree& tree, std::size_t limit) {
  std::string out;
  DescribeNode(tree, 0, limit, out);
  return out;
}

void CheckRoundTrip(const ConfigFormat& format, const pt::ptree& tree, const pt::ptree& expected) {
  static const Path directory = [] {
    const Path made = ScratchDirectory() / "config";
    boost::filesystem::create_directory(made);
    return made;
  }();
  const Path file = directory / "file";
  const std::vector<std::string> onlyTheFile = {"file"};
  WriteFile(file, kOldContent);

  try {
    format.write(file, tree);
  } catch (const std::exception& refusal) {
    if (ListDirectory(directory) != onlyTheFile || ReadFile(file) != kOldContent) {
      Broken(std::string(format.name) + " writer refused the tree (" + refusal.what() +
             ") but did not leave the old file alone");
    }
    return;
  }
  if (ListDirectory(directory) != onlyTheFile) {
    Broken(std::string(format.name) + " writer left a file beside its target");
  }
  const std::string written = ReadFile(file);
  const auto report = [&tree, &written] {
    return "\nwritten tree:\n" + Describe(tree) + "file:\n" + Visible(written);
  };
  pt::ptree read;
  try {
    format.read(file, read);
  } catch (const std::exception& error) {
    Broken(std::string(format.name) + " reader refused what the writer wrote: " + error.what() +
           report());
  }
  const std::string difference = FirstDifference(expected, read);
  if (!difference.empty()) {
    Broken(std::string(format.name) + " file did not read back as written: " + difference +
           report() + "\nread tree:\n" + Describe(read));
  }
}

}  // namespace sov::fuzz
