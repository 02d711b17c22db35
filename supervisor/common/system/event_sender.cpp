// Event files. The name carries the time to the microsecond, the pid and a per-process
// sequence number; the file is created with link(), which refuses an existing name, so a
// collision can never overwrite an event.
#include "supervisor/common/system/event_sender.h"

#include "sov_common/atomic_file.h"
#include "sov_common/enum_names.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>

#include <unistd.h>

#include <array>
#include <atomic>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
namespace {

struct Stamp {
  std::string date;      // 2026-12-10T04:16:12.102345
  std::string fileName;  // 20261210T041612.102345
};

Stamp Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char seconds[32];
  std::strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &utc);
  char compact[32];
  std::strftime(compact, sizeof compact, "%Y%m%dT%H%M%S", &utc);
  const auto micros = (boost::format(".%06d") % (now.tv_nsec / 1000)).str();
  return {seconds + micros, compact + micros};
}

[[noreturn]] void ThrowWriteError(const char* format,
                                  const fs::filesystem_error& error,
                                  const Path& file) {
  BOOST_THROW_EXCEPTION(std::runtime_error((boost::format(format) % file.string()).str() + ": " +
                                           error.code().message()));
}

}  // namespace

std::string ToString(EventName name) {
  static constexpr std::array<const char*, 7> kNames = {
      "PatchInstallStarted",  "PatchInstalled",       "ProgramRestartRequired", "OsRebootRequired",
      "IntegrityCheckPassed", "IntegrityCheckFailed", "KernelModuleBuildFailed"};
  return sov::tools::EnumName(kNames, static_cast<int>(name), "EventName");
}

const char* DangerLevelOf(EventName name) {
  switch (name) {
    case EventName::ProgramRestartRequired:
    case EventName::OsRebootRequired:
      return "Warning";
    case EventName::IntegrityCheckFailed:
    case EventName::KernelModuleBuildFailed:
      return "Critical";
    default:
      return "Info";
  }
}

EventSender::EventSender(ivo::TracerPtr tracer, Path directory)
    : Traceable(std::move(tracer)), directory_(std::move(directory)) {}

Path EventSender::Send(EventName name, const std::vector<std::string>& arguments) const {
  static std::atomic<unsigned> sequence{0};
  const Stamp stamp = Now();
  pt::ptree record;
  record.put("EventType", ToString(name));
  record.put("DangerLevel", DangerLevelOf(name));
  record.put("Date", stamp.date);
  pt::ptree list;
  for (const auto& argument : arguments) {
    list.push_back({"", pt::ptree(argument)});
  }
  record.add_child("Arguments", list);
  std::ostringstream text;
  pt::write_json(text, record, true);

  const Path file =
      directory_ /
      (boost::format("%1%-%2%-%3%.json") % stamp.fileName % getpid() % sequence++).str();
  try {
    fs::create_directories(directory_);
    sov::tools::AtomicFile out(file);
    out.Write(text.str());
    try {
      out.SetMode(0644);
    } catch (const fs::filesystem_error& error) {
      ThrowWriteError("Can't chmod %1%", error, file);
    }
    out.CommitNew();
  } catch (const fs::filesystem_error& error) {
    ThrowWriteError("Can't create %1%", error, file);
  }
  Trace(kTraceDebug, "SendEvent", "Event ", ToString(name), " has written to ", file);
  return file;
}

}  // namespace sov::supervisor
