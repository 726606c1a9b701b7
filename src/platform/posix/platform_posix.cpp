// POSIX implementation of the platform seam.
#include "platform/platform.h"
#include "platform/systemd_unit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace tarnwick::platform {

namespace {
int Fd(const Socket& s) { return static_cast<int>(s.Native()); }
}  // namespace

bool Socket::Close() {
  if (s_ == kInvalidSocket) return true;
  int rc = ::close(static_cast<int>(s_));
  s_ = kInvalidSocket;
  return rc == 0;
}

void Socket::ShutdownNative(NativeSocket s) {
  if (s != kInvalidSocket) ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

void Socket::Shutdown() {
  if (s_ != kInvalidSocket) ::shutdown(static_cast<int>(s_), SHUT_RDWR);
}

int StartSockets() {
  // A peer that vanishes mid-write must give a write error, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive) {
  Resolution r;
  addrinfo hints{};
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  r.code = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &result);
  if (r.code != 0) {
    r.text = ::gai_strerror(r.code);
    return r;
  }
  std::size_t len = std::min<std::size_t>(result->ai_addrlen, r.address.bytes.size());
  std::memcpy(r.address.bytes.data(), result->ai_addr, len);
  r.address.length = static_cast<int>(len);
  ::freeaddrinfo(result);
  return r;
}

Socket OpenTcpSocket() {
  return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool Bind(const Socket& s, const SockAddr& a) {
  return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                static_cast<socklen_t>(a.length)) == 0;
}

bool Listen(const Socket& s, int backlog) { return ::listen(Fd(s), backlog) == 0; }

bool Connect(const Socket& s, const SockAddr& a) {
  int rc;
  do {
    rc = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                   static_cast<socklen_t>(a.length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool ConnectWithin(const Socket& s, const SockAddr& a, int ms, const std::function<bool()>& cancelled) {
  SetNonBlocking(s, true);
  int rc = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                     static_cast<socklen_t>(a.length));
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS || err == EINTR) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    err = ETIMEDOUT;
    for (;;) {
      if (cancelled && cancelled()) break;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{Fd(s), POLLOUT, 0};
      int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
      if (n > 0) {
        socklen_t len = sizeof err;
        if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        break;
      }
    }
  }
  SetNonBlocking(s, false);
  errno = err;
  return err == 0;
}

