// BuildStatus: the backup root as `tarnwick status` sees it. What lies
// under the root is read through the file seam, which does not follow
// links, so a save or a folder that is a link shows here as the relay
// itself treats it.
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "base/text.h"
#include "layout/backup_root.h"
#include "layout/records.h"
#include "layout/stream_header.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "service/status/status_view.h"

namespace tarnwick {

namespace {

using FileType = platform::FileInfo::Type;

// A marker holds a count of at most 20 characters; more is not a count.
constexpr std::size_t kMarkerCap = 64;
// toforward holds one short line per save; a backlog of a million saves
// still fits.
constexpr std::size_t kQueueCap = std::size_t(64) << 20;

std::string Where(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The system's words for a failed read: the path is in the problem's own
// words already.
std::string Why(const Status& s) { return platform::ErrorText(static_cast<int>(s.code())); }

void ParseMarker(std::string_view text, SaveStatus& s) {
  std::string_view t = TrimBlanks(text);
  const bool negative = !t.empty() && t.front() == '-';
  if (negative) t.remove_prefix(1);
  const std::optional<std::int64_t> n = ParseDecimal(t);
  if (!n) {
    s.marker = MarkerKind::NotANumber;
    s.marker_text = std::string(text.substr(0, kMarkerCap));
  } else if (*n == 0) {
    s.marker = MarkerKind::Unknown;
  } else {
    s.marker = MarkerKind::Count;
    s.missing = negative ? -*n : *n;
  }
}

// A unix time as UTC ISO-8601.
std::string UtcTime(std::int64_t t) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(t)));
}

// File times count from the platform's own epoch: 1601 on Windows.
std::int64_t UnixSeconds(std::int64_t modified_ns) {
  std::int64_t seconds = modified_ns / 1000000000;
#ifdef _WIN32
  seconds -= 11644473600;
#endif
  return seconds;
}

// Whether a failed look at an entry means the walk missed something: one
// that went away since its folder was listed (a save forwarded, dropped)
// is simply gone.
bool Unread(int e) { return e != 0 && !platform::IsNotFound(e); }

void ReadSaveIdentity(const BackupRoot& root, const std::string& repo, SaveStatus& s, std::vector<std::string>& problems,
                      std::size_t& unread) {
  const std::string where = Where(Where(kIdsDir, repo), s.name);
  const Status st = root.ReadIdentity(repo, s.name, s.id);
  if (st.IsNotFound()) return;
  if (st.kind() == Status::Kind::kInvalid) {
    s.identity = SaveStatus::Identity::Damaged;
    s.identity_error = "the record is damaged";
    problems.push_back(where + ": damaged; `tarnwick verify` reports the save's digest beside it");
    return;
  }
  if (!st.ok()) {
    s.identity = SaveStatus::Identity::Unreadable;
    s.identity_error = Why(st);
    problems.push_back(where + ": cannot be read: " + s.identity_error);
    ++unread;
    return;
  }
  s.identity = SaveStatus::Identity::Recorded;
  if (s.id.FailedVerification())
    problems.push_back(Where(Where(kSavesDir, repo), s.name) + ": failed its verification at " +
                       UtcTime(s.id.verified_at) +
                       " (its bytes do not match its identity); not forwarded until `tarnwick verify` finds it good");
}

