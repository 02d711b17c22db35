// Utils: reading and writing the ini, XML and JSON files. Every writer replaces its file in
// one rename of a flushed temporary file, so that a crash or a full disk never leaves a
// truncated configuration behind, and a file hard-linked into a patch is never changed in
// place.
#include "sov_common/atomic_file.h"
#include "supervisor/common/files/utils.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <sys/stat.h>

#include <sstream>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

std::string AbsoluteName(const Path& path) {
  return fs::absolute(path).string();
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
  pt::read_ini(AbsoluteName(path), tree);
}

void Utils::WriteIni(const Path& path, const pt::ptree& tree, mode_t mode) const {
  std::ostringstream text;
  pt::write_ini(text, tree);
  ReplaceFile("WriteIni", path, text.str(), mode);
}

void Utils::ReadXml(const Path& path, pt::ptree& tree) const {
  Trace(kTraceDebug, "ReadXml", "Reading ", path, " ...");
  pt::read_xml(AbsoluteName(path), tree, pt::xml_parser::trim_whitespace);
}

void Utils::WriteXml(const Path& path, const pt::ptree& tree, mode_t mode) const {
  std::ostringstream text;
  pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 2));
  ReplaceFile("WriteXml", path, text.str(), mode);
}

void Utils::ReadJson(const Path& path, pt::ptree& tree) const {
  Trace(kTraceDebug, "ReadJson", "Reading ", path, " ...");
  pt::read_json(AbsoluteName(path), tree);
}

void Utils::WriteJson(const Path& path, const pt::ptree& tree, mode_t mode) const {
  std::ostringstream text;
  pt::write_json(text, tree, true);
  ReplaceFile("WriteJson", path, text.str(), mode);
}

}  // namespace sov::supervisor
