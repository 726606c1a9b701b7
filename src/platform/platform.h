// The one seam between Tarnwick and the operating system. Subsystems include
// this header, never an OS header; posix/ and win32/ implement it.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

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
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      Close();
      s_ = o.s_;
      o.s_ = kInvalidSocket;
    }
    return *this;
  }
  ~Socket() { Close(); }

  bool Valid() const { return s_ != kInvalidSocket; }
  NativeSocket Native() const { return s_; }
  // Gives up ownership without closing.
  NativeSocket Release() {
    const NativeSocket s = s_;
    s_ = kInvalidSocket;
    return s;
  }
  // Returns false (last error in LastSocketError) when the close fails.
  bool Close();
  // Wakes a thread blocked in accept or read on this socket without freeing
  // the descriptor under it (the owner closes it afterwards).
  void Shutdown();
  static void ShutdownNative(NativeSocket s);

 private:
  NativeSocket s_ = kInvalidSocket;
};

// One socket address, IPv4 or IPv6, as resolution returns it.
struct SockAddr {
  std::array<unsigned char, 28> bytes{};  // room for an IPv6 address
  int length = 0;
};

struct Resolution {
  int code = 0;        // 0 on success, else the resolver's code
  std::string text;    // the resolver's text for code
  SockAddr address;    // the first entry
  std::vector<SockAddr> addresses;  // every entry, in the resolver's order
};

// Must run before any socket call: socket library start-up, SIGPIPE ignored.
int StartSockets();
// Resolves host (empty and passive: the wildcard address) and port as TCP,
// IPv4 and IPv6 alike. A host in brackets ("[::1]") is taken without them.
Resolution Resolve(const std::string& host, const std::string& port, bool passive);
// The same, IPv4 only: for a port's number, which every family shares.
Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive);
// The address in a, without the port: "192.0.2.1", "2001:db8::1"; an IPv4
// address mapped into IPv6 ("::ffff:192.0.2.1") as the IPv4 address it is.
std::string AddressText(const SockAddr& a);
bool IsIPv6(const SockAddr& a);
// A TCP socket of a's family.
Socket OpenTcpSocket(const SockAddr& a);
// Lets an IPv6 socket take IPv4 connections too (IPV6_V6ONLY off), which
// the system's default may not; false when it cannot.
bool SetDualStack(const Socket& s);
// The code of a bind to an address the machine does not have.
bool IsAddressNotAvailable(int code);
// The code of a socket or bind refused because the machine has no IPv6.
bool IsFamilyUnsupported(int code);
bool Bind(const Socket& s, const SockAddr& a);
bool Listen(const Socket& s, int backlog);
bool Connect(const Socket& s, const SockAddr& a);
// Connects within ms milliseconds, giving up as soon as cancelled() says so
// (it is asked about every 200 ms). False with the cause in LastSocketError
// (a time-out or a cancel: the platform's "timed out" code).
bool ConnectWithin(const Socket& s, const SockAddr& a, int ms, const std::function<bool()>& cancelled);
// Accepts one connection; peer_ip receives the peer's address (AddressText).
Socket Accept(const Socket& listening, std::string& peer_ip);
void SetReuseAddress(const Socket& s);
void SetNonBlocking(const Socket& s, bool on);
// Waits until s can be read (or written), at most ms milliseconds; false on
// time-out, or once s has been shut down where that does not make it ready.
bool WaitReady(const Socket& s, bool for_write, int ms);
// Waits until any of items is ready (for reading, or for writing where
// for_write), at most ms milliseconds, and marks those that are.
struct PollItem {
  NativeSocket socket = kInvalidSocket;
  bool for_write = false;
  bool ready = false;
};
void WaitAny(std::vector<PollItem>& items, int ms);
// True for the code of a call on a non-blocking socket that would block.
bool WouldBlock(int code);
// Lets a vanished peer (machine off, cable cut) end a blocked read in minutes.
void EnableKeepAlive(const Socket& s);
// Sends small writes at once: TLS writes whole records, and a close_notify
// or a session's last record held back for a delayed ACK costs 40 ms.
void SetNoDelay(const Socket& s);
// Blocks reads on s for at most ms milliseconds (0: no limit).
void SetReceiveTimeout(const Socket& s, int ms);
// Bytes written to s that the peer has not acknowledged yet (Linux:
// SIOCOUTQ); 0 where the platform cannot tell. A sender subtracts them to
// see how far its peer really is, not how far the socket buffers reach.
std::int64_t UnacknowledgedBytes(const Socket& s);
int LastSocketError();
// Resets the last socket error, so that a later read can tell its own.
void ClearSocketError();
// True for the code a read gets when its receive time-out ran out.
bool IsTimeoutError(int code);
// Text of a socket error code, for one-line messages.
std::string SocketErrorText(int code);

#ifdef _WIN32
// NTFS names differ in case only as spellings of one file.
inline constexpr bool kCaseInsensitiveNames = true;
inline constexpr char kPathSeparator = '\\';
// "delete" goes on to the dispatcher, which fails from a console.
inline constexpr bool kDeleteThenHost = true;
#else
inline constexpr bool kCaseInsensitiveNames = false;
inline constexpr char kPathSeparator = '/';
// Here the host would run the relay in the foreground: "delete" only deletes.
inline constexpr bool kDeleteThenHost = false;
#endif

// Full path of the running image (at most 260 characters on Windows), links
// followed; empty on failure.
std::string ExecutablePath();

