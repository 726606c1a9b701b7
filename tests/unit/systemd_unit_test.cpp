// The unit text of one relay instance and reading back whose unit it is.
#include "platform/systemd_unit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace tarnwick::platform::systemd {
namespace {

UnitParams Params(const std::string& dir, const std::string& root) {
  UnitParams p;
  p.instance = "r1";
  p.executable = "/opt/tarnwick/tarnwick";
  p.config_dir = dir;
  p.backup_root = root;
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
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) found = found == "<none>" ? line.substr(key.size() + 1) : "<twice>";
  return found;
}

TEST(SystemdUnit, ConfigDirReadsBackFromExecStartWhateverThePath) {
  for (const std::string dir : {"/etc/tarnwick/a", "/srv/my relay", "/srv/100%", "/srv/$HOME",
                                "/srv/it's", "/srv/a;b", "/srv/%i", "/srv/ü"}) {
    const std::string text = UnitText(Params(dir, "/var/lib/x"));
    EXPECT_EQ(UnitConfigDir(text), dir) << text;
    // Specifiers and variables must not reach systemd undoubled.
    const std::string exec = Value(text, "ExecStart");
    for (char special : {'%', '$'}) {
      std::size_t n = 0;
      for (char c : exec) n += c == special;
      EXPECT_EQ(n % 2, 0u) << exec;
    }
  }
  // Words that only look alike, and units that are not ours.
  EXPECT_EQ(UnitConfigDir("[Service]\nExecStart=/usr/bin/tarnwick --dir \"/a b\" --x\n"), "/a b");
  EXPECT_EQ(UnitConfigDir("ExecStart=/bin/tarnwick\n"), std::nullopt);
  EXPECT_EQ(UnitConfigDir("ExecStart=/bin/tarnwick --dir\n"), std::nullopt);
  EXPECT_EQ(UnitConfigDir("ExecStartPre=/bin/x --dir /a\n"), std::nullopt);
  EXPECT_EQ(UnitConfigDir(""), std::nullopt);
}

TEST(SystemdUnit, TwoInstancesDifferOnlyInTheirOwnLines) {
  UnitParams a = Params("/etc/tarnwick/a", "/var/lib/tarnwick/a");
  UnitParams b = Params("/etc/tarnwick/b", "/srv/backup root");
  b.instance = "b";
  const std::string ta = UnitText(a), tb = UnitText(b);
  EXPECT_EQ(Value(ta, "ExecStart"), "/opt/tarnwick/tarnwick --dir /etc/tarnwick/a");
  EXPECT_EQ(Value(ta, "ReadWritePaths"), "-/var/lib/tarnwick/a");
  EXPECT_EQ(Value(tb, "ReadWritePaths"), "\"-/srv/backup root\"");

  std::set<std::string> only_a, la = Lines(ta), lb = Lines(tb);
  for (const std::string& l : la)
    if (!lb.count(l)) only_a.insert(l.substr(0, l.find_first_of("= ")));
  EXPECT_EQ(only_a, (std::set<std::string>{"#", "Description", "ExecStart", "ReadWritePaths"})) << ta;
}

