#include "service/status_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "forwarding/forward_queue.h"
#include "platform/file_system.h"
#include "reception/reception.h"
#include "reception/stream_header.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// A marker holds a count of at most 20 characters; more is not a count.
constexpr std::size_t kMarkerCap = 64;
// toforward holds one short line per save; a backlog of a million saves
// still fits.
constexpr std::size_t kQueueCap = std::size_t(64) << 20;

// ---- Text ----------------------------------------------------------------

// Length of the well-formed UTF-8 sequence starting at s[i], 0 when the
// byte there does not start one (overlong forms and surrogates included).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c == 0xE0) n = 3, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) n = 3;
  else if (c == 0xED) n = 3, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) n = 3;
  else if (c == 0xF0) n = 4, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) n = 4;
  else if (c == 0xF4) n = 4, hi = 0x8F;
  else return 0;
  if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

void AppendHexByte(std::string& out, unsigned char u) {
  static const char hex[] = "0123456789abcdef";
  out += hex[u >> 4];
  out += hex[u & 15];
}

// A name or message as a terminal may show it: control characters (C1
// ones too, which some terminals obey) and bytes that are not UTF-8 become
// \xHH, and a backslash is doubled so that the two cannot be confused.
std::string Display(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto u = static_cast<unsigned char>(s[i]);
    const std::size_t n = Utf8Length(s, i);
    const bool c1 = n == 2 && u == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (s[i] == '\\') {
      out += "\\\\";
    } else if (n == 0 || u < 0x20 || u == 0x7f || c1) {
      for (std::size_t k = 0; k < std::max<std::size_t>(n, 1); ++k) {
        out += "\\x";
        AppendHexByte(out, static_cast<unsigned char>(s[i + k]));
      }
      i += std::max<std::size_t>(n, 1);
      continue;
    } else {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    ++i;
  }
  return out;
}

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

std::string Quoted(std::string_view s) { return "\"" + Display(s) + "\""; }

// ---- Reading the root ----------------------------------------------------

std::string Where(const std::string& dir, const std::string& name) { return dir + "/" + name; }

void ParseMarker(std::string_view text, SaveStatus& s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::string_view t = text;
  while (!t.empty() && blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && blank(t.back())) t.remove_suffix(1);
  const bool negative = !t.empty() && t.front() == '-';
  if (negative) t.remove_prefix(1);
  std::int64_t n = 0;
  bool ok = !t.empty();
  for (char c : t) {
    if (c < '0' || c > '9' || n > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) {
      ok = false;
      break;
    }
    n = n * 10 + (c - '0');
  }
  if (!ok) {
    s.marker = MarkerKind::NotANumber;
    s.marker_text = std::string(text.substr(0, kMarkerCap));
  } else if (n == 0) {
    s.marker = MarkerKind::Unknown;
  } else {
    s.marker = MarkerKind::Count;
    s.missing = negative ? -n : n;
  }
}

RepoStatus ReadRepo(const fs::path& dir, const std::string& name, std::vector<std::string>& problems) {
  RepoStatus repo;
  repo.name = name;
  const std::string where = Where(SAVES_DIR, name);
  struct Slot {
    SaveStatus save;
    bool file = false;
  };
  std::map<std::string, Slot> slots;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    const fs::path path = it->path();
    std::error_code ec2;
    if (entry.size() > kPendingSuffix.size() && entry.ends_with(kPendingSuffix)) {
      const std::string save = entry.substr(0, entry.size() - kPendingSuffix.size());
      Slot& slot = slots[save];
      slot.save.name = save;
      slot.save.pending = true;
      std::string text;
      if (int err = platform::ReadSmallFile(path, text, kMarkerCap)) {
        slot.save.marker = MarkerKind::Unreadable;
        slot.save.marker_text = platform::ErrorText(err);
      } else {
        ParseMarker(text, slot.save);
      }
      continue;
    }
    if (!it->is_regular_file(ec2)) {
      problems.push_back(Where(where, entry) + ": " +
                         (ec2 ? "cannot be examined: " + ec2.message() : std::string("not a regular file")) +
                         "; not a save");
      continue;
    }
    Slot& slot = slots[entry];
    slot.save.name = entry;
    slot.file = true;
    const std::uintmax_t size = it->file_size(ec2);
    if (ec2) {
      problems.push_back(Where(where, entry) + ": size unknown: " + ec2.message());
    } else {
      slot.save.bytes = static_cast<std::int64_t>(size);
    }
  }
  if (ec) problems.push_back(where + ": cannot be listed completely: " + ec.message());
  repo.saves.reserve(slots.size());
  for (auto& [save_name, slot] : slots) {
    SaveStatus& s = slot.save;
    if (!slot.file) {
      // The marker goes down before the first byte: no file yet means
      // nothing arrived.
      s.no_data = true;
      s.bytes = 0;
    }
    (s.pending ? repo.pending : repo.complete) += 1;
    if (s.bytes > 0) repo.bytes += s.bytes;
    repo.saves.push_back(std::move(s));
  }
  return repo;
}

