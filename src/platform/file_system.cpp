// The parts of the file seam that are the same on every platform.
#include "platform/file_system.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>

namespace tarnwick::platform {

namespace fs = std::filesystem;

namespace {
std::atomic<FileSystem*> current{nullptr};
std::atomic<unsigned long> temp_counter{0};
}  // namespace

int File::Close() {
  if (h_ == kNone) return 0;
  std::intptr_t h = h_;
  h_ = kNone;
  return fs_ ? fs_->CloseHandle(h) : 0;
}

FileSystem& Fs() {
  FileSystem* f = current.load();
  return f ? *f : RealFileSystem();
}

FileSystem* SetFileSystem(FileSystem* fs) { return current.exchange(fs); }

int WriteFileAtomically(const fs::path& path, std::string_view text, const fs::path& temp_dir,
                        bool durable) {
  FileSystem& f = Fs();
  if (int e = f.CreateDirectory(temp_dir)) return e;
  // Unique per call (several threads write records at once) and per process
  // (a verb may write beside the relay), and short whatever path it stands
  // for: a name derived from a 247-byte save name would not fit.
  static const unsigned process_tag = std::random_device{}();
  char name[48];
  std::snprintf(name, sizeof name, "%08x-%lu.tmp", process_tag, ++temp_counter);
  const fs::path temp = temp_dir / name;
  File out;
  int e = f.Open(temp, FileSystem::Mode::Truncate, out);
  if (e == 0) e = f.Write(out, text.data(), text.size());
  if (e == 0 && durable) e = f.Sync(out);
  if (int c = out.Close(); e == 0) e = c;
  // The rename is what makes the new content visible: it comes only after
  // the bytes are on disk, so a crash never shows an empty file.
  if (e == 0) e = f.Rename(temp, path);
  if (e != 0) {
    f.Remove(temp);
    return e;
  }
  return durable ? f.SyncDirectory(path.parent_path()) : 0;
}

int Exists(const fs::path& p, bool& exists) {
  FileInfo info;
  const int e = Fs().Stat(p, info);
  exists = e == 0;
  return IsNotFound(e) ? 0 : e;
}

int ReadSmallFile(const fs::path& path, std::string& text, std::size_t cap) {
  FileSystem& f = Fs();
  File in;
  if (int e = f.Open(path, FileSystem::Mode::Read, in)) return e;
  text.clear();
  char buf[512];
  while (text.size() < cap) {
    std::size_t n = 0;
    if (int e = f.Read(in, buf, sizeof buf, n)) return e;
    if (n == 0) break;
    text.append(buf, n);
  }
  if (text.size() > cap) text.resize(cap);
  return 0;
}

}  // namespace tarnwick::platform
