// The file seam on Windows: CreateFileW handles, FlushFileBuffers, MoveFileExW.
#include <windows.h>
// windows.h makes CreateDirectory a macro, which would rename the seam's
// member in this file and break the override.
#undef CreateDirectory
// Older MinGW-w64 headers lack it.
#ifndef ERROR_DISK_QUOTA_EXCEEDED
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#endif

#include <algorithm>
#include <string>
#include <system_error>

#include "platform/file_system.h"

namespace tarnwick::platform {

namespace fs = std::filesystem;

namespace {

HANDLE H(const File& f) { return reinterpret_cast<HANDLE>(f.Handle()); }

// A failed call with no last error must not read as success.
int LastError() {
  DWORD e = ::GetLastError();
  return e ? static_cast<int>(e) : ERROR_GEN_FAILURE;
}

// Larger requests are split: the calls take a DWORD length.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

// Win32 refuses a path whose full form reaches MAX_PATH (MAX_PATH - 12 for a
// directory) unless it is absolute and starts with \\?\, and a backup root
// of a few hundred characters plus saves/<repo>/<date> gets there. \\?\ also
// turns off the parsing of "." and "..", so the path is made full first.
std::wstring Native(const fs::path& p) {
  const std::wstring& plain = p.native();
  if ((p.is_absolute() && plain.size() < MAX_PATH - 12) || plain.rfind(L"\\\\?\\", 0) == 0)
    return plain;
  std::error_code ec;
  std::wstring full = fs::absolute(p, ec).lexically_normal().make_preferred().native();
  if (ec || full.size() < MAX_PATH - 12) return plain;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

class Win32FileSystem final : public FileSystem {
 public:
  int Open(const fs::path& p, Mode mode, File& out) override {
    DWORD access = 0;
    DWORD disposition = 0;
    switch (mode) {
      case Mode::Read:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        break;
      case Mode::Append:
        // Without FILE_WRITE_DATA every write goes to the end, wherever the
        // position is, like O_APPEND.
        access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        disposition = OPEN_ALWAYS;
        break;
      case Mode::Truncate:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    }
    // Shared for reading, writing and deletion, so another thread may read a
    // file being written, or rename or remove it, as on POSIX. No security
    // attributes: the handle is not inherited by child processes.
    HANDLE h = ::CreateFileW(Native(p).c_str(), access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    out = File(this, reinterpret_cast<std::intptr_t>(h));
    return 0;
  }

  int Write(File& f, const char* data, std::size_t len) override {
    while (len > 0) {
      DWORD w = 0;
      if (!::WriteFile(H(f), data, static_cast<DWORD>(std::min(len, kMaxChunk)), &w, nullptr))
        return LastError();
      if (w == 0) return ERROR_WRITE_FAULT;  // would loop for ever
      data += w;
      len -= w;
    }
    return 0;
  }

  int Read(File& f, char* data, std::size_t cap, std::size_t& n) override {
    DWORD r = 0;
    if (!::ReadFile(H(f), data, static_cast<DWORD>(std::min(cap, kMaxChunk)), &r, nullptr))
      return LastError();
    n = r;
    return 0;
  }

  // On a handle opened for synchronous use an OVERLAPPED read still moves
  // the position, so it is put back. Not atomic: a Read or Seek on the same
  // File from another thread meanwhile would see the moved position.
  int ReadAt(File& f, std::int64_t offset, char* data, std::size_t cap, std::size_t& n) override {
    if (offset < 0) return ERROR_NEGATIVE_SEEK;
    LARGE_INTEGER zero{}, here{};
    if (!::SetFilePointerEx(H(f), zero, &here, FILE_CURRENT)) return LastError();
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD r = 0;
    int e = 0;
    if (!::ReadFile(H(f), data, static_cast<DWORD>(std::min(cap, kMaxChunk)), &r, &at)) {
      e = LastError();
      if (e == ERROR_HANDLE_EOF) {  // at or past the end: nothing to read
        e = 0;
        r = 0;
      }
    }
    if (!::SetFilePointerEx(H(f), here, nullptr, FILE_BEGIN) && e == 0) e = LastError();
    if (e == 0) n = r;
    return e;
  }

  // Appending handles lack FILE_WRITE_DATA, which SetEndOfFile needs: the
  // file is opened again for the cut.
  int Truncate(File& f, std::int64_t size) override {
    std::wstring path(32768, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(H(f), path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (n == 0 || n >= path.size()) return LastError();
    path.resize(n);
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    LARGE_INTEGER to{};
    to.QuadPart = size;
    int e = ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(h) ? 0 : LastError();
    if (e == 0 && !::FlushFileBuffers(h)) e = LastError();
    ::CloseHandle(h);
    return e;
  }

  int Size(File& f, std::int64_t& size) override {
    LARGE_INTEGER s{};
    if (!::GetFileSizeEx(H(f), &s)) return LastError();
    size = s.QuadPart;
    return 0;
  }

  int Sync(File& f) override { return ::FlushFileBuffers(H(f)) ? 0 : LastError(); }

  int CloseHandle(std::intptr_t h) override {
    return ::CloseHandle(reinterpret_cast<HANDLE>(h)) ? 0 : LastError();
  }

  // Without MOVEFILE_COPY_ALLOWED a move to another volume fails instead of
  // turning into a copy that a crash could leave half done, as rename(2)
  // fails with EXDEV.
  int Rename(const fs::path& from, const fs::path& to) override {
    return ::MoveFileExW(Native(from).c_str(), Native(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
  }

  int Remove(const fs::path& p) override {
    return ::DeleteFileW(Native(p).c_str()) ? 0 : LastError();
  }

  // NTFS journals a created, renamed or removed entry, but writes the
  // journal lazily: a power loss can roll back a marker removal made just
  // before a confirmation. FlushFileBuffers on a directory handle (opened
  // for writing with backup semantics) commits the journal up to that
  // directory's changes, the counterpart of fsync on a directory. Renames
  // also pass MOVEFILE_WRITE_THROUGH; removals have no such flag, so this is
  // what makes them durable. A file system that cannot flush a directory
  // (FAT, some network shares) answers ERROR_INVALID_FUNCTION; it has no
  // journal to commit either, so that is not a failure.
  int SyncDirectory(const fs::path& dir) override {
    HANDLE h = ::CreateFileW(Native(dir.empty() ? fs::path(".") : dir).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    int e = ::FlushFileBuffers(h) ? 0 : LastError();
    ::CloseHandle(h);
    return e == ERROR_INVALID_FUNCTION ? 0 : e;
  }

  int CreateDirectory(const fs::path& dir) override {
    const std::wstring native = Native(dir);
    if (::CreateDirectoryW(native.c_str(), nullptr)) return 0;
    int e = LastError();
    // ERROR_ALREADY_EXISTS is also what a file of that name gives.
    if (e == ERROR_ALREADY_EXISTS) {
      DWORD a = ::GetFileAttributesW(native.c_str());
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    }
    return e;
  }

  int FreeSpace(const fs::path& dir, std::uint64_t& bytes) override {
    // What this account may still use, after its quota, like f_bavail.
    ULARGE_INTEGER avail{};
    if (!::GetDiskFreeSpaceExW(Native(dir).c_str(), &avail, nullptr, nullptr)) return LastError();
    bytes = avail.QuadPart;
    return 0;
  }

  int Stat(const fs::path& p, FileInfo& info) override {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!::GetFileAttributesExW(Native(p).c_str(), GetFileExInfoStandard, &a)) return LastError();
    info.type = (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileInfo::Type::Other
                : (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? FileInfo::Type::Directory
                                                                    : FileInfo::Type::Regular;
    info.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow);
    const std::uint64_t t = (static_cast<std::uint64_t>(a.ftLastWriteTime.dwHighDateTime) << 32) |
                            a.ftLastWriteTime.dwLowDateTime;
    info.modified_ns = static_cast<std::int64_t>(t) * 100;
    return 0;
  }

  int List(const fs::path& dir, std::vector<std::string>& names) override {
    WIN32_FIND_DATAW d{};
    HANDLE h = ::FindFirstFileW(Native(dir / L"*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) {
      const int e = LastError();
      return e == ERROR_FILE_NOT_FOUND ? 0 : e;  // an empty directory
    }
    names.clear();
    int e = 0;
    do {
      const std::wstring name = d.cFileName;
      if (name != L"." && name != L"..") {
        const std::u8string u8 = fs::path(name).u8string();
        names.emplace_back(u8.begin(), u8.end());
      }
    } while (::FindNextFileW(h, &d));
    if (::GetLastError() != ERROR_NO_MORE_FILES) e = LastError();
    ::FindClose(h);
    return e;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem real;
  return real;
}

std::string ErrorText(int code) {
  char* text = nullptr;
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0,
                             reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n ? std::string(text, n) : "error " + std::to_string(code);
  if (text) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.' ||
                          out.back() == ' '))
    out.pop_back();
  return out;
}

bool IsNotFound(int code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

int NotFoundCode() { return ERROR_FILE_NOT_FOUND; }

bool IsNoSpace(int code) {
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL ||
         code == ERROR_DISK_QUOTA_EXCEEDED;
}

}  // namespace tarnwick::platform
