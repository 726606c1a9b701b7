// The check of the backup root: there, a directory, writable (a file is
// made and removed), its subfolders usable, with space left.
#include <cstdint>

#include "layout/backup_root.h"
#include "platform/file_system.h"
#include "service/check/checker.h"

namespace tarnwick::check {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kLowSpace = std::uint64_t(1) << 30;
constexpr const char* kProbeFile = ".tarnwick-check.probe";

// --- backup root ----------------------------------------------------------

// Creates and removes a file in dir; the error code of the first failure.
int Probe(const fs::path& dir) {
  platform::FileSystem& f = platform::RealFileSystem();
  platform::File file;
  const fs::path probe = dir / kProbeFile;
  if (int e = f.Open(probe, platform::FileSystem::Mode::Truncate, file)) return e;
  file.Close();
  return f.Remove(probe);
}

}  // namespace

bool CheckBackupRoot(CheckContext& c) {
  const fs::path root = c.BackupRoot();
  if (c.Invalid("Backup", "Dir")) return false;
  const std::string name = "backup root " + root.string() + " ([Backup] Dir)";
  std::error_code ec;
  const fs::file_status st = fs::status(root, ec);
  if (ec || !fs::exists(st)) {
    c.Add(Severity::Error, name + " does not exist" + (ec ? ": " + ec.message() : "") +
                             "; create it or correct [Backup] Dir");
    return false;
  }
  if (!fs::is_directory(st)) {
    c.Add(Severity::Error, name + " is not a directory; correct [Backup] Dir");
    return false;
  }
  if (int e = Probe(root)) {
    c.Add(Severity::Error, name + " is not writable: cannot create a file in it: " + platform::ErrorText(e) +
                             "; give the relay's user write access");
    return true;
  }
  for (const char* sub : {kSavesDir, kForwardsDir, kTempDir}) {
    const fs::path dir = root / sub;
    const fs::file_status sst = fs::status(dir, ec);
    if (ec || !fs::exists(sst)) continue;  // made when first needed
    if (!fs::is_directory(sst))
      c.Add(Severity::Error, dir.string() + " in the backup root is not a directory; move it away");
    else if (int e = Probe(dir))
      c.Add(Severity::Error, dir.string() + " in the backup root is not writable: " + platform::ErrorText(e) +
                               "; give the relay's user write access");
  }
  std::uint64_t free_bytes = 0;
  if (int e = platform::RealFileSystem().FreeSpace(root, free_bytes))
    c.Add(Severity::Warning, "cannot tell the free space of " + name + ": " + platform::ErrorText(e));
  else if (free_bytes < kLowSpace)
    c.Add(Severity::Warning, name + " has only " + std::to_string(free_bytes >> 20) +
                               " MiB free (less than 1 GiB); saves that do not fit stay pending");
  return true;
}

}  // namespace tarnwick::check
