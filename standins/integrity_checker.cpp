// Stand-in for the product's integrity checker. Command line:
//   integrity_checker --signature-type pds-with-filename|dsig2 [--crl <path>] <manifest>
// The manifest is an XML file listing files, each as a <file> element below the root,
// relative to the manifest's own directory or absolute:
//   <integrity><file>../libexec/launcher</file>...</integrity>
// Exit 0 when every listed file exists; 1 with a message on stderr for a missing file, a
// manifest that cannot be read, or any other command line. Signatures are not checked.
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

namespace pt = boost::property_tree;

constexpr const char* kUsage =
    "usage: integrity_checker --signature-type pds-with-filename|dsig2 [--crl <path>] "
    "<manifest>";

struct CommandLine {
  std::string signatureType;
  std::string crl;
  std::string manifest;
};

bool Parse(const std::vector<std::string>& args, CommandLine& line) {
  size_t at = 0;
  if (args.size() < 3 || args[at++] != "--signature-type") {
    return false;
  }
  line.signatureType = args[at++];
  if (line.signatureType != "pds-with-filename" && line.signatureType != "dsig2") {
    return false;
  }
  if (args[at] == "--crl") {
    if (args.size() != 5) {
      return false;
    }
    line.crl = args[at + 1];
    at += 2;
  }
  if (at + 1 != args.size() || args[at].empty() || args[at][0] == '-') {
    return false;
  }
  line.manifest = args[at];
  return true;
}

std::string Resolve(const std::string& manifest, const std::string& file) {
  if (!file.empty() && file[0] == '/') {
    return file;
  }
  const size_t slash = manifest.rfind('/');
  return slash == std::string::npos ? file : manifest.substr(0, slash + 1) + file;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  if (!Parse(std::vector<std::string>(argv + 1, argv + argc), line)) {
    std::fprintf(stderr, "integrity_checker: bad command line\n%s\n", kUsage);
    return 1;
  }
  pt::ptree manifest;
  try {
    pt::read_xml(line.manifest, manifest);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "integrity_checker: cannot read the manifest: %s\n", error.what());
    return 1;
  }
  if (manifest.size() != 1) {
    std::fprintf(stderr, "integrity_checker: %s has no single root element\n",
                 line.manifest.c_str());
    return 1;
  }
  int missing = 0;
  for (const auto& [name, node] : manifest.front().second) {
    if (name != "file") {
      continue;
    }
    const std::string path = Resolve(line.manifest, node.data());
    struct stat status {};
    if (node.data().empty() || lstat(path.c_str(), &status) != 0) {
      std::fprintf(stderr, "integrity_checker: missing %s\n", path.c_str());
      ++missing;
    }
  }
  if (missing > 0) {
    std::fprintf(stderr, "integrity_checker: %s: %d file(s) missing\n", line.manifest.c_str(),
                 missing);
    return 1;
  }
  std::printf("integrity_checker: %s: all files present\n", line.manifest.c_str());
  return 0;
}
