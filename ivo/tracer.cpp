// Named tracer over a channel: stamps each record with the time, the thread and the process.
#include "ivo/tracer.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <utility>
#include <vector>

namespace ivo {
namespace {

// The ids of the calling thread and of its process, asked of the kernel once per thread
// rather than twice per record. A forked child asks again: only its forking thread lives
// on there, with ids of its own.
struct Ids {
  pid_t thread = 0;
  pid_t process = 0;
};
thread_local Ids cachedIds;

void ForgetIds() {
  cachedIds = Ids{};
}

const Ids& CurrentIds() {
  static const int registered = pthread_atfork(nullptr, nullptr, &ForgetIds);
  static_cast<void>(registered);
  if (cachedIds.thread == 0) {
    cachedIds = {static_cast<pid_t>(syscall(SYS_gettid)), getpid()};
  }
  return cachedIds;
}

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
    const Ids& ids = CurrentIds();
    record.thread = ids.thread;
    record.process = ids.process;
    channel_->Write(record);
  }

  void TraceLines(TraceLevel level, const std::vector<std::string_view>& messages) override {
    if (!IsEnabled(level) || messages.empty()) {
      return;
    }
    TraceRecord stamp;
    stamp.level = level;
    clock_gettime(CLOCK_REALTIME, &stamp.time);
    const Ids& ids = CurrentIds();
    stamp.thread = ids.thread;
    stamp.process = ids.process;
    std::vector<TraceRecord> records(messages.size(), stamp);
    for (std::size_t i = 0; i < messages.size(); ++i) {
      records[i].message = messages[i];
    }
    channel_->Write(records.data(), records.size());
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
