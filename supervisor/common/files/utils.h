// File and path utilities shared by the commands: links, copies and removals on the
// product trees, the system "cp" runs, system tool lookup, and the reading and writing of
// the ini, XML and JSON files. Every operation traces what it did to the tracer that Utils
// holds ("<Operation>: <what>", debug level). File-system failures throw
// boost::filesystem::filesystem_error (operation, paths and system error); the tree stays
// as the failed step left it.
#pragma once

#include "supervisor/common/process/cmd.h"
#include "supervisor/common/traceable.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <sys/types.h>

#include <optional>
#include <string>

namespace sov::supervisor {

class Utils : public Traceable {
 public:
  using Traceable::Traceable;

  // The full path of a system executable: a name beginning with "/" is returned as it is;
  // otherwise the first of "/usr/sbin", "/usr/bin", "/bin", "/sbin" in which it is an
  // executable regular file. Traces "<name> not found" and throws std::runtime_error
  // "<name> not found" when there is none, and for a relative path ("bin/tool").
  Path ResolvePath(const std::string& name) const;

  // Whether ResolvePath(name) would succeed; never throws, traces nothing.
  static bool IsResolvable(const std::string& name);

  // Links and files. "link" is the path created, "target" what it points to.
  void CreateSymlink(const Path& link, const Path& target) const;
  // Copies the link itself (its target text), not what it points to; `to` must not exist.
  void CopySymlink(const Path& from, const Path& to) const;
  void CreateHardlink(const Path& link, const Path& target) const;
  // Atomic within one file system; replaces an existing `to`.
  void Rename(const Path& from, const Path& to) const;
  // Copies a regular file with its permission bits; fails with EEXIST when `to` exists.
  void CopyFile(const Path& from, const Path& to) const;
  // The same, replacing an existing `to` in one rename (a new inode: hard links to the old
  // file keep their content).
  void CopyFile(const Path& from, const Path& to, bool overwrite) const;
  // Removes one file, link or empty directory; an absent path is not an error.
  void Remove(const Path& path) const;
  // Removes `path` only when it is a symbolic link; anything else is left with a warning.
  void RemoveSymlink(const Path& path) const;
  // Removes `path` recursively (links are removed, never followed).
  void RemoveAll(const Path& path) const;
  // RemoveAll that traces a failure at error level instead of throwing.
  void RemoveAllNoThrow(const Path& path) const;
  void ReplaceWithSymlink(const Path& link, const Path& target) const;
  // What CreateOrReplaceSymlink does with a directory at the link's name or at the name of
  // its temporary link "<link>.tmp".
  enum class DirectoryInTheWay {
    kRemove,
    // For links whose place no data may take: an empty directory is removed; any other
    // throws std::runtime_error "<path> is a directory, not a link; refusing to replace it"
    // before anything changes.
    kRefuseUnlessEmpty,
  };

  // Points `link` at `target` without a moment in which `link` is missing: an existing
  // link is replaced by renaming a new one over it; a file or directory in the way is
  // removed first (a directory as `directory` says).
  void CreateOrReplaceSymlink(const Path& link,
                              const Path& target,
                              DirectoryInTheWay directory = DirectoryInTheWay::kRemove) const;

  // Tree copies with the system "cp" (the runner's failure when cp fails): "-prv" with
  // "--remove-destination" (an existing file is replaced by a new inode, so that its other
  // hard links keep their content); "-pv" only when nothing (not even a dangling link) is at
  // `to`; "-nprv" (no clobber), whose non-zero status is accepted on the distribution types
  // Alt and Euler, where cp reports skipped files so.
  void CopyPRV(const Path& from, const Path& to) const;
  void CopyPV(const Path& from, const Path& to) const;
  void CopyNPRV(const Path& from, const Path& to) const;

  // Configuration files. Readers trace "Reading <path> ..." and throw the format's parser
  // error (ini_parser_error, xml_parser_error, json_parser_error; it names the file, and
  // the line for a syntax error) for a missing or malformed file, a file larger than
  // kMaxConfigFileSize, and XML or JSON nested deeper than kMaxConfigNesting
  // (config_tree_rules.h). The XML reader drops comments and keeps the text of leaf
  // elements exactly; the text of an element with child elements loses white space at
  // both ends.
  // Writers first refuse, with the format's parser error naming the file and the key, a
  // tree that the reader would refuse or read back differently (the rules are in
  // config_tree_rules.h); nothing is written then. They replace the file through a
  // temporary file in the same directory that is flushed to disk before it is renamed over
  // the target: a failure leaves the old file intact and throws. The new file keeps the old
  // one's mode and owner; a new file gets `mode`. They trace "<path> updated".
  void ReadIni(const Path& path, boost::property_tree::ptree& tree) const;
  void WriteIni(const Path& path,
                const boost::property_tree::ptree& tree,
                mode_t mode = 0600) const;
  void ReadXml(const Path& path, boost::property_tree::ptree& tree) const;
  void WriteXml(const Path& path,
                const boost::property_tree::ptree& tree,
                mode_t mode = 0600) const;
  void ReadJson(const Path& path, boost::property_tree::ptree& tree) const;
  void WriteJson(const Path& path,
                 const boost::property_tree::ptree& tree,
                 mode_t mode = 0600) const;
  // Replaces `path` with `content` in the same way.
  void WriteTextFile(const Path& path, const std::string& content, mode_t mode = 0600) const;

 private:
  void ReplaceFile(const char* operation,
                   const Path& path,
                   const std::string& content,
                   mode_t mode) const;
  CmdObject::Result RunCp(CmdObject::Arguments options, const Path& from, const Path& to) const;
};

}  // namespace sov::supervisor
