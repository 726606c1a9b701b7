// The operator's verbs: "tarnwick check" and "tarnwick status" read what
// the relay would read and start nothing; "tarnwick verify" re-reads the
// saves against their identities and "tarnwick drop" removes what was set
// aside, both beside a running relay or without one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "base/sha256.h"
#include "base/text.h"
#include "layout/stream_header.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "service/check/config_check.h"
#include "service/command_line.h"
#include "service/control.h"
#include "service/service.h"
#include "service/status/json_writer.h"
#include "service/status/status_view.h"
#include "service/verify.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {

using FileType = platform::FileInfo::Type;
using Verdict = VerifiedSave::Verdict;

std::string Display(std::string_view s) { return EscapeControl(s, {.backslash = true, .utf8 = true}); }

std::string SaveLabel(const std::string& repo, const std::string& save) {
  return std::string(kSavesDir) + "/" + repo + "/" + save;
}

// Walks what a target names and verifies each complete save in it.
class Verifier {
 public:
  Verifier(const BackupRoot& root, std::int64_t now, VerifyReport& r, const VerifyProgress& progress)
      : root_(root), now_(now), r_(r), progress_(progress) {}

  // A save whose entry could not be looked at: counted, and the run goes on.
  void Unreadable(const std::string& repo, const std::string& save, std::string why) {
    VerifiedSave v;
    v.repo = repo, v.save = save, v.path = root_.SavePath(repo, save).string();
    v.detail = std::move(why);
    Add(std::move(v));
  }

  // A folder listed in part or not at all: what it hides is unread.
  void Unlisted(const std::string& label, int error) {
    r_.problems.push_back(label + ": cannot be listed completely: " + platform::ErrorText(error));
    ++r_.unreadable;
  }

