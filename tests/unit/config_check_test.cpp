// Broken configurations in a temporary directory, each expected to give one
// line that names the culprit and says why, at the right severity.
#include "service/config_check.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/certs.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Severity = Finding::Severity;

void Write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::string Read(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

// A TCP socket listening on every IPv4 address, as a relay's would: port 0
// picks a free one.
struct Listener {
  explicit Listener(std::uint16_t want = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(want), {htonl(INADDR_ANY)}, {}};
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 1) != 0) ADD_FAILURE() << "listen";
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd;
  std::uint16_t port;
};

std::uint16_t FreePort() { return Listener().port; }

// A listen-role relay with every file in place; cases break one thing.
struct Site {
  Site() {
    dir = fs::temp_directory_path() / ("tarnwick-check-" + std::to_string(std::random_device{}()));
    conf = dir / "conf";
    root = dir / "root";
    fs::create_directories(conf);
    fs::create_directories(root);
    relay = tw::MakeId(dir, "relay.example");
    client = tw::MakeId(dir, "client.example");
    next = tw::MakeId(dir, "next.example");
    settings["Backup"]["Dir"] = root.string();
    settings["Connection"]["Port"] = std::to_string(FreePort());
    settings["Connection"]["PeerCN"] = "client.example";
    Install(conf, "clientcert.pem", client.cert);
    Install(conf, "cert.pem", relay.cert);
    Install(conf, "key.pem", relay.key);
  }
  ~Site() {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }
  static void Install(const fs::path& in, const char* name, const fs::path& from) {
    fs::copy_file(from, in / name, fs::copy_options::overwrite_existing);
  }
  // Forwarding in listen mode: the relay reads the copies in the backup root.
  void ForwardListening() {
    settings["Connection"]["ClosurePort"] = std::to_string(FreePort());
    settings["Forward"]["Port"] = std::to_string(FreePort());
    settings["Forward"]["PeerCN"] = "next.example";
    for (const fs::path& in : {conf, root}) {
      Install(in, "forwardcert.pem", next.cert);
      Install(in, "cert.pem", relay.cert);
      Install(in, "key.pem", relay.key);
    }
  }
  // settings.ini; raw lines go last, from line RawLine() on.
  void WriteSettings() {
    std::string text;
    for (const auto& [section, keys] : settings) {
      text += "[" + section + "]\n";
      for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    }
    raw_line = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    Write(conf / "settings.ini", text + raw);
  }
  std::vector<Finding> Check(bool skip_ports = false, bool pems_in_root = true) {
    WriteSettings();
    return CheckConfiguration({conf.string(), skip_ports, pems_in_root});
  }

  fs::path dir, conf, root;
  tw::Id relay, client, next;
  std::map<std::string, std::map<std::string, std::string>> settings;
  std::string raw;
  int raw_line = 0;
};

std::string Dump(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) out += std::string(SeverityName(f.severity)) + ": " + f.text + "\n";
  return out.empty() ? "(no findings)\n" : out;
}

bool Has(const std::vector<Finding>& findings, Severity s, const std::vector<std::string>& words) {
  return std::any_of(findings.begin(), findings.end(), [&](const Finding& f) {
    return f.severity == s && std::all_of(words.begin(), words.end(), [&](const std::string& w) {
             return f.text.find(w) != std::string::npos;
           });
  });
}

long Count(const std::vector<Finding>& findings, Severity s) {
  return std::count_if(findings.begin(), findings.end(), [&](const Finding& f) { return f.severity == s; });
}

TEST(ConfigCheck, ACleanConfigurationHasNoErrorOrWarning) {
  Site site;
  site.ForwardListening();
  const std::vector<Finding> f = site.Check();
  EXPECT_EQ(Count(f, Severity::Error) + Count(f, Severity::Warning), 0) << Dump(f);
  EXPECT_FALSE(fs::exists(site.root / ".tarnwick-check.probe")) << "the write probe was left behind";
  Listener again(static_cast<std::uint16_t>(std::stoi(site.settings["Connection"]["Port"])));
  EXPECT_GT(again.port, 0) << "the port test must release the port";
}

