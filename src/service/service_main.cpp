// The process entry and the relay's life under the service manager: the
// status reports (START_PENDING, RUNNING, STOP_PENDING, STOPPED) and the
// stop.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "base/event_log.h"
#include "channel/tls.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "service/command_line.h"
#include "service/control.h"
#include "service/install.h"
#include "service/relay.h"
#include "service/service.h"
#include "tarnwick_version.h"

namespace tarnwick {

namespace {

enum class State { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };
using platform::kControlStop;

const char* StateName(State s) {
  switch (s) {
    case State::Stopped: return "STOPPED";
    case State::StartPending: return "START_PENDING";
    case State::StopPending: return "STOP_PENDING";
    case State::Running: return "RUNNING";
  }
  return "UNKNOWN";
}

// The status record the service manager is shown, one per process.
class ServiceStatus {
 public:
  void Report(State state, unsigned long exit_code, unsigned long wait_hint, EventLog& log) {
    std::lock_guard lock(m_);
    log.StateChange(StateName(state));
    state_ = state;
    // No control is accepted while starting; the stop alone afterwards.
    const unsigned accepted = state == State::StartPending ? 0 : kControlStop;
    const unsigned long check_point = state == State::Running || state == State::Stopped ? 0 : check_point_++;
    (void)exit_code;
    platform::PublishServiceStatus(static_cast<int>(state), accepted, check_point, wait_hint, StateName(state));
    changed_.notify_all();
  }
  // Holds a stop until the start is over (RUNNING, or the process ends).
  void WaitStarted() {
    std::unique_lock lock(m_);
    changed_.wait(lock, [this] { return state_ != State::StartPending; });
  }

 private:
  std::mutex m_;
  std::condition_variable changed_;
  State state_ = State::StartPending;
  unsigned long check_point_ = 1;
};

// Runs the relay of config_dir until it is stopped; the exit status.
int RunRelay(const std::filesystem::path& config_dir, bool from_dir, ServiceStatus& status,
             std::atomic<Relay*>& running, EventLog& log) {
  status.Report(State::StartPending, 0, 3000, log);
  auto fail = [&](const Status& why) {
    log.Error(why);
    status.Report(State::Stopped, 1, 0, log);
    return 1;
  };
  if (config_dir.empty())
    return fail(Status::Error(Status::Kind::kInvalid,
                              "cannot read the program's own path, where settings.ini is looked for; "
                              "start it with --dir DIR",
                              "GetModuleFileName", 0));
  InitTlsLibrary();
  if (int r = platform::StartSockets(); r != 0)
    return fail(Status::Error(Status::Kind::kIoError, "cannot start the socket library", "WSAStartup", r));
  // What "tarnwick check" would find, said before anything is built: a
  // relay that cannot work refuses to start, before it reports RUNNING.
  std::unique_ptr<Relay> relay;
  if (const Status st = Relay::StartFromDirectory(config_dir, from_dir, platform::RealFileSystem(), log, relay);
      !st.ok())
    return fail(st);
  running = relay.get();
  // Only now: the files, ports and root are known to be good, and systemd
  // takes READY=1 to mean so.
  status.Report(State::Running, 0, 0, log);
  relay->Run();
  running = nullptr;
  relay.reset();
  status.Report(State::Stopped, 0, 0, log);
  return 0;
}

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(dir, ec);
  return ec ? dir : p.lexically_normal().string();
}

// Installed from the package, the program lives in /usr/bin and its relays
// in /etc/tarnwick/NAME: without --dir and without a settings.ini beside the
// program, every file it would look for there (/usr/bin/cert.pem) only
// misleads. An error looking is not taken for absence.
bool NoRelayBesideProgram(const CommandLine& cl, const std::filesystem::path& config_dir) {
  using Verb = CommandLine::Verb;
  if (!platform::kServiceInstances || !cl.dir.empty() || config_dir.empty()) return false;
  if (cl.verb != Verb::Run && cl.verb != Verb::Check && cl.verb != Verb::Status && cl.verb != Verb::Verify &&
      cl.verb != Verb::Drop)
    return false;
  std::error_code ec;
  if (std::filesystem::exists(config_dir / "settings.ini", ec) || ec) return false;
  std::fprintf(stderr,
               "tarnwick: no --dir, and no settings.ini beside the program in %s\n"
               "  packaged relays live in %s/NAME: give --dir %s/NAME, or run the unit tarnwick@NAME\n"
               "  (systemctl start tarnwick@NAME); \"tarnwick list\" shows them\n",
               config_dir.string().c_str(), kConfigRoot, kConfigRoot);
  return true;
}

}  // namespace

std::filesystem::path ConfigDirectory(const std::string& dir) {
  if (!dir.empty()) return Absolute(dir);
  const std::filesystem::path exe = platform::ExecutablePath();
  return exe.empty() ? exe : exe.parent_path();
}

int ServiceEntry(int argc, char** argv) {
  using Verb = CommandLine::Verb;
  const CommandLine cl = ParseCommandLine(argc, argv);
  const std::filesystem::path config_dir = ConfigDirectory(cl.dir);
  if (NoRelayBesideProgram(cl, config_dir)) return 2;
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
      return RunCheck(config_dir, !cl.dir.empty());
    case Verb::Status:
      return RunStatus(config_dir, cl.target, cl.json);
    case Verb::Verify:
      return RunVerify(config_dir, cl.target, cl.json);
    case Verb::Drop:
      return RunDrop(config_dir, cl.target, cl.force);
    case Verb::Retry:
      return RunSteer(config_dir, "retry");
    case Verb::Reload:
      return RunSteer(config_dir, "reload");
    case Verb::List:
      return RunList(cl.target);
    case Verb::Install:
      return InstallRelayService(cl.name, cl.dir.empty() ? "" : config_dir.string(), cl.user) ? 0 : 1;
    case Verb::Delete: {
      const bool deleted = DeleteRelayService(cl.name, cl.dir.empty() ? "" : config_dir.string());
      if (!platform::kDeleteThenHost) return deleted ? 0 : 1;
      break;
    }
    case Verb::Run:
      break;
  }
  EventLog log(SystemSink());
  // Static: the signal thread may still deliver a stop after this function
  // has returned (a second Ctrl-C during the exit), and must not find them gone.
  static ServiceStatus status;
  static std::atomic<Relay*> running{nullptr};
  static std::atomic<bool> stop_handled{false};
  int exit_status = 0;
  const bool hosted = platform::RunServiceHost(
      [&] { exit_status = RunRelay(config_dir, !cl.dir.empty(), status, running, log); },
      [&](unsigned control) {
        if (control == platform::kControlParamChange) {
          // Answered in the log: the reload writes what it did.
          status.WaitStarted();
          if (Relay* relay = running.load(); relay && !stop_handled.load()) relay->Reload();
          return;
        }
        if (control != kControlStop || stop_handled.exchange(true)) return;  // a repeated signal changes nothing
        status.WaitStarted();
        Relay* relay = running.load();
        if (!relay) return;  // the start failed: the process is ending
        status.Report(State::StopPending, 0, 0, log);
        relay->Stop();
      });
  if (!hosted) log.Info("StartServiceCtrlDispatcher");
  return exit_status;
}

}  // namespace tarnwick
