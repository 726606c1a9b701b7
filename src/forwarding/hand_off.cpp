// The forward queue: saves handed off and waiting for the transmitter, in
// hand-off order, as names only; their durable state is their records.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "forwarding/forwarding.h"
#include "platform/file_system.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "reception/stream_header.h"
#include "service/event_log.h"
#include "settings/settings.h"

namespace tarnwick {

namespace fs = std::filesystem;

std::mutex ForwardConnectionLock;
platform::Socket ForwardSocket;
SslCtxPtr ForwardContext;
std::atomic<bool> Transmitting{false};
std::atomic<bool> CloseRequested{false};
fs::path ForwardRoot;

namespace {

std::mutex queue_mutex;
std::condition_variable queue_changed;
std::deque<QueueEntry> waiting;        // in hand-off order
std::optional<QueueEntry> current;     // taken by the transmitter, not yet done
std::set<std::string> known;           // waiting or current

std::thread transmitter, closure_thread;

std::string Key(const QueueEntry& e) { return e.repo + '\t' + e.save; }

std::string Describe(const QueueEntry& e) { return e.repo + "/" + e.save; }

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

void HandOff(const QueueEntry& e) {
  std::lock_guard lock(queue_mutex);
  if (!known.insert(Key(e)).second) {
    SvcReportEvent("already being forwarded, not handed off again: " + Describe(e), EventType::Information);
    return;
  }
  waiting.push_back(e);
  queue_changed.notify_all();
}

// A save a record or a queue line names, checked before it is handed off:
// there and complete. A record whose save is gone is removed.
bool Forwardable(const QueueEntry& e, bool from_queue_line) {
  const fs::path repo_dir = ForwardRoot / SAVES_DIR / e.repo;
  if (!fs::is_directory(repo_dir)) {
    ReportFailure("chdir(repo_name2)", ENOENT);
  } else if (!Exists(repo_dir / e.save)) {
    ReportFailure("fopen(save_name, \"rb\")", ENOENT);
  } else if (Exists(repo_dir / (e.save + std::string(kPendingSuffix)))) {
    // Handed off again when a stream completes it.
    return false;
  } else {
    return true;
  }
  if (Exists(RecordPath(ForwardRoot, e))) {
    SvcReportEvent("the save " + Describe(e) + " is gone; its forwarding record is removed",
                   EventType::Error);
    RemoveRecord(ForwardRoot, e);
  } else if (from_queue_line) {
    SvcReportEvent("toforward names " + Describe(e) + ", which is gone; skipped", EventType::Error);
  }
  return false;
}

std::vector<std::string> ReadQueueFile(const fs::path& file) {
  std::string text;
  int err = platform::ReadSmallFile(file, text, std::size_t(1) << 30);
  if (err != 0 && Exists(file)) ReportFailure("fopen(TOFORWARD, \"a+\")", err);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// toforward as a relay without records reads it: every save still to send.
void WriteQueueFile() {
  std::string text;
  {
    std::lock_guard lock(queue_mutex);
    if (current) text += FormatQueueLine(*current);
    for (const QueueEntry& e : waiting) text += FormatQueueLine(e);
  }
  if (int err = platform::WriteFileAtomically(ForwardRoot / TOFORWARD, text, ForwardRoot / TEMP_DIR))
    ReportFailure("fopen(TOFORWARD, \"w+\")", err);
}

// Every record under forwards/ whose save was not handed off yet, oldest
// save first: records outlive crashes, toforward does not.
void RecoverRecords() {
  struct Found {
    fs::file_time_type when;
    QueueEntry entry;
  };
  std::vector<Found> found;
  std::error_code ec;
  for (fs::directory_iterator repos(ForwardRoot / FRWD_DIR, ec), end; !ec && repos != end; repos.increment(ec)) {
    if (!repos->is_directory(ec)) continue;
    for (fs::directory_iterator saves(repos->path(), ec); !ec && saves != end; saves.increment(ec)) {
      QueueEntry e{repos->path().filename().string(), saves->path().filename().string()};
      if (!IsSafeName(e.repo) || !IsSafeSaveName(e.save)) continue;
      {
        std::lock_guard lock(queue_mutex);
        if (known.count(Key(e))) continue;
      }
      std::optional<ForwardRecord> rec = ReadRecord(ForwardRoot, e);
      if (rec && rec->set_aside) {
        SvcReportEvent("forwarding of " + Describe(e) +
                           " stays set aside after a conflict at the next relay; see the README",
                       EventType::Error);
        continue;
      }
      if (!Forwardable(e, false)) continue;
      std::error_code tec;
      found.push_back({fs::last_write_time(ForwardRoot / SAVES_DIR / e.repo / e.save, tec), e});
    }
    ec.clear();
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.when < b.when; });
  for (const Found& f : found) HandOff(f.entry);
}

}  // namespace

bool NextToForward(QueueEntry& entry) {
  std::unique_lock lock(queue_mutex);
  queue_changed.wait(lock, [] { return StopRequested || !waiting.empty(); });
  if (StopRequested) return false;
  entry = waiting.front();
  waiting.pop_front();
  current = entry;
  return true;
}

void ForwardDone(const QueueEntry& entry) {
  std::lock_guard lock(queue_mutex);
  known.erase(Key(entry));
  current.reset();
}

bool NothingToForward() {
  std::lock_guard lock(queue_mutex);
  return waiting.empty();
}

void WakeTransmitter() {
  std::lock_guard lock(queue_mutex);
  queue_changed.notify_all();
}

void ReadForwardSettings(const IniFile& ini) {
  g_settings.forward_host = ini.GetString("Forward", "Host", "", 480);
  g_settings.forward_port = ini.GetString("Forward", "Port", "1026", 280);
  g_settings.forward_peer_cn = ini.GetString("Forward", "PeerCN", "", 560);
  if (g_settings.ForwardingConfigured() && g_settings.ForwardDials())
    ForwardContext = TlsContextFactory(g_settings.forward_peer_cn, /*client_role=*/true,
                                       /*forward_hop=*/true, "");
}

std::string ForwardPemDirectory() {
  return g_settings.config_dir.empty() ? ForwardRoot.string() : g_settings.config_dir;
}

void ReplayForwardQueue(const fs::path& backup_root) {
  ForwardRoot = backup_root;
  // Temporary files of writes a crash cut short.
  std::error_code ec;
  for (fs::directory_iterator it(backup_root / TEMP_DIR, ec), end; !ec && it != end; it.increment(ec))
    platform::Fs().Remove(it->path());

  const std::vector<std::string> lines = ReadQueueFile(backup_root / TOFORWARD);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find_first_not_of(" \t\r\v\f") == std::string::npos) continue;
    std::optional<QueueEntry> entry = ParseQueueLine(line);
    if (!entry) {
      // One bad line must not cost the lines behind it.
      ReportFailure("toforward line", static_cast<long long>(i + 1));
      continue;
    }
    if (!Forwardable(*entry, true)) continue;
    // A line from a relay without records may come with no progress file,
    // or an empty one: both mean byte 0.
    int err = 0;
    if (!ReadRecord(backup_root, *entry, &err) && !Exists(RecordPath(backup_root, *entry))) {
      if ((err = WriteRecord(backup_root, *entry, ForwardRecord{})))
        ReportFailure(" fopen(save_name", err);  // still handed off: the queue line is written back at the stop
    }
    HandOff(*entry);
  }
  RecoverRecords();
  // Everything is in the records now; toforward is written again at the stop.
  if (int err = platform::WriteFileAtomically(backup_root / TOFORWARD, "", backup_root / TEMP_DIR))
    ReportFailure("fopen(TOFORWARD, \"w+\")", err);

  // Built once, here at start-up, so that a missing PEM file is a start-up
  // failure; contexts read their files from the backup root, or from the
  // configuration directory named with --dir.
  if (!g_settings.ForwardDials())
    ForwardContext = TlsContextFactory(g_settings.forward_peer_cn, /*client_role=*/false,
                                       /*forward_hop=*/true, ForwardPemDirectory(),
                                       /*require_cert=*/true);
  if (!g_settings.InboundDials()) OpenClosureListener();
  try {
    transmitter = std::thread(XmitThread);
    if (!g_settings.InboundDials()) closure_thread = std::thread(ClosureListener);
  } catch (const std::system_error& e) {
    ReportFailure("_beginthread(XmitThread)", e.code().value());
    FatalError("error");
  }
}

bool CreateForwardRecord(const std::string& repo, const std::string& save) {
  // A fresh record starts at byte 0: nothing of a save can have been sent
  // before it was complete.
  if (int err = WriteRecord(ForwardRoot, QueueEntry{repo, save}, ForwardRecord{})) {
    ReportFailure(" fopen(save_name", err);
    SvcReportEvent("cannot record " + repo + "/" + save + " for forwarding: " +
                       platform::ErrorText(err) + "; the save stays pending",
                   EventType::Error);
    return false;
  }
  return true;
}

void ForwardHandOff(const std::string& repo, const std::string& save) { HandOff(QueueEntry{repo, save}); }

void ForwardUnblockForStop() {
  if (!g_settings.ForwardingConfigured()) return;
  WakeTransmitter();
  if (!g_settings.ForwardDials()) {
    std::lock_guard lock(ForwardConnectionLock);
    ForwardSocket.Shutdown();
  }
  UnblockClosureListener();
}

void ForwardCleanup() {
  if (!g_settings.ForwardingConfigured()) return;
  if (transmitter.joinable()) transmitter.join();
  if (closure_thread.joinable()) closure_thread.join();
  WriteQueueFile();
}

}  // namespace tarnwick
