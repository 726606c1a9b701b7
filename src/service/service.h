// Service lifecycle: status reports, the stop handler and the process-wide
// state that every loop reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace tarnwick {

enum class ServiceState { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };
const char* StateName(ServiceState s);

// Set once by the stop handler, never cleared; read by every loop.
extern std::atomic<bool> StopRequested;

// An unnamed manual-reset event, created non-signalled.
class ManualEvent {
 public:
  void Signal();
  void Wait();
  // Waits at most ms milliseconds; true when the event is set.
  bool WaitFor(long ms);
  bool IsSet();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
};

extern ManualEvent WorkerDone;
// Set together with StopRequested, for threads that sleep between tries.
extern ManualEvent StopEvent;

struct ServiceStatus {
  ServiceState state = ServiceState::StartPending;
  unsigned controls_accepted = 0;
  unsigned long exit_code = 0;
  unsigned long check_point = 0;
  unsigned long wait_hint = 0;
};

void ReportSvcStatus(ServiceState state, unsigned long exit_code, unsigned long wait_hint);

// Runs the worker on the calling thread after moving to the executable's
// directory; returns when the worker has reported STOPPED.
void SvcMain(int argc, char** argv);

// Control codes as the service manager sends them.
inline constexpr unsigned kControlStop = 1;
void SvcCtrlHandler(unsigned control);

// Process entry: the verbs (help, version, check, status, install, delete)
// run and end; otherwise the relay runs under the service host. Windows'
// "delete" removes the service and goes on to the host. Returns the exit
// status: 0, 1 when a verb failed, 2 for a bad command line.
int ServiceEntry(int argc, char** argv);

// The directory settings.ini and the PEM files are read from at start-up.
std::string ConfigDirectory();

// tarnwick check / tarnwick status: print, and return the exit status.
int RunCheck();
int RunStatus(bool json);

}  // namespace tarnwick