RepoStatus ReadRepo(const BackupRoot& root, const std::string& name, std::int64_t now,
                    std::vector<std::string>& problems, std::size_t& unread) {
  RepoStatus repo;
  repo.name = name;
  const std::string where = Where(kSavesDir, name);
  struct Slot {
    SaveStatus save;
    bool file = false;
  };
  std::map<std::string, Slot> slots;
  std::vector<std::string> entries;
  // A listing cut short still shows what it got.
  const int listed = root.Fs().List(root.RepoDir(name), entries);
  for (const std::string& entry : entries) {
    if (entry.size() > kPendingSuffix.size() && entry.ends_with(kPendingSuffix)) {
      const std::string save = entry.substr(0, entry.size() - kPendingSuffix.size());
      Slot& slot = slots[save];
      slot.save.name = save;
      slot.save.pending = true;
      platform::FileInfo marker;
      if (root.Fs().Stat(root.MarkerPath(name, save), marker) == 0)
        slot.save.modified = std::max(slot.save.modified, UnixSeconds(marker.modified_ns));
      std::string text;
      if (const Status s = root.ReadSmall(root.MarkerPath(name, save), text, kMarkerCap); !s.ok()) {
        slot.save.marker = MarkerKind::Unreadable;
        slot.save.marker_text = Why(s);
      } else {
        ParseMarker(text, slot.save);
      }
      continue;
    }
    platform::FileInfo info;
    if (const int e = root.Fs().Stat(root.SavePath(name, entry), info); e != 0 || info.type != FileType::Regular) {
      unread += Unread(e);
      problems.push_back(Where(where, entry) + ": " +
                         (e ? "cannot be examined: " + platform::ErrorText(e) : std::string("not a regular file")) +
                         "; not a save");
      continue;
    }
    Slot& slot = slots[entry];
    slot.save.name = entry;
    slot.save.bytes = info.size;
    slot.save.modified = std::max(slot.save.modified, UnixSeconds(info.modified_ns));
    slot.file = true;
  }
  if (listed) problems.push_back(where + ": cannot be listed completely: " + platform::ErrorText(listed));
  unread += listed != 0;
  repo.saves.reserve(slots.size());
  for (auto& [save_name, slot] : slots) {
    SaveStatus& s = slot.save;
    if (!slot.file) {
      // The marker goes down before the first byte: no file yet means
      // nothing arrived.
      s.no_data = true;
      s.bytes = 0;
    }
    ReadSaveIdentity(root, name, s, problems, unread);
    (s.pending ? repo.pending : repo.complete) += 1;
    if (s.pending && s.modified > 0) {
      s.stale = now - s.modified >= kStalePending;
      repo.stale += s.stale ? 1 : 0;
      if (repo.oldest_pending == 0 || s.modified < repo.oldest_pending) repo.oldest_pending = s.modified;
    }
    if (s.bytes > 0) repo.bytes += s.bytes;
    repo.saves.push_back(std::move(s));
  }
  return repo;
}

// Lists dir, one of the root's own folders: false when it is absent (not a
// problem: nothing was stored there yet) or is not a folder; that, and a
// listing cut short, go into problems.
bool ListFolder(const BackupRoot& root, const BackupRoot::path& dir, const std::string& label,
                std::vector<std::string>& names, StatusReport& r) {
  platform::FileInfo info;
  if (const int e = root.Fs().Stat(dir, info); e != 0) {
    if (!platform::IsNotFound(e)) {
      r.problems.push_back(label + ": cannot be examined: " + platform::ErrorText(e));
      ++r.unread;
    }
    return false;
  }
  if (info.type != FileType::Directory) {
    r.problems.push_back(label + ": not a directory");
    ++r.unread;
    return false;
  }
  if (const int e = root.Fs().List(dir, names)) {
    r.problems.push_back(label + ": cannot be listed completely: " + platform::ErrorText(e));
    ++r.unread;
  }
  return true;
}

// Whether path is a folder; when it is not, or cannot be looked at, says
// so in problems, followed by skipped (what is passed over because of it).
bool IsFolder(const BackupRoot& root, const BackupRoot::path& path, const std::string& label, const char* skipped,
              StatusReport& r) {
  platform::FileInfo info;
  const int e = root.Fs().Stat(path, info);
  if (e == 0 && info.type == FileType::Directory) return true;
  r.unread += Unread(e);
  auto& problems = r.problems;
  problems.push_back(label + ": " + (e ? "cannot be examined: " + platform::ErrorText(e) : "not a directory") + skipped);
  return false;
}

void ReadSaves(const BackupRoot& root, StatusReport& r) {
  std::vector<std::string> names;
  if (!ListFolder(root, root.SavesDir(), kSavesDir, names, r)) return;
  for (const std::string& name : names)
    if (IsFolder(root, root.RepoDir(name), Where(kSavesDir, name), "; not a repository", r))
      r.repos.push_back(ReadRepo(root, name, r.now, r.problems, r.unread));
  std::sort(r.repos.begin(), r.repos.end(), [](const RepoStatus& a, const RepoStatus& b) { return a.name < b.name; });
}