Socket Accept(const Socket& listening, std::string& peer_ip) {
  sockaddr_in addr{};
  socklen_t addrlen = sizeof addr;
  int fd;
  do {
    fd = ::accept4(Fd(listening), reinterpret_cast<sockaddr*>(&addr), &addrlen, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    peer_ip = ip;
  }
  return Socket(fd);
}

void SetNonBlocking(const Socket& s, bool on) {
  int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags < 0) return;
  ::fcntl(Fd(s), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

bool WaitReady(const Socket& s, bool for_write, int ms) {
  pollfd p{Fd(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void SetReuseAddress(const Socket& s) {
  int on = 1;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void EnableKeepAlive(const Socket& s) {
  int on = 1, idle = 60, interval = 10, count = 6;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void SetNoDelay(const Socket& s) {
  int on = 1;
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetReceiveTimeout(const Socket& s, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::int64_t UnacknowledgedBytes(const Socket& s) {
#ifdef SIOCOUTQ
  int queued = 0;
  if (::ioctl(Fd(s), SIOCOUTQ, &queued) == 0 && queued > 0) return queued;
#else
  (void)s;
#endif
  return 0;
}

int LastSocketError() { return errno; }

void ClearSocketError() { errno = 0; }

bool IsTimeoutError(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

std::string SocketErrorText(int code) { return std::strerror(code); }

std::string ExecutablePath() {
  char buf[PATH_MAX + 1] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

bool ChangeDirectory(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

void SystemLogWrite(bool error, const std::string& message) {
  static const bool opened = [] {
    ::openlog("Tarnwick", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    return true;
  }();
  (void)opened;
  ::syslog(error ? LOG_ERR : LOG_INFO, "%s", message.c_str());
}

bool HasProfileReader() { return false; }

std::string ProfileString(const std::string&, const std::string&, const std::string&,
                          const std::string& fallback, std::size_t) {
  return fallback;
}

int ProfileInt(const std::string&, const std::string&, const std::string&, int fallback) {
  return fallback;
}

void FileLock::Release() {
  if (h_ == kNone) return;
  ::close(static_cast<int>(h_));  // drops the lock with the descriptor
  h_ = kNone;
}

FileLock TryLockFile(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileLock(FileLock::kNone, errno, false);
  int rc;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    ::close(fd);
    return FileLock(FileLock::kNone, e, e == EWOULDBLOCK);
  }
  return FileLock(fd, 0, false);
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
  std::fprintf(stderr, "Tarnwick state: %s\n", state_name);
  std::fflush(stderr);
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
  // A closed terminal under a foreground relay: a clean stop, not a kill
  // that leaves the transmission unrecorded until the next start.
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, on_control] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) on_control(1);
    }
  }).detach();
  service_main();
  return true;
}

namespace {

// Where units go; TARNWICK_SYSTEMD_DIR moves them (tests, packaging).
std::string UnitDirectory() {
  const char* dir = std::getenv("TARNWICK_SYSTEMD_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

// Runs "systemctl <args>" when systemctl is on PATH; its exit status, or -1
// when there is none.
int Systemctl(std::vector<std::string> args) {
  std::fflush(stdout);
  std::fflush(stderr);
  args.insert(args.begin(), "systemctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return -1;
  }
  if (pid == 0) {
    ::execvp("systemctl", argv.data());
    int e = errno;
    (void)!::write(ready[1], &e, sizeof e);  // tells the parent exec failed
    ::_exit(127);
  }
  ::close(ready[1]);
  int exec_errno = 0;
  ssize_t n = ::read(ready[0], &exec_errno, sizeof exec_errno);
  ::close(ready[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == sizeof exec_errno) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool InstallFails(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "Cannot install service: %s: %s\n", what.c_str(), why.c_str());
  return false;
}

// The whole file, or nullopt with errno set.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int e = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (e != 0) {
    errno = e;
    return std::nullopt;
  }
  return text;
}

// Writes through a temporary file and a rename: a failed write never leaves
// a unit cut short where a working one was. Empty on success, else why not.
std::string ReplaceFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return std::strerror(errno);
  bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int e = errno;
  if (std::fclose(f) != 0 && written) {
    written = false;
    e = errno;
  }
  if (written && ::rename(tmp.c_str(), path.c_str()) != 0) {
    written = false;
    e = errno;
  }
  if (!written) {
    ::unlink(tmp.c_str());
    return std::strerror(e);
  }
  return "";
}

}  // namespace

bool InstallService(const InstallOptions& o) {
  namespace sd = systemd;
  if (std::string why = sd::InstanceNameProblem(o.name); !why.empty())
    return InstallFails("instance name '" + o.name + "'", why);
  const std::pair<const char*, const std::string*> paths[] = {
      {"program", &o.executable}, {"configuration directory", &o.config_dir},
      {"backup root", &o.backup_root}};
  for (const auto& [what, path] : paths)
    if (std::string why = sd::UnitPathProblem(*path); !why.empty())
      return InstallFails(std::string(what) + " '" + *path + "'", why);
  for (const std::string* account : {&o.user, &o.group}) {
    if (account->empty()) continue;
    if (std::string why = sd::AccountNameProblem(*account); !why.empty())
      return InstallFails("'" + *account + "'", why);
  }
  // systemd would only find out at the first start.
  if (!o.user.empty() && !::getpwnam(o.user.c_str()) &&
      o.user.find_first_not_of("0123456789") != std::string::npos)
    return InstallFails("user '" + o.user + "'", "no such user");
  if (!o.group.empty() && !::getgrnam(o.group.c_str()) &&
      o.group.find_first_not_of("0123456789") != std::string::npos)
    return InstallFails("group '" + o.group + "'", "no such group");

  const std::string unit_name = sd::UnitFileName(o.name);
  const std::string unit_path = UnitDirectory() + "/" + unit_name;
  if (std::optional<std::string> old = ReadWholeFile(unit_path)) {
    std::optional<std::string> owner = sd::UnitConfigDir(*old);
    if (owner != o.config_dir)
      return InstallFails(unit_path, "already installed for " +
                                         (owner ? "the relay in " + *owner : "another program") +
                                         "; choose another NAME, or remove it first with "
                                         "'tarnwick delete " + o.name + "'");
  } else if (errno != ENOENT) {
    return InstallFails(unit_path, std::strerror(errno));
  }

  sd::UnitParams p;
  p.instance = o.name;
  p.executable = o.executable;
  p.config_dir = o.config_dir;
  p.backup_root = o.backup_root;
  p.user = o.user;
  p.group = o.group;
  p.binds_privileged_port = o.binds_privileged_port;
  if (std::string why = ReplaceFile(unit_path, sd::UnitText(p)); !why.empty())
    return InstallFails(unit_path, why);
  std::printf("%s written\n", unit_path.c_str());

  // A unit from before instances existed would run the same relay twice.
  const std::string legacy = UnitDirectory() + "/tarnwick.service";
  struct stat st {};
  if (::stat(legacy.c_str(), &st) == 0)
    std::fprintf(stderr,
                 "Note: %s from an earlier install is still there; if it runs this relay, "
                 "remove it (systemctl disable tarnwick.service, then delete the file)\n",
                 legacy.c_str());

  int reload = Systemctl({"daemon-reload"});
  if (reload > 0)
    return InstallFails(unit_path, "written, but systemctl daemon-reload failed (" +
                                       std::to_string(reload) + ")");
  if (reload < 0) {
    // No systemd here (a staging tree, a container): the unit is all there is.
    std::printf("systemctl not found: %s not enabled\n", unit_name.c_str());
  } else if (int enable = Systemctl({"enable", unit_name}); enable != 0) {
    return InstallFails(unit_path, "written, but systemctl enable failed (" +
                                       std::to_string(enable) + ")");
  }
  std::printf("Service installed successfully\nStart it with: systemctl start %s\n",
              unit_name.c_str());
  return true;
}

bool DeleteService(const std::string& name) {
  if (std::string why = systemd::InstanceNameProblem(name); !why.empty()) {
    std::fprintf(stderr, "Cannot delete service: instance name '%s': %s\n", name.c_str(),
                 why.c_str());
    return false;
  }
  const std::string unit_name = systemd::UnitFileName(name);
  const std::string unit_path = UnitDirectory() + "/" + unit_name;
  struct stat st {};
  if (::stat(unit_path.c_str(), &st) != 0) {
    std::fprintf(stderr, "Service not installed: %s: %s\n", unit_path.c_str(),
                 std::strerror(errno));
    return false;
  }
  int disable = Systemctl({"disable", unit_name});
  if (disable > 0) {
    std::fprintf(stderr, "Cannot delete service: %s: systemctl disable failed (%d)\n",
                 unit_path.c_str(), disable);
    return false;
  }
  if (::unlink(unit_path.c_str()) != 0) {
    std::fprintf(stderr, "Cannot delete service: %s: %s\n", unit_path.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (disable == 0) Systemctl({"daemon-reload"});
  std::printf("Service deleted successfully\n");
  return true;
}

}  // namespace tarnwick::platform
