// Helpers shared by the unit tests: a tracer that records, scoped temporary directories
// and files, and the check that a test runs inside the sandbox.
#pragma once

#include "ivo/tracer.h"

#include <boost/filesystem/path.hpp>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sov::testing {

using Path = boost::filesystem::path;

// Records every trace line; accepts levels up to `maxLevel`.
class RecordingTracer : public ivo::ITracer {
 public:
  struct Line {
    TraceLevel level;
    std::string text;
  };

  explicit RecordingTracer(TraceLevel maxLevel = 1000) : maxLevel_(maxLevel) {}

  const std::string& Name() const override { return name_; }
  bool IsEnabled(TraceLevel level) const override { return level <= maxLevel_; }
  void Trace(TraceLevel level, std::string_view message) override {
    if (IsEnabled(level)) {
      lines_.push_back({level, std::string(message)});
    }
  }

  const std::vector<Line>& Lines() const { return lines_; }
  std::vector<std::string> Texts() const;
  // The texts of the lines written at `level`.
  std::vector<std::string> TextsAt(TraceLevel level) const;
  void Clear() { lines_.clear(); }

 private:
  std::string name_ = "Test";
  TraceLevel maxLevel_;
  std::vector<Line> lines_;
};

inline boost::intrusive_ptr<RecordingTracer> MakeRecordingTracer(
    ivo::ITracer::TraceLevel maxLevel = 1000) {
  return boost::intrusive_ptr<RecordingTracer>(new RecordingTracer(maxLevel));
}

// A fresh directory below /tmp, removed with its content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const Path& path() const { return path_; }
  Path operator/(const std::string& name) const { return path_ / name; }

 private:
  Path path_;
};

void WriteFile(const Path& path, const std::string& content, unsigned mode = 0644);
std::string ReadFile(const Path& path);

// True when this process runs inside the launcher's test sandbox.
bool InsideSandbox();

// The tool calls that the sandbox's stand-ins recorded, one line each.
std::vector<std::string> RecordedCalls();
void ClearRecordedCalls();
// Makes `tool`'s stand-in answer with `script` (a shell script body) from now on.
void SetStandinAnswer(const std::string& tool, const std::string& script);
void ClearStandinAnswer(const std::string& tool);

}  // namespace sov::testing

namespace sov::testing {

// Runs `body` in a forked child and returns its exit status (128 + signal when killed).
// For process-wide answers that are kept after their first use: each child starts fresh.
int RunInChild(const std::function<int()>& body);

}  // namespace sov::testing

namespace sov::testing {

// Makes `dir` the working directory while the object lives.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const Path& dir);
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  Path previous_;
};

}  // namespace sov::testing
