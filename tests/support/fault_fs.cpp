#include "support/fault_fs.h"

#include "support/net.h"

namespace tw {

fs::path FaultFs::PathOf(const File& f) {
  std::lock_guard l(m_);
  const auto it = paths_.find(f.Handle());
  return it == paths_.end() ? fs::path() : it->second;
}

void FaultFs::Remember(const fs::path& p) {
  if (before_.count(p)) return;  // a crash brings back the state before the first change
  std::optional<std::string>& bytes = before_[p];
  if (Exists(p)) bytes = tw::Read(p);
  if (bytes && synced_.count(p)) bytes->resize(std::min(bytes->size(), static_cast<std::size_t>(synced_[p])));
}

int FaultFs::Open(const fs::path& p, Mode mode, File& out) {
  if (int e = Hook("open", p)) return e;
  std::lock_guard l(m_);
  const bool existed = Exists(p);
  if (!existed) Remember(p);
  File f;
  if (int e = real_.Open(p, mode, f)) return e;
  if (!existed || mode == Mode::Truncate)
    synced_[p] = 0;
  else
    synced_.try_emplace(p, SizeOf(p));  // a file met first is taken as on disk
  paths_[f.Handle()] = p;
  out = File(this, f.Release());
  return 0;
}

int FaultFs::Truncate(File& f, std::int64_t size) {
  const fs::path p = PathOf(f);
  if (int e = Hook("truncate", p)) return e;
  const int e = real_.Truncate(f, size);
  std::lock_guard l(m_);
  if (e == 0 && synced_[p] > size) synced_[p] = size;
  return e;
}

int FaultFs::Sync(File& f) {
  const fs::path p = PathOf(f);
  if (int e = Hook("sync", p)) return e;
  std::int64_t size = 0;
  int e = real_.Sync(f);
  if (e == 0) e = real_.Size(f, size);
  std::lock_guard l(m_);
  if (e == 0) synced_[p] = size;
  return e;
}

int FaultFs::Rename(const fs::path& from, const fs::path& to) {
  if (int e = Hook("rename", to)) return e;
  std::lock_guard l(m_);
  Remember(to);
  synced_.try_emplace(from, SizeOf(from));
  const int e = real_.Rename(from, to);
  if (e == 0) synced_[to] = synced_[from];
  return e;
}

int FaultFs::Remove(const fs::path& p) {
  if (int e = Hook("remove", p)) return e;
  std::lock_guard l(m_);
  Remember(p);
  return real_.Remove(p);
}

int FaultFs::SyncDirectory(const fs::path& d) {
  if (int e = Hook("syncdir", d)) return e;
  const int e = real_.SyncDirectory(d);
  std::lock_guard l(m_);
  if (e == 0) std::erase_if(before_, [&](const auto& entry) { return entry.first.parent_path() == d; });
  return e;
}

void FaultFs::DropUnsynced() {
  std::lock_guard l(m_);
  std::error_code ec;
  for (const auto& [p, bytes] : before_) {
    synced_.erase(p);  // as on disk once put back here
    if (bytes)
      tw::Write(p, *bytes);
    else
      fs::remove(p, ec);
  }
  for (const auto& [p, size] : synced_)
    if (SizeOf(p) > size) fs::resize_file(p, static_cast<std::uintmax_t>(size), ec);
}

}  // namespace tw
