// FormatStatusTable: the report as an operator reads it in a terminal.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "base/text.h"
#include "layout/backup_root.h"
#include "service/status/status_view.h"

namespace tarnwick {

namespace {

// Names come from the disk and messages from peers: neither may move the
// cursor, and a backslash is doubled so that an escape cannot be forged.
std::string Display(std::string_view s) { return EscapeControl(s, {.backslash = true, .utf8 = true}); }

std::string Quoted(std::string_view s) { return "\"" + Display(s) + "\""; }

// Columns are as wide as their widest cell in characters (text from
// Display is UTF-8, so every byte that is not a continuation byte is one).
std::size_t Width(std::string_view s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void AppendTable(std::string& out, const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
  }
  for (const auto& row : rows) {
    std::string line = indent;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - Width(row[c]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + '\n';
  }
}

std::string HumanSize(std::int64_t n) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(n);
  std::size_t u = 0;
  v /= 1024;
  while (v >= 1024 && u + 1 < std::size(units)) v /= 1024, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

// "1048576 (1.0 MiB)"; "unknown" for -1.
std::string Bytes(std::int64_t n) {
  if (n < 0) return "unknown";
  std::string s = std::to_string(n);
  if (n >= 1024) s += " (" + HumanSize(n) + ")";
  return s;
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

std::string MissingText(const SaveStatus& s) {
  switch (s.marker) {
    case MarkerKind::Count:
      if (s.missing < 0) return std::to_string(s.missing) + " (" + std::to_string(-s.missing) + " bytes more than announced)";
      return Bytes(s.missing);
    case MarkerKind::Unknown: return "unknown (no size announced)";
    case MarkerKind::NotANumber:
      return s.marker_text.empty() ? "unknown: the marker is empty" : "unknown: the marker holds " + Quoted(s.marker_text);
    case MarkerKind::Unreadable: return "unknown: the marker cannot be read: " + Display(s.marker_text);
  }
  return "";
}

// The digest's first 12 hex digits and where it came from: "computed here"
// is where coverage from end to end begins.
std::string IdentityText(const SaveStatus& s) {
  switch (s.identity) {
    case SaveStatus::Identity::None: return s.pending ? "-" : "none";
    case SaveStatus::Identity::Damaged: return "damaged";
    case SaveStatus::Identity::Unreadable: return "unreadable";
    case SaveStatus::Identity::Recorded: break;
  }
  if (!s.id.HasDigest()) return "-";
  return s.id.digest.substr(0, 12) + (s.id.declared ? " declared" : " computed here");
}

std::string VerifiedText(const SaveStatus& s) {
  if (s.identity != SaveStatus::Identity::Recorded || s.id.verified_at == 0) return s.pending ? "" : "never";
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(s.id.verified_at))) +
         (s.id.verified_good ? " good" : " MISMATCH");
}

void AppendRepo(std::string& out, const RepoStatus& repo) {
  out += "\n" + std::string(kSavesDir) + "/" + Display(repo.name) + ": " + Count(repo.saves.size(), "save", "saves") +
         " (" + std::to_string(repo.complete) + " complete, " + std::to_string(repo.pending) + " pending), " +
         std::to_string(repo.bytes) + " bytes" + (repo.bytes >= 1024 ? " (" + HumanSize(repo.bytes) + ")" : "") + "\n";
  if (repo.saves.empty()) return;
  std::vector<std::vector<std::string>> rows{{"SAVE", "STATE", "BYTES", "MISSING", "IDENTITY", "VERIFIED"}};
  for (const SaveStatus& s : repo.saves) {
    std::string bytes = s.no_data ? "0 (no data yet)" : Bytes(s.bytes);
    const char* state = s.pending ? (s.stale ? "pending, STALE" : "pending") : "complete";
    rows.push_back({Display(s.name), state, bytes, s.pending ? MissingText(s) : "",
                    IdentityText(s), VerifiedText(s)});
  }
  AppendTable(out, rows, "  ");
}

// "2026-12-07T10:40:21Z (3 h 5 min ago)".
std::string When(const StatusReport& r, std::int64_t t) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(t))) + " (" + AgeText(r.now - t) +
         " ago)";
}

// One line per repository, for a root with too many saves to list.
void AppendRepoSummary(std::string& out, const StatusReport& r, std::size_t saves) {
  out += "\nSaves: " + Count(saves, "save", "saves") + " in " + Count(r.repos.size(), "repository", "repositories") +
         ", one line each (`tarnwick status REPO` lists a repository's saves)\n";
  std::vector<std::vector<std::string>> rows{{"REPOSITORY", "SAVES", "PENDING", "BYTES", "OLDEST PENDING"}};
  for (const RepoStatus& repo : r.repos) {
    std::string oldest = "-";
    if (repo.oldest_pending) oldest = AgeText(r.now - repo.oldest_pending) + " ago";
    if (repo.stale) oldest += " (" + std::to_string(repo.stale) + " STALE)";
    rows.push_back({Display(repo.name), std::to_string(repo.saves.size()), std::to_string(repo.pending),
                    Bytes(repo.bytes), oldest});
  }
  AppendTable(out, rows, "  ");
}

