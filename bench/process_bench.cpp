// Runs short-lived commands many times, interleaved so that both see the same machine
// state, and reports each one's median wall time and peak resident memory, with the
// ratios against the first command (the peer).
//
//   process_bench RUNS LABEL=COMMAND [LABEL=COMMAND ...]
//
// COMMAND is split at blanks; its exit status must be the same on every run.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Subject {
  std::string label;
  std::vector<std::string> argv;
  std::vector<double> millis;
  std::vector<long> maxRssKb;
  int status = -1;
};

Subject Parse(const std::string& definition) {
  Subject subject;
  const auto equals = definition.find('=');
  subject.label = definition.substr(0, equals);
  std::istringstream words(definition.substr(equals + 1));
  for (std::string word; words >> word;) {
    subject.argv.push_back(word);
  }
  return subject;
}

bool RunOnce(Subject& subject) {
  std::vector<char*> argv;
  for (auto& word : subject.argv) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  subject.millis.push_back(std::chrono::duration<double, std::milli>(elapsed).count());
  subject.maxRssKb.push_back(usage.ru_maxrss);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (subject.status >= 0 && code != subject.status) {
    std::fprintf(stderr, "%s: exit status changed from %d to %d\n", subject.label.c_str(),
                 subject.status, code);
    return false;
  }
  subject.status = code;
  return true;
}

template <typename T>
T Median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s RUNS LABEL=COMMAND [LABEL=COMMAND ...]\n", argv[0]);
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  std::vector<Subject> subjects;
  for (int i = 2; i < argc; ++i) {
    subjects.push_back(Parse(argv[i]));
  }
  for (auto& subject : subjects) {  // warm the page cache
    RunOnce(subject);
    subject.millis.clear();
    subject.maxRssKb.clear();
  }
  for (int run = 0; run < runs; ++run) {
    for (auto& subject : subjects) {
      if (!RunOnce(subject)) {
        return 1;
      }
    }
  }
  const double peerTime = Median(subjects.front().millis);
  const long peerRss =
      *std::max_element(subjects.front().maxRssKb.begin(), subjects.front().maxRssKb.end());
  std::printf("%-28s %6s %12s %9s %13s %9s\n", "command", "exit", "median ms", "x peer",
              "peak RSS KiB", "x peer");
  for (const auto& subject : subjects) {
    const double time = Median(subject.millis);
    const long rss = *std::max_element(subject.maxRssKb.begin(), subject.maxRssKb.end());
    std::printf("%-28s %6d %12.3f %9.2f %13ld %9.2f\n", subject.label.c_str(), subject.status, time,
                time / peerTime, rss, static_cast<double>(rss) / peerRss);
  }
  std::printf("(%d interleaved runs each; the first command is the peer)\n", runs);
  return 0;
}