void ReadAside(const BackupRoot& root, StatusReport& r) {
  std::vector<std::string> repos;
  if (!ListFolder(root, root.AsideDir(), kAsideDir, repos, r)) return;
  std::sort(repos.begin(), repos.end());
  for (const std::string& repo : repos) {
    const std::string where = Where(kAsideDir, repo);
    if (!IsFolder(root, root.AsideDir() / repo, where, "", r)) continue;
    std::vector<std::string> names;
    const int listed = root.Fs().List(root.AsideDir() / repo, names);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      platform::FileInfo info;
      if (const int e = root.Fs().Stat(root.AsideDir() / repo / name, info); e != 0) {
        r.problems.push_back(Where(where, name) + ": cannot be examined: " + platform::ErrorText(e));
        r.unread += Unread(e);
        continue;
      }
      AsideEntry a{repo, name, info.size, UtcTime(UnixSeconds(info.modified_ns))};
      r.problems.push_back(Where(where, name) + ": " + std::to_string(a.bytes) + " bytes set aside, last written " +
                           a.modified + ": they did not match their identity; look at them, then remove them with "
                           "`tarnwick drop " + Where(where, name) + "`");
      r.aside.push_back(std::move(a));
    }
    if (listed) r.problems.push_back(where + ": cannot be listed completely: " + platform::ErrorText(listed));
    r.unread += listed != 0;
  }
}

const SaveStatus* FindSave(const StatusReport& r, const std::string& repo, const std::string& save) {
  auto ri = std::lower_bound(r.repos.begin(), r.repos.end(), repo,
                             [](const RepoStatus& a, const std::string& n) { return a.name < n; });
  if (ri == r.repos.end() || ri->name != repo) return nullptr;
  auto si = std::lower_bound(ri->saves.begin(), ri->saves.end(), save,
                             [](const SaveStatus& a, const std::string& n) { return a.name < n; });
  if (si == ri->saves.end() || si->name != save) return nullptr;
  return &*si;
}

void ReadRecords(const BackupRoot& root, StatusReport& r) {
  std::vector<std::string> repos;
  if (!ListFolder(root, root.ForwardsDir(), kForwardsDir, repos, r)) return;
  for (const std::string& repo : repos) {
    const std::string where = Where(kForwardsDir, repo);
    if (!IsFolder(root, root.ForwardsDir() / repo, where, "", r)) continue;
    std::vector<std::string> saves;
    const int listed = root.Fs().List(root.ForwardsDir() / repo, saves);
    for (const std::string& save : saves) {
      RecordStatus rec;
      rec.repo = repo;
      rec.save = save;
      const QueueEntry entry{repo, save};
      platform::FileInfo info;
      if (const int e = root.Fs().Stat(root.RecordPath(entry), info); e != 0 || info.type != FileType::Regular) {
        r.unread += Unread(e);
        r.problems.push_back(Where(where, save) + ": " +
                             (e ? "cannot be examined: " + platform::ErrorText(e) : std::string("not a regular file")) +
                             "; not a record");
        continue;
      }
      ForwardRecord fr;
      if (const Status s = root.ReadRecord(entry, fr); s.ok()) {
        rec.offset = fr.offset;
        rec.set_aside = fr.set_aside;
        if (fr.set_aside) rec.reason = fr.reason;
      } else {
        rec.readable = false;
        rec.error = Why(s);
        r.unread += !s.IsNotFound();
      }
      if (const SaveStatus* s = FindSave(r, rec.repo, rec.save)) {
        rec.save_exists = true;
        rec.save_pending = s->pending;
        rec.save_bytes = s->bytes;
        rec.save_modified = s->modified;
      }
      r.records.push_back(std::move(rec));
    }
    if (listed) r.problems.push_back(where + ": cannot be listed completely: " + platform::ErrorText(listed));
    r.unread += listed != 0;
  }
  std::sort(r.records.begin(), r.records.end(), [](const RecordStatus& a, const RecordStatus& b) {
    return std::tie(a.repo, a.save) < std::tie(b.repo, b.save);
  });
}

