// Windows implementation of the platform seam: Winsock 2.2, the service
// control manager, the event log and the profile reader.
#include "platform/platform.h"
#include "platform/file_system.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace tarnwick::platform {

namespace {

SOCKET Raw(const Socket& s) { return static_cast<SOCKET>(s.Native()); }

// Winsock does not wake a thread blocked in accept or recv when the socket
// is shut down, and closing it under that thread could let the handle be
// reused. Accept and handshakes therefore wait in short select slices and
// give up once their socket is marked here.
std::mutex shut_mutex;
std::set<NativeSocket> shut_sockets;

void MarkShut(NativeSocket s) {
  std::lock_guard lock(shut_mutex);
  shut_sockets.insert(s);
}

bool IsShut(NativeSocket s) {
  std::lock_guard lock(shut_mutex);
  return shut_sockets.count(s) != 0;
}

void Forget(NativeSocket s) {
  std::lock_guard lock(shut_mutex);
  shut_sockets.erase(s);
}

}  // namespace

bool Socket::Close() {
  if (s_ == kInvalidSocket) return true;
  Forget(s_);
  int rc = ::closesocket(static_cast<SOCKET>(s_));
  s_ = kInvalidSocket;
  return rc == 0;
}

void Socket::ShutdownNative(NativeSocket s) {
  if (s == kInvalidSocket) return;
  MarkShut(s);
  ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

void Socket::Shutdown() { ShutdownNative(s_); }

int StartSockets() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data);
}

namespace {

Resolution ResolveFamily(const std::string& host, const std::string& port, bool passive, int family) {
  Resolution r;
  addrinfo hints{};
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  const std::string name = bracketed ? host.substr(1, host.size() - 2) : host;
  addrinfo* result = nullptr;
  r.code = ::getaddrinfo(name.empty() ? nullptr : name.c_str(), port.c_str(), &hints, &result);
  if (r.code != 0) {
    r.text = ::gai_strerrorA(r.code);
    return r;
  }
  static_assert(sizeof(sockaddr_in6) <= sizeof(SockAddr::bytes));
  for (const addrinfo* i = result; i; i = i->ai_next) {
    if (i->ai_family != AF_INET && i->ai_family != AF_INET6) continue;
    SockAddr a;
    const std::size_t len = std::min<std::size_t>(i->ai_addrlen, a.bytes.size());
    std::memcpy(a.bytes.data(), i->ai_addr, len);
    a.length = static_cast<int>(len);
    r.addresses.push_back(a);
  }
  ::freeaddrinfo(result);
  if (r.addresses.empty()) {
    r.code = EAI_NONAME;
    r.text = ::gai_strerrorA(r.code);
  } else {
    r.address = r.addresses.front();
  }
  return r;
}

int Family(const SockAddr& a) {
  sockaddr_storage s{};
  std::memcpy(&s, a.bytes.data(), std::min<std::size_t>(a.bytes.size(), sizeof s));
  return s.ss_family;
}

// The text of the address in s, a mapped IPv4 address as IPv4.
std::string AddressOf(const sockaddr_storage& s) {
  char ip[INET6_ADDRSTRLEN] = {};
  if (s.ss_family == AF_INET6) {
    sockaddr_in6 a6;
    std::memcpy(&a6, &s, sizeof a6);
    if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
      in_addr a4;
      std::memcpy(&a4, reinterpret_cast<const unsigned char*>(&a6.sin6_addr) + 12, sizeof a4);
      ::inet_ntop(AF_INET, &a4, ip, sizeof ip);
    } else {
      ::inet_ntop(AF_INET6, &a6.sin6_addr, ip, sizeof ip);
    }
  } else if (s.ss_family == AF_INET) {
    sockaddr_in a4;
    std::memcpy(&a4, &s, sizeof a4);
    ::inet_ntop(AF_INET, &a4.sin_addr, ip, sizeof ip);
  }
  return ip;
}

}  // namespace

Resolution Resolve(const std::string& host, const std::string& port, bool passive) {
  return ResolveFamily(host, port, passive, AF_UNSPEC);
}

Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive) {
  return ResolveFamily(host, port, passive, AF_INET);
}

std::string AddressText(const SockAddr& a) {
  sockaddr_storage s{};
  std::memcpy(&s, a.bytes.data(), std::min<std::size_t>(static_cast<std::size_t>(a.length), sizeof s));
  return AddressOf(s);
}