TEST(ConfigCheck, EachBrokenConfigurationGivesOneLineNamingItsCause) {
  struct Case {
    const char* name;
    std::function<void(Site&)> breakIt;
    Severity severity;
    std::vector<std::string> words;  // "@line" stands for the first raw line's number
  };
  Listener busy;
  const std::string busy_port = std::to_string(busy.port);
  const Case cases[] = {
      {"a misspelt key", [](Site& s) { s.raw = "[Connection]\nBandwidth=2MB\n"; }, Severity::Error,
       {"unknown key [Connection] Bandwidth", "settings.ini line @next", "did you mean Bandwith?"}},
      {"a key in the wrong section", [](Site& s) { s.raw = "[Forward]\nDir=/x\n"; }, Severity::Error,
       {"unknown key [Forward] Dir", "did you mean [Backup] Dir?"}},
      {"a misspelt section", [](Site& s) { s.raw = "[Conection]\nHost=a\n"; }, Severity::Error,
       {"unknown section [Conection]", "line @line", "did you mean [Connection]?"}},
      {"a port out of range", [](Site& s) { s.settings["Connection"]["Port"] = "99999"; }, Severity::Error,
       {"[Connection] Port=99999", "out of range", "1-65535"}},
      {"a rate with an unknown unit", [](Site& s) { s.settings["Connection"]["Bandwith"] = "2XB"; },
       Severity::Error, {"[Connection] Bandwith=2XB", "unknown unit", "\"XB\""}},
      {"a negative delay", [](Site& s) { s.settings["Connection"]["DelayBeforeRetry"] = "-100"; },
       Severity::Error, {"DelayBeforeRetry=-100", "negative"}},
      {"a flag that is not 0 or 1", [](Site& s) { s.settings["Connection"]["RequireClientCert"] = "yes"; },
       Severity::Error, {"RequireClientCert=yes", "0 or 1"}},
      {"a missing certificate", [](Site& s) { fs::remove(s.conf / "cert.pem"); }, Severity::Error,
       {"cannot read", "cert.pem", "No such file or directory"}},
      {"garbage as the key", [](Site& s) { Write(s.conf / "key.pem", "not a key at all\n"); }, Severity::Error,
       {"key.pem", "holds no PEM data"}},
      {"a certificate as the key", [](Site& s) { Site::Install(s.conf, "key.pem", s.relay.cert); },
       Severity::Error, {"key.pem", "holds no private key", "CERTIFICATE"}},
      {"a key of another certificate", [](Site& s) { Site::Install(s.conf, "key.pem", s.client.key); },
       Severity::Error, {"key.pem", "does not match the certificate", "CN=relay.example"}},
      {"an expired certificate",
       [](Site& s) {
         const tw::Id expired = tw::MakeId(s.dir, "relay.example", -86400);
         Site::Install(s.conf, "cert.pem", expired.cert);
         Site::Install(s.conf, "key.pem", expired.key);
       },
       Severity::Error, {"cert.pem", "CN=relay.example", "expired on"}},
      {"a trusted file without the peer's name",
       [](Site& s) { Site::Install(s.conf, "clientcert.pem", s.next.cert); }, Severity::Warning,
       {"clientcert.pem", "[Connection] PeerCN client.example"}},
      {"a trusted file that is a key", [](Site& s) { Site::Install(s.conf, "clientcert.pem", s.client.key); },
       Severity::Error, {"clientcert.pem", "holds no certificate", "PRIVATE KEY"}},
      {"a missing backup root", [](Site& s) { fs::remove_all(s.root); }, Severity::Error,
       {"backup root", "does not exist", "[Backup] Dir"}},
      {"a file as the backup root",
       [](Site& s) {
         Write(s.dir / "plain", "x");
         s.settings["Backup"]["Dir"] = (s.dir / "plain").string();
       },
       Severity::Error, {"plain", "is not a directory"}},
      {"a port in use", [&](Site& s) { s.settings["Connection"]["Port"] = busy_port; }, Severity::Error,
       {"[Connection] Port", "port " + busy_port, "Address already in use"}},
      {"the forward port equal to the inbound port",
       [](Site& s) {
         s.ForwardListening();
         s.settings["Forward"]["Port"] = s.settings["Connection"]["Port"];
       },
       Severity::Error, {"[Connection] Port and [Forward] Port are both"}},
      {"forwarding without the copies in the backup root",
       [](Site& s) {
         s.ForwardListening();
         fs::remove(s.root / "forwardcert.pem");
       },
       Severity::Error, {"root/forwardcert.pem", "No such file", "copy in the backup root"}},
  };
  for (const Case& c : cases) {
    Site site;
    c.breakIt(site);
    site.WriteSettings();
    std::vector<std::string> words = c.words;
    for (std::string& w : words) {
      for (auto [mark, line] : {std::pair{"@line", site.raw_line}, std::pair{"@next", site.raw_line + 1}})
        if (auto at = w.find(mark); at != std::string::npos) w.replace(at, std::string(mark).size(), std::to_string(line));
    }
    const std::vector<Finding> f = site.Check();
    EXPECT_TRUE(Has(f, c.severity, words)) << c.name << ":\n" << Dump(f);
    EXPECT_EQ(Count(f, Severity::Error), c.severity == Severity::Error ? 1 : 0) << c.name << ":\n" << Dump(f);
  }
}

TEST(ConfigCheck, AReadOnlyBackupRootIsAnError) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  Site site;
  fs::permissions(site.root, fs::perms::owner_read | fs::perms::owner_exec);
  const std::vector<Finding> f = site.Check();
  EXPECT_TRUE(Has(f, Severity::Error, {"backup root", "not writable", "Permission denied"})) << Dump(f);
}