void ReadSaves(const fs::path& root, StatusReport& r) {
  const fs::path saves = root / SAVES_DIR;
  std::error_code ec;
  const fs::file_status st = fs::status(saves, ec);
  if (!fs::exists(st)) return;  // nothing stored yet
  if (!fs::is_directory(st)) {
    r.problems.push_back(std::string(SAVES_DIR) + ": not a directory");
    return;
  }
  fs::directory_iterator it(saves, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code ec2;
    if (!it->is_directory(ec2)) {
      r.problems.push_back(Where(SAVES_DIR, name) + ": not a directory; not a repository");
      continue;
    }
    r.repos.push_back(ReadRepo(it->path(), name, r.problems));
  }
  if (ec) r.problems.push_back(std::string(SAVES_DIR) + ": cannot be listed completely: " + ec.message());
  std::sort(r.repos.begin(), r.repos.end(), [](const RepoStatus& a, const RepoStatus& b) { return a.name < b.name; });
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

void ReadRecords(const fs::path& root, StatusReport& r) {
  const fs::path forwards = root / FRWD_DIR;
  std::error_code ec;
  const fs::file_status st = fs::status(forwards, ec);
  if (!fs::exists(st)) return;
  if (!fs::is_directory(st)) {
    r.problems.push_back(std::string(FRWD_DIR) + ": not a directory");
    return;
  }
  fs::directory_iterator repos(forwards, ec), end;
  for (; !ec && repos != end; repos.increment(ec)) {
    const std::string repo = repos->path().filename().string();
    std::error_code ec2;
    if (!repos->is_directory(ec2)) {
      r.problems.push_back(Where(FRWD_DIR, repo) + ": not a directory");
      continue;
    }
    fs::directory_iterator saves(repos->path(), ec2);
    for (; !ec2 && saves != end; saves.increment(ec2)) {
      RecordStatus rec;
      rec.repo = repo;
      rec.save = saves->path().filename().string();
      std::error_code ec3;
      if (!saves->is_regular_file(ec3)) {
        r.problems.push_back(Where(Where(FRWD_DIR, repo), rec.save) + ": not a regular file; not a record");
        continue;
      }
      int err = 0;
      if (std::optional<ForwardRecord> fr = ReadRecord(root, QueueEntry{rec.repo, rec.save}, &err)) {
        rec.offset = fr->offset;
        rec.set_aside = fr->set_aside;
      } else {
        rec.readable = false;
        rec.error = platform::ErrorText(err);
      }
      if (const SaveStatus* s = FindSave(r, rec.repo, rec.save)) {
        rec.save_exists = true;
        rec.save_pending = s->pending;
        rec.save_bytes = s->bytes;
      }
      r.records.push_back(std::move(rec));
    }
    if (ec2) r.problems.push_back(Where(FRWD_DIR, repo) + ": cannot be listed completely: " + ec2.message());
  }
  if (ec) r.problems.push_back(std::string(FRWD_DIR) + ": cannot be listed completely: " + ec.message());
  std::sort(r.records.begin(), r.records.end(), [](const RecordStatus& a, const RecordStatus& b) {
    return std::tie(a.repo, a.save) < std::tie(b.repo, b.save);
  });
}

void ReadQueue(const fs::path& root, StatusReport& r) {
  const fs::path file = root / TOFORWARD;
  std::string text;
  if (int err = platform::ReadSmallFile(file, text, kQueueCap + 1)) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(file, ec)))
      r.problems.push_back(std::string(TOFORWARD) + ": cannot be read: " + platform::ErrorText(err));
    return;
  }
  r.queue_file = true;
  if (text.size() > kQueueCap) {
    r.problems.push_back(std::string(TOFORWARD) + ": larger than " + std::to_string(kQueueCap) +
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

}  // namespace

std::int64_t RecordStatus::Remaining() const {
  if (!readable || !save_exists || save_bytes < 0) return -1;
  return offset > save_bytes ? save_bytes : save_bytes - offset;
}

StatusReport BuildStatus(const std::string& backup_root) {
  StatusReport r;
  r.root = backup_root;
  r.generated_at = UtcTimestamp(std::chrono::system_clock::now());
  try {
    if (backup_root.empty()) {
      r.error = "no backup root is set";
      return r;
    }
    const fs::path root(backup_root);
    std::error_code ec;
    const fs::file_status st = fs::status(root, ec);
    if (!fs::exists(st)) {
      r.error = "the backup root " + backup_root + " does not exist" +
                (ec && ec != std::errc::no_such_file_or_directory ? " or cannot be reached: " + ec.message() : "");
      return r;
    }
    if (!fs::is_directory(st)) {
      r.error = "the backup root " + backup_root + " is not a directory";
      return r;
    }
    if (fs::directory_iterator probe(root, ec); ec) {
      r.error = "the backup root " + backup_root + " cannot be read: " + ec.message();
      return r;
    }
    ReadSaves(root, r);
    ReadRecords(root, r);
    ReadQueue(root, r);
    r.transmitter = TransmitterState::Read(root, &r.transmitter_file);
    if (AttemptActive(r.transmitter.state)) {
      for (RecordStatus& rec : r.records)
        rec.in_transmission = rec.repo == r.transmitter.repo && rec.save == r.transmitter.save;
    }
  } catch (const std::exception& e) {
    // Out of memory on a giant tree, or a name the platform cannot convert.
    r.error = "cannot read the backup root " + backup_root + ": " + e.what();
  }
  return r;
}

// ---- The table -----------------------------------------------------------

namespace {

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

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void AppendRepo(std::string& out, const RepoStatus& repo) {
  out += "\n" + std::string(SAVES_DIR) + "/" + Display(repo.name) + ": " + Count(repo.saves.size(), "save", "saves") +
         " (" + std::to_string(repo.complete) + " complete, " + std::to_string(repo.pending) + " pending), " +
         std::to_string(repo.bytes) + " bytes" + (repo.bytes >= 1024 ? " (" + HumanSize(repo.bytes) + ")" : "") + "\n";
  if (repo.saves.empty()) return;
  std::vector<std::vector<std::string>> rows{{"SAVE", "STATE", "BYTES", "MISSING"}};
  for (const SaveStatus& s : repo.saves) {
    std::string bytes = s.no_data ? "0 (no data yet)" : Bytes(s.bytes);
    rows.push_back({Display(s.name), s.pending ? "pending" : "complete", bytes, s.pending ? MissingText(s) : ""});
  }
  AppendTable(out, rows, "  ");
}

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

void AppendTransmitter(std::string& out, const StatusReport& r) {
  const TransmitterState& t = r.transmitter;
  switch (r.transmitter_file.status) {
    case TransmitterState::FileStatus::Absent:
      out += "  Transmitter: no " + std::string(TRANSMITTER_STATE_FILE) +
             " (forwarding has not run here since it was added)\n";
      return;
    case TransmitterState::FileStatus::Unreadable:
      out += "  Transmitter: state unknown, " + std::string(TRANSMITTER_STATE_FILE) +
             " cannot be read: " + Display(r.transmitter_file.detail) + "\n";
      return;
    case TransmitterState::FileStatus::Malformed:
      out += "  Transmitter: state unknown, " + std::string(TRANSMITTER_STATE_FILE) +
             " is malformed: " + Display(r.transmitter_file.detail) + "\n";
      return;
    case TransmitterState::FileStatus::Read: break;
  }
  out += "  Transmitter: " + std::string(AttemptStateName(t.state));
  if (!t.peer.empty()) out += ", peer " + Display(t.peer);
  if (!t.updated.empty()) out += " (as of " + Display(t.updated) + ")";
  out += "\n";
  const std::string save = Display(t.repo) + "/" + Display(t.save);
  std::string progress = "at " + Bytes(t.offset) + " of " + Bytes(t.size) + " bytes";
  if (t.offset >= 0 && t.size > 0)
    progress += " (" + std::to_string(static_cast<int>(100.0 * static_cast<double>(std::min(t.offset, t.size)) /
                                                       static_cast<double>(t.size))) + "%)";
  if (AttemptActive(t.state) && !t.save.empty()) {
    out += "    In transmission: " + save + ", " + progress + ", attempt started " + OrDash(Display(t.attempt_started)) + "\n";
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

}  // namespace

std::string FormatStatusTable(const StatusReport& r) {
  std::string out = "Backup root: " + Display(r.root) + " (status at " + r.generated_at + ")\n";
  if (!r.error.empty()) return out + "Error: " + Display(r.error) + "\n";
  if (r.repos.empty()) out += "\nNo saves.\n";
  for (const RepoStatus& repo : r.repos) AppendRepo(out, repo);

  out += "\nForwarding\n";
  AppendTransmitter(out, r);
  std::size_t set_aside = 0;
  for (const RecordStatus& rec : r.records) set_aside += rec.set_aside ? 1 : 0;
  out += "  Records (" + std::string(FRWD_DIR) + "/): " + Count(r.records.size(), "save", "saves") + " to forward";
  if (set_aside) out += ", " + std::to_string(set_aside) + " of them set aside";
  out += "\n";
  if (!r.records.empty()) {
    std::vector<std::vector<std::string>> rows{{"REPOSITORY", "SAVE", "OFFSET", "SAVE BYTES", "REMAINING", "NOTE"}};
    for (const RecordStatus& rec : r.records)
      rows.push_back({Display(rec.repo), Display(rec.save), rec.readable ? std::to_string(rec.offset) : "unknown",
                      rec.save_exists ? Bytes(rec.save_bytes) : "-", rec.Remaining() >= 0 ? Bytes(rec.Remaining()) : "-",
                      RecordNote(rec)});
    AppendTable(out, rows, "    ");
  }
  if (!r.queue_file) {
    out += "  Queue (" + std::string(TOFORWARD) + "): no file\n";
  } else {
    out += "  Queue (" + std::string(TOFORWARD) + "): " + Count(r.queued.size(), "save", "saves") +
           (r.bad_queue_lines.empty() ? "" : ", " + Count(r.bad_queue_lines.size(), "malformed line", "malformed lines")) +
           "\n";
    if (!r.queued.empty()) {
      std::vector<std::vector<std::string>> rows{{"LINE", "REPOSITORY", "SAVE"}};
      for (const QueuedSave& q : r.queued) rows.push_back({std::to_string(q.line), Display(q.repo), Display(q.save)});
      AppendTable(out, rows, "    ");
    }
    for (const BadQueueLine& b : r.bad_queue_lines)
      out += "    line " + std::to_string(b.line) + " is malformed: " + Quoted(b.text) + "\n";
  }
  if (!r.problems.empty()) {
    out += "\nProblems\n";
    for (const std::string& p : r.problems) out += "  " + Display(p) + "\n";
  }
  return out;
}

// ---- JSON ----------------------------------------------------------------

namespace {

// A JSON string for any bytes: quotes, backslashes and control characters
// escaped; each byte that is not part of well-formed UTF-8 becomes U+FFFD,
// and *lossy says so.
std::string JsonQuote(std::string_view s, bool* lossy = nullptr) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\u00";
      AppendHexByte(out, u);
    } else if (const std::size_t n = Utf8Length(s, i); n > 0) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    } else {
      out += "\\ufffd";
      if (lossy) *lossy = true;
    }
    ++i;
  }
  return out + "\"";
}

