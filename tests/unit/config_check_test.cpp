// Broken configurations in a temporary directory, each expected to give one
// line that names the culprit and says why, at the right severity.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "layout/backup_root.h"
#include "platform/platform.h"
#include "service/check/config_check.h"
#include "support/net.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Severity = Finding::Severity;

// A listen-role relay with every file in place; cases break one thing.
struct Site {
  Site() {
    fs::create_directories(root);
    settings["Backup"]["Dir"] = root.string();
    settings["Connection"]["Port"] = std::to_string(tw::FreePort());
    settings["Connection"]["PeerCN"] = "client.example";
    Install(conf, "clientcert.pem", client.cert);
    InstallPair(conf);
  }
  ~Site() { fs::remove_all(dir); }
  static void Install(const fs::path& in, const char* name, const fs::path& from) {
    fs::create_directories(in);
    fs::copy_file(from, in / name, fs::copy_options::overwrite_existing);
  }
  void InstallPair(const fs::path& in, const tw::Id* id = nullptr) const {
    Install(in, "cert.pem", (id ? id : &relay)->cert);
    Install(in, "key.pem", (id ? id : &relay)->key);
  }
  // Forwarding in listen mode: the relay reads the copies in the backup root.
  void ForwardListening() {
    settings["Connection"]["ClosurePort"] = std::to_string(tw::FreePort());
    settings["Forward"]["Port"] = std::to_string(tw::FreePort());
    settings["Forward"]["PeerCN"] = "next.example";
    for (const fs::path& in : {conf, root}) Install(in, "forwardcert.pem", next.cert), InstallPair(in);
  }
  // settings.ini; the raw lines go last, from line raw_line on.
  void WriteSettings() {
    std::string text;
    for (const auto& [section, keys] : settings) {
      text += "[" + section + "]\n";
      for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    }
    raw_line = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    tw::Write(conf / "settings.ini", text + raw);
  }
  std::vector<Finding> Check(bool skip_ports = false, bool pems_in_root = true) {
    WriteSettings();
    return CheckConfiguration({conf.string(), skip_ports, pems_in_root});
  }

  const fs::path dir = tw::TestDir("check"), conf = dir / "conf", root = dir / "root";
  const tw::Id relay = tw::MakeId(dir, "relay.example"), client = tw::MakeId(dir, "client.example"),
               next = tw::MakeId(dir, "next.example");
  std::optional<tw::Id> own;  // this relay's certificate, when a case makes another
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
    auto in = [&](const std::string& w) { return f.text.find(w) != std::string::npos; };
    return f.severity == s && std::all_of(words.begin(), words.end(), in);
  });
}

long Count(const std::vector<Finding>& findings, Severity s) {
  return std::count_if(findings.begin(), findings.end(), [&](const Finding& f) { return f.severity == s; });
}

// A port in use on 127.0.0.1 while it lives.
struct BusyPort {
  std::uint16_t port = 0;
  int fd = tw::Listen(&port);
  ~BusyPort() { ::close(fd); }
  std::string Text() const { return std::to_string(port); }
};

using Break = std::function<void(Site&)>;
Break Set(const char* section, const char* key, std::string v) {
  return [=](Site& s) { s.settings[section][key] = v; };
}
Break Raw(std::string lines) { return [=](Site& s) { s.raw = lines; }; }
Break Copy(const char* name, const tw::Id Site::*id, bool key = false) {
  return [=](Site& s) { Site::Install(s.conf, name, key ? (s.*id).key : (s.*id).cert); };
}
Break Forwarding(Break then) { return [=](Site& s) { s.ForwardListening(), then(s); }; }
Break OwnValidFor(long seconds) {
  return [=](Site& s) { s.InstallPair(s.conf, &s.own.emplace(tw::MakeId(s.dir, "relay.example", seconds))); };
}
Break Trusted(bool with_a_valid_one) {
  return [=](Site& s) {
    const tw::Id old = tw::MakeId(s.dir, "old.example", -3600);
    tw::Write(s.conf / "clientcert.pem", with_a_valid_one ? tw::Pems({&s.client, &old}) : tw::Read(old.cert));
  };
}

