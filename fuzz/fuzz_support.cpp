// Helpers shared by the fuzz targets. Failures of the harness itself (a scratch file that
// cannot be written) abort too, with a message that says so.
#include "fuzz/fuzz_support.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sov::fuzz {
namespace fs = boost::filesystem;
namespace {

[[noreturn]] void HarnessFailure(const std::string& what) {
  std::fprintf(stderr, "fuzz harness failure: %s\n", what.c_str());
  std::abort();
}

class ScratchDirectoryOwner {
 public:
  ScratchDirectoryOwner() {
    std::string pattern = (fs::temp_directory_path() / "launcher-fuzz.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      HarnessFailure("cannot make a directory like " + pattern);
    }
    path_ = pattern;
  }
  ~ScratchDirectoryOwner() {
    boost::system::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDirectoryOwner(const ScratchDirectoryOwner&) = delete;
  ScratchDirectoryOwner& operator=(const ScratchDirectoryOwner&) = delete;

  const Path& Get() const { return path_; }

 private:
  Path path_;
};

class Discarding : public ivo::ITracer {
 public:
  const std::string& Name() const override { return name_; }
  bool IsEnabled(TraceLevel) const override { return true; }
  void Trace(TraceLevel, std::string_view message) override {
    // Touch the text so that a record built from freed or uninitialised memory is noticed.
    length_ += message.size();
  }

 private:
  std::string name_ = "Fuzz";
  std::size_t length_ = 0;
};

}  // namespace

void Broken(const std::string& what) {
  std::fprintf(stderr, "property broken: %s\n", what.c_str());
  std::abort();
}

std::string Visible(std::string_view text, std::size_t limit) {
  std::string out;
  for (const char c : text.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte >= 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  if (text.size() > limit) {
    out += "...";
  }
  return out;
}

std::vector<std::string_view> Split(std::string_view text, char separator, std::size_t maxParts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < maxParts) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) {
      break;
    }
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  parts.push_back(text);
  return parts;
}

const Path& ScratchDirectory() {
  static const ScratchDirectoryOwner directory;
  return directory.Get();
}

void WriteFile(const Path& path, std::string_view content) {
  std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    HarnessFailure("cannot write " + path.string());
  }
}

std::string ReadFile(const Path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  if (!in) {
    HarnessFailure("cannot read " + path.string());
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ListDirectory(const Path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ivo::TracerPtr DiscardingTracer() {
  return ivo::TracerPtr(new Discarding);
}

}  // namespace sov::fuzz
