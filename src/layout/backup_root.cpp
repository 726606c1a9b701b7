#include "layout/backup_root.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <algorithm>
#include <vector>

#include "base/sha256.h"
#include "layout/stream_header.h"

#include <ctime>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {
std::atomic<unsigned long> temp_counter{0};
}  // namespace

BackupRoot::path BackupRoot::MarkerPath(const std::string& repo, const std::string& save) const {
  return RepoDir(repo) / (save + std::string(kPendingSuffix));
}

Status BackupRoot::Exists(const path& p, bool& exists) const {
  platform::FileInfo info;
  const int e = fs_->Stat(p, info);
  exists = e == 0;
  if (e == 0 || platform::IsNotFound(e)) return Status::Ok();
  return Status::FromSystem(e, "cannot look at " + p.string(), "stat");
}

Status BackupRoot::MakeDirectory(const path& dir) const {
  platform::FileInfo info;
  int e = fs_->Stat(dir, info);
  if (e == 0 && info.type == platform::FileInfo::Type::Directory) return Status::Ok();
  if (e == 0 || platform::IsNotFound(e)) {
    e = fs_->CreateDirectory(dir);
    if (e == 0) e = fs_->SyncDirectory(dir.parent_path());
  }
  return e == 0 ? Status::Ok() : Status::FromSystem(e, "cannot create the folder " + dir.string(), "_mkdir");
}

Status BackupRoot::WriteAtomically(const path& p, std::string_view text, bool durable) const {
  const path temp_dir = TempDir();
  if (int e = fs_->CreateDirectory(temp_dir))
    return Status::FromSystem(e, "cannot create " + temp_dir.string(), "_mkdir");
  // Unique per call (several threads write records at once) and per process
  // (a verb may write beside the relay), and short whatever path it stands
  // for: a name derived from a 247-byte save name would not fit.
  static const unsigned process_tag = std::random_device{}();
  char name[48];
  std::snprintf(name, sizeof name, "%08x-%lu.tmp", process_tag, ++temp_counter);
  const path temp = temp_dir / name;
  platform::File out;
  int e = fs_->Open(temp, platform::FileSystem::Mode::Truncate, out);
  if (e == 0) e = fs_->Write(out, text.data(), text.size());
  if (e == 0 && durable) e = fs_->Sync(out);
  if (int c = out.Close(); e == 0) e = c;
  // The rename is what makes the new content visible: it comes only after
  // the bytes are on disk, so a crash never shows an empty file.
  if (e == 0) e = fs_->Rename(temp, p);
  if (e != 0) {
    fs_->Remove(temp);
    return Status::FromSystem(e, "cannot write " + p.string(), "write");
  }
  if (durable && (e = fs_->SyncDirectory(p.parent_path())))
    return Status::FromSystem(e, "cannot sync the folder of " + p.string(), "fsync");
  return Status::Ok();
}

Status BackupRoot::ReadSmall(const path& p, std::string& text, std::size_t cap) const {
  platform::File in;
  if (int e = fs_->Open(p, platform::FileSystem::Mode::Read, in))
    return Status::FromSystem(e, "cannot open " + p.string(), "fopen");
  text.clear();
  char buf[4096];
  while (text.size() < cap) {
    std::size_t n = 0;
    if (int e = fs_->Read(in, buf, sizeof buf, n)) return Status::FromSystem(e, "cannot read " + p.string(), "fread");
    if (n == 0) break;
    text.append(buf, n);
  }
  if (text.size() > cap) text.resize(cap);
  return Status::Ok();
}

Status BackupRoot::RemoveDurably(const path& p) const {
  int e = fs_->Remove(p);
  if (platform::IsNotFound(e)) e = 0;  // gone already
  if (e == 0) e = fs_->SyncDirectory(p.parent_path());
  return e == 0 ? Status::Ok() : Status::FromSystem(e, "cannot remove " + p.string(), "unlink");
}

Status BackupRoot::EmptyTemp() const {
  std::vector<std::string> names;
  const path dir = TempDir();
  if (int e = fs_->List(dir, names); e != 0)
    return platform::IsNotFound(e) ? Status::Ok() : Status::FromSystem(e, "cannot read " + dir.string(), "opendir");
  for (const std::string& name : names)
    if (int e = fs_->Remove(dir / name); e != 0 && !platform::IsNotFound(e))
      return Status::FromSystem(e, "cannot remove " + (dir / name).string(), "unlink");
  return Status::Ok();
}

Status BackupRoot::ReadRecord(const QueueEntry& e, ForwardRecord& out) const {
  std::string text;
  Status s = ReadSmall(RecordPath(e), text, 256);
  if (s.ok()) out = ParseRecord(text);
  return s;
}

