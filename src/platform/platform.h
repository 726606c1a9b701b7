// The one seam between Tarnwick and the operating system. Subsystems include
// this header, never an OS header; posix/ and win32/ implement it.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace tarnwick::platform {

using NativeSocket = std::intptr_t;
inline constexpr NativeSocket kInvalidSocket = -1;

// Move-only owner of one socket: closing on destruction makes "every session
// that is over has its socket closed" hold by construction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket s) : s_(s) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& o) noexcept : s_(o.s_) { o.s_ = kInvalidSocket; }
  Socket& operator=(Socket&& o) noexcept;
  ~Socket() { Close(); }

  bool Valid() const { return s_ != kInvalidSocket; }
  NativeSocket Native() const { return s_; }
  // Returns false (last error in LastSocketError) when the close fails.
  bool Close();
  // Wakes a thread blocked in accept or read on this socket without freeing
  // the descriptor under it (the owner closes it afterwards).
  void Shutdown();
  static void ShutdownNative(NativeSocket s);

 private:
  NativeSocket s_ = kInvalidSocket;
};

// One IPv4 socket address as returned by resolution.
struct SockAddr {
  std::array<unsigned char, 16> bytes{};
  int length = 0;
};

struct Resolution {
  int code = 0;        // 0 on success, else the resolver's code
  std::string text;    // the resolver's text for code
  SockAddr address;    // first IPv4 entry
};

// Must run before any socket call: socket library start-up, SIGPIPE ignored.
int StartSockets();
// Resolves host (empty and passive: the wildcard address) and port as IPv4/TCP.
Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive);
Socket OpenTcpSocket();
bool Bind(const Socket& s, const SockAddr& a);
bool Listen(const Socket& s, int backlog);
bool Connect(const Socket& s, const SockAddr& a);
// Accepts one connection; peer_ip receives the dotted IPv4 address.
Socket Accept(const Socket& listening, std::string& peer_ip);
void SetReuseAddress(const Socket& s);
// Lets a vanished peer (machine off, cable cut) end a blocked read in minutes.
void EnableKeepAlive(const Socket& s);
// Blocks reads on s for at most ms milliseconds (0: no limit).
void SetReceiveTimeout(const Socket& s, int ms);
int LastSocketError();
// Text of a socket error code, for one-line messages.
std::string SocketErrorText(int code);

// Directory of the running image, following links to the real file.
std::string ExecutableDirectory();
bool ChangeDirectory(const std::string& dir);

// Writes one entry to the system log (syslog under ident "Tarnwick").
void SystemLogWrite(bool error, const std::string& message);

std::tm LocalTime(std::time_t t);
// Pushes a stdio file's data to stable storage; false on failure (errno set).
bool SyncFile(std::FILE* f);
bool IsTerminal(std::FILE* f);
// Size of an open file from its status record; -1 on failure (errno set).
std::int64_t FileSize(std::FILE* f);
// Positions f at a 64-bit offset from its start.
bool Seek(std::FILE* f, std::int64_t offset);

// Hands one status report to the service manager; on POSIX, a line
// "Tarnwick state: <name>" on standard error.
void PublishServiceStatus(int state, unsigned controls_accepted, unsigned long check_point,
                          unsigned long wait_hint, const char* state_name);

// Runs service_main on the calling thread while a dedicated thread turns the
// stop signals (SIGTERM, SIGINT) into calls of on_stop. Returns when
// service_main returns.
void RunServiceHost(const std::function<void()>& service_main,
                    const std::function<void()>& on_stop);

}  // namespace tarnwick::platform
