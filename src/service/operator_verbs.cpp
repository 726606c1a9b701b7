// "tarnwick check" and "tarnwick status": read what the relay would read,
// print it for an operator, start nothing.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/file_system.h"
#include "service/check/config_check.h"
#include "service/service.h"
#include "service/status/status_view.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {
bool NoConfigDirectory(const std::filesystem::path& dir) {
  if (!dir.empty()) return false;
  std::fprintf(stderr, "tarnwick: cannot read the program's own path, where settings.ini is looked for; "
                       "give --dir DIR\n");
  return true;
}
}  // namespace

int RunCheck(const std::filesystem::path& config_dir, bool from_dir) {
  if (NoConfigDirectory(config_dir)) return 1;
  CheckOptions options;
  options.config_dir = config_dir.string();
  // Without --dir the forwarding contexts built after start-up read their
  // PEM files from the backup root; with it, from the named directory.
  options.pems_in_backup_root = !from_dir;
  const std::vector<Finding> findings = CheckConfiguration(options);
  std::size_t errors = 0, warnings = 0;
  for (const Finding& f : findings) {
    if (f.severity == Finding::Severity::Error) ++errors;
    if (f.severity == Finding::Severity::Warning) ++warnings;
    std::printf("%s: %s\n", SeverityName(f.severity), f.text.c_str());
  }
  std::printf("%s: %zu error(s), %zu warning(s) in %s\n", errors ? "FAILED" : "OK", errors, warnings,
              options.config_dir.c_str());
  return errors ? 1 : 0;
}

int RunStatus(const std::filesystem::path& config_dir, bool json) {
  namespace fs = std::filesystem;
  if (NoConfigDirectory(config_dir)) return 1;
  std::error_code ec;
  if (!fs::is_directory(config_dir, ec)) {
    std::fprintf(stderr, "tarnwick: the configuration directory %s does not exist\n", config_dir.string().c_str());
    return 1;
  }
  if (!fs::exists(config_dir / "settings.ini", ec))
    std::fprintf(stderr, "tarnwick: %s does not exist; showing the default backup root\n",
                 (config_dir / "settings.ini").string().c_str());
  // A relative Dir is taken from the configuration directory, as at start-up.
  std::string unreadable;
  const Settings s = LoadSettings(config_dir, &unreadable);
  if (!unreadable.empty()) {
    std::fprintf(stderr, "tarnwick: %s, so the backup root is unknown\n", unreadable.c_str());
    return 1;
  }
  const StatusReport report = BuildStatus(s.BackupRoot().string());
  const std::string text = json ? FormatStatusJson(report) : FormatStatusTable(report);
  std::fputs(text.c_str(), stdout);
  if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
  return report.error.empty() ? 0 : 1;
}

}  // namespace tarnwick