Status BackupRoot::WriteRecord(const QueueEntry& e, const ForwardRecord& r) const {
  for (const path& d : {ForwardsDir(), ForwardsDir() / e.repo})
    if (Status s = MakeDirectory(d); !s.ok()) return s;
  return WriteAtomically(RecordPath(e), FormatRecord(r));
}

Status BackupRoot::RemoveRecord(const QueueEntry& e) const { return RemoveDurably(RecordPath(e)); }

Status BackupRoot::ReadIdentity(const std::string& repo, const std::string& save, SaveIdentity& out) const {
  std::string text;
  const path p = IdentityPath(repo, save);
  if (Status s = ReadSmall(p, text, 8192); !s.ok()) return s;
  std::optional<SaveIdentity> id = ParseIdentity(text);
  if (!id) return Status::Error(Status::Kind::kInvalid, p.string() + " is damaged", "parse", 0);
  out = *id;
  return Status::Ok();
}

Status BackupRoot::WriteIdentity(const std::string& repo, const std::string& save, const SaveIdentity& id) const {
  for (const path& d : {IdsDir(), IdsDir() / repo})
    if (Status s = MakeDirectory(d); !s.ok()) return s;
  return WriteAtomically(IdentityPath(repo, save), FormatIdentity(id));
}

Status BackupRoot::RemoveIdentity(const std::string& repo, const std::string& save) const {
  return RemoveDurably(IdentityPath(repo, save));
}

Status BackupRoot::RemoveStaleIdentities(int& removed) const {
  removed = 0;
  std::vector<std::string> repos;
  if (int e = fs_->List(IdsDir(), repos); e != 0)
    return platform::IsNotFound(e) ? Status::Ok() : Status::FromSystem(e, "cannot read " + IdsDir().string(), "opendir");
  Status first;
  for (const std::string& repo : repos) {
    std::vector<std::string> saves;
    if (int e = fs_->List(IdsDir() / repo, saves); e != 0) {
      if (first.ok()) first = Status::FromSystem(e, "cannot read " + (IdsDir() / repo).string(), "opendir");
      continue;
    }
    for (const std::string& save : saves) {
      bool save_there = true, marker_there = true;
      Status s = Exists(SavePath(repo, save), save_there);
      if (s.ok()) s = Exists(MarkerPath(repo, save), marker_there);
      if (s.ok() && !save_there && !marker_there) s = RemoveIdentity(repo, save), removed += s.ok() ? 1 : 0;
      if (!s.ok() && first.ok()) first = s;
    }
  }
  return first;
}

Status BackupRoot::MoveAside(const std::string& repo, const std::string& save, path& where) const {
  for (const path& d : {AsideDir(), AsideDir() / repo})
    if (Status s = MakeDirectory(d); !s.ok()) return s;
  // A save name may take 247 of a file name's 255 bytes: the stem is cut
  // so that the time and a count still fit.
  std::size_t stem = std::min<std::size_t>(save.size(), 230);
  while (stem > 0 && stem < save.size() && (static_cast<unsigned char>(save[stem]) & 0xC0) == 0x80) --stem;
  const std::string base =
      save.substr(0, stem) + "." + std::to_string(static_cast<long long>(std::time(nullptr)));
  for (int n = 0;; ++n) {
    where = AsideDir() / repo / (n == 0 ? base : base + "_" + std::to_string(n));
    bool taken = false;
    if (Status s = Exists(where, taken); !s.ok()) return s;
    if (!taken) break;
  }
  const path from = SavePath(repo, save);
  if (int e = fs_->Rename(from, where)) return Status::FromSystem(e, "cannot move " + from.string() + " aside", "rename");
  int e = fs_->SyncDirectory(where.parent_path());
  if (e == 0) e = fs_->SyncDirectory(from.parent_path());
  return e == 0 ? Status::Ok() : Status::FromSystem(e, "cannot sync the move of " + from.string() + " aside", "fsync");
}

Status BackupRoot::HashFile(const path& p, std::int64_t size, Sha256& h,
                            const std::function<bool(std::int64_t)>& progress) const {
  platform::File in;
  if (int e = fs_->Open(p, platform::FileSystem::Mode::Read, in))
    return Status::FromSystem(e, "cannot open " + p.string(), "fopen");
  std::vector<char> buf(1 << 20);
  std::int64_t done = 0;
  while (done < size) {
    std::size_t n = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(size - done, buf.size()));
    if (int e = fs_->ReadAt(in, done, buf.data(), want, n)) return Status::FromSystem(e, "cannot read " + p.string(), "fread");
    if (n == 0)
      return Status::Error(Status::Kind::kInvalid,
                           p.string() + " ends after " + std::to_string(done) + " of " + std::to_string(size) + " bytes",
                           "fread", 0);
    h.Update(buf.data(), n);
    done += static_cast<std::int64_t>(n);
    if (progress && !progress(done)) return Status::Error(Status::Kind::kStopped, "stopped", "", 0);
  }
  return Status::Ok();
}

}  // namespace tarnwick
