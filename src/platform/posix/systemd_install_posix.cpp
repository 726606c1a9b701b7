// Installing and deleting a relay instance as a systemd unit.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/systemd_unit.h"

namespace tarnwick::platform {

namespace {

// Where units go; TARNWICK_SYSTEMD_DIR moves them (tests, packaging).
std::string UnitDirectory() {
  const char* dir = std::getenv("TARNWICK_SYSTEMD_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

// Runs "systemctl <args>" when systemctl is on PATH; its exit status, or -1
// when there is none.
int Systemctl(std::vector<std::string> args) {
  std::fflush(stdout);
  std::fflush(stderr);
  args.insert(args.begin(), "systemctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return -1;
  }
  if (pid == 0) {
    ::execvp("systemctl", argv.data());
    int e = errno;
    (void)!::write(ready[1], &e, sizeof e);  // tells the parent exec failed
    ::_exit(127);
  }
  ::close(ready[1]);
  int exec_errno = 0;
  ssize_t n = ::read(ready[0], &exec_errno, sizeof exec_errno);
  ::close(ready[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == sizeof exec_errno) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool InstallFails(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "Cannot install service: %s: %s\n", what.c_str(), why.c_str());
  return false;
}

// The whole file, or nullopt with errno set.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int e = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (e != 0) {
    errno = e;
    return std::nullopt;
  }
  return text;
}

// Writes through a temporary file and a rename: a failed write never leaves
// a unit cut short where a working one was. Empty on success, else why not.
std::string ReplaceFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return std::strerror(errno);
  bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int e = errno;
  if (std::fclose(f) != 0 && written) {
    written = false;
    e = errno;
  }
  if (written && ::rename(tmp.c_str(), path.c_str()) != 0) {
    written = false;
    e = errno;
  }
  if (!written) {
    ::unlink(tmp.c_str());
    return std::strerror(e);
  }
  return "";
}

}  // namespace

bool InstallService(const InstallOptions& o) {
  namespace sd = systemd;
  if (std::string why = sd::InstanceNameProblem(o.name); !why.empty())
    return InstallFails("instance name '" + o.name + "'", why);
  const std::pair<const char*, const std::string*> paths[] = {
      {"program", &o.executable}, {"configuration directory", &o.config_dir},
      {"backup root", &o.backup_root}};
  for (const auto& [what, path] : paths)
    if (std::string why = sd::UnitPathProblem(*path); !why.empty())
      return InstallFails(std::string(what) + " '" + *path + "'", why);
  for (const std::string* account : {&o.user, &o.group}) {
    if (account->empty()) continue;
    if (std::string why = sd::AccountNameProblem(*account); !why.empty())
      return InstallFails("'" + *account + "'", why);
  }
  // systemd would only find out at the first start.
  if (!o.user.empty() && !::getpwnam(o.user.c_str()) &&
      o.user.find_first_not_of("0123456789") != std::string::npos)
    return InstallFails("user '" + o.user + "'", "no such user");
  if (!o.group.empty() && !::getgrnam(o.group.c_str()) &&
      o.group.find_first_not_of("0123456789") != std::string::npos)
    return InstallFails("group '" + o.group + "'", "no such group");

  const std::string unit_name = sd::UnitFileName(o.name);
  const std::string unit_path = UnitDirectory() + "/" + unit_name;
  if (std::optional<std::string> old = ReadWholeFile(unit_path)) {
    std::optional<std::string> owner = sd::UnitConfigDir(*old);
    if (owner != o.config_dir)
      return InstallFails(unit_path, "already installed for " +
                                         (owner ? "the relay in " + *owner : "another program") +
                                         "; choose another NAME, or remove it first with "
                                         "'tarnwick delete " + o.name + "'");
  } else if (errno != ENOENT) {
    return InstallFails(unit_path, std::strerror(errno));
  }

  sd::UnitParams p;
  p.instance = o.name;
  p.executable = o.executable;
  p.config_dir = o.config_dir;
  p.backup_root = o.backup_root;
  p.user = o.user;
  p.group = o.group;
  p.binds_privileged_port = o.binds_privileged_port;
  if (std::string why = ReplaceFile(unit_path, sd::UnitText(p)); !why.empty())
    return InstallFails(unit_path, why);
  std::printf("%s written\n", unit_path.c_str());

  // A unit from before instances existed would run the same relay twice.
  const std::string legacy = UnitDirectory() + "/tarnwick.service";
  struct stat st {};
  if (::stat(legacy.c_str(), &st) == 0)
    std::fprintf(stderr,
                 "Note: %s from an earlier install is still there; if it runs this relay, "
                 "remove it (systemctl disable tarnwick.service, then delete the file)\n",
                 legacy.c_str());

  int reload = Systemctl({"daemon-reload"});
  if (reload > 0)
    return InstallFails(unit_path, "written, but systemctl daemon-reload failed (" +
                                       std::to_string(reload) + ")");
  if (reload < 0) {
    // No systemd here (a staging tree, a container): the unit is all there is.
    std::printf("systemctl not found: %s not enabled\n", unit_name.c_str());
  } else if (int enable = Systemctl({"enable", unit_name}); enable != 0) {
    return InstallFails(unit_path, "written, but systemctl enable failed (" +
                                       std::to_string(enable) + ")");
  }
  std::printf("Service installed successfully\nStart it with: systemctl start %s\n",
              unit_name.c_str());
  return true;
}

bool DeleteService(const std::string& name) {
  if (std::string why = systemd::InstanceNameProblem(name); !why.empty()) {
    std::fprintf(stderr, "Cannot delete service: instance name '%s': %s\n", name.c_str(),
                 why.c_str());
    return false;
  }
  const std::string unit_name = systemd::UnitFileName(name);
  const std::string unit_path = UnitDirectory() + "/" + unit_name;
  struct stat st {};
  if (::stat(unit_path.c_str(), &st) != 0) {
    std::fprintf(stderr, "Service not installed: %s: %s\n", unit_path.c_str(),
                 std::strerror(errno));
    return false;
  }
  int disable = Systemctl({"disable", unit_name});
  if (disable > 0) {
    std::fprintf(stderr, "Cannot delete service: %s: systemctl disable failed (%d)\n",
                 unit_path.c_str(), disable);
    return false;
  }
  if (::unlink(unit_path.c_str()) != 0) {
    std::fprintf(stderr, "Cannot delete service: %s: %s\n", unit_path.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (disable == 0) Systemctl({"daemon-reload"});
  std::printf("Service deleted successfully\n");
  return true;
}

}  // namespace tarnwick::platform
