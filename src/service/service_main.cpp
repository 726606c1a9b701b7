#include <cstdio>
#include <mutex>
#include <string>
#include <algorithm>
#include <cctype>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "service/event_log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace tarnwick {

std::atomic<bool> StopRequested{false};
ManualEvent WorkerDone;
ManualEvent StopEvent;

void ManualEvent::Signal() {
  std::lock_guard lock(m_);
  set_ = true;
  cv_.notify_all();
}

void ManualEvent::Wait() {
  std::unique_lock lock(m_);
  cv_.wait(lock, [this] { return set_; });
}

bool ManualEvent::WaitFor(long ms) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

bool ManualEvent::IsSet() {
  std::lock_guard lock(m_);
  return set_;
}

namespace {

std::mutex status_mutex;
std::condition_variable status_changed;
ServiceStatus status;
unsigned long check_point_counter = 1;
std::atomic<bool> stop_handled{false};

}  // namespace

const char* StateName(ServiceState s) {
  switch (s) {
    case ServiceState::Stopped: return "STOPPED";
    case ServiceState::StartPending: return "START_PENDING";
    case ServiceState::StopPending: return "STOP_PENDING";
    case ServiceState::Running: return "RUNNING";
  }
  return "UNKNOWN";
}

void ReportSvcStatus(ServiceState state, unsigned long exit_code, unsigned long wait_hint) {
  std::lock_guard lock(status_mutex);
  status.state = state;
  status.exit_code = exit_code;
  status.wait_hint = wait_hint;
  status.controls_accepted = state == ServiceState::StartPending ? 0 : kControlStop;
  if (state == ServiceState::Running || state == ServiceState::Stopped)
    status.check_point = 0;
  else
    status.check_point = check_point_counter++;
  platform::PublishServiceStatus(static_cast<int>(state), status.controls_accepted,
                                 status.check_point, status.wait_hint, StateName(state));
  status_changed.notify_all();
}

void SvcCtrlHandler(unsigned control) {
  if (control != kControlStop) return;
  if (stop_handled.exchange(true)) return;  // a repeated signal changes nothing
  ReportSvcStatus(ServiceState::StopPending, 0, 0);
  StopRequested = true;
  StopEvent.Signal();
  ShutdownPendingHandshakes();
  if (g_settings.InboundDials()) {
    // The sender's closure listener makes it abandon its transmission, so
    // the worker's blocked read ends.
    TlsSessionPtr closure = OutboundConnection(g_settings.host, g_settings.peer_cn,
                                               InboundContext.get(), g_settings.closure_port,
                                               /*quiet=*/true, /*stoppable=*/false);
    if (closure) {
      EndSession(std::move(closure));
    } else {
      // Without a closure listener the stop still goes on: a sender that is
      // gone ends the read by itself, one that is sending ends its stream.
      ReportFailure("connect", LastDialError());
    }
  } else {
    // Shut down rather than close: the worker may be about to call accept on
    // it, and a closed descriptor number could be reused by another socket.
    InboundSocket.Shutdown();
  }
  ForwardUnblockForStop();
  // A stream being stored gets a grace period to end; one that a stalled or
  // vanished sender holds open is then cut, its save left pending.
  CutInboundStreams(kStopGraceMs);
  WorkerDone.Signal();
}

void SvcMain(int argc, char** argv) {
  ReportSvcStatus(ServiceState::StartPending, 0, 3000);
  std::string path = platform::ExecutablePath();
  if (path.empty()) return;
  auto last = path.rfind(platform::kPathSeparator);
  if (last == std::string::npos) {
    // settings.ini and the PEM files are found beside the executable only
    // when the manager started it from a full path.
    ReportFailure("last_slash", 0);
    FatalError("last_slash");
  }
  platform::ChangeDirectory(last == 0 ? path.substr(0, 1) : path.substr(0, last));
  ReceiverWorker(argc, argv);
}

namespace {
bool SameWord(const char* arg, std::string_view word) {
  std::string_view a(arg);
  return std::equal(a.begin(), a.end(), word.begin(), word.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == y;
  });
}
}  // namespace

int ServiceEntry(int argc, char** argv) {
  if (argc > 1 && SameWord(argv[1], "install")) {
    platform::InstallService();
    return 0;
  }
  if (argc > 1 && SameWord(argv[1], "delete")) {
    platform::DeleteService();
    if (!platform::kDeleteThenHost) return 0;
  }
  bool hosted = platform::RunServiceHost([&] { SvcMain(argc, argv); },
                                         [](unsigned control) {
    if (control != kControlStop) return;
    // No control is accepted while starting: hold the stop until the
    // worker has reported RUNNING (or the process has ended).
    {
      std::unique_lock lock(status_mutex);
      status_changed.wait(lock, [] { return status.state != ServiceState::StartPending; });
    }
    SvcCtrlHandler(kControlStop);
  });
  if (!hosted) SvcReportEvent("StartServiceCtrlDispatcher", EventType::Information);
  return 0;
}

}  // namespace tarnwick
