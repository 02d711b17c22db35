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
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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

  void Write(const TraceRecord& record) override { Write(&record, 1); }

  void Write(const TraceRecord* records, std::size_t count) override {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
      size += records[i].message.size() + 1;
    }
    std::string lines;
    lines.reserve(size);
    for (std::size_t i = 0; i < count; ++i) {
      lines.append(records[i].message).push_back('\n');
    }
    // One write of whole lines keeps concurrent appenders from interleaving inside a line.
    const char* data = lines.data();
    size_t left = lines.size();
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

// Whether two records give the same header: the header shows the time to the millisecond.
bool SameStamp(const TraceRecord& a, const TraceRecord& b) {
  return a.level == b.level && a.thread == b.thread && a.process == b.process &&
         a.time.tv_sec == b.time.tv_sec && a.time.tv_nsec / 1000000 == b.time.tv_nsec / 1000000;
}

class FormattedChannel final : public IChannel {
 public:
  FormattedChannel(ChannelPtr inner, std::string format, std::uint32_t maxLevel)
      : inner_(std::move(inner)), format_(std::move(format)), maxLevel_(maxLevel) {}

  void Write(const TraceRecord& record) override { Write(&record, 1); }

  // The batch's lines are put together in one buffer. The records of a batch mostly share
  // one stamp (a child's output read at once), so a header is built again only when the
  // stamp changes: a cp run's verbose output makes ten thousand lines.
  void Write(const TraceRecord* records, std::size_t count) override {
    std::vector<TraceRecord> formatted;
    std::vector<std::size_t> ends;
    formatted.reserve(count);
    ends.reserve(count);
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
      size += records[i].message.size() + kHeaderGuess;
    }
    std::string text;
    text.reserve(size);
    std::string header;
    const TraceRecord* stamped = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      const TraceRecord& record = records[i];
      if (record.level > maxLevel_) {
        continue;
      }
      if (stamped == nullptr || !SameStamp(*stamped, record)) {
        header = FormatTraceHeader(format_, record);
        stamped = &record;
      }
      text.append(header).append(record.message);
      formatted.push_back(record);
      ends.push_back(text.size());
    }
    // The views go into the records once the buffer no longer moves.
    for (std::size_t i = 0, start = 0; i < formatted.size(); start = ends[i++]) {
      formatted[i].message = std::string_view(text).substr(start, ends[i] - start);
    }
    if (!formatted.empty()) {
      inner_->Write(formatted.data(), formatted.size());
    }
  }

  std::uint32_t MaxLevel() const override { return std::min(maxLevel_, inner_->MaxLevel()); }

 private:
  static constexpr std::size_t kHeaderGuess = 48;

  ChannelPtr inner_;
  std::string format_;
  std::uint32_t maxLevel_;
};

// The header of a trace line, put together in place: it is built for every line (a cp
// run's verbose output makes ten thousand of them), so no piece of it is a string of its own.
class HeaderWriter {
 public:
  // Zero-padded decimal.
  void Number(long value, int width) {
    char digits[24];
    int start = sizeof digits;
    unsigned long rest = value < 0 ? 0 : static_cast<unsigned long>(value);
    do {
      digits[--start] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    while (static_cast<int>(sizeof digits) - start < width) {
      digits[--start] = '0';
    }
    Text(digits + start, sizeof digits - start);
  }
  void Text(const char* text, std::size_t length) {
    length = std::min(length, sizeof buffer_ - used_);
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  void Text(const char* text) { Text(text, std::strlen(text)); }
  void Char(char c) { Text(&c, 1); }
  std::string Take() const { return std::string(buffer_, used_); }

 private:
  char buffer_[256];
  std::size_t used_ = 0;
};

// The local time of `seconds`, worked out once a second and thread (localtime_r walks the
// time zone's rules each call).
const tm& LocalTime(time_t seconds) {
  thread_local time_t cachedSeconds = -1;
  thread_local tm cached{};
  if (seconds != cachedSeconds) {
    localtime_r(&seconds, &cached);
    cachedSeconds = seconds;
  }
  return cached;
}

}  // namespace

ChannelPtr CreateFileChannel(const char* fileName) {
  return ChannelPtr(new FileChannel(fileName));
}

ChannelPtr CreateFormattedChannel(ChannelPtr inner, std::string format, std::uint32_t maxLevel) {
  return ChannelPtr(new FormattedChannel(std::move(inner), std::move(format), maxLevel));
}

std::string FormatTraceHeader(const std::string& format, const TraceRecord& record) {
  const tm& local = LocalTime(record.time.tv_sec);
  HeaderWriter out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out.Char(format[i]);
      continue;
    }
    switch (format[++i]) {
      case 'Y':
        out.Number(local.tm_year + 1900L, 4);
        break;
      case 'm':
        out.Number(local.tm_mon + 1L, 2);
        break;
      case 'd':
        out.Number(local.tm_mday, 2);
        break;
      case 'X':
        out.Number(local.tm_hour, 2);
        out.Char(':');
        out.Number(local.tm_min, 2);
        out.Char(':');
        out.Number(local.tm_sec, 2);
        out.Char('.');
        out.Number(record.time.tv_nsec / 1000000, 3);
        break;
      case 'I':
        out.Number(record.thread, 1);
        break;
      case 'P':
        out.Number(record.process, 1);
        break;
      case 'p':
        out.Text(LevelName(record.level));
        break;
      case '%':
        out.Char('%');
        break;
      default:
        out.Char('%');
        out.Char(format[i]);
    }
  }
  return out.Take();
}

}  // namespace ivo