  void Repo(const std::string& repo) {
    std::vector<std::string> names;
    const int listed = root_.Fs().List(root_.RepoDir(repo), names);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name.size() > kPendingSuffix.size() && name.ends_with(kPendingSuffix)) continue;
      if (std::binary_search(names.begin(), names.end(), name + std::string(kPendingSuffix))) continue;
      if (!IsSafeSaveName(name)) {
        r_.problems.push_back(SaveLabel(repo, name) + ": not a save's name; not verified");
        continue;
      }
      platform::FileInfo info;
      if (const int e = root_.Fs().Stat(root_.SavePath(repo, name), info); e != 0) {
        if (!platform::IsNotFound(e)) Unreadable(repo, name, "cannot be examined: " + platform::ErrorText(e));
        continue;  // not found: gone since the listing, as saves forwarded elsewhere may be
      }
      if (info.type != FileType::Regular) {
        r_.problems.push_back(SaveLabel(repo, name) + ": not a regular file; not a save");
        continue;
      }
      One(repo, name, info.size);
    }
    if (listed) Unlisted(std::string(kSavesDir) + "/" + repo, listed);
  }

  void One(const std::string& repo, const std::string& save, std::int64_t size) {
    VerifiedSave v;
    v.repo = repo, v.save = save;
    const BackupRoot::path path = root_.SavePath(repo, save);
    v.path = path.string();
    // A stream that began while the folder was listed may have put its
    // marker down unseen: its identity record holds the relay's checkpoint
    // and is not this verb's to write.
    bool pending = false;
    if (const Status s = root_.Exists(root_.MarkerPath(repo, save), pending); !s.ok()) {
      v.detail = s.Line();
      return Add(std::move(v));
    }
    if (pending) return;
    Sha256 h;
    std::function<bool(std::int64_t)> told;
    if (progress_) told = [&](std::int64_t done) { return progress_(v, done, size), true; };
    if (progress_) progress_(v, 0, size);
    const Status hashed = root_.HashFile(path, size, h, told);
    if (hashed.IsNotFound()) {
      v.verdict = Verdict::Gone;
      v.detail = "removed while the run went on";
      return Add(std::move(v));
    }
    if (!hashed.ok()) {
      v.detail = hashed.Line();
      return Add(std::move(v));
    }
    v.bytes = size;
    v.digest = h.HexDigest();

    // The record is read after the bytes, so that one the relay wrote
    // meanwhile is the one compared with.
    SaveIdentity id;
    const Status read = root_.ReadIdentity(repo, save, id);
    if (read.kind() == Status::Kind::kInvalid) {
      v.verdict = Verdict::Damaged;
      v.detail = read.words() + " (sha256 " + v.digest +
                 " on disk); left as it is (once the save is known good, remove the record and verify again "
                 "to record the digest computed here)";
      return Add(std::move(v));
    }
    if (!read.ok() && !read.IsNotFound()) {
      v.detail = read.Line();
      return Add(std::move(v));
    }
    SaveIdentity next = read.ok() ? id : SaveIdentity{};
    // A record without a digest holds nothing to compare but a size.
    const bool size_differs = read.ok() && id.size >= 0 && id.size != size;
    if (!next.HasDigest() && !size_differs) {
      v.verdict = Verdict::Adopted;
      next.size = size, next.digest = v.digest, next.declared = false;
      next.synced = -1, next.hash_state.clear();  // a complete save resumes nothing
    } else {
      v.had_identity = true;
      v.recorded = id;
      v.verdict = size_differs || id.digest != v.digest ? Verdict::Mismatch : Verdict::Good;
      if (v.verdict == Verdict::Mismatch)
        v.detail = std::to_string(size) + " bytes, sha256 " + v.digest + " on disk; " + std::to_string(id.size) +
                   " bytes, sha256 " + (id.HasDigest() ? id.digest : "unknown") + " recorded";
    }
    next.verified_at = now_;
    next.verified_good = v.verdict != Verdict::Mismatch;
    if (const Status w = root_.WriteIdentity(repo, save, next); !w.ok()) v.record_error = w.Line();
    Add(std::move(v));
  }

 private:
  void Add(VerifiedSave v) {
    switch (v.verdict) {
      case Verdict::Good: ++r_.good; break;
      case Verdict::Adopted: ++r_.adopted; break;
      case Verdict::Mismatch: ++r_.mismatched; break;
      case Verdict::Damaged: ++r_.damaged; break;
      case Verdict::Unreadable: ++r_.unreadable; break;
      case Verdict::Gone: break;
    }
    if (v.bytes >= 0) {
      ++r_.checked;
      r_.bytes += v.bytes;
    }
    if (!v.record_error.empty()) ++r_.unrecorded;
    r_.saves.push_back(std::move(v));
  }

  const BackupRoot& root_;
  const std::int64_t now_;
  VerifyReport& r_;
  const VerifyProgress& progress_;
};

Status Usage(std::string words) { return Status::Error(Status::Kind::kInvalid, std::move(words)); }

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Good: return "good";
    case Verdict::Adopted: return "adopted";
    case Verdict::Mismatch: return "mismatch";
    case Verdict::Damaged: return "damaged";
    case Verdict::Unreadable: return "unreadable";
    case Verdict::Gone: return "gone";
  }
  return "unknown";
}

std::string Origin(const SaveIdentity& id) { return id.declared ? "declared" : "computed here"; }

}  // namespace

