#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "forwarding/forwarding.h"
#include "platform/file_system.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "service/event_log.h"
#include "settings/settings.h"

namespace tarnwick {

namespace fs = std::filesystem;

std::mutex ForwardConnectionLock;
std::mutex XmitChainLock;
platform::Socket ForwardSocket;
SslCtxPtr ForwardContext;
std::shared_ptr<ManualEvent> XmitChain;
std::atomic<bool> CloseRequested{false};
ForwardQueueWriter ForwardQueue;
fs::path ForwardRoot;

namespace {

// Saves with a transmit thread, and how many such threads are alive.
std::mutex registry_mutex;
std::condition_variable registry_changed;
std::set<std::string> registered;
int live_threads = 0;

std::thread closure_thread;

// Transmit threads are joined, not detached: the library's per-thread
// clean-up at a thread's end must be over before the process exits. Only
// the worker touches this list.
struct TransmitThread {
  std::thread thread;
  std::shared_ptr<ManualEvent> ended;
};
std::vector<TransmitThread> transmit_threads;

void JoinEndedTransmitThreads() {
  std::erase_if(transmit_threads, [](TransmitThread& t) {
    if (!t.ended->IsSet()) return false;
    t.thread.join();
    return true;
  });
}

std::string RegistryKey(const std::string& repo, const std::string& save) { return repo + '\t' + save; }

// Reports a failed preparation step. The save's forwarding record stays, so
// the next start hands it off again; the relay goes on.
bool PrepFailure(bool /*replay*/, const char* report, int code, bool /*printed*/) {
  ReportFailure(report, code);
  return false;
}

bool HandOff(const std::string& repo, const std::string& save, bool replay) {
  if (!RegisterTransmission(repo, save)) {
    SvcReportEvent("already being forwarded, not handed off again: " + repo + "/" + save,
                   EventType::Information);
    return false;
  }
  auto fail = [&](const char* report, int code, bool printed) {
    TransmissionEnded(repo, save);
    return PrepFailure(replay, report, code, printed);
  };
  std::error_code ec;
  const fs::path saves = ForwardRoot / SAVES_DIR;
  if (!fs::is_directory(saves, ec)) return fail("chdir(SAVES_DIR)", ec ? ec.value() : ENOENT, true);
  if (!fs::is_directory(saves / repo, ec)) return fail("chdir(repo_name2)", ec ? ec.value() : ENOENT, true);
  std::FILE* save_file = std::fopen((saves / repo / save).string().c_str(), "rb");
  if (!save_file) return fail("fopen(save_name, \"rb\")", errno, false);

  auto fail_open = [&](const char* report, int code) {
    std::fclose(save_file);
    return fail(report, code, false);
  };
  const fs::path forwards = ForwardRoot / FRWD_DIR;
  fs::create_directory(forwards, ec);
  if (!fs::is_directory(forwards, ec)) return fail_open("chdir(FRWD_DIR)", ec ? ec.value() : ENOTDIR);
  fs::create_directory(forwards / repo, ec);
  if (!fs::is_directory(forwards / repo, ec)) return fail_open("chdir(repo_name)", ec ? ec.value() : ENOTDIR);
  // "a" creates an empty progress file and keeps an existing offset.
  const fs::path progress = forwards / repo / save;
  std::FILE* p = std::fopen(progress.string().c_str(), "a");
  if (!p) return fail_open(" fopen(save_name", errno);
  if (std::fclose(p) != 0) return fail_open(" fopen(fclosesave_name", errno);
  fs::path absolute = fs::absolute(progress, ec);
  if (ec) return fail_open("realpath(save_name", ec.value());

  XmitRequest request{repo, save, absolute, save_file, nullptr, std::make_shared<ManualEvent>()};
  {
    // Joining the chain here, on the worker, keeps transmissions in
    // hand-off order.
    std::lock_guard lock(XmitChainLock);
    request.predecessor = XmitChain;
    XmitChain = request.done;
  }
  JoinEndedTransmitThreads();
  try {
    auto ended = request.done;
    transmit_threads.push_back({std::thread(XmitThread, std::move(request)), std::move(ended)});
  } catch (const std::system_error& e) {
    ReportFailure("_beginthread(XmitThread)", e.code().value());
    FatalError("error");
  }
  return true;
}

}  // namespace

bool RegisterTransmission(const std::string& repo, const std::string& save) {
  std::lock_guard lock(registry_mutex);
  if (!registered.insert(RegistryKey(repo, save)).second) return false;
  ++live_threads;
  return true;
}

void TransmissionEnded(const std::string& repo, const std::string& save) {
  std::lock_guard lock(registry_mutex);
  registered.erase(RegistryKey(repo, save));
  --live_threads;
  registry_changed.notify_all();
}

void ReadForwardSettings(const IniFile& ini) {
  g_settings.forward_host = ini.GetString("Forward", "Host", "", 480);
  g_settings.forward_port = ini.GetString("Forward", "Port", "1026", 280);
  g_settings.forward_peer_cn = ini.GetString("Forward", "PeerCN", "", 560);
  if (g_settings.ForwardingConfigured() && g_settings.ForwardDials())
    ForwardContext = TlsContextFactory(g_settings.forward_peer_cn, /*client_role=*/true,
                                       /*forward_hop=*/true, "");
}

void ReplayForwardQueue(const fs::path& backup_root) {
  ForwardRoot = backup_root;
  const fs::path queue = backup_root / TOFORWARD;
  std::FILE* f = std::fopen(queue.string().c_str(), "a+");
  if (!f) {
    ReportFailure("fopen(TOFORWARD, \"a+\")", errno);
    FatalError("error");
  }
  std::string text;
  std::rewind(f);
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, f)) text.append(buf, n);
  std::fclose(f);

  std::istringstream lines(text);
  std::string line;
  for (long line_no = 1; std::getline(lines, line); ++line_no) {
    if (line.find_first_not_of(" \t\r\v\f") == std::string::npos) continue;
    std::optional<QueueEntry> entry = ParseQueueLine(line);
    if (!entry) {
      // One bad line must not cost the lines behind it.
      ReportFailure("toforward line", line_no);
      continue;
    }
    HandOff(entry->repo, entry->save, /*replay=*/true);
  }

  if (!ForwardQueue.Open(queue)) {
    ReportFailure("fopen(TOFORWARD, \"w+\")", errno);
    FatalError("error");
  }
  if (!g_settings.InboundDials()) {
    try {
      closure_thread = std::thread(ClosureListener);
    } catch (const std::system_error& e) {
      ReportFailure("_beginthread(XmitThread)", e.code().value());
      FatalError("error");
    }
  }
}