void ReadQueue(const BackupRoot& root, StatusReport& r) {
  std::string text;
  if (const Status s = root.ReadSmall(root.QueueFile(), text, kQueueCap + 1); !s.ok()) {
    // Absent is the normal case between two clean stops; anything there
    // that cannot be read (a dangling link included) is worth a word.
    bool there = false;
    root.Exists(root.QueueFile(), there);
    if (there) r.problems.push_back(std::string(kQueueFile) + ": cannot be read: " + Why(s));
    return;
  }
  r.queue_file = true;
  if (text.size() > kQueueCap) {
    r.problems.push_back(std::string(kQueueFile) + ": larger than " + std::to_string(kQueueCap) +
                         " bytes; only its start is shown");
    const std::size_t last = text.rfind('\n', kQueueCap);  // a cut line is not shown
    text.resize(last == std::string::npos ? 0 : last + 1);
  }
  std::size_t line_no = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t nl = text.find('\n', pos);
    const std::string_view line = std::string_view(text).substr(pos, nl == std::string::npos ? nl : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    ++line_no;
    if (line.find_first_not_of(" \t\r\v\f") == std::string_view::npos) continue;
    if (std::optional<QueueEntry> e = ParseQueueLine(line)) {
      r.queued.push_back({line_no, std::move(e->repo), std::move(e->save)});
    } else {
      r.bad_queue_lines.push_back({line_no, std::string(line.substr(0, 512))});
    }
  }
}

void ProbeRelay(const BackupRoot& root, StatusReport& r) {
  const platform::LockProbe p = platform::ProbeFileLock(root.LockFile().string());
  switch (p.result) {
    case platform::LockProbe::Result::Held: r.running = RelayRuns::Yes; return;
    case platform::LockProbe::Result::Free:
    case platform::LockProbe::Result::Absent: r.running = RelayRuns::No; return;
    case platform::LockProbe::Result::Error: break;
  }
  r.running = RelayRuns::Unknown;
  r.running_detail = std::string(kLockFile) + " cannot be looked at: " + platform::ErrorText(p.error);
  r.problems.push_back("cannot tell whether a relay runs: " + r.running_detail);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the transmitter's state, the records and the saves say an operator
// must look at.
void AddHealthProblems(StatusReport& r) {
  const TransmitterState& t = r.transmitter;
  const bool read = r.transmitter_file.status == TransmitterState::FileStatus::Read;
  // The last attempt failed and the one after it has not got through: an
  // attempt sending bytes now shows the hop works.
  if (read && t.last_outcome == AttemptState::Failed &&
      (t.state == AttemptState::Failed || t.state == AttemptState::Connecting))
    r.problems.push_back("forwarding to " + t.peer + " fails: the last attempt failed at " +
                         (t.attempt_ended.empty() ? std::string("an unknown time") : t.attempt_ended) +
                         " and none got through since" +
                         (t.failed_attempts > 0 ? " (" + Plural(static_cast<std::size_t>(t.failed_attempts),
                                                                "failed attempt", "failed attempts") + ")"
                                                : std::string()) +
                         (t.last_error.empty() ? std::string() : ": " + t.last_error));
  // Only a running relay waits: the state of a stopped one is history.
  const std::optional<std::int64_t> since = ParseUtcTimestamp(t.fetch_wait_since);
  if (read && r.running == RelayRuns::Yes && AttemptActive(t.state) && since &&
      r.now - *since >= std::chrono::duration_cast<std::chrono::seconds>(kFetchOverdue).count()) {
    constexpr std::string_view kListening = "listening on port ";
    const std::string port = t.peer.starts_with(kListening) ? t.peer.substr(kListening.size()) : t.peer;
    r.problems.push_back("the next relay has not fetched from port " + port + " for " +
                         std::to_string((r.now - *since) / 60) + " min; " +
                         Plural(r.waiting, "save waits", "saves wait"));
  }
  for (const RecordStatus& rec : r.records)
    if (rec.set_aside)
      r.problems.push_back(Where(Where(kForwardsDir, rec.repo), rec.save) + ": set aside after a " + rec.reason +
                           " at the next relay; not forwarded until an operator acts (see the README)");
  for (const RepoStatus& repo : r.repos) {
    if (!repo.stale) continue;
    const SaveStatus* oldest = nullptr;
    for (const SaveStatus& s : repo.saves)
      if (s.stale && (!oldest || s.modified < oldest->modified)) oldest = &s;
    r.problems.push_back(Where(kSavesDir, repo.name) + ": " +
                         Plural(repo.stale, "pending save has", "pending saves have") +
                         " received nothing for over a day (the oldest, " + oldest->name + ", since " +
                         UtcTime(oldest->modified) +
                         "); resume it from its sender, or delete the save with its _pending marker");
  }
}

// Why the root itself cannot be shown; empty when it can.
std::string RootError(const BackupRoot& root, const std::string& name) {
  if (name.empty()) return "no backup root is set";
  // The root may well be a link to the disk that holds it: followed here,
  // unlike the links inside it.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(root.Path(), ec);
  if (!std::filesystem::exists(st))
    return "the backup root " + name + " does not exist" +
           (ec && ec != std::errc::no_such_file_or_directory ? " or cannot be reached: " + ec.message() : "");
  if (!std::filesystem::is_directory(st)) return "the backup root " + name + " is not a directory";
  std::vector<std::string> names;
  if (const int e = root.Fs().List(root.Path(), names))
    return "the backup root " + name + " cannot be read: " + platform::ErrorText(e);
  return "";
}

}  // namespace

