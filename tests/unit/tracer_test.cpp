#include "ivo/tracer.h"

#include "ivo/channel.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <system_error>

namespace ivo {
namespace {

using sov::testing::ReadFile;
using sov::testing::TempDir;

TEST(TraceLevelNameTest, RoundsDownToAHundred) {
  const struct {
    ITracer::TraceLevel level;
    const char* name;
  } cases[] = {
      {0, "NON"},   {100, "ALW"},  {200, "CRT"},  {300, "ERR"},  {399, "ERR"},
      {400, "DNG"}, {500, "WRN"},  {600, "IMP"},  {750, "INF"},  {800, "DBG"},
      {900, "PRN"}, {1000, "ANY"}, {1099, "ANY"}, {1100, "UNK"}, {4000000000u, "UNK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_STREQ(c.name, LevelName(c.level));
  }
}

TEST(TraceFormatTest, ExpandsTheLauncherLineFormat) {
  setenv("TZ", "UTC", 1);
  tzset();
  TraceRecord record;
  record.level = 800;
  record.time = {1767225600 + 3 * 3600 + 4 * 60 + 5, 7000000};  // 2026-01-01 03:04:05.007
  record.thread = 4321;
  EXPECT_EQ("2026.01.01 03:04:05.007 4321 DBG ", FormatTraceHeader("%Y.%m.%d %X %I %p ", record));
  EXPECT_EQ("100% x%q", FormatTraceHeader("100%% x%q", record));
  unsetenv("TZ");
  tzset();
}

TEST(TracerTest, WithoutChannelNothingIsEnabled) {
  const auto tracer = CreateTracer("Console", nullptr);
  EXPECT_FALSE(tracer->IsEnabled(0));
  EXPECT_FALSE(IsEnabled(nullptr, 300));
  tracer->Trace(300, "dropped");  // must not crash
}

TEST(FileChannelTest, AppendsFormattedLinesToA0600File) {
  TempDir dir;
  const auto file = dir / "trace.log";
  for (const char* text : {"first", "second"}) {
    // A new channel per message: a second process must append, not truncate.
    const auto tracer = CreateTracer(
        "Launcher", CreateFormattedChannel(CreateFileChannel(file.c_str()), "%p ", 1000));
    tracer->Trace(800, text);
  }
  EXPECT_EQ("DBG first\nDBG second\n", ReadFile(file));
  struct stat status {};
  ASSERT_EQ(0, stat(file.c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 07777);
}

// The ids in a record are the writer's own: a forked child (the integrity checks) traces
// under its pid, not under its parent's.
TEST(TracerTest, ForkedChildTracesUnderItsOwnIds) {
  TempDir dir;
  const auto file = dir / "trace.log";
  const auto tracer = CreateTracer(
      "Launcher", CreateFormattedChannel(CreateFileChannel(file.c_str()), "%I ", 1000));
  tracer->Trace(800, "parent");
  const pid_t child = fork();
  if (child == 0) {
    tracer->Trace(800, "child");
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(std::to_string(getpid()) + " parent\n" + std::to_string(child) + " child\n",
            ReadFile(file));
}

// Lines traced together are written as whole lines, each with its own header, in order.
TEST(FileChannelTest, LinesTracedTogetherEachHaveTheirHeader) {
  TempDir dir;
  const auto file = dir / "trace.log";
  const auto tracer = CreateTracer(
      "Launcher", CreateFormattedChannel(CreateFileChannel(file.c_str()), "%p ", 1000));
  tracer->TraceLines(800, {"first", "", "third"});
  tracer->TraceLines(1100, {"above the channel's maximum"});
  tracer->Trace(300, "after");
  EXPECT_EQ("DBG first\nDBG \nDBG third\nERR after\n", ReadFile(file));
}

// A batch's header is reused only while the stamp stays the same: the level, the ids and
// the time to the millisecond each give a new one, and a dropped record leaves no trace.
TEST(FileChannelTest, BatchHeaderFollowsEachRecordsStamp) {
  TempDir dir;
  const auto file = dir / "trace.log";
  const auto channel = CreateFormattedChannel(CreateFileChannel(file.c_str()), "%p %I %X|", 900);
  setenv("TZ", "UTC", 1);
  tzset();
  TraceRecord first;
  first.level = 800;
  first.thread = 7;
  first.time = {0, 1000000};
  auto with = [&](auto change, std::string_view message) {
    TraceRecord record = first;
    change(record);
    record.message = message;
    return record;
  };
  const TraceRecord records[] = {
      with([](TraceRecord&) {}, "a"),
      with([](TraceRecord& r) { r.time.tv_nsec = 1999999; }, "same ms"),
      with([](TraceRecord& r) { r.time.tv_nsec = 2000000; }, "next ms"),
      with([](TraceRecord& r) { r.level = 1000; }, "dropped"),
      with([](TraceRecord& r) { r.level = 300; }, "level"),
      with([](TraceRecord& r) { r.thread = 8; }, "thread"),
      with([](TraceRecord& r) { r.time.tv_sec = 1; }, "second"),
  };
  channel->Write(records, std::size(records));
  unsetenv("TZ");
  tzset();
  EXPECT_EQ(
      "DBG 7 00:00:00.001|a\n"
      "DBG 7 00:00:00.001|same ms\n"
      "DBG 7 00:00:00.002|next ms\n"
      "ERR 7 00:00:00.001|level\n"
      "DBG 8 00:00:00.001|thread\n"
      "DBG 7 00:00:01.001|second\n",
      ReadFile(file));
}

TEST(FileChannelTest, FormattedChannelDropsLevelsAboveItsMaximum) {
  TempDir dir;
  const auto file = dir / "trace.log";
  const auto tracer =
      CreateTracer("t", CreateFormattedChannel(CreateFileChannel(file.c_str()), "", 500));
  EXPECT_TRUE(tracer->IsEnabled(500));
  EXPECT_FALSE(tracer->IsEnabled(800));
  tracer->Trace(800, "hidden");
  tracer->Trace(300, "shown");
  EXPECT_EQ("shown\n", ReadFile(file));
}

TEST(FileChannelTest, DescriptorIsClosedOnExec) {
  TempDir dir;
  const auto file = dir / "trace.log";
  const auto channel = CreateFileChannel(file.c_str());
  bool found = false;
  for (const auto& entry : boost::filesystem::directory_iterator("/proc/self/fd")) {
    boost::system::error_code error;
    if (boost::filesystem::read_symlink(entry.path(), error) == file) {
      const int fd = std::atoi(entry.path().filename().c_str());
      EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
      EXPECT_NE(0, fcntl(fd, F_GETFL) & O_APPEND);
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

TEST(FileChannelTest, OpenFailureNamesTheFile) {
  try {
    CreateFileChannel("/nonexistent-dir/trace.log");
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_STREQ("Can't open trace file /nonexistent-dir/trace.log: No such file or directory",
                 error.what());
    EXPECT_EQ(ENOENT, error.code().value());
  }
}

TEST(FileChannelTest, PlantedLinksAndFifosAreNotTraceFiles) {
  TempDir dir;
  const auto victim = dir / "victim";
  sov::testing::WriteFile(victim, "keep\n");
  ASSERT_EQ(0, symlink(victim.c_str(), (dir / "link.log").c_str()));
  ASSERT_EQ(0, symlink((dir / "absent").c_str(), (dir / "dangling.log").c_str()));
  ASSERT_EQ(0, mkfifo((dir / "fifo.log").c_str(), 0600));
  ASSERT_EQ(0, mkfifo((dir / "read-fifo.log").c_str(), 0600));
  // With a reader the open of a FIFO succeeds; without one it would wait for one.
  const int reader = open((dir / "read-fifo.log").c_str(), O_RDONLY | O_NONBLOCK);
  const struct {
    const char* name;
    int error;
    const char* text;
  } cases[] = {
      {"link.log", ELOOP, "Too many levels of symbolic links"},
      {"dangling.log", ELOOP, "Too many levels of symbolic links"},
      {"read-fifo.log", EINVAL, "Invalid argument"},
      {"fifo.log", ENXIO, "No such device or address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = dir / c.name;
    try {
      CreateFileChannel(file.c_str());
      ADD_FAILURE() << "no exception";
    } catch (const std::system_error& error) {
      EXPECT_EQ("Can't open trace file " + file.string() + ": " + c.text, error.what());
      EXPECT_EQ(c.error, error.code().value());
    }
  }
  close(reader);
  EXPECT_EQ("keep\n", ReadFile(victim));
  EXPECT_FALSE(boost::filesystem::exists(dir / "absent"));
}

}  // namespace
}  // namespace ivo