TEST(SystemdUnit, HardeningFollowsWhereTheRelayLivesAndWhoRunsIt) {
  const std::string plain = UnitText(Params("/etc/tarnwick/a", "/var/lib/tarnwick"));
  for (const char* line : {"Type=notify", "Restart=on-failure", "ProtectSystem=strict", "ProtectHome=yes",
                           "PrivateTmp=yes", "NoNewPrivileges=yes", "TimeoutStopSec=30",
                           "LimitNOFILE=65536", "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX",
                           "WantedBy=multi-user.target"})
    EXPECT_TRUE(Lines(plain).count(line)) << line << " missing from\n" << plain;
  EXPECT_EQ(Value(plain, "User"), "<none>");
  EXPECT_EQ(Value(plain, "AmbientCapabilities"), "<none>");

  // Anything the relay reads or writes under a home directory must stay visible.
  for (const auto& [dir, root, exe] :
       {std::tuple{"/home/u/relay", "/var/lib/tarnwick", "/opt/t"}, {"/etc/t", "/home/u/saves", "/opt/t"},
        {"/etc/t", "/var/lib/t", "/root/bin/tarnwick"}, {"/etc/t", "/run/user/1000/x", "/opt/t"}}) {
    UnitParams p = Params(dir, root);
    p.executable = exe;
    EXPECT_EQ(Value(UnitText(p), "ProtectHome"), "read-only") << dir << " " << root << " " << exe;
  }
  EXPECT_EQ(Value(UnitText(Params("/homes/x", "/var/lib/t")), "ProtectHome"), "yes");

  // A private /tmp would hide a relay kept in /tmp, and lose its saves.
  EXPECT_EQ(Value(UnitText(Params("/etc/t", "/tmp/saves")), "PrivateTmp"), "<none>");
  EXPECT_EQ(Value(UnitText(Params("/var/tmp/t", "/var/lib/t")), "PrivateTmp"), "<none>");
  EXPECT_EQ(Value(UnitText(Params("/etc/t", "/tmpfs/saves")), "PrivateTmp"), "yes");

  UnitParams p = Params("/etc/t", "/var/lib/t");
  p.binds_privileged_port = true;
  EXPECT_EQ(Value(UnitText(p), "AmbientCapabilities"), "<none>") << "root has the capability";
  p.user = "tarnwick";
  EXPECT_EQ(Value(UnitText(p), "AmbientCapabilities"), "CAP_NET_BIND_SERVICE");
  EXPECT_EQ(Value(UnitText(p), "User"), "tarnwick");
  EXPECT_EQ(Value(UnitText(p), "Group"), "<none>");
  p.group = "backup";
  EXPECT_EQ(Value(UnitText(p), "Group"), "backup");
  p.binds_privileged_port = false;
  EXPECT_EQ(Value(UnitText(p), "AmbientCapabilities"), "<none>");
}

TEST(SystemdUnit, RefusesWhatAUnitCannotCarry) {
  for (const std::string& ok : std::vector<std::string>{"a", "relay-1", "site_b.2", "x:y", std::string(200, 'n')})
    EXPECT_EQ(InstanceNameProblem(ok), "") << ok;
  for (const std::string& bad : std::vector<std::string>{"", "my relay", "a/b", "t@x", "a\\x2d", "é", "a\n", std::string(250, 'n')})
    EXPECT_NE(InstanceNameProblem(bad), "") << bad;

  EXPECT_EQ(UnitPathProblem("/srv/a b/100%/$x"), "");
  for (const std::string bad : {"", "relative/dir", "/a\nExecStartPre=/bin/evil", "/a\"b", "/a\\b"})
    EXPECT_NE(UnitPathProblem(bad), "") << bad;

  for (const std::string ok : {"tarnwick", "backup-user", "_svc", "1001"}) EXPECT_EQ(AccountNameProblem(ok), "") << ok;
  for (const std::string bad : {"", "-x", "a b", "a:b", "a\nb", "root\nExecStartPre=x"})
    EXPECT_NE(AccountNameProblem(bad), "") << bad;
}

// The packaged template must not drift from what install writes.
TEST(SystemdUnit, PackagedTemplateIsHardenedTheSameWay) {
  std::ifstream in(TARNWICK_SYSTEMD_TEMPLATE);
  ASSERT_TRUE(in) << TARNWICK_SYSTEMD_TEMPLATE;
  std::stringstream ss;
  ss << in.rdbuf();
  auto settings = [](const std::string& text) {
    std::set<std::string> out;
    for (const std::string& line : Lines(text))
      if (!line.empty() && line[0] != '#' && line.find('=') != std::string::npos &&
          line.rfind("ExecStart=", 0) && line.rfind("ReadWritePaths=", 0) && line.rfind("Description=", 0))
        out.insert(line);
    return out;
  };
  EXPECT_EQ(settings(ss.str()), settings(UnitText(Params("/etc/tarnwick/a", "/var/lib/tarnwick"))));
  EXPECT_EQ(Value(ss.str(), "ReadWritePaths"), "-/var/lib/tarnwick");
}

}  // namespace
}  // namespace tarnwick::platform::systemd
