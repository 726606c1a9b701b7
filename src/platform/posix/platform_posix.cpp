// POSIX implementation of the platform seam.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tarnwick::platform {

namespace {
int Fd(const Socket& s) { return static_cast<int>(s.Native()); }
}  // namespace

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    Close();
    s_ = o.s_;
    o.s_ = kInvalidSocket;
  }
  return *this;
}

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

void SetReceiveTimeout(const Socket& s, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int LastSocketError() { return errno; }

std::string SocketErrorText(int code) { return std::strerror(code); }

std::string ExecutableDirectory() {
  char buf[PATH_MAX + 1] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
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

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

bool SyncFile(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  return ::fsync(::fileno(f)) == 0;
}

bool IsTerminal(std::FILE* f) { return ::isatty(::fileno(f)) == 1; }

std::int64_t FileSize(std::FILE* f) {
  struct stat st {};
  if (::fstat(::fileno(f), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool Seek(std::FILE* f, std::int64_t offset) {
  return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

void PublishServiceStatus(int, unsigned, unsigned long, unsigned long, const char* state_name) {
  std::fprintf(stderr, "Tarnwick state: %s\n", state_name);
  std::fflush(stderr);
}

void RunServiceHost(const std::function<void()>& service_main,
                    const std::function<void()>& on_stop) {
  // Block the stop signals in every thread; one thread takes them with
  // sigwait, so the handler runs as ordinary code, not in signal context.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, on_stop] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) on_stop();
    }
  }).detach();
  service_main();
}

}  // namespace tarnwick::platform
