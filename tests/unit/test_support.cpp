// Unit-test helpers. The sandbox check compares this process's PID namespace with the
// one the sandbox recorded: an environment variable alone could leak out of it.
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sov::testing {
namespace fs = boost::filesystem;
namespace {

Path SandboxState() {
  const char* state = std::getenv("LAUNCHER_SANDBOX");
  if (state == nullptr) {
    throw std::runtime_error("LAUNCHER_SANDBOX is not set: not inside the sandbox");
  }
  return state;
}

}  // namespace

std::vector<std::string> RecordingTracer::Texts() const {
  std::vector<std::string> texts;
  for (const auto& line : lines_) {
    texts.push_back(line.text);
  }
  return texts;
}

std::vector<std::string> RecordingTracer::TextsAt(TraceLevel level) const {
  std::vector<std::string> texts;
  for (const auto& line : lines_) {
    if (line.level == level) {
      texts.push_back(line.text);
    }
  }
  return texts;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/launcher-unit.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  boost::system::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const Path& path, const std::string& content, unsigned mode) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
      throw std::runtime_error("cannot write " + path.string());
    }
  }
  chmod(path.c_str(), mode);
}

std::string ReadFile(const Path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool InsideSandbox() {
  const char* state = std::getenv("LAUNCHER_SANDBOX");
  if (state == nullptr) {
    return false;
  }
  std::string recorded = ReadFile(Path(state) / "pidns");
  while (!recorded.empty() && recorded.back() == '\n') {
    recorded.pop_back();
  }
  boost::system::error_code error;
  const auto own = fs::read_symlink("/proc/self/ns/pid", error);
  return !error && !recorded.empty() && own.string() == recorded;
}

std::vector<std::string> RecordedCalls() {
  std::ifstream in((SandboxState() / "calls").string());
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) {
    calls.push_back(line);
  }
  return calls;
}

void ClearRecordedCalls() {
  WriteFile(SandboxState() / "calls", "");
}

void SetStandinAnswer(const std::string& tool, const std::string& script) {
  WriteFile(SandboxState() / "answers" / tool, "#!/usr/bin/env bash\n" + script, 0755);
}

void ClearStandinAnswer(const std::string& tool) {
  boost::system::error_code ignored;
  fs::remove(SandboxState() / "answers" / tool, ignored);
}

}  // namespace sov::testing

namespace sov::testing {

int RunInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    int status = 1;
    try {
      status = body();
    } catch (...) {
      status = 99;
    }
    _exit(status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace sov::testing

namespace sov::testing {

WorkingDirectory::WorkingDirectory(const Path& dir) : previous_(fs::current_path()) {
  fs::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
  boost::system::error_code ignored;
  fs::current_path(previous_, ignored);
}

}  // namespace sov::testing