bool IsIPv6(const SockAddr& a) { return Family(a) == AF_INET6; }

Socket OpenTcpSocket(const SockAddr& a) {
  SOCKET s = ::WSASocketW(Family(a), SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return Socket(s == INVALID_SOCKET ? kInvalidSocket : static_cast<NativeSocket>(s));
}

bool SetDualStack(const Socket& s) {
  DWORD off = 0;
  return ::setsockopt(Raw(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) == 0;
}

bool IsAddressNotAvailable(int code) { return code == WSAEADDRNOTAVAIL; }

bool IsFamilyUnsupported(int code) { return code == WSAEAFNOSUPPORT || code == WSAEPFNOSUPPORT; }

bool Bind(const Socket& s, const SockAddr& a) {
  return ::bind(Raw(s), reinterpret_cast<const sockaddr*>(a.bytes.data()), a.length) == 0;
}

bool Listen(const Socket& s, int backlog) { return ::listen(Raw(s), backlog) == 0; }

bool Connect(const Socket& s, const SockAddr& a) {
  return ::connect(Raw(s), reinterpret_cast<const sockaddr*>(a.bytes.data()), a.length) == 0;
}

namespace {

// Waits in 200 ms select slices until s is ready, ms run out (-1: never) or
// s is shut down; true when ready (or select reports an error on it).
bool WaitSlices(const Socket& s, bool for_write, int ms) {
  const ULONGLONG deadline = ms < 0 ? 0 : ::GetTickCount64() + static_cast<ULONGLONG>(ms);
  for (;;) {
    if (IsShut(s.Native())) return false;
    long slice = 200;
    if (ms >= 0) {
      ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return false;
      slice = static_cast<long>(std::min<ULONGLONG>(deadline - now, 200));
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Raw(s), &set);
    timeval tv{0, slice * 1000};
    int ready = ::select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &tv);
    if (ready != 0) return true;
  }
}

}  // namespace

Socket Accept(const Socket& listening, std::string& peer_ip) {
  if (!WaitSlices(listening, false, -1)) {
    ::WSASetLastError(WSAEINTR);
    return Socket();
  }
  sockaddr_storage addr{};
  int addrlen = sizeof addr;
  SOCKET s = ::accept(Raw(listening), reinterpret_cast<sockaddr*>(&addr), &addrlen);
  if (s == INVALID_SOCKET) return Socket();
  peer_ip = AddressOf(addr);
  return Socket(static_cast<NativeSocket>(s));
}

void SetNonBlocking(const Socket& s, bool on) {
  u_long mode = on ? 1 : 0;
  ::ioctlsocket(Raw(s), FIONBIO, &mode);
}

bool WaitReady(const Socket& s, bool for_write, int ms) { return WaitSlices(s, for_write, ms); }

// select rather than WSAPoll, like every other wait here: the callers wait
// for a few dozen sockets at most.
void WaitAny(std::vector<PollItem>& items, int ms) {
  fd_set read_set, write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  for (const PollItem& i : items)
    if (i.socket != kInvalidSocket && !IsShut(i.socket)) FD_SET(static_cast<SOCKET>(i.socket), i.for_write ? &write_set : &read_set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int rc = ::select(0, &read_set, &write_set, nullptr, &tv);
  for (PollItem& i : items)
    i.ready = rc > 0 && FD_ISSET(static_cast<SOCKET>(i.socket), i.for_write ? &write_set : &read_set);
}

bool WouldBlock(int code) { return code == WSAEWOULDBLOCK; }

bool ConnectWithin(const Socket& s, const SockAddr& a, int ms, const std::function<bool()>& cancelled) {
  SetNonBlocking(s, true);
  int err = ::connect(Raw(s), reinterpret_cast<const sockaddr*>(a.bytes.data()), a.length) == 0
                ? 0
                : ::WSAGetLastError();
  if (err == WSAEWOULDBLOCK) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(ms);
    err = WSAETIMEDOUT;
    for (;;) {
      if (cancelled && cancelled()) break;
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) break;
      const ULONGLONG left = deadline - now;
      // A refused connect shows in the exception set, not the write set.
      fd_set w, x;
      FD_ZERO(&w);
      FD_ZERO(&x);
      FD_SET(Raw(s), &w);
      FD_SET(Raw(s), &x);
      timeval tv{0, static_cast<long>((left < 200 ? left : 200) * 1000)};
      int n = ::select(0, nullptr, &w, &x, &tv);
      if (n > 0) {
        int so = 0;
        int len = sizeof so;
        err = ::getsockopt(Raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len) == 0
                  ? so
                  : ::WSAGetLastError();
        if (err == 0 && FD_ISSET(Raw(s), &x)) err = WSAECONNREFUSED;
        break;
      }
    }
  }
  SetNonBlocking(s, false);
  ::WSASetLastError(err);
  return err == 0;
}

