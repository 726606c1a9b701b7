#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tarnwick::test {

std::ostream& operator<<(std::ostream& os, const ExitStatus& s) {
  if (s.exited) return os << "exit status " << s.code;
  return os << "killed by signal " << s.signal;
}

std::string ReadFileText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

namespace {

ExitStatus Decode(int raw) {
  ExitStatus s;
  if (WIFEXITED(raw)) {
    s.exited = true;
    s.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    s.signal = WTERMSIG(raw);
  }
  return s;
}

void Check(int rc, const char* what) {
  if (rc != 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(rc));
}

}  // namespace

Process::Process(Options options) : options_(std::move(options)) {
  posix_spawn_file_actions_t actions;
  Check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
  const std::string in = options_.stdin_path.empty() ? "/dev/null" : options_.stdin_path.string();
  const std::string out = options_.stdout_path.string();
  const std::string err = options_.stderr_path.string();
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string wd = options_.working_dir.string();
  if (!wd.empty()) posix_spawn_file_actions_addchdir_np(&actions, wd.c_str());

  // The test binary ignores SIGPIPE and its threads may block signals; the
  // child must start with the dispositions a shell would give it.
  posix_spawnattr_t attr;
  Check(posix_spawnattr_init(&attr), "posix_spawnattr_init");
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  sigaddset(&def, SIGTERM);
  sigaddset(&def, SIGINT);
  posix_spawnattr_setsigdefault(&attr, &def);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  const std::string bin = options_.binary.string();
  std::vector<std::string> storage;
  storage.push_back(bin);
  for (const auto& a : options_.args) storage.push_back(a);
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int rc = posix_spawn(&pid_, bin.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  Check(rc, ("posix_spawn " + bin).c_str());
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Process::Running() {
  if (status_) return false;
  int raw = 0;
  const pid_t r = waitpid(pid_, &raw, WNOHANG);
  if (r == pid_) {
    status_ = Decode(raw);
    return false;
  }
  return true;
}

void Process::Signal(int sig) {
  if (Running()) kill(pid_, sig);
}

std::optional<ExitStatus> Process::WaitExit(milliseconds timeout) {
  WaitUntil([&] { return !Running(); }, timeout);
  return status_;
}

std::vector<std::string> Process::StderrLines(std::size_t from) const {
  const std::string text = Stderr();
  std::vector<std::string> lines;
  std::size_t pos = std::min(from, text.size());
  for (;;) {
    const std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

bool Process::WaitForStderrLine(std::string_view needle, std::size_t from, milliseconds timeout) {
  auto found = [&] {
    for (const auto& l : StderrLines(from))
      if (l.find(needle) != std::string::npos) return true;
    return false;
  };
  bool ended = false;
  const bool ok = WaitUntil(
      [&] {
        if (found()) return true;
        // Read once more after the end so that a last line is not missed.
        if (!Running()) {
          ended = true;
          return true;
        }
        return false;
      },
      timeout);
  if (ended) return found();
  return ok;
}

}  // namespace tarnwick::test
