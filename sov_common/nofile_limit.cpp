// Reads /proc/sys/fs/nr_open. Only plain digits are accepted: stoull alone would take a
// leading minus sign and wrap it into a huge limit.
#include "sov_common/nofile_limit.h"

#include "sov_common/file_reader.h"

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <stdexcept>
#include <system_error>

namespace sov::tools {

std::uint64_t GetNoFileLimitImpl(const std::string& path) {
  // A number of at most 20 digits and a newline: anything much longer is no such number.
  constexpr ReadLimits kLimits{64, true};
  FileContent content = ReadWholeFile(path, kLimits);
  if (!content) {
    BOOST_THROW_EXCEPTION(std::system_error(content.error, std::generic_category(),
                                            (boost::format("Cannot read %1% file") % path).str()));
  }
  std::string& text = content.text;
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    BOOST_THROW_EXCEPTION(std::invalid_argument("stoull"));
  }
  return std::stoull(text);  // throws std::out_of_range past 64 bits
}

std::uint64_t GetNoFileLimit() {
  return GetNoFileLimitImpl("/proc/sys/fs/nr_open");
}

}  // namespace sov::tools
