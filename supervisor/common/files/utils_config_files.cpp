// Utils: reading and writing the ini, XML and JSON files. Every writer replaces its file in
// one rename of a flushed temporary file, so that a crash or a full disk never leaves a
// truncated configuration behind, and a file hard-linked into a patch is never changed in
// place. A writer first checks that its reader will give back the same tree; a reader
// takes the whole file first and refuses it when it is too large or nested too deeply for
// the recursive parsers.
#include "sov_common/atomic_file.h"
#include "sov_common/file_reader.h"
#include "sov_common/utf8.h"
#include "supervisor/common/files/config_tree_rules.h"
#include "supervisor/common/files/nesting_depth.h"
#include "supervisor/common/files/utils.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/throw_exception.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

std::string AbsoluteName(const Path& path) {
  return fs::absolute(path).string();
}

const std::string kMaxSizeText = std::to_string(kMaxConfigFileSize >> 20) + " MiB";

// The whole file, or the parser library's error of the format (`Error`) naming the file.
template <typename Error>
std::string ReadConfigText(const Path& path) {
  sov::tools::ReadLimits limits;
  limits.maxSize = kMaxConfigFileSize;
  auto content = sov::tools::ReadWholeFile(path, limits);
  if (!content) {
    const bool notRegular = content.error == EINVAL || content.error == EISDIR;
    const std::string message =
        content.error == EFBIG ? "file is larger than " + kMaxSizeText
        : notRegular           ? "not a regular file"
                               : std::string("cannot open file: ") + std::strerror(content.error);
    BOOST_THROW_EXCEPTION(Error(message, AbsoluteName(path), 0));
  }
  return std::move(content.text);
}

template <typename Error>
[[noreturn]] void ThrowTooDeep(const Path& path) {
  BOOST_THROW_EXCEPTION(Error("nested deeper than " + std::to_string(kMaxConfigNesting) + " levels",
                              AbsoluteName(path), 0));
}

// Runs `parse` on a stream of `text`; the parser's error (which names no file when it
// reads a stream) is raised again naming `path`.
template <typename Error, typename Parse>
void ParseText(const Path& path, const std::string& text, Parse parse) {
  std::istringstream in(text);
  try {
    parse(in);
  } catch (const Error& error) {
    BOOST_THROW_EXCEPTION(Error(error.message(), AbsoluteName(path), error.line()));
  }
}

// Refuses, before anything is written, a tree that the format's reader would refuse or
// read back as another tree, and a text that it would refuse as too large.
template <typename Error>
void CheckWritable(const Path& path, const std::optional<TreeFault>& fault) {
  if (fault) {
    const std::string what = fault->key ? "cannot write \"" + *fault->key + "\": " + fault->reason
                                        : "cannot write: " + fault->reason;
    BOOST_THROW_EXCEPTION(Error(what, path.string(), 0));
  }
}

template <typename Error>
void CheckWritableSize(const Path& path, const std::string& text) {
  if (text.size() > kMaxConfigFileSize) {
    BOOST_THROW_EXCEPTION(
        Error("cannot write: the file would be larger than " + kMaxSizeText, path.string(), 0));
  }
}

bool IsXmlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The text of an element that has child elements is the layout around them (the writer's
// indentation, a hand-written file's line breaks): it loses white space at both ends. The
// text of a leaf element is its value and stays as it is.
void TrimTextBesideElements(pt::ptree& element) {
  bool hasElements = false;
  for (auto& [name, child] : element) {
    if (name != pt::xml_parser::xmlattr<std::string>()) {
      hasElements = true;
      TrimTextBesideElements(child);
    }
  }
  if (hasElements) {
    std::string& text = element.data();
    const auto first = std::find_if_not(text.begin(), text.end(), IsXmlBlank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsXmlBlank).base();
    text = first < last ? std::string(first, last) : std::string();
  }
}

}  // namespace

void Utils::WriteTextFile(const Path& path, const std::string& content, mode_t mode) const {
  ReplaceFile("WriteTextFile", path, content, mode);
}

void Utils::ReplaceFile(const char* operation,
                        const Path& path,
                        const std::string& content,
                        mode_t mode) const {
  sov::tools::AtomicFile file(path);
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0) {
    mode = existing.st_mode & 07777;
    file.SetOwner(existing.st_uid, existing.st_gid);
  }
  file.Write(content);
  file.SetMode(mode);
  file.Commit();
  Trace(kTraceDebug, operation, path, " updated");
}

void Utils::ReadIni(const Path& path, pt::ptree& tree) const {
  Trace(kTraceDebug, "ReadIni", "Reading ", path, " ...");
  // Editors of other systems begin the file with a byte-order mark, which the parser would
  // take for the start of the first line.
  const std::string text(sov::tools::SkipByteOrderMark(ReadConfigText<pt::ini_parser_error>(path)));
  ParseText<pt::ini_parser_error>(path, text, [&](std::istream& in) { pt::read_ini(in, tree); });
}

void Utils::WriteIni(const Path& path, const pt::ptree& tree, mode_t mode) const {
  CheckWritable<pt::ini_parser_error>(path, FindIniFault(tree));
  std::ostringstream text;
  pt::write_ini(text, tree);
  CheckWritableSize<pt::ini_parser_error>(path, text.str());
  ReplaceFile("WriteIni", path, text.str(), mode);
}

void Utils::ReadXml(const Path& path, pt::ptree& tree) const {
  Trace(kTraceDebug, "ReadXml", "Reading ", path, " ...");
  const std::string text = ReadConfigText<pt::xml_parser_error>(path);
  if (XmlNestsDeeperThan(text, kMaxConfigNesting)) {
    ThrowTooDeep<pt::xml_parser_error>(path);
  }
  // White space is kept: a value's blanks and line breaks (a certificate, a path) are
  // part of it.
  pt::ptree read;
  ParseText<pt::xml_parser_error>(
      path, text, [&](std::istream& in) { pt::read_xml(in, read, pt::xml_parser::no_comments); });
  TrimTextBesideElements(read);
  tree.swap(read);
}

void Utils::WriteXml(const Path& path, const pt::ptree& tree, mode_t mode) const {
  CheckWritable<pt::xml_parser_error>(path, FindXmlFault(tree));
  // The indentation goes only between elements: a leaf's text is written inline.
  std::ostringstream text;
  pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 2));
  CheckWritableSize<pt::xml_parser_error>(path, text.str());
  ReplaceFile("WriteXml", path, text.str(), mode);
}

void Utils::ReadJson(const Path& path, pt::ptree& tree) const {
  Trace(kTraceDebug, "ReadJson", "Reading ", path, " ...");
  const std::string text = ReadConfigText<pt::json_parser_error>(path);
  if (JsonNestsDeeperThan(text, kMaxConfigNesting)) {
    ThrowTooDeep<pt::json_parser_error>(path);
  }
  ParseText<pt::json_parser_error>(path, text, [&](std::istream& in) { pt::read_json(in, tree); });
}

void Utils::WriteJson(const Path& path, const pt::ptree& tree, mode_t mode) const {
  CheckWritable<pt::json_parser_error>(path, FindJsonFault(tree));
  std::ostringstream text;
  pt::write_json(text, tree, true);
  CheckWritableSize<pt::json_parser_error>(path, text.str());
  ReplaceFile("WriteJson", path, text.str(), mode);
}

}  // namespace sov::supervisor
