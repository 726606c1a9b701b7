// A file system that is the real one until a test makes it fail: a disk that
// fills up after a budget of bytes, a failing sync, rename or open, and a
// hook that sees every operation in the order the relay makes them.
#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/file_system.h"

namespace tarnwick::testing {

namespace fs = std::filesystem;
using platform::File;
using platform::FileSystem;

class FaultFs final : public FileSystem {
 public:
  FaultFs() : real_(platform::RealFileSystem()) { previous_ = platform::SetFileSystem(this); }
  ~FaultFs() override { platform::SetFileSystem(previous_); }

  // Bytes that may still be written before writes fail with ENOSPC; < 0: no limit.
  long long write_budget = -1;
  int sync_error = 0;    // Syncs of paths containing sync_match fail with this
  std::string sync_match;
  int rename_error = 0;  // every Rename fails with this
  int open_error = 0;    // Opens of paths containing open_match fail with this
  std::string open_match;
  // Lookups (Stat, List) and opens of paths containing lookup_match fail
  // with lookup_error: a directory that cannot be read for a while (EACCES,
  // EIO, a flaky network share), not one that is gone.
  int lookup_error = 0;
  std::string lookup_match;
  // Sees "open <path>", "write <path>", "sync <path>", "rename <from> <to>",
  // "remove <path>" before each is carried out.
  std::function<void(const std::string& op, const fs::path& p)> observe;

  int Open(const fs::path& p, Mode mode, File& out) override {
    See("open", p);
    if (open_error && p.string().find(open_match) != std::string::npos) return open_error;
    if (int e = LookupFault(p)) return e;
    File f;
    if (int e = real_.Open(p, mode, f)) return e;
    std::lock_guard l(m_);
    paths_[f.Handle()] = p;
    out = File(this, Release(f));
    return 0;
  }
  int Write(File& f, const char* data, std::size_t len) override {
    See("write", PathOf(f));
    File r = Borrow(f);
    int e = 0;
    if (write_budget >= 0 && static_cast<long long>(len) > write_budget) {
      len = static_cast<std::size_t>(write_budget);
      e = ENOSPC;
    }
    if (int w = real_.Write(r, data, len)) e = w;
    if (write_budget >= 0) write_budget -= static_cast<long long>(len);
    Release(r);
    return e;
  }
  int Read(File& f, char* d, std::size_t cap, std::size_t& n) override {
    File r = Borrow(f);
    int e = real_.Read(r, d, cap, n);
    Release(r);
    return e;
  }
  int ReadAt(File& f, std::int64_t o, char* d, std::size_t cap, std::size_t& n) override {
    File r = Borrow(f);
    int e = real_.ReadAt(r, o, d, cap, n);
    Release(r);
    return e;
  }
  int Truncate(File& f, std::int64_t size) override {
    See("truncate", PathOf(f));
    File r = Borrow(f);
    int e = real_.Truncate(r, size);
    Release(r);
    return e;
  }
  int Size(File& f, std::int64_t& s) override {
    File r = Borrow(f);
    int e = real_.Size(r, s);
    Release(r);
    return e;
  }
  int Sync(File& f) override {
    See("sync", PathOf(f));
    if (sync_error && PathOf(f).string().find(sync_match) != std::string::npos) return sync_error;
    File r = Borrow(f);
    int e = real_.Sync(r);
    Release(r);
    return e;
  }
  int CloseHandle(std::intptr_t h) override {
    {
      std::lock_guard l(m_);
      paths_.erase(h);
    }
    return real_.CloseHandle(h);
  }
  int Rename(const fs::path& from, const fs::path& to) override {
    See("rename", to);
    return rename_error ? rename_error : real_.Rename(from, to);
  }
  int Remove(const fs::path& p) override {
    See("remove", p);
    return real_.Remove(p);
  }
  int SyncDirectory(const fs::path& d) override { return real_.SyncDirectory(d); }
  int CreateDirectory(const fs::path& d) override { return real_.CreateDirectory(d); }
  int FreeSpace(const fs::path& d, std::uint64_t& b) override { return real_.FreeSpace(d, b); }
  int Stat(const fs::path& p, platform::FileInfo& info) override {
    if (int e = LookupFault(p)) return e;
    return real_.Stat(p, info);
  }
  int List(const fs::path& d, std::vector<std::string>& names) override {
    if (int e = LookupFault(d)) return e;
    return real_.List(d, names);
  }

  void Clear() {
    write_budget = -1;
    sync_error = rename_error = open_error = lookup_error = 0;
  }

 private:
  // The real file system's view of one of our handles, without owning it.
  File Borrow(File& f) { return File(&real_, f.Handle()); }
  static std::intptr_t Release(File& f) { return f.Release(); }
  fs::path PathOf(const File& f) {
    std::lock_guard l(m_);
    auto it = paths_.find(f.Handle());
    return it == paths_.end() ? fs::path() : it->second;
  }
  int LookupFault(const fs::path& p) const {
    return lookup_error && p.string().find(lookup_match) != std::string::npos ? lookup_error : 0;
  }
  void See(const char* op, const fs::path& p) {
    if (observe) observe(op, p);
  }

  FileSystem& real_;
  FileSystem* previous_;
  std::mutex m_;
  std::map<std::intptr_t, fs::path> paths_;
};

}  // namespace tarnwick::testing
