// Runs a real binary as a child process with its output captured in files,
// so a test can signal it, read what it wrote and wait for it with deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwick::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous enough for a sanitizer build on a loaded two-core machine.
inline constexpr milliseconds kDefaultWait{20000};

struct ExitStatus {
  bool exited = false;  // false: killed by a signal
  int code = -1;        // exit status when exited
  int signal = 0;       // terminating signal otherwise

  bool Clean() const { return exited && code == 0; }
  bool ExitedWith(int c) const { return exited && code == c; }
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& s);

// Polls cond every 20 ms until it holds or the deadline passes; returns its
// last value.
template <typename Cond>
bool WaitUntil(Cond cond, milliseconds timeout = kDefaultWait);

std::string ReadFileText(const std::filesystem::path& p);

class Process {
 public:
  struct Options {
    std::filesystem::path binary;
    std::vector<std::string> args;          // without argv[0]
    std::filesystem::path working_dir;      // empty: inherit
    std::filesystem::path stdout_path;      // required
    std::filesystem::path stderr_path;      // required
    std::filesystem::path stdin_path;       // empty: /dev/null
  };

  // Throws std::runtime_error when the spawn itself fails.
  explicit Process(Options options);
  ~Process();  // kills a child that is still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  void Signal(int sig);
  // The exit status, or none when the child is still running at the deadline.
  std::optional<ExitStatus> WaitExit(milliseconds timeout = kDefaultWait);
  // Known once WaitExit or Running saw the child end.
  const std::optional<ExitStatus>& status() const { return status_; }

  std::string Stderr() const { return ReadFileText(options_.stderr_path); }
  std::string Stdout() const { return ReadFileText(options_.stdout_path); }
  // Complete lines of stderr, starting at byte offset from.
  std::vector<std::string> StderrLines(std::size_t from = 0) const;
  std::size_t StderrSize() const { return Stderr().size(); }
  // Waits until a complete stderr line at or after byte offset from contains
  // needle. Gives up early when the child has ended and the line is not there.
  bool WaitForStderrLine(std::string_view needle, std::size_t from = 0,
                         milliseconds timeout = kDefaultWait);

 private:
  Options options_;
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
};

template <typename Cond>
bool WaitUntil(Cond cond, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (Clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(milliseconds(20));
  }
}

}  // namespace tarnwick::test