Status VerifySaves(const BackupRoot& root, std::string_view target, std::int64_t now, VerifyReport& report,
                   const VerifyProgress& progress) {
  report = VerifyReport{};
  report.root = root.Path().string();
  const std::size_t slash = target.find('/');
  const std::string repo(target.substr(0, slash));
  const std::string save(slash == std::string_view::npos ? std::string_view() : target.substr(slash + 1));
  if (!target.empty() && (!IsSafeName(repo) || (slash != std::string_view::npos && !IsSafeSaveName(save))))
    return Usage("'" + Display(target) + "' is not REPO or REPO/SAVE of safe names");

  // The root may be a link to the disk that holds it: listing follows it.
  std::vector<std::string> repos;
  if (const int e = root.Fs().List(root.Path(), repos))
    return Status::FromSystem(e, "cannot read the backup root " + report.root, "opendir");
  Verifier v(root, now, report, progress);
  platform::FileInfo info;
  if (!save.empty()) {
    const std::string label = SaveLabel(repo, save);
    if (const int e = root.Fs().Stat(root.SavePath(repo, save), info); e != 0) {
      if (platform::IsNotFound(e)) return Status::FromSystem(e, "there is no save " + label, "stat");
      v.Unreadable(repo, save, "cannot be examined: " + platform::ErrorText(e));
      return Status::Ok();
    }
    bool pending = false;
    if (const Status s = root.Exists(root.MarkerPath(repo, save), pending); !s.ok()) {
      v.Unreadable(repo, save, s.Line());
      return Status::Ok();
    }
    if (pending) return Usage(label + " is pending: only complete saves are verified");
    if (info.type != FileType::Regular) return Usage(label + " is not a regular file");
    v.One(repo, save, info.size);
    return Status::Ok();
  }
  if (!repo.empty()) {
    repos = {repo};
  } else {
    repos.clear();
    if (const int e = root.Fs().List(root.SavesDir(), repos); e != 0) {
      if (platform::IsNotFound(e)) return Status::Ok();  // nothing stored yet
      return Status::FromSystem(e, "cannot list " + root.SavesDir().string(), "opendir");
    }
    std::sort(repos.begin(), repos.end());
  }
  for (const std::string& name : repos) {
    const std::string label = std::string(kSavesDir) + "/" + name;
    if (const int e = root.Fs().Stat(root.RepoDir(name), info); e != 0) {
      if (platform::IsNotFound(e) && !repo.empty()) return Status::FromSystem(e, "there is no repository " + label, "stat");
      if (!platform::IsNotFound(e)) v.Unlisted(label, e);
      continue;
    }
    if (info.type != FileType::Directory) {
      if (!repo.empty()) return Usage(label + " is not a repository");
      report.problems.push_back(label + ": not a directory; not a repository");
      continue;
    }
    v.Repo(name);
  }
  return Status::Ok();
}

int VerifyExitStatus(const VerifyReport& r) { return r.mismatched + r.damaged > 0 ? 1 : 0; }

std::string FormatVerifyText(const VerifyReport& r) {
  std::string out;
  for (const VerifiedSave& s : r.saves) {
    const std::string label = Display(s.path);
    switch (s.verdict) {
      case Verdict::Good: break;
      case Verdict::Adopted:
        out += "adopted " + label + ": " + std::to_string(s.bytes) + " bytes, sha256 " + s.digest +
               " (computed here: no identity came with it)\n";
        break;
      case Verdict::Mismatch:
        out += "MISMATCH " + label + ": " + s.detail + " (" + Origin(s.recorded) +
               "); not forwarded until it verifies good again\n";
        break;
      case Verdict::Damaged: out += "DAMAGED " + label + ": " + Display(s.detail) + "\n"; break;
      case Verdict::Unreadable: out += "UNREADABLE " + label + ": " + Display(s.detail) + "\n"; break;
      case Verdict::Gone: out += "gone " + label + ": " + s.detail + "\n"; break;
    }
    if (!s.record_error.empty()) out += "  its verdict is not recorded: " + Display(s.record_error) + "\n";
  }
  for (const std::string& p : r.problems) out += "problem: " + Display(p) + "\n";
  out += std::string(VerifyExitStatus(r) ? "FAILED" : "OK") + ": checked " + std::to_string(r.checked) +
         (r.checked == 1 ? " save, " : " saves, ") + std::to_string(r.bytes) + " bytes: " + std::to_string(r.good) +
         " good, " + std::to_string(r.adopted) + " adopted, " + std::to_string(r.mismatched) + " mismatched, " +
         std::to_string(r.damaged) + " damaged identity record(s), " + std::to_string(r.unreadable) + " unreadable";
  if (r.unrecorded) out += "; " + std::to_string(r.unrecorded) + " verdict(s) not recorded";
  return out + " in " + Display(r.root) + "\n";
}

