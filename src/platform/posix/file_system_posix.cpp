// The file seam on POSIX: plain descriptors, fsync, rename(2).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"

namespace tarnwick::platform {

namespace fs = std::filesystem;

namespace {

int Fd(const File& f) { return static_cast<int>(f.Handle()); }

class PosixFileSystem final : public FileSystem {
 public:
  int Open(const fs::path& p, Mode mode, File& out) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case Mode::Read: flags |= O_RDONLY; break;
      case Mode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
      case Mode::Truncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    }
    int fd;
    do fd = ::open(p.c_str(), flags, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    out = File(this, fd);
    return 0;
  }

  int Write(File& f, const char* data, std::size_t len) override {
    while (len > 0) {
      ssize_t w = ::write(Fd(f), data, len);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      data += w;
      len -= static_cast<std::size_t>(w);
    }
    return 0;
  }

  int Read(File& f, char* data, std::size_t cap, std::size_t& n) override {
    ssize_t r;
    do r = ::read(Fd(f), data, cap);
    while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    n = static_cast<std::size_t>(r);
    return 0;
  }

  int ReadAt(File& f, std::int64_t offset, char* data, std::size_t cap, std::size_t& n) override {
    ssize_t r;
    do r = ::pread(Fd(f), data, cap, static_cast<off_t>(offset));
    while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    n = static_cast<std::size_t>(r);
    return 0;
  }

  int Truncate(File& f, std::int64_t size) override {
    int rc;
    do rc = ::ftruncate(Fd(f), static_cast<off_t>(size));
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
  }

  int Size(File& f, std::int64_t& size) override {
    struct stat st {};
    if (::fstat(Fd(f), &st) != 0) return errno;
    size = static_cast<std::int64_t>(st.st_size);
    return 0;
  }

  int Sync(File& f) override { return ::fsync(Fd(f)) == 0 ? 0 : errno; }

  void StartWriteBack(File& f, std::int64_t offset, std::int64_t len) override {
#ifdef __linux__
    ::sync_file_range(Fd(f), offset, len, SYNC_FILE_RANGE_WRITE);
#else
    (void)f, (void)offset, (void)len;
#endif
  }

  int CloseHandle(std::intptr_t h) override { return ::close(static_cast<int>(h)) == 0 ? 0 : errno; }

  int Rename(const fs::path& from, const fs::path& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int Remove(const fs::path& p) override { return ::unlink(p.c_str()) == 0 ? 0 : errno; }

  int SyncDirectory(const fs::path& dir) override {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int e = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return e;
  }

  int CreateDirectory(const fs::path& dir) override {
    if (::mkdir(dir.c_str(), 0755) == 0) return 0;
    int e = errno;
    struct stat st {};
    if (e == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return e;
  }

  int FreeSpace(const fs::path& dir, std::uint64_t& bytes) override {
    struct statvfs v {};
    if (::statvfs(dir.c_str(), &v) != 0) return errno;
    bytes = static_cast<std::uint64_t>(v.f_bavail) * v.f_frsize;
    return 0;
  }

  int Stat(const fs::path& p, FileInfo& info) override {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return errno;
    info.type = S_ISREG(st.st_mode)   ? FileInfo::Type::Regular
                : S_ISDIR(st.st_mode) ? FileInfo::Type::Directory
                                      : FileInfo::Type::Other;
    info.size = static_cast<std::int64_t>(st.st_size);
    info.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
  }

  int List(const fs::path& dir, std::vector<std::string>& names) override {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return errno;
    names.clear();
    int e = 0;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(d);
      if (!entry) {
        e = errno;
        break;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
    return e;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem real;
  return real;
}

std::string ErrorText(int code) { return std::strerror(code); }

bool IsNoSpace(int code) { return code == ENOSPC || code == EDQUOT; }

bool IsNotFound(int code) { return code == ENOENT; }

int NotFoundCode() { return ENOENT; }

}  // namespace tarnwick::platform
