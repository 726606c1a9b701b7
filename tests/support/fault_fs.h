// A file system that is the real one until a test makes it fail: a disk
// that fills up after a budget of bytes, a failing sync, open or rename,
// lookups that fail for a while (EACCES, EIO), and a power loss: Crash()
// makes every call fail from then on, and DropUnsynced() puts the files
// back as the disk held them at their last syncs, the way LevelDB's
// fault-injection environment does.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/file_system.h"

namespace tw {

namespace fs = std::filesystem;
using tarnwick::platform::File;
using tarnwick::platform::FileInfo;
using tarnwick::platform::FileSystem;

class FaultFs final : public FileSystem {
 public:
  FaultFs() : real_(tarnwick::platform::RealFileSystem()) {}

  // A failure for the calls whose path contains match (any path when empty).
  struct Fault {
    std::atomic<int> error{0};
    std::string match;
    void Set(int e, std::string m = "") { match = std::move(m), error = e; }
  };
  // Bytes that may still be written before writes fail with ENOSPC; < 0: no limit.
  std::atomic<long long> write_budget{-1};
  Fault sync, open, rename, lookup;  // lookup: Stat, List and Open
  // Sees "open", "write", "sync", "rename", "remove", "syncdir" with the
  // path, before each call is carried out.
  std::function<void(const std::string& op, const fs::path& p)> observe;

  void Clear();
  // The power goes: every call fails with EIO from now on.
  void Crash() { crashed_ = true; }
  // After Crash: what was not synced is lost (appends cut back, new entries
  // whose directory was not synced gone, unsynced renames and removals
  // undone). The files are then as a restarted machine would find them.
  void DropUnsynced();

  int Open(const fs::path& p, Mode mode, File& out) override;
  int Write(File& f, const char* data, std::size_t len) override;
  int Read(File& f, char* d, std::size_t cap, std::size_t& n) override;
  int ReadAt(File& f, std::int64_t o, char* d, std::size_t cap, std::size_t& n) override;
  int Size(File& f, std::int64_t& s) override;
  int Truncate(File& f, std::int64_t size) override;
  int Sync(File& f) override;
  int CloseHandle(std::intptr_t h) override;
  int Rename(const fs::path& from, const fs::path& to) override;
  int Remove(const fs::path& p) override;
  int SyncDirectory(const fs::path& d) override;
  int CreateDirectory(const fs::path& d) override;
  int FreeSpace(const fs::path& d, std::uint64_t& b) override { return real_.FreeSpace(d, b); }
  int Stat(const fs::path& p, FileInfo& info) override;
  int List(const fs::path& d, std::vector<std::string>& names) override;

 private:
  // What a directory entry looked like before a change not yet made
  // durable by syncing its directory: none (it did not exist) or its bytes.
  struct Before {
    std::optional<std::string> bytes;
  };
  int Fails(const char* op, const fs::path& p, const Fault* f = nullptr);
  File Borrow(File& f) { return File(&real_, f.Handle()); }
  fs::path PathOf(const File& f);
  // Called with m_ held: remembers p's synced size the first time it is seen.
  void Track(const fs::path& p);
  void Remember(const fs::path& p);  // its state before an entry change

  FileSystem& real_;
  std::atomic<bool> crashed_{false};
  std::mutex m_;
  std::map<std::intptr_t, fs::path> paths_;
  std::map<fs::path, std::int64_t> synced_;         // bytes of each file known on disk
  std::map<fs::path, Before> unsynced_entries_;     // changed entries, by path
};

}  // namespace tw