void AppendTransmitter(std::string& out, const StatusReport& r) {
  const TransmitterState& t = r.transmitter;
  switch (r.transmitter_file.status) {
    case TransmitterState::FileStatus::Absent:
      out += "  Transmitter: no " + std::string(kStateFile) + " (forwarding has not run here since it was added)\n";
      return;
    case TransmitterState::FileStatus::Unreadable:
      out += "  Transmitter: state unknown, " + std::string(kStateFile) +
             " cannot be read: " + Display(r.transmitter_file.detail) + "\n";
      return;
    case TransmitterState::FileStatus::Malformed:
      out += "  Transmitter: state unknown, " + std::string(kStateFile) +
             " is malformed: " + Display(r.transmitter_file.detail) + "\n";
      return;
    case TransmitterState::FileStatus::Read: break;
  }
  out += "  Transmitter: " + std::string(AttemptStateName(t.state));
  if (!t.peer.empty()) out += ", peer " + Display(t.peer);
  if (!t.updated.empty()) out += " (as of " + Display(t.updated) + ")";
  out += "\n";
  if (r.running == RelayRuns::No && t.state != AttemptState::Stopped)
    out += "    The relay is not running: this is what it last wrote, and it did not stop cleanly\n";
  if (const auto at = ParseUtcTimestamp(t.last_contact))
    out += "    Last successful contact with the next relay: " + When(r, *at) + "\n";
  else
    out += "    Last successful contact with the next relay: none recorded\n";
  if (const auto at = ParseUtcTimestamp(t.fetch_wait_since); at && AttemptActive(t.state))
    out += "    Waiting for the next relay to fetch since " + When(r, *at) + "\n";
  const std::string save = Display(t.repo) + "/" + Display(t.save);
  std::string progress = "at " + Bytes(t.offset) + " of " + Bytes(t.size) + " bytes";
  if (t.offset >= 0 && t.size > 0)
    progress += " (" + std::to_string(static_cast<int>(100.0 * static_cast<double>(std::min(t.offset, t.size)) /
                                                       static_cast<double>(t.size))) + "%)";
  if (AttemptActive(t.state) && !t.save.empty()) {
    // Connecting is not sending: in listen mode it may last as long as
    // the next relay stays away.
    out += std::string(t.state == AttemptState::Connecting ? "    Next to send (connecting): "
                                                            : "    In transmission: ") +
           save + ", " + progress + ", attempt started " + OrDash(Display(t.attempt_started)) + "\n";
  } else if (!t.save.empty()) {
    out += "    Last attempt: " + save + ", " + AttemptStateName(t.last_outcome) + " " + progress + ", started " +
           OrDash(Display(t.attempt_started)) + ", ended " + OrDash(Display(t.attempt_ended)) + "\n";
  }
  if (!t.last_error.empty())
    out += "    Last error: " + Display(t.last_error) + " (at " + OrDash(Display(t.last_error_at)) + ")\n";
  if (t.forwarded >= 0) {
    out += "    Forwarded since " + OrDash(Display(t.running_since)) + ": " + Count(static_cast<std::size_t>(t.forwarded), "save", "saves");
    if (t.failed_attempts > 0)
      out += "; " + Count(static_cast<std::size_t>(t.failed_attempts), "failed attempt", "failed attempts") +
             " since the last delivery";
    out += "\n";
  }
}

std::string RecordNote(const RecordStatus& rec) {
  std::vector<std::string> notes;
  if (!rec.readable) notes.push_back("record cannot be read: " + Display(rec.error));
  if (rec.set_aside) notes.push_back("set aside after a conflict at the next relay");
  if (rec.in_transmission) notes.push_back("in transmission");
  if (!rec.save_exists) notes.push_back("the save is gone");
  else if (rec.save_pending) notes.push_back("the save is pending");
  else if (rec.readable && rec.save_bytes >= 0 && rec.offset > rec.save_bytes) notes.push_back("offset past the end: starts over");
  std::string s;
  for (const std::string& n : notes) s += (s.empty() ? "" : "; ") + n;
  return s;
}

