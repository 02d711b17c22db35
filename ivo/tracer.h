// The component framework's tracer: numbered levels, named tracers and channels that
// receive finished records. A null TracerPtr stands for "trace nothing".
#pragma once

#include <boost/intrusive_ptr.hpp>
#include <boost/smart_ptr/intrusive_ref_counter.hpp>

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace ivo {

class ITracer;
class IChannel;
using TracerPtr = boost::intrusive_ptr<ITracer>;
using ChannelPtr = boost::intrusive_ptr<IChannel>;

// One trace record as a channel receives it.
struct TraceRecord {
  std::string_view message;
  std::uint32_t level = 0;
  timespec time{};
  pid_t thread = 0;
  pid_t process = 0;
};

class IChannel : public boost::intrusive_ref_counter<IChannel> {
 public:
  virtual ~IChannel() = default;
  virtual void Write(const TraceRecord& record) = 0;
  // Writes `count` records as one piece where the channel can (one write of whole lines
  // to a file); by default one by one.
  virtual void Write(const TraceRecord* records, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      Write(records[i]);
    }
  }
  // Records above this level are not written (and need not be built).
  virtual std::uint32_t MaxLevel() const = 0;
};

class ITracer : public boost::intrusive_ref_counter<ITracer> {
 public:
  using TraceLevel = std::uint32_t;
  static constexpr TraceLevel kError = 300;
  static constexpr TraceLevel kWarning = 500;
  static constexpr TraceLevel kImportant = 600;
  static constexpr TraceLevel kDebug = 800;

  virtual ~ITracer() = default;
  virtual const std::string& Name() const = 0;
  virtual bool IsEnabled(TraceLevel level) const = 0;
  // Writes one record; a disabled level is dropped. Never throws on write errors:
  // a full disk must not turn into a failed command.
  virtual void Trace(TraceLevel level, std::string_view message) = 0;
  // Writes one record a message, stamped alike, as one piece where the channel can (a
  // child's output arrives many lines at a time); by default one by one.
  virtual void TraceLines(TraceLevel level, const std::vector<std::string_view>& messages) {
    for (const std::string_view message : messages) {
      Trace(level, message);
    }
  }
};

// A tracer named `name` writing to `channel`; without a channel every level is disabled.
TracerPtr CreateTracer(std::string name, ChannelPtr channel);

// The three-letter name of a level, chosen by the level rounded down to a hundred.
const char* LevelName(ITracer::TraceLevel level);

// True when `tracer` is set and accepts `level`.
inline bool IsEnabled(const ITracer* tracer, ITracer::TraceLevel level) {
  return tracer != nullptr && tracer->IsEnabled(level);
}

}  // namespace ivo