// {"root", "checked", "bytes", "good", "adopted", "mismatched", "damaged", "unreadable", "unrecorded",
//  "saves": [{"repo", "save", "path", "verdict": "good"|"adopted"|"mismatch"|"damaged"|"unreadable"|"gone",
//             "bytes" (null: not read through), "sha256" (computed here, or null),
//             "recorded": null | {"size", "sha256", "origin": "declared"|"computed"},
//             "detail", "record_error"}],
//  "problems": ["..."]}
std::string FormatVerifyJson(const VerifyReport& r) {
  JsonWriter j;
  j.BeginObject();
  j.Key("root");
  j.String(r.root);
  for (const auto& [key, n] : {std::pair<const char*, std::int64_t>{"checked", r.checked}, {"bytes", r.bytes},
                               {"good", r.good}, {"adopted", r.adopted}, {"mismatched", r.mismatched},
                               {"damaged", r.damaged}, {"unreadable", r.unreadable}, {"unrecorded", r.unrecorded}}) {
    j.Key(key);
    j.Number(n);
  }
  j.Key("saves");
  j.BeginArray();
  for (const VerifiedSave& s : r.saves) {
    j.BeginObject();
    j.Name("repo", s.repo);
    j.Name("save", s.save);
    j.Name("path", s.path);
    j.Key("verdict");
    j.String(VerdictName(s.verdict));
    j.Key("bytes");
    j.CountOrNull(s.bytes);
    j.Key("sha256");
    j.TextOrNull(s.digest);
    j.Key("recorded");
    if (!s.had_identity) {
      j.Null();
    } else {
      j.BeginObject();
      j.Key("size");
      j.CountOrNull(s.recorded.size);
      j.Key("sha256");
      j.TextOrNull(s.recorded.digest);
      j.Key("origin");
      j.String(s.recorded.declared ? "declared" : "computed");
      j.EndObject();
    }
    j.Key("detail");
    j.TextOrNull(s.detail);
    j.Key("record_error");
    j.TextOrNull(s.record_error);
    j.EndObject();
  }
  j.EndArray();
  j.Key("problems");
  j.BeginArray();
  for (const std::string& p : r.problems) j.String(p);
  j.EndArray();
  j.EndObject();
  return j.Take();
}

Status DropAside(const BackupRoot& root, std::string_view entry, BackupRoot::path& removed) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t slash = entry.find('/', at);
    parts.push_back(entry.substr(at, slash == std::string_view::npos ? slash : slash - at));
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  if (parts.size() == 3 && parts[0] == kAsideDir) parts.erase(parts.begin());
  if (parts.size() != 2 || !IsSafeName(parts[0]) || !IsSafeName(parts[1]))
    return Usage("'" + Display(entry) + "' is not an entry of " + kAsideDir + "/: give " + kAsideDir + "/REPO/NAME");
  removed = root.AsideDir() / std::string(parts[0]) / std::string(parts[1]);
  platform::FileInfo info;
  if (const int e = root.Fs().Stat(removed, info); e != 0)
    return Status::FromSystem(e, "cannot look at " + removed.string(), "stat");
  if (info.type != FileType::Regular)
    return Status::Error(Status::Kind::kConflict, removed.string() + " is not a file set aside; left as it is");
  return root.RemoveDurably(removed);
}

namespace {
bool NoConfigDirectory(const std::filesystem::path& dir) {
  if (!dir.empty()) return false;
  std::fprintf(stderr, "tarnwick: cannot read the program's own path, where settings.ini is looked for; "
                       "give --dir DIR\n");
  return true;
}
}  // namespace

int RunCheck(const std::filesystem::path& config_dir, bool from_dir) {
  if (NoConfigDirectory(config_dir)) return 1;
  CheckOptions options;
  options.config_dir = config_dir.string();
  // Without --dir the forwarding contexts built after start-up read their
  // PEM files from the backup root; with it, from the named directory.
  options.pems_in_backup_root = !from_dir;
  const std::vector<Finding> findings = CheckConfiguration(options);
  std::size_t errors = 0, warnings = 0;
  for (const Finding& f : findings) {
    if (f.severity == Finding::Severity::Error) ++errors;
    if (f.severity == Finding::Severity::Warning) ++warnings;
    std::printf("%s: %s\n", SeverityName(f.severity), f.text.c_str());
  }
  std::printf("%s: %zu error(s), %zu warning(s) in %s\n", errors ? "FAILED" : "OK", errors, warnings,
              options.config_dir.c_str());
  return errors ? 1 : 0;
}