TEST(ConfigCheck, DatesNearTheirEndWarnAndStaleTrustedCertificatesAreErrorsOnlyWhenNothingElseIsValid) {
  Site site;
  const tw::Id soon = tw::MakeId(site.dir, "relay.example", 10L * 86400 + 3600);
  Site::Install(site.conf, "cert.pem", soon.cert);
  Site::Install(site.conf, "key.pem", soon.key);
  fs::create_directories(site.dir / "old");
  const tw::Id old = tw::MakeId(site.dir / "old", "client.example", -3600);
  Write(site.conf / "clientcert.pem", Read(site.client.cert) + Read(old.cert));
  std::vector<Finding> f = site.Check(/*skip_ports=*/true);
  EXPECT_EQ(Count(f, Severity::Error), 0) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"cert.pem", "expires on", "in 10 days"})) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"clientcert.pem", "2 of 2", "expired"})) << Dump(f);

  Site::Install(site.conf, "clientcert.pem", old.cert);
  f = site.Check(/*skip_ports=*/true);
  EXPECT_TRUE(Has(f, Severity::Error, {"clientcert.pem", "1 of 1", "expired"})) << Dump(f);
}

// Run where no pass phrase can be typed: no terminal, standard input at its
// end. A check that asked for one would fail or hang here instead of saying
// what is wrong.
std::optional<std::string> RunDetached(const std::function<std::string()>& run, int timeout_ms) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    const std::string text = run();
    (void)!::write(out[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(out[0]);
      return std::nullopt;
    }
    char buf[4096];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
  return text;
}

TEST(ConfigCheck, AnEncryptedKeyIsReportedWithoutAskingForItsPassPhrase) {
  Site site;
  {
    BIO* in = BIO_new_file(site.relay.key.c_str(), "r");
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    ASSERT_NE(key, nullptr);
    BIO* out = BIO_new_file((site.conf / "key.pem").c_str(), "w");
    char pass[] = "secret";
    PEM_write_bio_PrivateKey(out, key, EVP_aes_256_cbc(), reinterpret_cast<unsigned char*>(pass), 6, nullptr,
                             nullptr);
    BIO_free(out);
    EVP_PKEY_free(key);
  }
  site.WriteSettings();
  const std::optional<std::string> report = RunDetached(
      [&] { return Dump(CheckConfiguration({site.conf.string(), true, true})); }, 20000);
  ASSERT_TRUE(report) << "the check did not finish: it waits for a pass phrase";
  EXPECT_NE(report->find("error: " + (site.conf / "key.pem").string() + " is encrypted with a pass phrase"),
            std::string::npos)
      << *report;
  EXPECT_EQ(report->find("does not match"), std::string::npos) << *report;
}

TEST(ConfigCheck, ARunningRelaysLockSkipsThePortTest) {
  Site site;
  Listener busy;
  site.settings["Connection"]["Port"] = std::to_string(busy.port);
  platform::FileLock lock = platform::TryLockFile((site.root / kRelayLockFile).string());
  ASSERT_TRUE(lock.Held());
  const std::vector<Finding> f = site.Check();
  EXPECT_TRUE(Has(f, Severity::Note, {"a relay is running on this backup root", "ports not tested"})) << Dump(f);
  EXPECT_EQ(Count(f, Severity::Error), 0) << Dump(f);
  lock.Release();
  EXPECT_TRUE(Has(site.Check(), Severity::Error, {"Address already in use"}));
}

TEST(ConfigCheck, StartUpOnlyWarnsAboutUnknownNamesAndLeavesThePortsToTheRelay) {
  Site site;
  Listener busy;
  site.settings["Connection"]["Port"] = std::to_string(busy.port);
  site.raw = "[Connection]\nBandwidth=2MB\n[Extra]\nX=1\n";
  site.WriteSettings();
  std::vector<Finding> f = StartupFindings({site.conf.string()});
  EXPECT_FALSE(HasErrors(f)) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"unknown key [Connection] Bandwidth"})) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"unknown section [Extra]"})) << Dump(f);

  site.settings["Connection"]["MaxStreams"] = "many";
  site.WriteSettings();
  f = StartupFindings({site.conf.string()});
  EXPECT_TRUE(HasErrors(f)) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Error, {"MaxStreams=many", "not a whole number"})) << Dump(f);
}

TEST(ConfigCheck, WithEveryPemFileInOneDirectoryTheBackupRootNeedsNoCopies) {
  Site site;
  site.ForwardListening();
  for (const char* name : {"cert.pem", "key.pem", "forwardcert.pem"}) fs::remove(site.root / name);
  EXPECT_TRUE(HasErrors(site.Check(true, /*pems_in_root=*/true)));
  const std::vector<Finding> f = site.Check(true, /*pems_in_root=*/false);
  EXPECT_FALSE(HasErrors(f)) << Dump(f);
  fs::remove(site.conf / "forwardcert.pem");
  EXPECT_TRUE(Has(site.Check(true, false), Severity::Error, {"conf/forwardcert.pem", "No such file"}));
}

}  // namespace
}  // namespace tarnwick