TEST(ConfigCheck, ACleanConfigurationHasNoErrorOrWarningAndLeavesNothingBehind) {
  Site site;
  site.ForwardListening();
  site.raw = "; a comment\n# Port=1\n";
  const std::vector<Finding> f = site.Check();
  EXPECT_EQ(Count(f, Severity::Error) + Count(f, Severity::Warning), 0) << Dump(f);
  EXPECT_EQ(tw::Files(site.root), (std::vector<std::string>{"cert.pem", "forwardcert.pem", "key.pem"}));
  const BusyPort again{static_cast<std::uint16_t>(std::stoi(site.settings["Connection"]["Port"]))};
  EXPECT_GE(again.fd, 0) << "the port test must release the port";
}

TEST(ConfigCheck, EachBrokenConfigurationGivesOneLineNamingItsCause) {
  const BusyPort busy;
  const struct {
    Break breaks;
    Severity severity;
    std::vector<std::string> words;  // "@line": the first raw line's number; "@next": the one after
    bool pems_in_root = true;
  } cases[] = {
      {Raw("[Connection]\nBandwidth=2MB\n"), Severity::Error,
       {"unknown key [Connection] Bandwidth", "settings.ini line @next", "did you mean Bandwith?"}},
      {Raw("[Forward]\nDir=/x\n"), Severity::Error, {"unknown key [Forward] Dir", "did you mean [Backup] Dir?"}},
      {Raw("[Conection]\nHost=a\n"), Severity::Error,
       {"unknown section [Conection]", "line @line", "did you mean [Connection]?"}},
      {Raw("[connection]\nPORT=1\n"), Severity::Warning,
       {"[connection] PORT", "line @next is ignored", "sets it first"}},
      {Raw("[Connection\nPort=1\n"), Severity::Warning,
       {"line @line of", "ignored: a section name without its closing ]"}},
      {Raw("[Connection]\nPort 1\n"), Severity::Warning, {"line @next of", "is ignored: a line without ="}},
      {Raw("[Connection]\nMaxStreams=\x1b[2J\n"), Severity::Error, {"MaxStreams=\\x1B[2J", "not a whole number"}},
      {Set("Connection", "Port", "99999"), Severity::Error, {"[Connection] Port=99999", "out of range", "1-65535"}},
      {Set("Connection", "Bandwith", "2XB"), Severity::Error, {"[Connection] Bandwith=2XB", "unknown unit", "\"XB\""}},
      {Set("Connection", "DelayBeforeRetry", "-100"), Severity::Error, {"DelayBeforeRetry=-100", "negative"}},
      {Set("Connection", "RequireClientCert", "yes"), Severity::Error, {"RequireClientCert=yes", "0 or 1"}},
      {Set("Connection", "PeerCN", std::string(300, 'c')), Severity::Warning, {"PeerCN=ccc", "only the first 259"}},
      {[](Site& s) { fs::remove(s.conf / "cert.pem"); }, Severity::Error,
       {"cannot read", "cert.pem", "No such file or directory"}},
      {[](Site& s) { tw::Write(s.conf / "key.pem", "not a key at all\n"); }, Severity::Error,
       {"key.pem", "holds no PEM data"}},
      {Copy("key.pem", &Site::relay), Severity::Error, {"key.pem", "holds no private key", "CERTIFICATE"}},
      {Copy("key.pem", &Site::client, true), Severity::Error,
       {"key.pem", "does not match the certificate", "CN=relay.example"}},
      {OwnValidFor(-86400), Severity::Error, {"cert.pem", "CN=relay.example", "expired on"}},
      {OwnValidFor(10L * 86400 + 3600), Severity::Warning, {"cert.pem", "expires on", "in 10 days"}},
      // A stale trusted certificate beside a valid one refuses only its own peers.
      {Trusted(true), Severity::Warning, {"clientcert.pem", "trusted certificate 2 of 2", "expired"}},
      {Trusted(false), Severity::Error, {"clientcert.pem", "trusted certificate 1 of 1", "expired"}},
      {Copy("clientcert.pem", &Site::next), Severity::Warning,
       {"clientcert.pem", "[Connection] PeerCN client.example"}},
      {Copy("clientcert.pem", &Site::client, true), Severity::Error,
       {"clientcert.pem", "holds no certificate", "PRIVATE KEY"}},
      {[](Site& s) { fs::remove_all(s.root); }, Severity::Error, {"backup root", "does not exist", "[Backup] Dir"}},
      {[](Site& s) {
         tw::Write(s.dir / "plain", "x");
         s.settings["Backup"]["Dir"] = (s.dir / "plain").string();
       },
       Severity::Error, {"plain", "is not a directory"}},
      {[](Site& s) { tw::Write(s.root / "saves", "x"); }, Severity::Error,
       {"saves in the backup root is not a directory"}},
      {Set("Connection", "Port", busy.Text()), Severity::Error,
       {"[Connection] Port", "port " + busy.Text(), "Address already in use"}},
      {Forwarding([](Site& s) { s.settings["Forward"]["Port"] = s.settings["Connection"]["Port"]; }), Severity::Error,
       {"[Connection] Port and [Forward] Port are both"}},
      {Forwarding([](Site& s) { fs::remove(s.root / "forwardcert.pem"); }), Severity::Error,
       {"root/forwardcert.pem", "No such file", "copy in the backup root"}},
      // With every PEM file beside settings.ini the backup root needs no copies.
      {Forwarding([](Site& s) {
         for (const char* name : {"cert.pem", "key.pem", "forwardcert.pem"}) fs::remove(s.root / name);
         fs::remove(s.conf / "forwardcert.pem");
       }),
       Severity::Error, {"conf/forwardcert.pem", "No such file"}, /*pems_in_root=*/false},
  };
  for (const auto& c : cases) {
    Site site;
    c.breaks(site);
    site.WriteSettings();
    std::vector<std::string> words = c.words;
    for (std::string& w : words)
      for (auto [mark, line] : {std::pair{"@line", site.raw_line}, std::pair{"@next", site.raw_line + 1}})
        if (auto at = w.find(mark); at != std::string::npos) w.replace(at, 5, std::to_string(line));
    const std::vector<Finding> f = site.Check(/*skip_ports=*/false, c.pems_in_root);
    EXPECT_TRUE(Has(f, c.severity, words)) << words[0] << ":\n" << Dump(f);
    EXPECT_EQ(Count(f, Severity::Error), c.severity == Severity::Error ? 1 : 0) << words[0] << ":\n" << Dump(f);
  }
}

