// Hides a system tool inside the sandbox for the life of the object, as on a machine
// without it: the tool's file in /usr/sbin or /usr/bin is renamed to a dot name beside it
// and renamed back when the object goes.
#pragma once

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <stdexcept>
#include <string>

namespace sov::testing {

class HiddenTool {
 public:
  explicit HiddenTool(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin"}) {
      const boost::filesystem::path path = boost::filesystem::path(dir) / name;
      if (boost::filesystem::exists(boost::filesystem::symlink_status(path))) {
        path_ = path;
        hidden_ = path.parent_path() / ("." + name + ".hidden");
        boost::filesystem::rename(path_, hidden_);
        return;
      }
    }
    throw std::runtime_error("no tool " + name + " to hide");
  }
  ~HiddenTool() {
    boost::system::error_code ignored;
    boost::filesystem::rename(hidden_, path_, ignored);
  }
  HiddenTool(const HiddenTool&) = delete;
  HiddenTool& operator=(const HiddenTool&) = delete;

 private:
  boost::filesystem::path path_;
  boost::filesystem::path hidden_;
};

}  // namespace sov::testing