bool CreateForwardRecord(const std::string& repo, const std::string& save) {
  platform::FileSystem& f = platform::Fs();
  const fs::path forwards = ForwardRoot / FRWD_DIR, dir = forwards / repo;
  int e = 0;
  for (const fs::path& d : {forwards, dir}) {
    std::error_code ec;
    if (fs::is_directory(d, ec)) continue;
    if ((e = f.CreateDirectory(d)) || (e = f.SyncDirectory(d.parent_path()))) break;
  }
  // A fresh record starts at byte 0: nothing of a save can have been sent
  // before it was complete.
  if (e == 0) e = platform::WriteFileAtomically(dir / save, "0", ForwardRoot / TEMP_DIR);
  if (e != 0) {
    ReportFailure(" fopen(save_name", e);
    SvcReportEvent("cannot record " + repo + "/" + save + " for forwarding: " +
                       platform::ErrorText(e) + "; the save stays pending",
                   EventType::Error);
    return false;
  }
  return true;
}

void ForwardHandOff(const std::string& repo, const std::string& save) {
  HandOff(repo, save, /*replay=*/false);
}

void ForwardUnblockForStop() {
  if (!g_settings.ForwardingConfigured()) return;
  if (!g_settings.ForwardDials()) {
    std::lock_guard lock(ForwardConnectionLock);
    ForwardSocket.Shutdown();
  }
  UnblockClosureListener();
}

void ForwardCleanup() {
  if (!g_settings.ForwardingConfigured()) return;
  {
    std::unique_lock lock(registry_mutex);
    registry_changed.wait(lock, [] { return live_threads == 0; });
  }
  for (TransmitThread& t : transmit_threads) t.thread.join();
  transmit_threads.clear();
  ForwardQueue.Close();
  if (closure_thread.joinable()) closure_thread.join();
}

}  // namespace tarnwick