namespace {

// The backup root settings.ini names (a relative Dir is taken from the
// configuration directory, as at start-up); false, said on standard error,
// when it cannot be known.
bool SettingsRoot(const std::filesystem::path& config_dir, std::string& root) {
  namespace fs = std::filesystem;
  if (NoConfigDirectory(config_dir)) return false;
  std::error_code ec;
  if (!fs::is_directory(config_dir, ec)) {
    std::fprintf(stderr, "tarnwick: the configuration directory %s does not exist\n", config_dir.string().c_str());
    return false;
  }
  if (!fs::exists(config_dir / "settings.ini", ec))
    std::fprintf(stderr, "tarnwick: %s does not exist; using the default backup root\n",
                 (config_dir / "settings.ini").string().c_str());
  std::string unreadable;
  const Settings s = LoadSettings(config_dir, &unreadable);
  if (!unreadable.empty()) {
    std::fprintf(stderr, "tarnwick: %s, so the backup root is unknown\n", unreadable.c_str());
    return false;
  }
  root = s.BackupRoot().string();
  return true;
}

// The save being read and how far, on one line of standard error redrawn
// in place, when standard error is a terminal.
class ProgressLine {
 public:
  explicit ProgressLine(bool show) : show_(show) {}
  ~ProgressLine() {
    if (width_) std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
  }
  VerifyProgress Callback() {
    if (!show_) return {};
    return [this](const VerifiedSave& s, std::int64_t done, std::int64_t size) {
      const auto now = std::chrono::steady_clock::now();
      if (now - drawn_ < std::chrono::milliseconds(250)) return;
      drawn_ = now;
      char pct[16];
      std::snprintf(pct, sizeof pct, "%3d%%", size > 0 ? static_cast<int>(100.0 * static_cast<double>(done) /
                                                                           static_cast<double>(size))
                                                       : 100);
      std::string line = "verifying " + EscapeControl(s.repo + "/" + s.save, {.backslash = true, .utf8 = true}) +
                         "  " + pct + " of " + std::to_string(size) + " bytes";
      const std::size_t width = line.size();
      line.resize(std::max(width, width_), ' ');  // blank out a longer previous line
      width_ = width;
      std::fprintf(stderr, "\r%s", line.c_str());
      std::fflush(stderr);
    };
  }

 private:
  bool show_;
  std::size_t width_ = 0;
  std::chrono::steady_clock::time_point drawn_{};
};

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
}

}  // namespace

int RunStatus(const std::filesystem::path& config_dir, const std::string& repo, bool json) {
  if (!repo.empty() && !IsSafeName(repo)) {
    std::fprintf(stderr, "tarnwick: '%s' is not a repository's name\n", Display(repo).c_str());
    return 2;
  }
  std::string root;
  if (!SettingsRoot(config_dir, root)) return 2;
  const StatusReport report = BuildStatus(root, repo);
  if (!repo.empty() && report.error.empty() &&
      std::none_of(report.repos.begin(), report.repos.end(), [&](const RepoStatus& r) { return r.name == repo; })) {
    std::fprintf(stderr, "tarnwick: there is no repository %s/%s in %s\n", kSavesDir, Display(repo).c_str(),
                 Display(root).c_str());
    return 2;
  }
  Print(json ? FormatStatusJson(report) : FormatStatusTable(report));
  return StatusExitStatus(report);
}

int RunVerify(const std::filesystem::path& config_dir, const std::string& target, bool json) {
  std::string root_dir;
  if (!SettingsRoot(config_dir, root_dir)) return 2;
  const BackupRoot root(root_dir, platform::RealFileSystem());
  VerifyReport report;
  Status st;
  {
    ProgressLine progress(platform::IsTerminal(stderr));
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    st = VerifySaves(root, target, static_cast<std::int64_t>(now), report, progress.Callback());
  }
  if (!st.ok()) {
    std::fprintf(stderr, "tarnwick: %s\n", st.Line().c_str());
    return 2;
  }
  Print(json ? FormatVerifyJson(report) : FormatVerifyText(report));
  return VerifyExitStatus(report);
}