std::int64_t RecordStatus::Remaining() const {
  if (!readable || !save_exists || save_bytes < 0) return -1;
  return offset > save_bytes ? save_bytes : save_bytes - offset;
}

const RecordStatus* StatusReport::OldestWaiting() const {
  const RecordStatus* oldest = nullptr;
  for (const RecordStatus& rec : records)
    if (!rec.set_aside && !rec.save_pending && rec.save_modified > 0 &&
        (!oldest || rec.save_modified < oldest->save_modified))
      oldest = &rec;
  return oldest;
}

std::int64_t StatusReport::WaitingBytes() const {
  std::int64_t n = 0;
  for (const RecordStatus& rec : records)
    if (!rec.set_aside) n += std::max<std::int64_t>(0, rec.Remaining());
  return n;
}

std::size_t StatusReport::SaveCount() const {
  std::size_t n = 0;
  for (const RepoStatus& repo : repos) n += repo.saves.size();
  return n;
}

int StatusExitStatus(const StatusReport& r) {
  if (!r.error.empty()) return 2;
  if (r.running == RelayRuns::No) return 3;
  return r.problems.empty() ? 0 : 1;
}

std::string AgeText(std::int64_t s) {
  if (s < 0) s = 0;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min";
  if (s < 86400) return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
  return std::to_string(s / 86400) + " d " + std::to_string(s % 86400 / 3600) + " h";
}

StatusReport BuildStatus(const std::string& backup_root, const std::string& repo) {
  StatusReport r;
  r.root = backup_root;
  r.repo = repo;
  const auto now = std::chrono::system_clock::now();
  r.generated_at = UtcTimestamp(now);
  r.now = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  try {
    const BackupRoot root(backup_root, platform::RealFileSystem());
    r.error = RootError(root, backup_root);
    if (!r.error.empty()) return r;
    ProbeRelay(root, r);
    ReadSaves(root, r);
    ReadAside(root, r);
    ReadRecords(root, r);
    ReadQueue(root, r);
    r.transmitter = TransmitterState::Read(root, &r.transmitter_file);
    if (AttemptActive(r.transmitter.state)) {
      for (RecordStatus& rec : r.records)
        rec.in_transmission = rec.repo == r.transmitter.repo && rec.save == r.transmitter.save;
    }
    for (const RecordStatus& rec : r.records) r.waiting += rec.set_aside ? 0 : 1;
    AddHealthProblems(r);
  } catch (const std::exception& e) {
    // Out of memory on a giant tree, or a name the platform cannot convert.
    r.error = "cannot read the backup root " + backup_root + ": " + e.what();
  }
  return r;
}

}  // namespace tarnwick