// Writes one entry to the system log: the Windows event log (source
// "Tarnwick", identifier 0xC0020001, two insertion strings; errors as
// errors, every other level as information), syslog elsewhere.
enum class LogLevel { Error, Warning, Notice, Information };
void SystemLogWrite(LogLevel level, const std::string& message);
// True when standard error is a stream into the systemd journal: the
// device and inode JOURNAL_STREAM names are those of standard error (a
// variable inherited by a process whose standard error goes elsewhere does
// not count). Never on Windows.
bool StandardErrorIsJournal();
#ifdef _WIN32
// The service control manager shows the state; no line says it.
inline constexpr bool kStateLinesOnStandardError = false;
#else
inline constexpr bool kStateLinesOnStandardError = true;
#endif

std::tm LocalTime(std::time_t t);
bool IsTerminal(std::FILE* f);
// Stops newline translation on f (Windows); nothing elsewhere.
void SetBinaryMode(std::FILE* f);

// Move-only owner of an exclusive lock on a file. The system drops the lock
// when its owner closes it or the process ends however it ends, so a relay
// killed outright never leaves a stale lock behind.
class FileLock {
 public:
  FileLock() = default;
  FileLock(std::intptr_t handle, int error, bool busy) : h_(handle), error_(error), busy_(busy) {}
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& o) noexcept : h_(o.h_), error_(o.error_), busy_(o.busy_) { o.h_ = kNone; }
  FileLock& operator=(FileLock&& o) noexcept {
    if (this != &o) {
      Release();
      h_ = o.h_;
      error_ = o.error_;
      busy_ = o.busy_;
      o.h_ = kNone;
    }
    return *this;
  }
  ~FileLock() { Release(); }

  bool Held() const { return h_ != kNone; }
  // Not held because another owner holds it: another process, or another
  // FileLock on the same file in this one.
  bool Busy() const { return busy_; }
  // Not held: the system's error code (for platform::ErrorText); 0 when held.
  int Error() const { return error_; }
  void Release();

  static constexpr std::intptr_t kNone = -1;

 private:
  std::intptr_t h_ = kNone;
  int error_ = 0;
  bool busy_ = false;
};
// Opens path (creating it when absent) and takes an exclusive lock on it
// without waiting. Linux: an open file description lock, so that
// ProbeFileLock can see it without taking it; Windows: byte 0, which
// excludes, and byte 1, which ProbeFileLock tests.
FileLock TryLockFile(const std::string& path);

// Whether another owner holds path's lock (TryLockFile's), looked at
// without ever holding it in a way that could make a TryLockFile fail:
// Linux asks the system (F_OFD_GETLK); Windows takes a shared lock on
// byte 1 only and drops it at once, which TryLockFile waits out. Opens the
// file read-only and never creates it.
struct LockProbe {
  enum class Result { Held, Free, Absent, Error } result = Result::Error;
  int error = 0;  // Error: the system's code (for ErrorText)
};
LockProbe ProbeFileLock(const std::string& path);

// Hands one status report to the service manager: SetServiceStatus on
// Windows; elsewhere, under systemd (NOTIFY_SOCKET set), READY=1 /
// STOPPING=1 / STATUS=<name>. The state's line is the caller's entry.
void PublishServiceStatus(int state, unsigned controls_accepted, unsigned long check_point,
                          unsigned long wait_hint, const char* state_name);

// The controls on_control gets: Windows' own codes.
inline constexpr unsigned kControlStop = 1;         // SERVICE_CONTROL_STOP
inline constexpr unsigned kControlParamChange = 6;  // SERVICE_CONTROL_PARAMCHANGE: a reload

// Hands the process to the service manager. On Windows: the control
// dispatcher with its one-entry table; service_main runs on the service
// thread once the control handler is registered, on_control on the
// dispatcher's thread for each control. Elsewhere: service_main runs on the
// calling thread while a dedicated thread turns SIGTERM and SIGINT into
// on_control(kControlStop), SIGHUP into on_control(kControlParamChange).
// Returns false when no dispatcher could be reached (the program was
// started from a console on Windows).
bool RunServiceHost(const std::function<void()>& service_main,
                    const std::function<void(unsigned)>& on_control);

#ifdef _WIN32
// One service, "Tarnwick", beside its settings: InstallOptions are not used.
inline constexpr bool kServiceInstances = false;
#else
// One systemd unit per relay instance, tarnwick-NAME.service.
inline constexpr bool kServiceInstances = true;
#endif

// One relay instance as the service manager is to run it, every path
// absolute. The caller fills it from the command line and the instance's
// settings.ini.
struct InstallOptions {
  std::string name;          // the unit is tarnwick-NAME.service
  std::string executable;    // the program the unit runs
  std::string config_dir;    // passed as --dir: settings.ini and the PEM files
  std::string backup_root;   // the only place the relay may write
  std::string user, group;   // empty: root, and the user's own group
  bool binds_privileged_port = false;  // a port below 1024 is listened on
};

// Registers the service with the system's service manager, or removes it.
// Success is a line on standard output; a failure says where and why (on
// standard error; on Windows, standard output as always) and returns false.
// Installing never replaces another instance's unit; installing the same
// instance again rewrites its unit.
bool InstallService(const InstallOptions& options);
// name: the instance to remove (not used on Windows).
bool DeleteService(const std::string& name);

}  // namespace tarnwick::platform
