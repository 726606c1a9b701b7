// The process on POSIX: its own path, the system log, file locks, time,
// and the service host (signals, systemd's notify socket).
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace tarnwick::platform {

std::string ExecutablePath() {
  char buf[PATH_MAX + 1] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

void SystemLogWrite(LogLevel level, const std::string& message) {
  static const bool opened = [] {
    ::openlog("Tarnwick", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    return true;
  }();
  (void)opened;
  const int priority = level == LogLevel::Error     ? LOG_ERR
                       : level == LogLevel::Warning ? LOG_WARNING
                       : level == LogLevel::Notice  ? LOG_NOTICE
                                                    : LOG_INFO;
  ::syslog(priority, "%s", message.c_str());
}

bool StandardErrorIsJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (!value) return false;
  unsigned long long dev = 0, ino = 0;
  char end = 0;
  if (std::sscanf(value, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
  struct stat st{};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void FileLock::Release() {
  if (h_ == kNone) return;
  ::close(static_cast<int>(h_));  // drops the lock with the descriptor
  h_ = kNone;
}

namespace {
// The whole file, exclusively. An open file description lock, not flock:
// F_OFD_GETLK sees it, so `tarnwick status` can tell a running relay
// without taking the lock; and like flock it belongs to the descriptor and
// goes when the process ends however it ends.
struct flock WholeFile(short type) {
  struct flock l{};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = 0;
  l.l_len = 0;
  return l;
}
}  // namespace

FileLock TryLockFile(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileLock(FileLock::kNone, errno, false);
  struct flock l = WholeFile(F_WRLCK);
  int rc;
  do rc = ::fcntl(fd, F_OFD_SETLK, &l);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    ::close(fd);
    return FileLock(FileLock::kNone, e, e == EAGAIN || e == EACCES);
  }
  return FileLock(fd, 0, false);
}

LockProbe ProbeFileLock(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return {errno == ENOENT ? LockProbe::Result::Absent : LockProbe::Result::Error, errno};
  struct flock l = WholeFile(F_WRLCK);
  const int rc = ::fcntl(fd, F_OFD_GETLK, &l);
  const int e = errno;
  ::close(fd);
  if (rc != 0) return {LockProbe::Result::Error, e};
  return {l.l_type == F_UNLCK ? LockProbe::Result::Free : LockProbe::Result::Held, 0};
}

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

bool IsTerminal(std::FILE* f) { return ::isatty(::fileno(f)) == 1; }

void SetBinaryMode(std::FILE*) {}

namespace {

// One datagram to systemd's notify socket; nothing when not run by systemd.
void NotifySystemd(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un addr{};
  std::size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  socklen_t addrlen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           addrlen);
  ::close(fd);
}

constexpr int kStateStopPending = 3;
constexpr int kStateRunning = 4;

}  // namespace

void PublishServiceStatus(int state, unsigned, unsigned long, unsigned long,
                          const char* state_name) {
  std::string message;
  if (state == kStateRunning) message = "READY=1\n";
  if (state == kStateStopPending) message = "STOPPING=1\n";
  message += "STATUS=";
  message += state_name;
  NotifySystemd(message);
}

bool RunServiceHost(const std::function<void()>& service_main,
                    const std::function<void(unsigned)>& on_control) {
  // Block the stop signals in every thread; one thread takes them with
  // sigwait, so the handler runs as ordinary code, not in signal context.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  // The daemon's usual "read your configuration again" (systemctl reload,
  // kill -HUP).
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, on_control] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) on_control(sig == SIGHUP ? kControlParamChange : kControlStop);
    }
  }).detach();
  service_main();
  return true;
}

}  // namespace tarnwick::platform
