#include <cstdio>
#include <mutex>
#include <string>
#include <filesystem>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "service/event_log.h"
#include "service/install.h"
#include "service/command_line.h"
#include "service/service.h"
#include "tarnwick_version.h"
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
    // Bounded well below the stop's promise: a sender whose closure port
    // is black-holed must not hold the stop (the streams are cut below
    // whether the closure got through or not).
    TlsSessionPtr closure = OutboundConnection(g_settings.host, g_settings.peer_cn,
                                               InboundContext.get(), g_settings.closure_port,
                                               /*quiet=*/true, /*stoppable=*/false, kStopClosureDialMs);
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

// The directory settings.ini and the start-up PEM files are read from.
std::string ConfigDirectory() {
  if (!g_settings.config_dir.empty()) return g_settings.config_dir;
  std::string path = platform::ExecutablePath();
  if (path.empty()) return "";
  auto last = path.rfind(platform::kPathSeparator);
  if (last == std::string::npos) {
    // settings.ini and the PEM files are found beside the executable only
    // when the manager started it from a full path.
    ReportFailure("last_slash", 0);
    FatalError("last_slash");
  }
  return last == 0 ? path.substr(0, 1) : path.substr(0, last);
}

void SvcMain(int argc, char** argv) {
  ReportSvcStatus(ServiceState::StartPending, 0, 3000);
  const std::string dir = ConfigDirectory();
  if (dir.empty())
    FailFatally("", "GetModuleFileName", 0,
                "cannot read the program's own path, where settings.ini is looked for; start it with --dir DIR");
  if (!platform::ChangeDirectory(dir)) {
    const int e = errno;
    SvcReportEvent("cannot use the configuration directory " + dir + ": " + platform::ErrorText(e),
                   EventType::Error);
    ReportFailure("chdir(configuration directory)", e);
    FatalError("chdir");
  }
  ReceiverWorker(argc, argv);
}

namespace {

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(dir, ec);
  return ec ? dir : p.lexically_normal().string();
}

}  // namespace

int ServiceEntry(int argc, char** argv) {
  using Verb = CommandLine::Verb;
  const CommandLine cl = ParseCommandLine(argc, argv);
  if (!cl.dir.empty()) g_settings.config_dir = Absolute(cl.dir);
  switch (cl.verb) {
    case Verb::Bad:
      std::fprintf(stderr, "tarnwick: %s\n%s", cl.error.c_str(), kRelayUsage);
      return 2;
    case Verb::Help:
      std::fputs(kRelayUsage, stdout);
      return 0;
    case Verb::Version:
      std::printf("tarnwick %s\n", kVersion);
      return 0;
    case Verb::Check:
      return RunCheck();
    case Verb::Status:
      return RunStatus(cl.json);
    case Verb::Install:
      return InstallRelayService(cl.name, g_settings.config_dir, cl.user) ? 0 : 1;
    case Verb::Delete: {
      const bool deleted = DeleteRelayService(cl.name, g_settings.config_dir);
      if (!platform::kDeleteThenHost) return deleted ? 0 : 1;
      break;
    }
    case Verb::Run:
      break;
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