void SetReuseAddress(const Socket& s) {
  BOOL on = TRUE;
  ::setsockopt(Raw(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
}

void SetNoDelay(const Socket& s) {
  BOOL on = TRUE;
  ::setsockopt(Raw(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void EnableKeepAlive(const Socket& s) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = 60 * 1000;
  values.keepaliveinterval = 10 * 1000;
  DWORD returned = 0;
  ::WSAIoctl(Raw(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
}

void SetReceiveTimeout(const Socket& s, int ms) {
  DWORD timeout = static_cast<DWORD>(ms);
  ::setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
}

// Winsock has no cheap count of unacknowledged bytes: callers measure what
// they handed to the socket instead.
std::int64_t UnacknowledgedBytes(const Socket&) { return 0; }

int LastSocketError() { return ::WSAGetLastError(); }

void ClearSocketError() { ::WSASetLastError(0); }

bool IsTimeoutError(int code) { return code == WSAETIMEDOUT || code == WSAEWOULDBLOCK; }

// Winsock codes are system error codes: the file seam's text serves both.
std::string SocketErrorText(int code) { return ErrorText(code); }

std::string ExecutablePath() {
  char buf[MAX_PATH] = {};
  DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};  // failed, or cut short
  return std::string(buf, n);
}

void SystemLogWrite(LogLevel level, const std::string& message) {
  const bool error = level == LogLevel::Error;
  // Each entry registers its own source: any thread may report, unlocked.
  HANDLE source = ::RegisterEventSourceA(nullptr, "Tarnwick");
  if (!source) return;
  const char* strings[2] = {"Tarnwick", message.c_str()};
  ::ReportEventA(source, error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0, 0xC0020001,
                 nullptr, 2, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

bool StandardErrorIsJournal() { return false; }

namespace {
// Byte 0 excludes a second relay; byte 1 is what ProbeFileLock tests, so
// that a probe never touches the byte a starting relay must win.
bool LockByte(HANDLE h, DWORD flags, DWORD offset) {
  OVERLAPPED at{};
  at.Offset = offset;
  return ::LockFileEx(h, flags, 0, 1, 0, &at) != 0;
}
void UnlockByte(HANDLE h, DWORD offset) {
  OVERLAPPED at{};
  at.Offset = offset;
  ::UnlockFileEx(h, 0, 1, 0, &at);
}
bool LockBusy(DWORD e) { return e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING; }
}  // namespace

void FileLock::Release() {
  if (h_ == kNone) return;
  HANDLE h = reinterpret_cast<HANDLE>(h_);
  UnlockByte(h, 1);
  UnlockByte(h, 0);
  ::CloseHandle(h);
  h_ = kNone;
}

FileLock TryLockFile(const std::string& path) {
  // Shared opening: the lock, not the sharing mode, is what excludes, so a
  // reader may still look at the file.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileLock(FileLock::kNone, static_cast<int>(::GetLastError()), false);
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  if (!LockByte(h, exclusive, 0)) {
    const DWORD e = ::GetLastError();
    ::CloseHandle(h);
    return FileLock(FileLock::kNone, static_cast<int>(e), LockBusy(e));
  }
  // Byte 0 is ours, so only a probe can hold byte 1, and only for a moment.
  DWORD e = 0;
  for (int tries = 0; tries < 200; ++tries) {
    if (LockByte(h, exclusive, 1)) return FileLock(reinterpret_cast<std::intptr_t>(h), 0, false);
    e = ::GetLastError();
    if (!LockBusy(e)) break;
    ::Sleep(10);
  }
  UnlockByte(h, 0);
  ::CloseHandle(h);
  return FileLock(FileLock::kNone, static_cast<int>(e), false);
}

LockProbe ProbeFileLock(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    return {e == ERROR_FILE_NOT_FOUND ? LockProbe::Result::Absent : LockProbe::Result::Error, static_cast<int>(e)};
  }
  LockProbe p{LockProbe::Result::Free, 0};
  if (LockByte(h, LOCKFILE_FAIL_IMMEDIATELY, 1)) {
    UnlockByte(h, 1);
  } else {
    const DWORD e = ::GetLastError();
    p = LockBusy(e) ? LockProbe{LockProbe::Result::Held, 0} : LockProbe{LockProbe::Result::Error, static_cast<int>(e)};
  }
  ::CloseHandle(h);
  return p;
}

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  ::localtime_s(&tm, &t);
  return tm;
}

bool IsTerminal(std::FILE* f) { return ::_isatty(::_fileno(f)) != 0; }

void SetBinaryMode(std::FILE* f) { ::_setmode(::_fileno(f), _O_BINARY); }

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
const std::function<void()>* host_main = nullptr;
const std::function<void(unsigned)>* host_control = nullptr;
char service_name[] = "Tarnwick";

// Runs on the dispatcher's thread, the one that called the dispatcher.
VOID WINAPI ControlHandler(DWORD control) { (*host_control)(control); }

// The service thread the dispatcher creates.
// Set once the service thread is done with everything of ours: the
// dispatcher returns as soon as STOPPED is reported, while that thread may
// still be finishing the report, and the process must not exit under it.
HANDLE service_thread_done = nullptr;
std::atomic<bool> service_thread_started{false};

VOID WINAPI ServiceMainEntry(DWORD, LPSTR*) {
  service_thread_started = true;
  status_handle = ::RegisterServiceCtrlHandlerA(service_name, ControlHandler);
  if (!status_handle)
    SystemLogWrite(LogLevel::Information, "RegisterServiceCtrlHandler");
  else
    (*host_main)();
  ::SetEvent(service_thread_done);
}

}  // namespace

void PublishServiceStatus(int state, unsigned controls_accepted, unsigned long check_point,
                          unsigned long wait_hint, const char*) {
  if (!status_handle) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = static_cast<DWORD>(state);
  status.dwControlsAccepted = controls_accepted;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = check_point;
  status.dwWaitHint = wait_hint;
  ::SetServiceStatus(status_handle, &status);
}

bool RunServiceHost(const std::function<void()>& service_main,
                    const std::function<void(unsigned)>& on_control) {
  host_main = &service_main;
  host_control = &on_control;
  service_thread_done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {{service_name, ServiceMainEntry}, {nullptr, nullptr}};
  bool dispatched = ::StartServiceCtrlDispatcherA(table) != 0;
  if (service_thread_started && service_thread_done)
    ::WaitForSingleObject(service_thread_done, 10000);
  return dispatched;
}

namespace {

// Closes a service-manager handle when its scope ends.
struct ScHandle {
  SC_HANDLE h;
  explicit ScHandle(SC_HANDLE handle) : h(handle) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() {
    if (h) ::CloseServiceHandle(h);
  }
};

}  // namespace

bool InstallService(const InstallOptions&) {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    std::printf("Cannot install service (%lu)\n", ::GetLastError());
    return false;
  }
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.h) {
    std::printf("OpenSCManager failed (%lu)\n", ::GetLastError());
    return false;
  }
  // The wide call: the narrow one's dependency list is garbled under Wine.
  ScHandle service(::CreateServiceW(manager.h, L"Tarnwick", L"Tarnwick", SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, path, nullptr, nullptr,
                                    L"Eventlog\0LanmanServer\0", nullptr, nullptr));
  if (!service.h) {
    std::printf("CreateService failed (%lu)\n", ::GetLastError());
    return false;
  }
  std::printf("Service installed successfully\n");
  return true;
}

bool DeleteService(const std::string&) {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.h) {
    std::printf("OpenSCManager failed (%lu)\n", ::GetLastError());
    return false;
  }
  ScHandle service(::OpenServiceW(manager.h, L"Tarnwick", DELETE));
  if (!service.h) {
    std::printf("OpenService failed (%lu)\n", ::GetLastError());
    return false;
  }
  if (!::DeleteService(service.h)) {
    std::printf("DeleteService failed (%lu)\n", ::GetLastError());
    return false;
  }
  std::printf("Service deleted successfully\n");
  return true;
}

}  // namespace tarnwick::platform