TEST(ConfigCheck, AnEncryptedKeyIsReportedWithoutAskingForItsPassPhrase) {
  Site site;
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  BIO* out = BIO_new_file((site.conf / "key.pem").c_str(), "w");
  unsigned char pass[] = "secret";
  const int written = PEM_write_bio_PrivateKey(out, key, EVP_aes_256_cbc(), pass, 6, nullptr, nullptr);
  BIO_free(out);
  EVP_PKEY_free(key);
  ASSERT_EQ(written, 1);
  site.WriteSettings();
  // Run where no pass phrase can be typed: no terminal, standard input at
  // its end. A check that asked for one would fail here rather than hang.
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    tw::Write(site.dir / "report", Dump(CheckConfiguration({site.conf.string(), true, true})));
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  const std::string report = tw::Read(site.dir / "report");
  EXPECT_NE(report.find("error: " + (site.conf / "key.pem").string() + " is encrypted with a pass phrase"),
            std::string::npos) << report;
  EXPECT_EQ(report.find("does not match"), std::string::npos) << report;
}

TEST(ConfigCheck, PortsAreLeftToARunningRelayAndToTheRelaysOwnStartUp) {
  Site site;
  const BusyPort busy;
  site.settings["Connection"]["Port"] = busy.Text();
  site.raw = "[Connection]\nBandwidth=2MB\n[Extra]\nX=1\n";
  site.WriteSettings();
  // At start-up a name this version does not know is no reason to stop.
  std::vector<Finding> f = StartupFindings({site.conf.string()});
  EXPECT_FALSE(HasErrors(f)) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"unknown key [Connection] Bandwidth"})) << Dump(f);
  EXPECT_TRUE(Has(f, Severity::Warning, {"unknown section [Extra]"})) << Dump(f);
  site.raw = "[Connection]\nMaxStreams=many\n";  // but a value it would misread is
  site.WriteSettings();
  EXPECT_TRUE(Has(StartupFindings({site.conf.string()}), Severity::Error, {"MaxStreams=many", "not a whole number"}));

  // The lock excludes a second owner (the check's probe, in this very
  // process), a move keeps it, and it goes with its owner.
  site.raw = "";
  platform::FileLock lock = platform::TryLockFile((site.root / kLockFile).string());
  ASSERT_TRUE(lock.Held());
  platform::FileLock moved = std::move(lock);
  f = site.Check();
  EXPECT_TRUE(Has(f, Severity::Note, {"a relay is running on this backup root", "ports not tested"})) << Dump(f);
  EXPECT_EQ(Count(f, Severity::Error), 0) << Dump(f);
  moved.Release();
  EXPECT_TRUE(Has(site.Check(), Severity::Error, {"Address already in use"}));
}

}  // namespace
}  // namespace tarnwick
