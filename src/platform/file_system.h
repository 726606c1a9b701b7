// File operations behind one seam, so that tests can make the disk full in
// the middle of a save, fail a sync or run out of descriptors, and check that
// what the relay confirmed is on disk and what it did not is pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::platform {

class FileSystem;

// Move-only owner of one open file; closes it on destruction.
class File {
 public:
  File() = default;
  File(FileSystem* fs, std::intptr_t handle) : fs_(fs), h_(handle) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept : fs_(o.fs_), h_(o.h_) { o.h_ = kNone; }
  File& operator=(File&& o) noexcept {
    if (this != &o) {
      Close();
      fs_ = o.fs_;
      h_ = o.h_;
      o.h_ = kNone;
    }
    return *this;
  }
  ~File() { Close(); }

  bool IsOpen() const { return h_ != kNone; }
  std::intptr_t Handle() const { return h_; }
  // 0, or the error code of the failed close.
  int Close();
  // Gives up ownership without closing.
  std::intptr_t Release() {
    std::intptr_t h = h_;
    h_ = kNone;
    return h;
  }

  static constexpr std::intptr_t kNone = -1;

 private:
  FileSystem* fs_ = nullptr;
  std::intptr_t h_ = kNone;
};

// What a lookup found at a path (links are not followed).
struct FileInfo {
  enum class Type { Regular, Directory, Other } type = Type::Other;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // last modification, for ordering only
};

// Every call returns 0 on success, otherwise the system's error code (errno
// on POSIX, GetLastError on Windows). Only IsNotFound(code) means "absent":
// any other error (a permission, an I/O error, no descriptors) means the
// entry could not be looked at, and whatever it is stays as it is.
class FileSystem {
 public:
  enum class Mode {
    Read,      // existing file, reading
    Append,    // writing at the end, created when absent
    Truncate,  // writing from an empty file, created when absent
  };

  virtual ~FileSystem() = default;
  virtual int Open(const std::filesystem::path& p, Mode mode, File& out) = 0;
  // Writes all of data or fails.
  virtual int Write(File& f, const char* data, std::size_t len) = 0;
  // Reads up to cap bytes from the current position; n = 0 at the end.
  virtual int Read(File& f, char* data, std::size_t cap, std::size_t& n) = 0;
  // Reads up to cap bytes at offset, without moving the position.
  virtual int ReadAt(File& f, std::int64_t offset, char* data, std::size_t cap, std::size_t& n) = 0;
  virtual int Size(File& f, std::int64_t& size) = 0;
  // Cuts the file to size bytes (a write that may not have reached the disk).
  virtual int Truncate(File& f, std::int64_t size) = 0;
  // The file's bytes on stable storage.
  virtual int Sync(File& f) = 0;
  // Starts writing [offset, offset + len) to storage without waiting, so a
  // later Sync of a large file has little left to do. Only a hint.
  virtual void StartWriteBack(File&, std::int64_t /*offset*/, std::int64_t /*len*/) {}
  virtual int CloseHandle(std::intptr_t h) = 0;
  // Replaces to (when it exists) in one step.
  virtual int Rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  virtual int Remove(const std::filesystem::path& p) = 0;
  // A new or removed entry of dir on stable storage.
  virtual int SyncDirectory(const std::filesystem::path& dir) = 0;
  // Creates dir when absent (an existing directory is success).
  virtual int CreateDirectory(const std::filesystem::path& dir) = 0;
  virtual int FreeSpace(const std::filesystem::path& dir, std::uint64_t& bytes) = 0;
  virtual int Stat(const std::filesystem::path& p, FileInfo& info) = 0;
  // The names in dir, without "." and "..", in no particular order.
  virtual int List(const std::filesystem::path& dir, std::vector<std::string>& names) = 0;
};

// The real one of this platform. Parts get the file system they use from
// their owner; tests give them one that fails on demand.
FileSystem& RealFileSystem();

// An error code in words, for entries an operator reads.
std::string ErrorText(int code);
// True for "no space left on the device" (and the quota's kin).
bool IsNoSpace(int code);
// True only for "no such file or directory": the one error that says a
// thing is gone.
bool IsNotFound(int code);
// The code IsNotFound accepts, for fakes and callers that make one up.
int NotFoundCode();

}  // namespace tarnwick::platform
