// The control channel on POSIX: a Unix stream socket of mode 0600.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/control_channel.h"

namespace tarnwick::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPackagedConfig = "/etc/tarnwick";
constexpr const char* kRuntimeDir = "/run/tarnwick";

int Retry(int rc) { return rc < 0 ? errno : 0; }

// A socket address for path. sun_path holds 107 bytes: a longer path is
// reached through its directory's descriptor (/proc/self/fd/N/name), which
// dir_fd keeps open until the call is made.
struct UnixAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
  int dir_fd = -1;
  ~UnixAddress() {
    if (dir_fd >= 0) ::close(dir_fd);
  }
  int Set(const std::string& path) {
    std::string name = path;
    if (name.size() >= sizeof addr.sun_path) {
      const std::filesystem::path p(path);
      dir_fd = ::open(p.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd < 0) return errno;
      name = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + p.filename().string();
      if (name.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    return 0;
  }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

// Waits for fd (and the wake pipe, when given) until deadline: 0 when fd
// is ready, ETIMEDOUT, or ECANCELED when woken.
int WaitFd(int fd, short events, Clock::time_point deadline, int wake_fd = -1) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ETIMEDOUT;
    pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    const int n = ::poll(p, wake_fd >= 0 ? 2 : 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (wake_fd >= 0 && p[1].revents) return ECANCELED;
    if (n > 0) return 0;
  }
}

}  // namespace

std::string ControlAddress(const std::string& config_dir, const std::string& backup_root) {
  const std::filesystem::path dir = std::filesystem::path(config_dir).lexically_normal();
  const std::filesystem::path name = dir.has_filename() ? dir.filename() : dir.parent_path().filename();
  const std::filesystem::path parent = dir.has_filename() ? dir.parent_path() : dir.parent_path().parent_path();
  if (parent == kPackagedConfig && !name.empty()) return (std::filesystem::path(kRuntimeDir) / name).string();
  return (std::filesystem::path(backup_root) / "control.sock").string();
}

struct ControlListener::Impl {
  int fd = -1;
  int wake[2] = {-1, -1};
  std::string path;
  bool created = false;  // the socket file is ours to remove
};

ControlListener::ControlListener() : impl_(std::make_unique<Impl>()) {
  if (::pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) impl_->wake[0] = impl_->wake[1] = -1;
}

ControlListener::~ControlListener() {
  if (impl_->fd >= 0) ::close(impl_->fd);
  if (impl_->created) ::unlink(impl_->path.c_str());
  for (int f : impl_->wake)
    if (f >= 0) ::close(f);
}

int ControlListener::Open(const std::string& address) {
  if (impl_->wake[0] < 0) return EMFILE;
  // /run/tarnwick comes from systemd (RuntimeDirectory=); a relay started
  // by hand makes it.
  const std::filesystem::path parent = std::filesystem::path(address).parent_path();
  if (parent == kRuntimeDir && ::mkdir(kRuntimeDir, 0755) != 0 && errno != EEXIST) return errno;
  UnixAddress a;
  if (const int e = a.Set(address)) return e;
  // The relay's lock is held, so a socket there is a killed relay's.
  struct stat st{};
  if (::lstat(address.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return EEXIST;
    if (::unlink(address.c_str()) != 0) return errno;
  } else if (errno != ENOENT) {
    return errno;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  // Made 0600 before it listens: nobody else can connect in between.
  int e = Retry(::bind(fd, a.Get(), a.length));
  if (!e) {
    impl_->path = address;
    impl_->created = true;
    e = Retry(::chmod(address.c_str(), 0600));
  }
  if (!e) e = Retry(::listen(fd, 8));
  if (e) {
    ::close(fd);
    return e;
  }
  impl_->fd = fd;
  return 0;
}

void ControlListener::Wake() {
  if (impl_->wake[1] < 0) return;
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(impl_->wake[1], &c, 1);
}

void ControlListener::Serve(const std::function<std::string(const std::string&)>& handler) {
  if (impl_->fd < 0) return;
  for (;;) {
    const int waited = WaitFd(impl_->fd, POLLIN, Clock::time_point::max(), impl_->wake[0]);
    if (waited == ECANCELED) return;
    const int c = ::accept4(impl_->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) {
      // Out of descriptors, say: a pause instead of a spin; a wake ends it.
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED &&
          WaitFd(impl_->wake[0], POLLIN, Clock::now() + std::chrono::milliseconds(500)) == 0)
        return;
      continue;
    }
    std::string request;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kControlRequestMs);
    bool whole = false;
    while (!whole && request.size() <= kControlRequestMax) {
      char buf[512];
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n > 0) {
        request.append(buf, static_cast<std::size_t>(n));
        const std::size_t end = request.find('\n');
        if (end != std::string::npos) {
          request.resize(end);
          if (!request.empty() && request.back() == '\r') request.pop_back();
          whole = end <= kControlRequestMax;
        }
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
      if (WaitFd(c, POLLIN, deadline, impl_->wake[0]) != 0) break;
    }
    if (whole) {
      const std::string reply = handler(request);
      std::size_t sent = 0;
      const auto by = Clock::now() + std::chrono::milliseconds(kControlRequestMs);
      while (sent < reply.size()) {
        const ssize_t n = ::send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR) && WaitFd(c, POLLOUT, by) == 0) continue;
        break;
      }
    }
    ::close(c);
  }
}

ControlResult ControlRequest(const std::string& address, const std::string& request, int timeout_ms) {
  ControlResult r;
  auto failed = [&r](int e) {
    r.kind = e == ENOENT || e == ECONNREFUSED ? ControlResult::Kind::Absent : ControlResult::Kind::Failed;
    r.error = e;
    return r;
  };
  UnixAddress a;
  if (const int e = a.Set(address)) return failed(e);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  int e;
  do e = Retry(::connect(fd, a.Get(), a.length));
  while (e == EINTR);
  if (e) return failed(e);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string line = request + "\n";
  for (std::size_t sent = 0; sent < line.size();) {
    if (const int w = WaitFd(fd, POLLOUT, deadline)) return failed(w);
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
    else if (errno != EAGAIN && errno != EINTR) return failed(errno);
  }
  for (;;) {
    if (const int w = WaitFd(fd, POLLIN, deadline)) return failed(w);
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return failed(errno);
    }
    if (r.text.size() < kControlReplyMax)
      r.text.append(buf, std::min(static_cast<std::size_t>(n), kControlReplyMax - r.text.size()));
  }
  r.kind = ControlResult::Kind::Replied;
  return r;
}

}  // namespace tarnwick::platform
