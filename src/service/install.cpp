#include "service/install.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/systemd_unit.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {

namespace fs = std::filesystem;

bool Fails(const char* verb, const std::string& what, const std::string& why) {
  std::fprintf(stderr, "Cannot %s service: %s: %s\n", verb, what.c_str(), why.c_str());
  return false;
}

// dir made absolute with links resolved, so that one directory always gives
// the same --dir; the executable's directory when dir is empty.
std::optional<std::string> ConfigDir(const char* verb, const std::string& dir) {
  fs::path d = dir;
  if (d.empty()) {
    const std::string exe = platform::ExecutablePath();
    if (exe.empty()) {
      Fails(verb, "the program's own path", "cannot be read");
      return std::nullopt;
    }
    d = fs::path(exe).parent_path();
  }
  std::error_code ec;
  fs::path real = fs::canonical(d, ec);
  if (ec) {
    Fails(verb, d.string(), ec.message());
    return std::nullopt;
  }
  if (!fs::is_directory(real, ec)) {
    Fails(verb, real.string(), "not a directory");
    return std::nullopt;
  }
  return real.string();
}

// name, or the configuration directory's base name when name is empty.
std::optional<std::string> InstanceName(const char* verb, const std::string& name,
                                        const std::string& config_dir) {
  if (!name.empty()) return name;
  std::string derived = fs::path(config_dir).filename().string();
  if (std::string why = platform::systemd::InstanceNameProblem(derived); !why.empty()) {
    Fails(verb, "instance name '" + derived + "' (the name of " + config_dir + ")",
          why + "; give a NAME");
    return std::nullopt;
  }
  return derived;
}

// The port number a port setting (a number or a service name) stands for;
// 0 when it stands for none.
int PortNumber(const std::string& port) {
  if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos)
    return port.size() > 5 ? 0 : std::stoi(port);
  platform::Resolution r = platform::ResolveIPv4("", port, /*passive=*/true);
  if (r.code != 0 || r.address.length < 4) return 0;
  // sockaddr_in: the family, then the port in network order.
  return r.address.bytes[2] << 8 | r.address.bytes[3];
}

// True when the relay configured by s listens on a port below 1024.
bool BindsPrivilegedPort(const Settings& s) {
  std::vector<std::string> listened;
  if (!s.InboundDials()) {
    listened.push_back(s.port);
    if (s.ForwardingConfigured()) listened.push_back(s.closure_port);
  }
  if (s.ForwardingConfigured() && !s.ForwardDials()) listened.push_back(s.forward_port);
  for (const std::string& port : listened) {
    int n = PortNumber(port);
    if (n > 0 && n < 1024) return true;
  }
  return false;
}

}  // namespace

bool InstallRelayService(const std::string& name, const std::string& dir, const std::string& user) {
  if (!platform::kServiceInstances) return platform::InstallService({});

  platform::InstallOptions o;
  o.executable = platform::ExecutablePath();
  if (o.executable.empty()) return Fails("install", "the program's own path", "cannot be read");
  std::optional<std::string> config_dir = ConfigDir("install", dir);
  if (!config_dir) return false;
  o.config_dir = *config_dir;
  // A unit for a directory without a relay would only fail at its start.
  if (std::error_code ec; !fs::exists(fs::path(o.config_dir) / "settings.ini", ec))
    return Fails("install", (fs::path(o.config_dir) / "settings.ini").string(),
                 "does not exist; give the relay's directory with --dir DIR");
  std::optional<std::string> instance = InstanceName("install", name, o.config_dir);
  if (!instance) return false;
  o.name = *instance;

  if (auto colon = user.find(':'); colon != std::string::npos) {
    o.user = user.substr(0, colon);
    o.group = user.substr(colon + 1);
    if (o.user.empty() || o.group.empty())
      return Fails("install", "--user '" + user + "'", "expected USER or USER:GROUP");
  } else {
    o.user = user;
  }

  std::string unreadable;
  const Settings s = LoadSettings(o.config_dir, &unreadable);
  if (!unreadable.empty()) return Fails("install", unreadable, "the backup root and ports are read from it");
  // A relative Dir is taken from the configuration directory, as the relay
  // itself does.
  fs::path root = s.BackupRoot();
  std::error_code ec;
  if (fs::path real = fs::weakly_canonical(root, ec); !ec) root = real;
  o.backup_root = root.string();
  if (o.backup_root.size() > 1 && o.backup_root.back() == '/') o.backup_root.pop_back();
  o.binds_privileged_port = BindsPrivilegedPort(s);

  if (!platform::InstallService(o)) return false;
  if (!fs::is_directory(o.backup_root, ec)) {
    const std::string owner = o.user.empty() ? "" : ", writable by " + o.user;
    std::fprintf(stderr, "Note: the backup root %s does not exist yet; create it%s before starting\n",
                 o.backup_root.c_str(), owner.c_str());
  }
  return true;
}

bool DeleteRelayService(const std::string& name, const std::string& dir) {
  if (!platform::kServiceInstances) return platform::DeleteService(name);
  if (!name.empty()) return platform::DeleteService(name);
  std::optional<std::string> config_dir = ConfigDir("delete", dir);
  if (!config_dir) return false;
  std::optional<std::string> instance = InstanceName("delete", "", *config_dir);
  return instance && platform::DeleteService(*instance);
}

}  // namespace tarnwick
