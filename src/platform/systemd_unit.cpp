#include "platform/systemd_unit.h"

#include <string_view>
#include <vector>

namespace tarnwick::platform::systemd {

namespace {

bool Under(std::string_view path, std::string_view dir) {
  return path == dir || (path.size() > dir.size() && path.substr(0, dir.size()) == dir &&
                         path[dir.size()] == '/');
}

bool UnderAny(const UnitParams& p, std::initializer_list<std::string_view> dirs) {
  for (std::string_view dir : dirs)
    for (const std::string* path : {&p.executable, &p.config_dir, &p.backup_root})
      if (Under(*path, dir)) return true;
  return false;
}

bool PlainPathChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("/._+,:@=~-").find(c) != std::string_view::npos;
}

// Specifiers are expanded in every setting used here: a % stays a % only
// doubled.
std::string DoublePercent(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// A path setting's value (ReadWritePaths=): specifiers expanded, blanks
// split, double quotes group, and no variables.
std::string PathWord(const std::string& path) {
  std::string out = DoublePercent(path);
  for (char c : path)
    if (!PlainPathChar(c) && c != '%') return '"' + out + '"';
  return out;
}

// The words of a command line as systemd splits them, quotes and
// backslash escapes undone, doubled % and $ made single again.
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < line.size()) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) break;
    std::string word;
    char quote = 0;
    for (; i < line.size() && (quote || !blank(line[i])); ++i) {
      char c = line[i];
      if (c == '\\' && i + 1 < line.size()) {
        word += line[++i];
      } else if (quote && c == quote) {
        quote = 0;
      } else if (!quote && (c == '"' || c == '\'')) {
        quote = c;
      } else if ((c == '%' || c == '$') && i + 1 < line.size() && line[i + 1] == c) {
        word += c;
        ++i;
      } else {
        word += c;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

std::string UnitFileName(const std::string& instance) { return "tarnwick-" + instance + ".service"; }

std::string InstanceNameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  // systemd's limit on a whole unit name is 255 characters.
  if (UnitFileName(name).size() > 255) return "the name is too long";
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == ':';
    if (!ok)
      return "a unit name cannot hold '" + std::string(1, c) +
             "' (letters, digits, '-', '_', '.' and ':' only)";
  }
  return "";
}

std::string UnitPathProblem(const std::string& path) {
  if (path.empty() || path.front() != '/') return "not an absolute path";
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "it holds a control character";
    // Path settings keep backslashes as they are, so a quote inside a
    // quoted path could not be written at all.
    if (c == '"' || c == '\\') return "it holds a quote or a backslash";
  }
  return "";
}

std::string AccountNameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > 256) return "the name is too long";
  if (name.front() == '-' || name.front() == '.') return "the name starts with '" + name.substr(0, 1) + "'";
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return "a user or group name cannot hold '" + std::string(1, c) + "'";
  }
  return "";
}

std::string ExecWord(const std::string& word) {
  std::string out;
  bool plain = !word.empty();
  for (char c : word) {
    if (c == '%' || c == '$') out += c;
    out += c;
    if (!PlainPathChar(c) && c != '%' && c != '$') plain = false;
  }
  return plain ? out : '"' + out + '"';
}

std::string UnitText(const UnitParams& p) {
  const bool root = p.user.empty() || p.user == "root" || p.user == "0";
  std::string u =
      "# Written by 'tarnwick install'; 'tarnwick delete " + p.instance + "' removes it.\n"
      "[Unit]\n"
      "Description=Tarnwick backup relay " + p.instance + "\n"
      "Documentation=man:tarnwick(8)\n"
      "Wants=network-online.target\n"
      "After=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" + ExecWord(p.executable) + " --dir " + ExecWord(p.config_dir) + "\n"
      // The relay re-reads its files when told through its control socket;
      // the verb waits for its answer, so a refused reload fails here.
      "ExecReload=" + ExecWord(p.executable) + " reload --dir " + ExecWord(p.config_dir) + "\n"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      // A stop gives inbound streams 3 s and waits up to 2 s for a
      // forwarding confirmation; the rest is room for syncing saves.
      "TimeoutStopSec=30\n"
      // One descriptor per stream, plus the saves and records each one opens.
      "LimitNOFILE=65536\n";
  if (!p.user.empty()) u += "User=" + p.user + "\n";
  if (!p.group.empty()) u += "Group=" + p.group + "\n";
  if (p.binds_privileged_port && !root) u += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  // A relay configured in /etc/tarnwick/NAME has its control socket at
  // /run/tarnwick/NAME (any other, in its backup root). Kept at a stop: other
  // instances may have theirs there.
  if (std::string_view(p.config_dir).starts_with("/etc/tarnwick/") &&
      p.config_dir.find('/', 14) == std::string::npos)
    u += "RuntimeDirectory=tarnwick\n"
         "RuntimeDirectoryPreserve=yes\n";
  // The relay writes nothing outside its backup root ("-": a missing root
  // is reported by the relay itself, not as a namespace failure).
  u += "ProtectSystem=strict\n"
       "ReadWritePaths=" + PathWord("-" + p.backup_root) + "\n";
  // "yes" would hide /home, /root and /run/user altogether; a relay that
  // lives there gets them read-only, its root still writable.
  u += std::string("ProtectHome=") +
       (UnderAny(p, {"/home", "/root", "/run/user"}) ? "read-only" : "yes") + "\n";
  // A private /tmp would hide, and on every stop discard, a relay kept there.
  if (!UnderAny(p, {"/tmp", "/var/tmp"})) u += "PrivateTmp=yes\n";
  u += "PrivateDevices=yes\n"
       "NoNewPrivileges=yes\n"
       "ProtectKernelTunables=yes\n"
       "ProtectKernelModules=yes\n"
       "ProtectKernelLogs=yes\n"
       "ProtectControlGroups=yes\n"
       "ProtectClock=yes\n"
       "ProtectHostname=yes\n"
       "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
       "RestrictNamespaces=yes\n"
       "RestrictRealtime=yes\n"
       "RestrictSUIDSGID=yes\n"
       "LockPersonality=yes\n"
       "MemoryDenyWriteExecute=yes\n"
       "SystemCallArchitectures=native\n"
       "SystemCallFilter=@system-service\n"
       "SystemCallErrorNumber=EPERM\n"
       "\n"
       "[Install]\n"
       "WantedBy=multi-user.target\n";
  return u;
}

std::optional<std::string> UnitConfigDir(const std::string& unit_text) {
  std::string_view text = unit_text;
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.substr(0, 10) != "ExecStart=") continue;
    std::vector<std::string> words = SplitCommandLine(line.substr(10));
    for (std::size_t i = 1; i + 1 < words.size(); ++i)
      if (words[i] == "--dir") return words[i + 1];
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tarnwick::platform::systemd
