// Write-then-read of the configuration files. The fuzz input describes a property tree in
// lines of text:
//
//   <moves><key>[<TAB><value>]
//
// where <moves> is a run of ">" (one level down, below the node of the line before) and "<"
// (one level up). A ">" that finds no node to go below makes one with the line's key, so
// that deep trees take few bytes: after a line "x", ">>>a" puts "a" below two new nodes "a"
// below "x". "\n", "\t" and "\\" in keys and values stand for a line break, a tab and a
// backslash, "\<" and "\>" for a key that starts with "<" or ">"; every other byte stands
// for itself. For example:
//
//   General
//   >UseFanotify<TAB>yes
//   <Watchdog
//   >MaxMemory<TAB>auto
//
// Each format's target trims the tree to the shape its format can hold, writes it with
// Utils, and reads the file back. The writer must either give back the tree (compared
// under the format's rules) or refuse it with an exception and leave the old file as it was.
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace sov::fuzz {

// The tree that `description` describes, no deeper than `maxDepth` levels below the root
// (">" past that is ignored) and with at most 20000 nodes.
boost::property_tree::ptree BuildTree(std::string_view description, std::size_t maxDepth);

// The tree in the description's own form, one node a line, cut after about `limit` bytes.
std::string Describe(const boost::property_tree::ptree& tree, std::size_t limit = 3000);

struct ConfigFormat {
  using Write =
      std::function<void(const boost::filesystem::path&, const boost::property_tree::ptree&)>;
  using Read = std::function<void(const boost::filesystem::path&, boost::property_tree::ptree&)>;
  const char* name;
  Write write;
  Read read;
};

// Writes `tree` over a file of known content, then reads it back: a refusal must leave that
// file and nothing else; a write must read back as `expected`.
void CheckRoundTrip(const ConfigFormat& format,
                    const boost::property_tree::ptree& tree,
                    const boost::property_tree::ptree& expected);

}  // namespace sov::fuzz
