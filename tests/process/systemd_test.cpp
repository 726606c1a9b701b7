// Registration with systemd (through a fake systemctl) and the notifications a
// relay sends to the socket named by NOTIFY_SOCKET.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "support/harness.h"

namespace tw {
namespace {

// Sets a variable for the children spawned while it lives, then puts it back.
struct Env {
  Env(const char* name, const std::string& value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
    setenv(name, value.c_str(), 1);
  }
  ~Env() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
  const char* name_;
  std::optional<std::string> old_;
};

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

bool Starts(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

struct Systemd : Net {
  // A systemctl that logs its arguments and runs tail; returns PATH with it first.
  std::string FakeSystemctl(const std::string& tail) {
    Write(dir_ / "bin" / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + log_.string() + "'\n" + tail + "\n");
    chmod((dir_ / "bin" / "systemctl").c_str(), 0755);
    const char* path = std::getenv("PATH");
    return (dir_ / "bin").string() + ":" + (path ? path : "/usr/bin:/bin");
  }
  fs::path log_, units_;
  void SetUp() override { Net::SetUp(), log_ = dir_ / "systemctl.log", fs::create_directories(units_ = dir_ / "units"); }
};

// Two relays of one host: each gets its own unit, neither can take or
// remove the other's.
TEST_F(Systemd, TwoInstancesInstallAndDeleteIndependently) {
  const Relay& r1 = NewRelay("r1");  // valid settings: a stray relay would run
  const Relay& r2 = NewRelay("r2");
  Env path("PATH", FakeSystemctl("exit 0")), dir("TARNWICK_SYSTEMD_DIR", units_.string());
  fs::create_symlink(r1.dir / "tarnwick", dir_ / "via-link");

  // Through a link the instance still comes from the real file's directory.
  Ran r = Run(dir_ / "via-link", {"INSTALL"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(HasLine(r.out, "Service installed successfully")) << r.out << r.err;
  const std::string unit1 = Read(units_ / "tarnwick-r1.service");
  EXPECT_TRUE(HasLine(unit1, "ExecStart=" + fs::canonical(r1.dir / "tarnwick").string() + " --dir " +
                                 fs::canonical(r1.dir).string()))
      << unit1;
  std::string log = Read(log_);
  EXPECT_NE(log.find("enable tarnwick-r1.service\n", log.find("daemon-reload\n")), std::string::npos) << log;

  // The second relay asking for the first one's name is refused, and the
  // first unit stays as it was.
  r = Run(r2.dir / "tarnwick", {"install", "r1", "--user", "root"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("already installed for the relay in " + fs::canonical(r1.dir).string()), std::string::npos)
      << r.err;
  EXPECT_EQ(Read(units_ / "tarnwick-r1.service"), unit1);

  r = Run(r2.dir / "tarnwick", {"install", "--user", "no-such-user-here"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("no such user"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(units_ / "tarnwick-r2.service"));

  r = Run(r2.dir / "tarnwick", {"install", "--user", "root"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(HasLine(Read(units_ / "tarnwick-r2.service"), "User=root")) << Read(units_ / "tarnwick-r2.service");

  log = Read(log_);
  r = Run(r1.dir / "tarnwick", {"Delete"});
  EXPECT_EQ(r.status, 0) << "delete went on to run the relay\n" << r.err;
  EXPECT_TRUE(HasLine(r.out, "Service deleted successfully")) << r.out << r.err;
  EXPECT_EQ(r.err.find("Tarnwick state:"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(units_ / "tarnwick-r1.service"));
  EXPECT_TRUE(Exists(units_ / "tarnwick-r2.service"));
  EXPECT_NE(Read(log_).find("disable tarnwick-r1.service\n", log.size()), std::string::npos) << Read(log_);

  r = Run(r1.dir / "tarnwick", {"delete"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(Starts(r.err, "Service not installed")) << r.out << r.err;
  EXPECT_TRUE(Exists(units_ / "tarnwick-r2.service"));
}

TEST_F(Systemd, InstallFailuresExitNonZeroWithOneLine) {
  const fs::path bin = NewRelay("r").dir / "tarnwick";
  Env path("PATH", FakeSystemctl("[ \"$1\" = daemon-reload ] && exit 1\nexit 0"));
  {
    Env dir("TARNWICK_SYSTEMD_DIR", units_.string());
    const Ran r = Run(bin, {"install"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Starts(r.err, "Cannot install service")) << r.out << r.err;
    EXPECT_NE(r.err.find("daemon-reload failed"), std::string::npos) << r.err;
    EXPECT_EQ(Read(log_), "daemon-reload\n") << "enabled after a failed reload";
  }
  const fs::path absent = dir_ / "no-such-dir";
  Env dir("TARNWICK_SYSTEMD_DIR", absent.string());
  const Ran r = Run(bin, {"install"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Starts(r.err, "Cannot install service")) << r.out << r.err;
  EXPECT_NE(r.err.find(absent.string()), std::string::npos) << r.err;
}

TEST_F(Systemd, NotifiesStartReadyStoppingStopped) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string at = (dir_ / "notify").string();
  ASSERT_LT(at.size(), sizeof a.sun_path);
  at.copy(a.sun_path, at.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << at;
  const timeval tv{kWait.count() / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  Relay& r = NewRelay("r");
  {
    Env notify("NOTIFY_SOCKET", at);
    ASSERT_TRUE(r.Start()) << r.Err();
  }
  EXPECT_EQ(r.Stop(), 0) << r.Err();
  // Each datagram as its set of fields, up to STOPPED or a silence of kWait.
  std::vector<std::set<std::string>> got;
  char buf[512];
  for (ssize_t n; (got.empty() || !got.back().count("STATUS=STOPPED")) && (n = recv(fd, buf, sizeof buf, 0)) >= 0;) {
    std::istringstream fields(std::string(buf, n));
    got.emplace_back();
    for (std::string f; std::getline(fields, f);) got.back().insert(f);
  }
  close(fd);
  const std::vector<std::set<std::string>> want = {{"STATUS=START_PENDING"},
                                                   {"READY=1", "STATUS=RUNNING"},
                                                   {"STOPPING=1", "STATUS=STOP_PENDING"},
                                                   {"STATUS=STOPPED"}};
  EXPECT_EQ(got, want) << r.Err();
}

}  // namespace
}  // namespace tw