// The records, one line each, or one line per repository when there are
// too many to list.
void AppendRecords(std::string& out, const StatusReport& r) {
  std::size_t set_aside = 0;
  for (const RecordStatus& rec : r.records) set_aside += rec.set_aside ? 1 : 0;
  out += "  Records (" + std::string(kForwardsDir) + "/): " + Count(r.records.size(), "save", "saves") + " to forward";
  if (set_aside) out += ", " + std::to_string(set_aside) + " of them set aside";
  out += "\n";
  if (const RecordStatus* oldest = r.OldestWaiting())
    out += "    Oldest waiting save: " + Display(oldest->repo) + "/" + Display(oldest->save) + ", complete since " +
           When(r, oldest->save_modified) + "\n";
  if (r.records.empty()) return;
  if (r.repo.empty() && r.records.size() > kListUpTo) {
    struct Sum {
      std::size_t count = 0, set_aside = 0;
      std::int64_t remaining = 0;
    };
    std::vector<std::pair<std::string, Sum>> sums;  // records come by repository
    for (const RecordStatus& rec : r.records) {
      if (sums.empty() || sums.back().first != rec.repo) sums.push_back({rec.repo, {}});
      Sum& sum = sums.back().second;
      ++sum.count;
      sum.set_aside += rec.set_aside ? 1 : 0;
      if (rec.Remaining() > 0) sum.remaining += rec.Remaining();
    }
    std::vector<std::vector<std::string>> rows{{"REPOSITORY", "TO FORWARD", "SET ASIDE", "REMAINING"}};
    for (const auto& [repo, sum] : sums)
      rows.push_back({Display(repo), std::to_string(sum.count), std::to_string(sum.set_aside), Bytes(sum.remaining)});
    AppendTable(out, rows, "    ");
    return;
  }
  std::vector<std::vector<std::string>> rows{{"REPOSITORY", "SAVE", "OFFSET", "SAVE BYTES", "REMAINING", "NOTE"}};
  for (const RecordStatus& rec : r.records)
    if (r.repo.empty() || rec.repo == r.repo)
      rows.push_back({Display(rec.repo), Display(rec.save), rec.readable ? std::to_string(rec.offset) : "unknown",
                      rec.save_exists ? Bytes(rec.save_bytes) : "-", rec.Remaining() >= 0 ? Bytes(rec.Remaining()) : "-",
                      RecordNote(rec)});
  if (rows.size() > 1) AppendTable(out, rows, "    ");
}

void AppendForwarding(std::string& out, const StatusReport& r) {
  out += "\nForwarding\n";
  AppendTransmitter(out, r);
  AppendRecords(out, r);
  const std::string queue = "  Queue (" + std::string(kQueueFile) + "): ";
  if (!r.queue_file) {
    out += queue + "no file\n";
    return;
  }
  out += queue + Count(r.queued.size(), "save", "saves") +
         (r.bad_queue_lines.empty() ? "" : ", " + Count(r.bad_queue_lines.size(), "malformed line", "malformed lines")) +
         "\n";
  if (r.repo.empty() && r.queued.size() > kListUpTo) {
    out += "    (not listed: more than " + std::to_string(kListUpTo) +
           "; `tarnwick status REPO` lists a repository's)\n";
  } else if (!r.queued.empty()) {
    std::vector<std::vector<std::string>> rows{{"LINE", "REPOSITORY", "SAVE"}};
    for (const QueuedSave& q : r.queued)
      if (r.repo.empty() || q.repo == r.repo)
        rows.push_back({std::to_string(q.line), Display(q.repo), Display(q.save)});
    if (rows.size() > 1) AppendTable(out, rows, "    ");
  }
  for (const BadQueueLine& b : r.bad_queue_lines)
    out += "    line " + std::to_string(b.line) + " is malformed: " + Quoted(b.text) + "\n";
}

}  // namespace

std::string FormatStatusTable(const StatusReport& r) {
  std::string out = "Backup root: " + Display(r.root) + " (status at " + r.generated_at + ")\n";
  if (!r.error.empty()) return out + "Error: " + Display(r.error) + "\n";
  switch (r.running) {
    case RelayRuns::Yes: out += "Relay: running\n"; break;
    case RelayRuns::No:
      out += "Relay: NOT RUNNING (no process holds " + std::string(kLockFile) + "); what follows is what it left\n";
      break;
    case RelayRuns::Unknown: out += "Relay: unknown: " + Display(r.running_detail) + "\n"; break;
  }
  out += r.Healthy() ? std::string("Health: healthy\n")
                     : "Health: " + (r.problems.empty() ? std::string("the relay is not running")
                                                        : Count(r.problems.size(), "problem", "problems") +
                                                              ", listed under Problems") + "\n";
  const std::size_t saves = r.SaveCount();
  if (!r.repo.empty()) {
    bool found = false;
    for (const RepoStatus& repo : r.repos)
      if (repo.name == r.repo) AppendRepo(out, repo), found = true;
    if (!found) out += "\nNo saves in " + std::string(kSavesDir) + "/" + Display(r.repo) + ".\n";
  } else if (r.repos.empty()) {
    out += "\nNo saves.\n";
  } else if (saves > kListUpTo) {
    AppendRepoSummary(out, r, saves);
  } else {
    for (const RepoStatus& repo : r.repos) AppendRepo(out, repo);
  }
  AppendForwarding(out, r);
  if (!r.problems.empty()) {
    out += "\nProblems\n";
    const std::size_t shown = std::min(r.problems.size(), kListUpTo);
    for (std::size_t i = 0; i < shown; ++i) out += "  " + Display(r.problems[i]) + "\n";
    if (shown < r.problems.size())
      out += "  ... and " + std::to_string(r.problems.size() - shown) +
             " more (`tarnwick status --json` lists them all)\n";
  }
  return out;
}

}  // namespace tarnwick
