// The configuration check: what start-up would find wrong with settings.ini,
// the PEM files, the backup root and the ports, found without starting
// anything, each as one line an operator can act on.
#include "service/check/config_check.h"

#include <algorithm>

#include <openssl/err.h>

#include "base/text.h"
#include "layout/backup_root.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "service/check/checker.h"

namespace tarnwick {

namespace check {

namespace {
// Larger than any sensible bundle of trusted certificates.
constexpr std::size_t kFileCap = std::size_t(16) << 20;
}  // namespace

void CheckContext::Add(Severity severity, const std::string& text) { findings.push_back({severity, EscapeControl(text)}); }

bool CheckContext::Invalid(std::string_view section, std::string_view key) const {
  return invalid.count(Lower(section) + '\n' + Lower(key)) != 0;
}

std::filesystem::path CheckContext::BackupRoot() const { return s.BackupRoot(); }

Status ReadFile(const std::filesystem::path& path, std::string& text) {
  return tarnwick::BackupRoot(path.parent_path(), platform::RealFileSystem()).ReadSmall(path, text, kFileCap);
}

namespace {

std::vector<Finding> Run(const CheckOptions& options, Settings* read) {
  platform::StartSockets();  // service names in ports resolve through the socket library
  ERR_clear_error();
  CheckContext c{options, {}, {}, {}};
  CheckSettingsFile(c);
  CheckPems(c);
  const bool root_ok = CheckBackupRoot(c);
  CheckPortClashes(c);
  CheckHosts(c);
  if (!options.skip_ports) TestPorts(c, root_ok);
  if (read) *read = std::move(c.s);
  return std::move(c.findings);
}

}  // namespace

}  // namespace check

std::vector<Finding> CheckConfiguration(const CheckOptions& options, Settings* read) {
  return check::Run(options, read);
}

bool HasErrors(const std::vector<Finding>& findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& f) { return f.severity == Finding::Severity::Error; });
}

const char* SeverityName(Finding::Severity severity) {
  switch (severity) {
    case Finding::Severity::Error: return "error";
    case Finding::Severity::Warning: return "warning";
    case Finding::Severity::Note: return "note";
  }
  return "error";
}

}  // namespace tarnwick
