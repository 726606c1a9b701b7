// A file system that is the real one until a test makes its calls fail, or
// cuts the power: then the files are as the disk held them at their last
// syncs, the way LevelDB's fault-injection environment does it.
#pragma once

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace tw {

namespace fs = std::filesystem;
using tarnwick::platform::File;
using tarnwick::platform::FileInfo;
using tarnwick::platform::FileSystem;

// Files go to the real file system as they are: it acts on their handle alone.
class FaultFs final : public FileSystem {
 public:
  // Sees each call and its path first: "open", "write", "truncate", "sync",
  // "rename" (the new path), "remove", "syncdir", "mkdir", and "lookup" for
  // Stat and List. An answer other than 0 fails the call with that error.
  std::function<int(const std::string& op, const fs::path& p)> hook;
  // The power goes: every call fails with EIO from now on.
  void Crash() { crashed_ = true; }
  // After Crash, once: appends not synced are cut back, and entries created,
  // renamed over or removed since their directory's last sync are undone.
  void DropUnsynced();

  int Open(const fs::path& p, Mode mode, File& out) override;
  int Write(File& f, const char* data, std::size_t len) override {
    const int e = Hook("write", PathOf(f));
    return e ? e : real_.Write(f, data, len);
  }
  int Read(File& f, char* d, std::size_t cap, std::size_t& n) override {
    return crashed_ ? EIO : real_.Read(f, d, cap, n);
  }
  int ReadAt(File& f, std::int64_t o, char* d, std::size_t cap, std::size_t& n) override {
    return crashed_ ? EIO : real_.ReadAt(f, o, d, cap, n);
  }
  int Size(File& f, std::int64_t& s) override { return crashed_ ? EIO : real_.Size(f, s); }
  int Truncate(File& f, std::int64_t size) override;
  int Sync(File& f) override;
  int CloseHandle(std::intptr_t h) override {
    std::lock_guard l(m_);
    paths_.erase(h);
    return real_.CloseHandle(h);
  }
  int Rename(const fs::path& from, const fs::path& to) override;
  int Remove(const fs::path& p) override;
  int SyncDirectory(const fs::path& d) override;
  int CreateDirectory(const fs::path& d) override {
    const int e = Hook("mkdir", d);
    return e ? e : real_.CreateDirectory(d);
  }
  int FreeSpace(const fs::path& d, std::uint64_t& b) override { return real_.FreeSpace(d, b); }
  int Stat(const fs::path& p, FileInfo& info) override {
    const int e = Hook("lookup", p);
    return e ? e : real_.Stat(p, info);
  }
  int List(const fs::path& d, std::vector<std::string>& names) override {
    const int e = Hook("lookup", d);
    return e ? e : real_.List(d, names);
  }

 private:
  int Hook(const char* op, const fs::path& p) {  // the hook's answer; EIO once crashed
    const int e = hook ? hook(op, p) : 0;
    return crashed_ ? EIO : e;
  }
  fs::path PathOf(const File& f);
  void Remember(const fs::path& p);  // with m_ held, before the entry p changes

  FileSystem& real_ = tarnwick::platform::RealFileSystem();
  std::atomic<bool> crashed_{false};
  std::mutex m_;
  std::map<std::intptr_t, fs::path> paths_;
  std::map<fs::path, std::int64_t> synced_;  // the bytes of each file known to be on disk
  // Entries changed since their directory's last sync: their bytes on disk
  // before the first change, none when they did not exist.
  std::map<fs::path, std::optional<std::string>> before_;
};

}  // namespace tw