std::string Hex(std::string_view s) {
  std::string out;
  for (char c : s) AppendHexByte(out, static_cast<unsigned char>(c));
  return out;
}

// Writes indented JSON, one member or element per line, and keeps the
// commas right.
class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Key(std::string_view k) {
    Separate();
    out_ += JsonQuote(k) + ": ";
    after_key_ = true;
  }
  void String(std::string_view s) { Raw(JsonQuote(s)); }
  // A name: its exact bytes in "<key>_hex" too when it is not UTF-8.
  void Name(std::string_view key, std::string_view value) {
    bool lossy = false;
    Key(key);
    Raw(JsonQuote(value, &lossy));
    if (lossy) {
      Key(std::string(key) + "_hex");
      String(Hex(value));
    }
  }
  void Number(std::int64_t n) { Raw(std::to_string(n)); }
  // -1 is how the report says "unknown".
  void CountOrNull(std::int64_t n) { n < 0 ? Raw("null") : Number(n); }
  void TextOrNull(std::string_view s) { s.empty() ? Raw("null") : String(s); }
  void Bool(bool b) { Raw(b ? "true" : "false"); }
  void Null() { Raw("null"); }
  std::string Take() { return std::move(out_) + "\n"; }

 private:
  struct Level {
    bool empty = true;
  };
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (levels_.empty()) return;
    if (!levels_.back().empty) out_ += ',';
    levels_.back().empty = false;
    out_ += '\n';
    out_.append(2 * levels_.size(), ' ');
  }
  void Raw(std::string_view text) {
    Separate();
    out_ += text;
  }
  void Open(char c) {
    Separate();
    out_ += c;
    levels_.push_back({});
  }
  void Close(char c) {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
      out_ += '\n';
      out_.append(2 * levels_.size(), ' ');
    }
    out_ += c;
  }

  std::string out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

