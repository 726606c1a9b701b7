#include "support/fault_fs.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace tw {

namespace {
std::optional<std::string> Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

void FaultFs::Clear() {
  write_budget = -1;
  for (Fault* f : {&sync, &open, &rename, &lookup}) f->error = 0;
}

int FaultFs::Fails(const char* op, const fs::path& p, const Fault* f) {
  if (observe) observe(op, p);
  if (crashed_) return EIO;
  if (f && f->error && p.string().find(f->match) != std::string::npos) return f->error;
  return 0;
}

fs::path FaultFs::PathOf(const File& f) {
  std::lock_guard l(m_);
  auto it = paths_.find(f.Handle());
  return it == paths_.end() ? fs::path() : it->second;
}

void FaultFs::Track(const fs::path& p) {
  if (synced_.count(p)) return;
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  synced_[p] = ec ? 0 : static_cast<std::int64_t>(n);
}

void FaultFs::Remember(const fs::path& p) {
  if (unsynced_entries_.count(p)) return;  // the state before the first change counts
  std::optional<std::string> bytes = Slurp(p);
  if (bytes && synced_.count(p)) bytes->resize(std::min<std::size_t>(bytes->size(), synced_[p]));
  unsynced_entries_[p] = Before{bytes};
}

int FaultFs::Open(const fs::path& p, Mode mode, File& out) {
  if (int e = Fails("open", p, &open)) return e;
  if (lookup.error && p.string().find(lookup.match) != std::string::npos) return lookup.error;
  std::error_code ec;
  const bool existed = fs::exists(p, ec);
  File f;
  if (int e = real_.Open(p, mode, f)) return e;
  std::lock_guard l(m_);
  if (!existed) {
    Remember(p);
    synced_[p] = 0;
  }
  Track(p);
  if (mode == Mode::Truncate) synced_[p] = std::min<std::int64_t>(synced_[p], 0);
  paths_[f.Handle()] = p;
  out = File(this, f.Release());
  return 0;
}

int FaultFs::Write(File& f, const char* data, std::size_t len) {
  if (int e = Fails("write", PathOf(f))) return e;
  int e = 0;
  long long budget = write_budget;
  if (budget >= 0 && static_cast<long long>(len) > budget) {
    len = static_cast<std::size_t>(budget);
    e = ENOSPC;
  }
  File r = Borrow(f);
  if (int w = real_.Write(r, data, len)) e = w;
  r.Release();
  if (budget >= 0) write_budget -= static_cast<long long>(len);
  return e;
}

int FaultFs::Read(File& f, char* d, std::size_t cap, std::size_t& n) {
  if (crashed_) return EIO;
  File r = Borrow(f);
  const int e = real_.Read(r, d, cap, n);
  r.Release();
  return e;
}

int FaultFs::ReadAt(File& f, std::int64_t o, char* d, std::size_t cap, std::size_t& n) {
  if (crashed_) return EIO;
  File r = Borrow(f);
  const int e = real_.ReadAt(r, o, d, cap, n);
  r.Release();
  return e;
}

int FaultFs::Size(File& f, std::int64_t& s) {
  if (crashed_) return EIO;
  File r = Borrow(f);
  const int e = real_.Size(r, s);
  r.Release();
  return e;
}

int FaultFs::Truncate(File& f, std::int64_t size) {
  const fs::path p = PathOf(f);
  if (int e = Fails("truncate", p)) return e;
  File r = Borrow(f);
  const int e = real_.Truncate(r, size);
  r.Release();
  std::lock_guard l(m_);
  if (e == 0 && synced_[p] > size) synced_[p] = size;
  return e;
}

int FaultFs::Sync(File& f) {
  const fs::path p = PathOf(f);
  if (int e = Fails("sync", p, &sync)) return e;
  File r = Borrow(f);
  std::int64_t size = 0;
  int e = real_.Sync(r);
  if (e == 0) e = real_.Size(r, size);
  r.Release();
  std::lock_guard l(m_);
  if (e == 0) synced_[p] = size;
  return e;
}

int FaultFs::CloseHandle(std::intptr_t h) {
  {
    std::lock_guard l(m_);
    paths_.erase(h);
  }
  return real_.CloseHandle(h);
}

int FaultFs::Rename(const fs::path& from, const fs::path& to) {
  if (int e = Fails("rename", to, &rename)) return e;
  std::lock_guard l(m_);
  Remember(to);
  Track(from);
  const int e = real_.Rename(from, to);
  if (e == 0) synced_[to] = synced_[from];
  return e;
}

int FaultFs::Remove(const fs::path& p) {
  if (int e = Fails("remove", p)) return e;
  std::lock_guard l(m_);
  Remember(p);
  return real_.Remove(p);
}

int FaultFs::SyncDirectory(const fs::path& d) {
  if (int e = Fails("syncdir", d, &sync)) return e;
  const int e = real_.SyncDirectory(d);
  if (e == 0) {
    std::lock_guard l(m_);
    for (auto it = unsynced_entries_.begin(); it != unsynced_entries_.end();)
      it = it->first.parent_path() == d ? unsynced_entries_.erase(it) : std::next(it);
  }
  return e;
}

int FaultFs::CreateDirectory(const fs::path& d) {
  if (int e = Fails("mkdir", d)) return e;
  return real_.CreateDirectory(d);
}

int FaultFs::Stat(const fs::path& p, FileInfo& info) {
  if (crashed_) return EIO;
  if (lookup.error && p.string().find(lookup.match) != std::string::npos) return lookup.error;
  return real_.Stat(p, info);
}

int FaultFs::List(const fs::path& d, std::vector<std::string>& names) {
  if (crashed_) return EIO;
  if (lookup.error && d.string().find(lookup.match) != std::string::npos) return lookup.error;
  return real_.List(d, names);
}

void FaultFs::DropUnsynced() {
  std::lock_guard l(m_);
  // Entries first: an unsynced rename or removal is undone, an unsynced new
  // file disappears.
  for (const auto& [p, before] : unsynced_entries_) {
    std::error_code ec;
    if (before.bytes) {
      std::ofstream(p, std::ios::binary | std::ios::trunc) << *before.bytes;
      synced_[p] = static_cast<std::int64_t>(before.bytes->size());
    } else {
      fs::remove(p, ec);
      synced_.erase(p);
    }
  }
  unsynced_entries_.clear();
  // Then data: every file cut back to what its last sync put on disk.
  for (const auto& [p, size] : synced_) {
    std::error_code ec;
    const auto now = fs::file_size(p, ec);
    if (!ec && static_cast<std::int64_t>(now) > size) fs::resize_file(p, static_cast<std::uintmax_t>(size), ec);
  }
  crashed_ = false;
}

}  // namespace tw
