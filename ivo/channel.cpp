// File and formatting channels of the tracer. Local time is used for the line stamps
// because administrators read the trace file next to the system log.
#include "ivo/channel.h"

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace ivo {
namespace {

[[noreturn]] void ThrowOpenError(const char* fileName, int error) {
  BOOST_THROW_EXCEPTION(
      std::system_error(error, std::generic_category(),
                        (boost::format("Can't open trace file %1%") % fileName).str()));
}

// The trace file lives in a directory others may write to: a link planted there is not
// followed (ELOOP), and a FIFO neither blocks the open nor passes for the file (EINVAL or,
// without a reader, ENXIO). O_NONBLOCK stays set: writes to a regular file never block.
int OpenTraceFile(const char* fileName) {
  const int fd =
      open(fileName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    ThrowOpenError(fileName, errno);
  }
  struct stat status {};
  const int error = fstat(fd, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    close(fd);
    ThrowOpenError(fileName, error);
  }
  return fd;
}

class FileChannel final : public IChannel {
 public:
  explicit FileChannel(const char* fileName) : fd_(OpenTraceFile(fileName)) {}
  ~FileChannel() override { close(fd_); }
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;

  void Write(const TraceRecord& record) override {
    std::string line;
    line.reserve(record.message.size() + 1);
    line.append(record.message).push_back('\n');
    // One write per line keeps concurrent appenders from interleaving inside a line.
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
      const ssize_t written = write(fd_, data, left);
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        return;  // A trace that cannot be written is lost, never fatal.
      }
      data += written;
      left -= static_cast<size_t>(written);
    }
  }

  std::uint32_t MaxLevel() const override { return UINT32_MAX; }

 private:
  int fd_;
};

class FormattedChannel final : public IChannel {
 public:
  FormattedChannel(ChannelPtr inner, std::string format, std::uint32_t maxLevel)
      : inner_(std::move(inner)), format_(std::move(format)), maxLevel_(maxLevel) {}

  void Write(const TraceRecord& record) override {
    if (record.level > maxLevel_) {
      return;
    }
    std::string line = FormatTraceHeader(format_, record);
    line.append(record.message);
    TraceRecord formatted = record;
    formatted.message = line;
    inner_->Write(formatted);
  }

  std::uint32_t MaxLevel() const override { return std::min(maxLevel_, inner_->MaxLevel()); }

 private:
  ChannelPtr inner_;
  std::string format_;
  std::uint32_t maxLevel_;
};

// Zero-padded decimal without printf: the header is built for every trace line.
void AppendPadded(std::string& out, long value, int width) {
  char digits[24];
  int length = 0;
  unsigned long rest = value < 0 ? 0 : static_cast<unsigned long>(value);
  do {
    digits[length++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  for (int pad = length; pad < width; ++pad) {
    out.push_back('0');
  }
  while (length > 0) {
    out.push_back(digits[--length]);
  }
}

}  // namespace

ChannelPtr CreateFileChannel(const char* fileName) {
  return ChannelPtr(new FileChannel(fileName));
}

ChannelPtr CreateFormattedChannel(ChannelPtr inner, std::string format, std::uint32_t maxLevel) {
  return ChannelPtr(new FormattedChannel(std::move(inner), std::move(format), maxLevel));
}

std::string FormatTraceHeader(const std::string& format, const TraceRecord& record) {
  tm local{};
  localtime_r(&record.time.tv_sec, &local);
  std::string out;
  out.reserve(format.size() + 32);
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out.push_back(format[i]);
      continue;
    }
    switch (format[++i]) {
      case 'Y':
        AppendPadded(out, local.tm_year + 1900L, 4);
        break;
      case 'm':
        AppendPadded(out, local.tm_mon + 1L, 2);
        break;
      case 'd':
        AppendPadded(out, local.tm_mday, 2);
        break;
      case 'X':
        AppendPadded(out, local.tm_hour, 2);
        out.push_back(':');
        AppendPadded(out, local.tm_min, 2);
        out.push_back(':');
        AppendPadded(out, local.tm_sec, 2);
        out.push_back('.');
        AppendPadded(out, record.time.tv_nsec / 1000000, 3);
        break;
      case 'I':
        out.append(std::to_string(record.thread));
        break;
      case 'P':
        out.append(std::to_string(record.process));
        break;
      case 'p':
        out.append(LevelName(record.level));
        break;
      case '%':
        out.push_back('%');
        break;
      default:
        out.push_back('%');
        out.push_back(format[i]);
    }
  }
  return out;
}

}  // namespace ivo