const char* MarkerName(MarkerKind k) {
  switch (k) {
    case MarkerKind::Count: return "count";
    case MarkerKind::Unknown: return "unknown";
    case MarkerKind::NotANumber: return "not-a-number";
    case MarkerKind::Unreadable: return "unreadable";
  }
  return "unknown";
}

const char* FileStatusName(TransmitterState::FileStatus s) {
  switch (s) {
    case TransmitterState::FileStatus::Read: return "read";
    case TransmitterState::FileStatus::Absent: return "absent";
    case TransmitterState::FileStatus::Unreadable: return "unreadable";
    case TransmitterState::FileStatus::Malformed: return "malformed";
  }
  return "unknown";
}

void WriteTransmitter(JsonWriter& j, const StatusReport& r) {
  const TransmitterState& t = r.transmitter;
  j.BeginObject();
  j.Key("file");
  j.String(FileStatusName(r.transmitter_file.status));
  j.Key("detail");
  j.TextOrNull(r.transmitter_file.detail);
  j.Key("updated");
  j.TextOrNull(t.updated);
  j.Key("running_since");
  j.TextOrNull(t.running_since);
  j.Key("peer");
  j.TextOrNull(t.peer);
  j.Key("state");
  j.String(AttemptStateName(t.state));
  j.Key("save");
  if (t.save.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.Name("repo", t.repo);
    j.Name("save", t.save);
    j.Key("offset");
    j.CountOrNull(t.offset);
    j.Key("size");
    j.CountOrNull(t.size);
    j.Key("in_transmission");
    j.Bool(AttemptActive(t.state));
    j.Key("attempt_started");
    j.TextOrNull(t.attempt_started);
    j.Key("attempt_ended");
    j.TextOrNull(t.attempt_ended);
    j.Key("last_outcome");
    j.String(AttemptStateName(t.last_outcome));
    j.EndObject();
  }
  j.Key("last_error");
  if (t.last_error.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.Key("text");
    j.String(t.last_error);
    j.Key("at");
    j.TextOrNull(t.last_error_at);
    j.EndObject();
  }
  j.Key("forwarded");
  j.CountOrNull(t.forwarded);
  j.Key("failed_attempts");
  j.CountOrNull(t.failed_attempts);
  j.EndObject();
}

}  // namespace

