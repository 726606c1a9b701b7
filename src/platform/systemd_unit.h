// The text of one relay's systemd unit, and reading back whose unit a file
// is. Pure string work, so it is tested without systemd.
#pragma once

#include <optional>
#include <string>

namespace tarnwick::platform::systemd {

struct UnitParams {
  std::string instance;     // the NAME of tarnwick-NAME.service
  std::string executable;   // absolute
  std::string config_dir;   // absolute: settings.ini and the PEM files
  std::string backup_root;  // absolute
  std::string user, group;  // empty: root, and the user's own group
  // A port below 1024 is listened on: a non-root user needs the capability.
  bool binds_privileged_port = false;
};

// "tarnwick-NAME.service".
std::string UnitFileName(const std::string& instance);

// Why name cannot be an instance name ("" when it can): it becomes part of a
// unit name, so only the characters systemd allows there, and no '@' (that
// would make the unit an instance of a template).
std::string InstanceNameProblem(const std::string& name);
// Why path cannot go into a unit ("" when it can): it must be absolute and
// free of control characters, quotes and backslashes.
std::string UnitPathProblem(const std::string& path);
// Why a user or group name cannot go into User=/Group= ("" when it can).
std::string AccountNameProblem(const std::string& name);

std::string UnitText(const UnitParams& p);

// The directory given to --dir in the unit's ExecStart= (unquoted), or
// nullopt when the unit has no such line: for telling one instance's unit
// from another's.
std::optional<std::string> UnitConfigDir(const std::string& unit_text);

// One word of an ExecStart= command line: % and $ doubled (specifiers,
// variables), quoted when it holds anything but plain path characters.
std::string ExecWord(const std::string& word);

}  // namespace tarnwick::platform::systemd
