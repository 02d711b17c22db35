// Named tracer over a channel: stamps each record with the time, the thread and the process.
#include "ivo/tracer.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <utility>

namespace ivo {
namespace {

class Tracer final : public ITracer {
 public:
  Tracer(std::string name, ChannelPtr channel)
      : name_(std::move(name)), channel_(std::move(channel)) {}

  const std::string& Name() const override { return name_; }

  bool IsEnabled(TraceLevel level) const override {
    return channel_ && level <= channel_->MaxLevel();
  }

  void Trace(TraceLevel level, std::string_view message) override {
    if (!IsEnabled(level)) {
      return;
    }
    TraceRecord record;
    record.message = message;
    record.level = level;
    clock_gettime(CLOCK_REALTIME, &record.time);
    record.thread = static_cast<pid_t>(syscall(SYS_gettid));
    record.process = getpid();
    channel_->Write(record);
  }

 private:
  std::string name_;
  ChannelPtr channel_;
};

}  // namespace

TracerPtr CreateTracer(std::string name, ChannelPtr channel) {
  return TracerPtr(new Tracer(std::move(name), std::move(channel)));
}

const char* LevelName(ITracer::TraceLevel level) {
  static constexpr std::array<const char*, 11> kNames = {"NON", "ALW", "CRT", "ERR", "DNG", "WRN",
                                                         "IMP", "INF", "DBG", "PRN", "ANY"};
  // Levels from 1100 up have no name of their own.
  const auto hundred = level / 100;
  return hundred < kNames.size() ? kNames[hundred] : "UNK";
}

}  // namespace ivo
