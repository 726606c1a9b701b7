// What the parts of the configuration check share: the findings so far,
// the settings as the relay reads them, and the values found invalid.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "service/check/config_check.h"
#include "settings/settings.h"

namespace tarnwick::check {

using Severity = Finding::Severity;

struct CheckContext {
  const CheckOptions& options;
  std::vector<Finding> findings;
  Settings s;
  std::set<std::string> invalid;  // "section\nkey" lower case, of values in error

  void Add(Severity severity, const std::string& text);
  bool Invalid(std::string_view section, std::string_view key) const;
  std::filesystem::path BackupRoot() const;
};

// Reads path whole (at most a few MiB), through the real file system.
Status ReadFile(const std::filesystem::path& path, std::string& text);

// settings.ini: unknown names, values the relay would misread; fills c.s.
void CheckSettingsFile(CheckContext& c);
// Every PEM file where the relay will read it.
void CheckPems(CheckContext& c);
// The backup root: there, a directory, writable, with space. False when it
// cannot be used at all.
bool CheckBackupRoot(CheckContext& c);
// Ports the relay would listen on twice, then (test) the ports bound and
// released again, unless a relay holds the backup root's lock.
void CheckPortClashes(CheckContext& c);
void TestPorts(CheckContext& c, bool root_ok);
// The hosts the relay dials ([Connection] Host, [Forward] Host when
// forwarding): a name that does not resolve is a warning.
void CheckHosts(CheckContext& c);

}  // namespace tarnwick::check
