// The control channel on Windows: a local named pipe that the system, the
// administrators and the pipe's owner (the service's user) may open.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>

#include "platform/control_channel.h"

namespace tarnwick::platform {

namespace {

// Closes a handle when its scope ends.
struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE x) : h(x == INVALID_HANDLE_VALUE ? nullptr : x) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h) ::CloseHandle(h);
  }
};

// Waits for an overlapped call on h to end within ms, or for wake: 0 with
// done set to the bytes moved, WAIT_TIMEOUT, ERROR_OPERATION_ABORTED when
// woken, or the call's error. A call cut short is cancelled and waited out,
// so that its buffer is never written after the return.
DWORD Finish(HANDLE h, OVERLAPPED& ov, BOOL started, DWORD ms, HANDLE wake, DWORD& done) {
  if (!started) {
    const DWORD e = ::GetLastError();
    if (e != ERROR_IO_PENDING && e != ERROR_PIPE_CONNECTED) return e;
    if (e == ERROR_PIPE_CONNECTED) return 0;
  }
  HANDLE waits[2] = {ov.hEvent, wake};
  const DWORD w = ::WaitForMultipleObjects(wake ? 2 : 1, waits, FALSE, ms);
  if (w != WAIT_OBJECT_0) {
    ::CancelIoEx(h, &ov);
    ::GetOverlappedResult(h, &ov, &done, TRUE);
    return w == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
  }
  return ::GetOverlappedResult(h, &ov, &done, FALSE) ? 0 : ::GetLastError();
}

DWORD Transfer(HANDLE h, bool write, char* buf, DWORD len, DWORD ms, HANDLE wake, DWORD& done) {
  OVERLAPPED ov{};
  Handle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event.h) return ::GetLastError();
  ov.hEvent = event.h;
  done = 0;
  const BOOL ok = write ? ::WriteFile(h, buf, len, nullptr, &ov) : ::ReadFile(h, buf, len, nullptr, &ov);
  return Finish(h, ov, ok, ms, wake, done);
}

}  // namespace

std::string ControlAddress(const std::string& config_dir, const std::string&) {
  const std::filesystem::path dir = std::filesystem::path(config_dir).lexically_normal();
  std::string name = (dir.has_filename() ? dir.filename() : dir.parent_path().filename()).string();
  // A pipe's name may hold anything but a backslash.
  std::replace(name.begin(), name.end(), '\\', '_');
  return "\\\\.\\pipe\\tarnwick-" + (name.empty() ? std::string("relay") : name);
}

struct ControlListener::Impl {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;
};

ControlListener::ControlListener() : impl_(std::make_unique<Impl>()) {
  impl_->wake = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

ControlListener::~ControlListener() {
  if (impl_->pipe != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->pipe);
  if (impl_->wake) ::CloseHandle(impl_->wake);
}

int ControlListener::Open(const std::string& address) {
  if (!impl_->wake) return static_cast<int>(::GetLastError());
  // Full access for the system, the administrators and the owner: not the
  // default's read access for everyone.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)",
                                                              SDDL_REVISION_1, &sd, nullptr))
    return static_cast<int>(::GetLastError());
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  impl_->pipe = ::CreateNamedPipeA(address.c_str(),
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   static_cast<DWORD>(kControlReplyMax), static_cast<DWORD>(kControlRequestMax), 0,
                                   &sa);
  const DWORD e = impl_->pipe == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
  ::LocalFree(sd);
  return static_cast<int>(e);
}

void ControlListener::Wake() {
  if (impl_->wake) ::SetEvent(impl_->wake);
}

void ControlListener::Serve(const std::function<std::string(const std::string&)>& handler) {
  HANDLE pipe = impl_->pipe;
  if (pipe == INVALID_HANDLE_VALUE) return;
  for (;;) {
    if (::WaitForSingleObject(impl_->wake, 0) == WAIT_OBJECT_0) return;
    OVERLAPPED ov{};
    Handle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.h) return;
    ov.hEvent = event.h;
    DWORD done = 0;
    const DWORD connected = Finish(pipe, ov, ::ConnectNamedPipe(pipe, &ov), INFINITE, impl_->wake, done);
    if (connected == ERROR_OPERATION_ABORTED) return;
    if (connected != 0 && connected != ERROR_NO_DATA) {
      // A pause instead of a spin; a wake ends it.
      if (::WaitForSingleObject(impl_->wake, 500) == WAIT_OBJECT_0) return;
      ::DisconnectNamedPipe(pipe);
      continue;
    }
    std::string request;
    bool whole = false;
    const ULONGLONG deadline = ::GetTickCount64() + kControlRequestMs;
    while (connected == 0 && !whole && request.size() <= kControlRequestMax) {
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) break;
      char buf[512];
      if (Transfer(pipe, false, buf, sizeof buf, static_cast<DWORD>(deadline - now), impl_->wake, done) != 0 ||
          done == 0)
        break;
      request.append(buf, done);
      const std::size_t end = request.find('\n');
      if (end != std::string::npos) {
        request.resize(end);
        if (!request.empty() && request.back() == '\r') request.pop_back();
        whole = end <= kControlRequestMax;
      }
    }
    if (whole) {
      std::string reply = handler(request);
      for (std::size_t sent = 0; sent < reply.size();) {
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(reply.size() - sent, 65536));
        if (Transfer(pipe, true, reply.data() + sent, n, kControlRequestMs, nullptr, done) != 0 || done == 0) break;
        sent += done;
      }
      ::FlushFileBuffers(pipe);
    }
    ::DisconnectNamedPipe(pipe);
  }
}

ControlResult ControlRequest(const std::string& address, const std::string& request, int timeout_ms) {
  ControlResult r;
  auto failed = [&r](DWORD e) {
    r.kind = e == ERROR_FILE_NOT_FOUND ? ControlResult::Kind::Absent : ControlResult::Kind::Failed;
    r.error = static_cast<int>(e);
    return r;
  };
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  Handle pipe;
  for (;;) {
    pipe.h = ::CreateFileA(address.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe.h != INVALID_HANDLE_VALUE) break;
    pipe.h = nullptr;
    const DWORD e = ::GetLastError();
    // The relay is answering someone else.
    const ULONGLONG now = ::GetTickCount64();
    if (e != ERROR_PIPE_BUSY || now >= deadline) return failed(e == ERROR_PIPE_BUSY ? WAIT_TIMEOUT : e);
    ::WaitNamedPipeA(address.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 1000)));
  }
  std::string line = request + "\n";
  DWORD done = 0;
  for (std::size_t sent = 0; sent < line.size(); sent += done) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return failed(WAIT_TIMEOUT);
    if (const DWORD e = Transfer(pipe.h, true, line.data() + sent, static_cast<DWORD>(line.size() - sent),
                                 static_cast<DWORD>(deadline - now), nullptr, done))
      return failed(e);
  }
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return failed(WAIT_TIMEOUT);
    char buf[4096];
    const DWORD e = Transfer(pipe.h, false, buf, sizeof buf, static_cast<DWORD>(deadline - now), nullptr, done);
    // The relay's end closes after the reply: read as the end of it.
    if (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED || (e == 0 && done == 0)) break;
    if (e != 0) return failed(e);
    if (r.text.size() < kControlReplyMax)
      r.text.append(buf, std::min<std::size_t>(done, kControlReplyMax - r.text.size()));
  }
  r.kind = ControlResult::Kind::Replied;
  return r;
}

}  // namespace tarnwick::platform
