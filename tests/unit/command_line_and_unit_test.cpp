// The relay's command line, and the systemd unit `install` writes from it:
// a unit that reads back as its own instance's and hides nothing the relay needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/systemd_unit.h"
#include "service/command_line.h"
#include "support/net.h"

namespace tarnwick {
namespace {

using namespace platform::systemd;

// "<verb> dir=.. name=.. user=.. json" with the fields set, or "bad: <why>".
std::string Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tarnwick");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  const CommandLine c = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  if (c.verb == CommandLine::Verb::Bad) return "bad: " + c.error;
  static const char* const kVerbs[] = {"run", "help", "version", "check", "status", "install", "delete", "verify", "drop", "list"};
  std::string out = kVerbs[static_cast<int>(c.verb)];
  for (const auto& [key, value] : {std::pair{" dir=", c.dir}, {" name=", c.name}, {" user=", c.user}, {" target=", c.target}})
    if (!value.empty()) out += key + value;
  return out + (c.json ? " json" : "");
}

TEST(CommandLine, VerbsAndOptionsInAnyOrderAndABadLineSaysWhy) {
  const struct { std::vector<std::string> args; std::string want; } cases[] = {
      {{}, "run"}, {{"--dir", "/etc/t"}, "run dir=/etc/t"}, {{"check", "--dir", "/a b"}, "check dir=/a b"},
      {{"--dir=/etc/t", "STATUS", "--json"}, "status dir=/etc/t json"}, {{"delete"}, "delete"},
      {{"install", "r1", "--user", "svc:backup"}, "install name=r1 user=svc:backup"},
      {{"status", "--help"}, "help"}, {{"--version", "bogus"}, "version"},
      {{"--dir"}, "bad: option --dir needs a directory"}, {{"--dir", ""}, "bad: option --dir needs a directory"},
      {{"--dir="}, "bad: option --dir needs a directory"}, {{"start"}, "bad: unknown command 'start'"},
      {{"-d", "/x"}, "bad: unknown option '-d'"}, {{"--json=1", "status"}, "bad: unknown option '--json'"},
      {{"check", "--json"}, "bad: option --json is for status and verify only"},
      {{"--json", "verify", "projA/s"}, "verify target=projA/s json"}, {{"verify"}, "verify"},
      {{"status", "projA", "--json"}, "status target=projA json"}, {{"status", "a", "b"}, "bad: unexpected argument 'b'"},
      {{"drop"}, "bad: drop needs what to remove: REPO/SAVE, or aside/REPO/NAME"}, {{"drop", "a/b", "c"}, "bad: unexpected argument 'c'"},
      {{"status", "--user", "u"}, "bad: option --user is for install only"},
      {{"install", "a", "b"}, "bad: unexpected argument 'b'"},
      {{"check", "status"}, "bad: unexpected argument 'status'"}};
  for (const auto& c : cases) EXPECT_EQ(Parse(c.args), c.want) << testing::PrintToString(c.args);
}

UnitParams Params(const std::string& dir, const std::string& root, const std::string& exe = "/opt/tarnwick/tarnwick") {
  UnitParams p;
  p.instance = "r1", p.executable = exe, p.config_dir = dir, p.backup_root = root;
  return p;
}

UnitParams RunAs(const std::string& user, const std::string& group, bool privileged_port) {
  UnitParams p = Params("/etc/t", "/var/lib/t");
  p.user = user, p.group = group, p.binds_privileged_port = privileged_port;
  return p;
}

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// The value of the one line starting with key=, or "<none>" / "<twice>".
std::string Value(const std::string& text, const std::string& key) {
  std::string found = "<none>";
  for (const std::string& line : Lines(text))
    if (line.starts_with(key + "=")) found = found == "<none>" ? line.substr(key.size() + 1) : "<twice>";
  return found;
}

TEST(SystemdUnit, ConfigDirReadsBackFromExecStartWhateverThePath) {
  for (const std::string dir : {"/etc/tarnwick/a", "/srv/my relay", "/srv/100%", "/srv/$HOME", "/srv/it's",
                                "/srv/a;b", "/srv/%i", "/srv/\xc3\xbc"}) {
    const std::string text = UnitText(Params(dir, "/var/lib/x", "/opt/my tarnwick/t%n"));
    EXPECT_EQ(UnitConfigDir(text), dir) << text;
    // Specifiers and variables must not reach systemd undoubled.
    const std::string exec = Value(text, "ExecStart");
    EXPECT_EQ(std::count(exec.begin(), exec.end(), '%') % 2 + std::count(exec.begin(), exec.end(), '$') % 2, 0) << exec;
  }
  const std::string plain = UnitText(Params("/etc/tarnwick/a", "/srv/backup root"));
  EXPECT_EQ(Value(plain, "ExecStart"), "/opt/tarnwick/tarnwick --dir /etc/tarnwick/a");
  EXPECT_EQ(Value(plain, "ReadWritePaths"), "\"-/srv/backup root\"");
  EXPECT_EQ(UnitConfigDir("[Service]\nExecStart=/usr/bin/tarnwick --dir \"/a b\" --x\n"), "/a b");
  for (const char* not_ours : {"ExecStart=/bin/tarnwick\n", "ExecStart=/bin/tarnwick --dir\n",
                               "ExecStartPre=/bin/x --dir /a\n", ""})
    EXPECT_EQ(UnitConfigDir(not_ours), std::nullopt) << not_ours;
}

// The defaults are the packaged template's, which must not drift from what
// install writes; the rest follows where the relay lives and who runs it.
TEST(SystemdUnit, HardeningIsThePackagedTemplatesAndFollowsWhereTheRelayLivesAndWhoRunsIt) {
  auto settings = [](const std::string& text) {
    std::set<std::string> out;
    for (const std::string& line : Lines(text))
      if (!line.starts_with("#") && line.find('=') != std::string::npos && !line.starts_with("ExecStart=") && !line.starts_with("ExecReload=") &&
          !line.starts_with("Description="))
        out.insert(line);
    return out;
  };
  // The template's relays run as tarnwick, on whatever port they had as root.
  UnitParams packaged = Params("/etc/tarnwick/a", "/var/lib/tarnwick");
  packaged.user = packaged.group = "tarnwick", packaged.binds_privileged_port = true;
  EXPECT_EQ(settings(tw::Read(TARNWICK_SYSTEMD_TEMPLATE)), settings(UnitText(packaged)));
  const struct { UnitParams p; const char* key; const char* value; } cases[] = {
      // Anything the relay reads or writes under a home directory must stay visible.
      {Params("/home/u/relay", "/var/lib/t"), "ProtectHome", "read-only"},
      {Params("/etc/t", "/home/u/saves"), "ProtectHome", "read-only"},
      {Params("/etc/t", "/var/lib/t", "/root/bin/tarnwick"), "ProtectHome", "read-only"},
      {Params("/etc/t", "/run/user/1000/x"), "ProtectHome", "read-only"},
      {Params("/homes/x", "/var/lib/t"), "ProtectHome", "yes"},
      // A private /tmp would hide a relay kept in /tmp, and lose its saves.
      {Params("/etc/t", "/tmp/saves"), "PrivateTmp", "<none>"},
      {Params("/var/tmp/t", "/var/lib/t"), "PrivateTmp", "<none>"},
      {Params("/etc/t", "/tmpfs/saves"), "PrivateTmp", "yes"},
      // A port below 1024 needs the capability, unless root runs the relay.
      {RunAs("tarnwick", "", true), "AmbientCapabilities", "CAP_NET_BIND_SERVICE"},
      {RunAs("root", "", true), "AmbientCapabilities", "<none>"},
      {RunAs("", "", true), "AmbientCapabilities", "<none>"},
      {RunAs("tarnwick", "", false), "AmbientCapabilities", "<none>"},
      {RunAs("tarnwick", "backup", false), "Group", "backup"}};
  for (const auto& c : cases)
    EXPECT_EQ(Value(UnitText(c.p), c.key), c.value) << c.key << " for " << c.p.config_dir << " " << c.p.backup_root;
}

TEST(SystemdUnit, RefusesWhatAUnitCannotCarry) {
  const struct { std::string (*problem)(const std::string&); std::vector<std::string> ok, bad; } cases[] = {
      {InstanceNameProblem, {"a", "relay-1", "site_b.2", "x:y", std::string(200, 'n')},
       {"", "my relay", "a/b", "t@x", "a\\x2d", "\xc3\xa9", "a\n", std::string(250, 'n')}},
      {UnitPathProblem, {"/srv/a b/100%/$x"}, {"", "relative/dir", "/a\nExecStartPre=/bin/evil", "/a\"b", "/a\\b"}},
      {AccountNameProblem, {"tarnwick", "backup-user", "_svc", "1001"},
       {"", "-x", "a b", "a:b", "root\nExecStartPre=x"}}};
  for (const auto& c : cases) {
    for (const std::string& ok : c.ok) EXPECT_EQ(c.problem(ok), "") << ok;
    for (const std::string& bad : c.bad) EXPECT_NE(c.problem(bad), "") << bad;
  }
}

}  // namespace
}  // namespace tarnwick
