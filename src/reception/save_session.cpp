#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>

#include <openssl/err.h>

#include "forwarding/forwarding.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "reception/stream_header.h"
#include "service/event_log.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPiece = 2048;
// Every piece of every stream passes through here; only the worker reads.
std::array<char, kPiece> ReceiveBuffer;
// Buffer of the save's stdio stream: few large writes instead of one per piece.
constexpr std::size_t kFileBuffer = 1 << 20;

[[noreturn]] void DirectoryFailure(const char* report, int code) {
  FailFatally("_chdir failed: " + std::to_string(code) + "\n", report, code);
}

bool Taken(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(dir / name, ec)) ||
         fs::exists(fs::symlink_status(dir / (name + std::string(kPendingSuffix)), ec));
}

// A name by the local date, with _1, _2, ... when the date is taken by a
// save or by a marker left behind.
std::string DateName(const fs::path& repo_dir) {
  std::tm tm = platform::LocalTime(std::time(nullptr));
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
  std::string name = date;
  for (unsigned long k = 1; Taken(repo_dir, name); ++k) name = std::string(date) + "_" + std::to_string(k);
  return name;
}

// Records a save as incomplete. A marker that cannot be written would let an
// unfinished save pass for a complete one, so that failure ends the process.
void WritePendingMarker(const fs::path& marker, long long missing) {
  std::FILE* f = std::fopen(marker.string().c_str(), "w");
  bool ok = f && std::fprintf(f, "%lld", missing) > 0;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) {
    ReportFailure("Did not receive the expected # of bytes", errno);
    FatalError("error");
  }
}

}  // namespace

bool SaveSession(TlsSession& session, const fs::path& backup_root) {
  SSL* ssl = session.ssl.get();
  int n = SSL_read(ssl, ReceiveBuffer.data(), static_cast<int>(kPiece));
  if (n == 0) return true;  // ended before any byte: nothing to store
  if (n < 0) {
    int code = SSL_get_error(ssl, n);
    ERR_clear_error();
    ReportFailure("SSL_read", code);
    ReportFailure("iResult (1): " + std::to_string(n), code);
    return false;
  }

  StreamHeader header = ParseStreamHeader(std::string_view(ReceiveBuffer.data(), static_cast<std::size_t>(n)));
  if (header.form == StreamHeader::Form::Malformed) {
    ReportFailure(header.error, header.error_code);
    return false;
  }
  const bool one_field = header.form == StreamHeader::Form::OneField;

  std::error_code ec;
  const fs::path saves = backup_root / SAVES_DIR;
  fs::create_directory(saves, ec);
  if (!fs::is_directory(saves, ec)) DirectoryFailure("chdir(SAVES_DIR)", ec ? ec.value() : ENOTDIR);

  const fs::path repo_dir = saves / header.repo;
  fs::create_directory(repo_dir, ec);
  if (ec && ec.value() != EEXIST)
    FailFatally("_mkdir failed: " + std::to_string(ec.value()) + "\n", "_mkdir", ec.value());
  if (!fs::is_directory(repo_dir, ec)) DirectoryFailure("_chdirrepo_name", ec ? ec.value() : ENOTDIR);

  const std::string save_name = one_field ? DateName(repo_dir) : header.save;
  const std::int64_t expected = one_field ? 0 : header.count;
  const fs::path save_path = repo_dir / save_name;
  const fs::path marker_path = repo_dir / (save_name + std::string(kPendingSuffix));

  std::FILE* save = std::fopen(save_path.string().c_str(), "ab");
  if (!save) {
    int e = errno;
    FailFatally(" fopen_s " + save_name + " failed.", "fopen_s", e);
  }
  std::unique_ptr<char[]> file_buffer(new char[kFileBuffer]);
  std::setvbuf(save, file_buffer.get(), _IOFBF, kFileBuffer);

  bool write_ok = true;
  int write_errno = 0;
  auto write = [&](const char* data, std::size_t len) {
    if (write_ok && len > 0 && std::fwrite(data, 1, len, save) != len) {
      write_ok = false;
      write_errno = errno;
    }
  };

  // Bytes that came with the header in the first read are file data and
  // count like any other.
  const std::size_t tail = static_cast<std::size_t>(n) - header.length;
  write(ReceiveBuffer.data() + header.length, tail);
  std::int64_t received = static_cast<std::int64_t>(tail);
  bool read_failed = false;

  const auto start = ThrottleClock::now();
  for (;;) {
    int r = SSL_read(ssl, ReceiveBuffer.data(), static_cast<int>(kPiece));
    if (r > 0) {
      received += r;
      write(ReceiveBuffer.data(), static_cast<std::size_t>(r));
    } else if (r < 0) {
      int code = SSL_get_error(ssl, r);
      ERR_clear_error();
      ReportFailure("SSL_read", code);
      ReportFailure("iResult (2): " + std::to_string(r), code);
      read_failed = true;
      break;
    }
    Throttle(start, received);
    if (r == 0) break;
    if (!write_ok) break;  // the save cannot hold the rest; stop taking it
  }

  // A one-field stream announces nothing: it is complete when it ended
  // cleanly. A three-field stream is complete when exactly the announced
  // bytes arrived; more is recorded like fewer, as a negative shortfall.
  const long long missing = one_field ? 0 : expected - received;
  bool complete = !read_failed && write_ok && (one_field || received == expected);
  // The marker goes down before the save is closed, so a crash in between
  // still leaves the save pending.
  if (!complete) WritePendingMarker(marker_path, missing);
  bool flushed = platform::SyncFile(save);
  int flush_errno = errno;
  if (std::fclose(save) != 0 && flushed) {
    flushed = false;
    flush_errno = errno;
  }
  if (write_ok && !flushed) {
    write_ok = false;
    write_errno = flush_errno;
  }
  if (!write_ok) {
    // A truncated save must never count as complete (a full disk).
    ReportFailure("fwrite(" + save_name + ")", write_errno);
    if (complete) {
      complete = false;
      WritePendingMarker(marker_path, missing);
    }
  }

  if (complete) {
    fs::remove(marker_path, ec);
    if (g_settings.ForwardingConfigured()) ForwardHandOff(header.repo, save_name);
  }
  return !read_failed && write_ok;
}

}  // namespace tarnwick