int RunDrop(const std::filesystem::path& config_dir, const std::string& entry, bool force) {
  std::string root_dir;
  if (!SettingsRoot(config_dir, root_dir)) return 2;
  const BackupRoot root(root_dir, platform::RealFileSystem());
  std::string repo, save;
  if (!entry.starts_with(std::string(kAsideDir) + "/") && ParseSaveTarget(entry, repo, save)) {
    // REPO/NAME has always named an entry of aside/: it still does when no
    // save has that name and the entry is there.
    SaveToDrop s;
    bool aside = false;
    if (!ExamineSave(root, repo, save, s).ok() || s.Any() || !root.Exists(root.AsideDir() / repo / save, aside).ok() ||
        !aside)
      return RunDropSave(config_dir, root_dir, entry, force);
  }
  if (force) {
    std::fprintf(stderr, "tarnwick: option --force is for saves, not entries of %s/\n", kAsideDir);
    return 2;
  }
  BackupRoot::path removed;
  const Status st = DropAside(root, entry, removed);
  if (st.ok()) {
    std::printf("removed %s\n", removed.string().c_str());
    return 0;
  }
  if (st.IsNotFound()) {
    std::fprintf(stderr, "tarnwick: there is no %s\n", removed.string().c_str());
    return 1;
  }
  std::fprintf(stderr, "tarnwick: %s\n", st.Line().c_str());
  return st.kind() == Status::Kind::kInvalid ? 2 : 1;
}

int RunList(const std::string& root_arg) {
  const std::filesystem::path root = root_arg.empty() ? std::string(kConfigRoot) : root_arg;
  platform::FileSystem& fs = platform::RealFileSystem();
  std::vector<std::string> names;
  if (const int e = fs.List(root, names); e != 0) {
    std::fprintf(stderr, "tarnwick: cannot list %s: %s\n", Display(root.string()).c_str(), platform::ErrorText(e).c_str());
    return 2;
  }
  std::sort(names.begin(), names.end());
  struct Row {
    std::string name, state, backup_root, detail;
  };
  std::vector<Row> rows;
  for (const std::string& name : names) {
    const std::filesystem::path dir = root / name;
    Row row{Display(name), "unknown", "", ""};
    // An entry that cannot be looked at may well be a relay's: it is
    // listed, its state unknown.
    platform::FileInfo info;
    int e = fs.Stat(dir, info);
    if (e == 0 && info.type != FileType::Directory) continue;
    if (e == 0) e = fs.Stat(dir / "settings.ini", info);
    if (e != 0) {
      if (platform::IsNotFound(e)) continue;
      row.detail = "settings.ini cannot be looked at: " + platform::ErrorText(e);
      rows.push_back(std::move(row));
      continue;
    }
    std::string unreadable;
    const Settings s = LoadSettings(dir, &unreadable);
    if (!unreadable.empty()) {
      row.detail = unreadable;
      rows.push_back(std::move(row));
      continue;
    }
    const BackupRoot backup(s.BackupRoot(), fs);
    row.backup_root = Display(backup.Path().string());
    const platform::LockProbe p = platform::ProbeFileLock(backup.LockFile().string());
    if (p.result == platform::LockProbe::Result::Held) row.state = "running";
    else if (p.result != platform::LockProbe::Result::Error) row.state = "not running";
    else row.detail = std::string(kLockFile) + " cannot be looked at: " + platform::ErrorText(p.error);
    rows.push_back(std::move(row));
  }
  if (rows.empty()) {
    std::printf("no relay is configured in %s (none of its directories holds a settings.ini)\n",
                Display(root.string()).c_str());
    return 0;
  }
  std::size_t w_name = 4, w_state = 5;
  for (const Row& r : rows) w_name = std::max(w_name, r.name.size()), w_state = std::max(w_state, r.state.size());
  auto line = [&](const std::string& a, const std::string& b, const std::string& c) {
    std::printf("%-*s  %-*s  %s\n", static_cast<int>(w_name), a.c_str(), static_cast<int>(w_state), b.c_str(), c.c_str());
  };
  line("NAME", "STATE", "BACKUP ROOT");
  for (const Row& r : rows) line(r.name, r.state, r.backup_root.empty() ? "-" : r.backup_root);
  for (const Row& r : rows)
    if (!r.detail.empty()) std::printf("%s: %s\n", r.name.c_str(), Display(r.detail).c_str());
  return 0;
}

}  // namespace tarnwick