// {
//   "root", "generated_at", "error" (null unless the root cannot be read),
//   "repositories": [{"name", "complete", "pending", "bytes",
//       "saves": [{"name", "state": "complete"|"pending", "bytes" (null: unknown),
//                  pending only: "no_data", "marker": "count"|"unknown"|"not-a-number"|"unreadable",
//                  "missing" (null unless "count"), "marker_text" (not-a-number, unreadable)}]}],
//   "forwarding": {
//     "transmitter": {"file": "read"|"absent"|"unreadable"|"malformed", "detail", "updated",
//         "running_since", "peer", "state", "save": null | {"repo", "save", "offset", "size",
//         "in_transmission", "attempt_started", "attempt_ended", "last_outcome"},
//         "last_error": null | {"text", "at"}, "forwarded", "failed_attempts"},
//     "records": [{"repo", "save", "readable", "error", "offset", "set_aside", "in_transmission",
//                  "save_exists", "save_pending", "save_bytes", "remaining"}],
//     "queue_file", "queued": [{"line", "repo", "save"}], "bad_queue_lines": [{"line", "text"}]},
//   "problems": ["..."]
// }
std::string FormatStatusJson(const StatusReport& r) {
  JsonWriter j;
  j.BeginObject();
  j.Key("root");
  j.String(r.root);
  j.Key("generated_at");
  j.String(r.generated_at);
  j.Key("error");
  j.TextOrNull(r.error);
  j.Key("repositories");
  j.BeginArray();
  for (const RepoStatus& repo : r.repos) {
    j.BeginObject();
    j.Name("name", repo.name);
    j.Key("complete");
    j.Number(static_cast<std::int64_t>(repo.complete));
    j.Key("pending");
    j.Number(static_cast<std::int64_t>(repo.pending));
    j.Key("bytes");
    j.Number(repo.bytes);
    j.Key("saves");
    j.BeginArray();
    for (const SaveStatus& s : repo.saves) {
      j.BeginObject();
      j.Name("name", s.name);
      j.Key("state");
      j.String(s.pending ? "pending" : "complete");
      j.Key("bytes");
      j.CountOrNull(s.bytes);
      if (s.pending) {
        j.Key("no_data");
        j.Bool(s.no_data);
        j.Key("marker");
        j.String(MarkerName(s.marker));
        j.Key("missing");
        // A negative count is meaningful here: more arrived than announced.
        s.marker == MarkerKind::Count ? j.Number(s.missing) : j.Null();
        if (s.marker == MarkerKind::NotANumber || s.marker == MarkerKind::Unreadable) {
          j.Key("marker_text");
          j.String(s.marker_text);
        }
      }
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();

  j.Key("forwarding");
  j.BeginObject();
  j.Key("transmitter");
  WriteTransmitter(j, r);
  j.Key("records");
  j.BeginArray();
  for (const RecordStatus& rec : r.records) {
    j.BeginObject();
    j.Name("repo", rec.repo);
    j.Name("save", rec.save);
    j.Key("readable");
    j.Bool(rec.readable);
    j.Key("error");
    j.TextOrNull(rec.error);
    j.Key("offset");
    rec.readable ? j.Number(rec.offset) : j.Null();
    j.Key("set_aside");
    j.Bool(rec.set_aside);
    j.Key("in_transmission");
    j.Bool(rec.in_transmission);
    j.Key("save_exists");
    j.Bool(rec.save_exists);
    j.Key("save_pending");
    j.Bool(rec.save_pending);
    j.Key("save_bytes");
    j.CountOrNull(rec.save_exists ? rec.save_bytes : -1);
    j.Key("remaining");
    j.CountOrNull(rec.Remaining());
    j.EndObject();
  }
  j.EndArray();
  j.Key("queue_file");
  j.Bool(r.queue_file);
  j.Key("queued");
  j.BeginArray();
  for (const QueuedSave& q : r.queued) {
    j.BeginObject();
    j.Key("line");
    j.Number(static_cast<std::int64_t>(q.line));
    j.Name("repo", q.repo);
    j.Name("save", q.save);
    j.EndObject();
  }
  j.EndArray();
  j.Key("bad_queue_lines");
  j.BeginArray();
  for (const BadQueueLine& b : r.bad_queue_lines) {
    j.BeginObject();
    j.Key("line");
    j.Number(static_cast<std::int64_t>(b.line));
    j.Name("text", b.text);
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();

  j.Key("problems");
  j.BeginArray();
  for (const std::string& p : r.problems) j.String(p);
  j.EndArray();
  j.EndObject();
  return j.Take();
}

}  // namespace tarnwick
