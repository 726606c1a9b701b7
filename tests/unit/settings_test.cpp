// settings.ini as the relay has always read it; the table of known keys
// that the reader, the check and the documentation share; and the
// configuration check, on broken configurations in a temporary directory.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "layout/backup_root.h"
#include "platform/platform.h"
#include "service/check/config_check.h"
#include "platform/file_system.h"
#include "relay/local_relay.h"
#include "service/relay.h"
#include "settings/ini_file.h"
#include "settings/known_settings.h"
#include "settings/settings.h"
#include "support/net.h"

namespace tarnwick {
namespace {

// Case, CR line ends and the first occurrence winning are the fuzz corpus's.
TEST(IniFile, TrimmedAndUnquotedAndSectionsAsWritten) {
  const IniFile ini = IniFile::Parse(
      "orphan=1\n; comment\n[Connection]\nPadded =   spaced out \t\nDouble=\"  quoted  \"\nSingle='single'\n"
      "Mismatched=\"abc'\nNested=\"\"inner\"\"\nInner=a = b\nEmpty=\n;Port=9999\n# Port=9998\n"
      "[Broken\nAfterBroken=still Connection\nNo equals sign\n[ Other ]\nPort=1234\n");
  const struct { const char* section; const char* key; std::optional<std::string> value; } cases[] = {
      {"Connection", "Padded", "spaced out"}, {"Connection", "Double", "  quoted  "},
      {"Connection", "Single", "single"},     {"Connection", "Mismatched", "\"abc'"},
      {"Connection", "Nested", "\"inner\""},  {"Connection", "Inner", "a = b"},
      {"Connection", "Empty", ""},            {"Connection", "Port", std::nullopt},
      {"Connection", "AfterBroken", "still Connection"}, {"Other", "Port", "1234"},
      {"", "orphan", std::nullopt},           {"Connection", "No equals sign", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ini.Value(c.section, c.key), c.value) << c.section << " " << c.key;
}

// Every field a key of settings.ini may set, by name.
std::map<std::string, std::string> Fields(const Settings& s) {
  using std::to_string;
  return {{"backup_dir", s.backup_dir}, {"host", s.host}, {"port", s.port}, {"closure_port", s.closure_port},
          {"peer_cn", s.peer_cn}, {"delay", to_string(s.delay_before_retry_ms)}, {"rate", to_string(s.rate)},
          {"throttling", to_string(s.throttling)}, {"client_cert", to_string(s.require_client_cert)},
          {"max_streams", to_string(s.max_streams)}, {"total_rate", to_string(s.total_rate)},
          {"min_rate", to_string(s.min_rate)}, {"idle", to_string(s.idle_timeout_s)},
          {"header", to_string(s.header_timeout_s)}, {"close_notify", to_string(s.require_close_notify)},
          {"upstream", to_string(s.upstream)}, {"forward_host", s.forward_host}, {"forward_port", s.forward_port},
          {"forward_rate", to_string(s.forward_rate)}, {"forward_peer_cn", s.forward_peer_cn},
          {"listen", s.listen}, {"forward_listen", s.forward_listen}, {"metrics_listen", s.metrics_listen}};
}

// The table is what the check knows and the documentation lists: each key
// must reach a field of its own through ReadSettings, in any case.
TEST(KnownSettings, EveryKeyInTheTableIsReadIntoAFieldOfItsOwn) {
  const auto defaults = Fields(ReadSettings(IniFile::Parse("")));
  std::map<std::set<std::string>, std::string> owner;
  for (const KnownSetting& k : KnownSettings()) {
    const std::string name = std::string(k.section) + " " + std::string(k.key);
    // A valid value unlike any default; both flag values, as the default is one of them.
    std::vector<std::string> values{k.kind == SettingKind::Rate ? "3M" : "4242"};
    if (k.kind == SettingKind::Flag) values = {"0", "1"};
    if (k.kind == SettingKind::Path || k.kind == SettingKind::Text) values = {"/x.example"};
    if (k.kind == SettingKind::Endpoint) values = {"127.0.0.1:4242"};
    std::set<std::string> changed;
    for (const std::string& v : values) {
      EXPECT_FALSE(CheckSettingValue(k, v)) << name << "=" << v << " should be valid";
      const auto read = Fields(ReadSettings(IniFile::Parse("[" + Lower(k.section) + "]\n" + Lower(k.key) + "=" + v)));
      for (const auto& [field, value] : read)
        if (value != defaults.at(field)) changed.insert(field);
    }
    EXPECT_FALSE(changed.empty()) << name << " is in the table but changes nothing";
    EXPECT_TRUE(owner.emplace(changed, name).second) << name << " sets what " << owner[changed] << " sets";
    EXPECT_EQ(FindKnownSetting(Lower(k.section), Lower(k.key)), &k);
  }
}

// Texts cut to their buffer and invalid rates kept at their default are the fuzz corpus's.
TEST(ReadSettings, DefaultsAndFallbacksAsTheRelayHasAlwaysRead) {
  const struct { std::string ini; const char* field; std::string want; } cases[] = {
      {"", "rate", "20480"}, {"", "total_rate", "0"}, {"", "min_rate", "1024"}, {"", "max_streams", "64"},
      {"[Connection]\nMaxStreams=0", "max_streams", "64"}, {"[Connection]\nIdleTimeout=-3", "idle", "120"},
      {"[Connection]\nHeaderTimeout=x", "header", "10"}, {"[Connection]\nDelayBeforeRetry=250ms", "delay", "250"},
      {"[Connection]\nDelayBeforeRetry=-5", "delay", "0"}, {"[Connection]\nIdleTimeout=\"300\"", "idle", "300"},
      {"[Connection]\nMaxStreams=99999999999", "max_streams", std::to_string(INT_MAX)},
      // Empty means no limit, or MinRate's 1K; [Forward] Bandwith follows [Connection] Bandwith unless set.
      {"[Connection]\nBandwith=", "rate", "0"}, {"[Connection]\nMinRate=", "min_rate", "1024"},
      {"[Connection]\nBandwith=64", "forward_rate", "65536"},
      // [Forward] Listen follows [Connection] Listen unless set, and empty means every address.
      {"[Connection]\nListen=127.0.0.1", "forward_listen", "127.0.0.1"},
      {"[Connection]\nListen=127.0.0.1\n[Forward]\nListen=", "forward_listen", ""}};
  for (const auto& c : cases) EXPECT_EQ(Fields(ReadSettings(IniFile::Parse(c.ini))).at(c.field), c.want) << c.ini;

  Settings s = ReadSettings(IniFile::Parse(
      "[connection]\nhost = relay.example\nThrottlingEnabled=0\nBandwith=2M\nTotalBandwith=1G\n[Backup]\nDir=saves\n"));
  EXPECT_TRUE(s.InboundDials());
  EXPECT_EQ(s.TransferRate() + s.TotalRate() + s.ForwardRate(), 0) << "ThrottlingEnabled=0 turns every limit off";
  s.config_dir = "/etc/tarnwick";
  EXPECT_EQ(s.BackupRoot(), "/etc/tarnwick/saves");
}

TEST(ParseRate, UnitsArePowersOf1024AndAnInvalidRateSaysWhy) {
  const struct { const char* text; std::optional<std::int64_t> rate; const char* why = ""; } cases[] = {
      {"20", 20480}, {"20K", 20480}, {"20k", 20480}, {"20KiB", 20480}, {"20kB", 20480}, {"2MB", 2097152},
      {"2 MiB", 2097152}, {"2m", 2097152}, {"3G", 3LL << 30}, {"1\tGiB", 1LL << 30}, {"  7KB  ", 7168}, {"0", 0},
      {"-5KB", -5120}, {"+5", 5120},
      {"3000000KB", 3072000000LL},  // past 32 bits
      // A lower-case b may be bits: refused, with the byte units to write.
      {"20Mb", {}, "bits or bytes: write MB or MiB"}, {"20mb", {}, "bits or bytes"}, {"20Kb", {}, "write KB or KiB"},
      {"2Mib", {}, "bits or bytes"},
      {"2XB", {}, "unknown unit \"XB\" (accepted: a number of KiB/s, or a number with K, KB, KiB, M"},
      {"20B", {}, "unknown unit"}, {"20MIB", {}, "unknown unit"}, {"20 K B", {}, "unknown unit"},
      {"20MBps", {}, "unknown unit"}, {"KB", {}, "does not start with a number"},
      {"1.5M", {}, "not a whole number"}, {"", {}, "empty"},
      {"9999999999999999999", {}, "too large"}, {"9000000000000000G", {}, "too large"}};
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(ParseRate(c.text, &why), c.rate) << '"' << c.text << "\" " << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << '"' << c.text << "\" gave: " << why;
  }
}

// The one home of these rules; the check's table below shows how it reports them.
TEST(KnownSettings, ValuesTheRelayWouldMisreadAreErrors) {
  const struct { const char* section; const char* key; const char* value; const char* problem; } cases[] = {
      {"Forward", "Port", "65535", nullptr}, {"Connection", "ClosurePort", "ssh", nullptr},
      {"Connection", "Port", "0", "out of range"}, {"Connection", "Port", "65536", "out of range"},
      {"Connection", "Port", "no-such-service-here", "nor a known service"}, {"Connection", "Port", "", "empty"},
      {"Connection", "DelayBeforeRetry", "0", nullptr}, {"Connection", "DelayBeforeRetry", "-100", "negative"},
      {"Connection", "DelayBeforeRetry", "250ms", "not a whole number"},
      {"Connection", "IdleTimeout", "0", "at least 1"}, {"Connection", "MaxStreams", "+8", "without a sign"},
      {"Connection", "MaxStreams", "99999999999", "too large"}, {"Connection", "RequireCloseNotify", "2", "0 or 1"},
      {"Connection", "Bandwith", "", nullptr}, {"Connection", "Bandwith", "2XB", "unknown unit"},
      {"Backup", "Dir", "", "empty"}, {"Connection", "Host", "", nullptr},
      {"Connection", "Port", "1026\t; inbound", "ends with a comment (\"; inbound\")"},
      {"Connection", "PeerCN", "relay#2", nullptr},
      // An address or a name of this machine; empty or * for every address.
      {"Connection", "Listen", "", nullptr}, {"Connection", "Listen", "*", nullptr},
      {"Connection", "Listen", "::1", nullptr}, {"Forward", "Listen", "[::1]", nullptr},
      {"Forward", "Listen", "localhost", nullptr},
      {"Connection", "Listen", "relay-a.invalid", "neither an address nor a host name that resolves"},
      // The unencrypted metrics endpoint: exactly where it is written, or nowhere.
      {"Metrics", "Listen", "", nullptr}, {"Metrics", "Listen", "9464", "not <address>:<port>"},
      {"Metrics", "Listen", "::1:9464", "not <address>:<port>"}, {"Metrics", "Listen", "[::1]:9464", "IPv4 only"}, {"Metrics", "Listen", "localhost:9464", "numeric"},
      {"Metrics", "Listen", "127.0.0.1:0", "port"}, {"Metrics", "Listen", "127.0.0.1:http", "port"}};
  for (const auto& c : cases) {
    const KnownSetting* k = FindKnownSetting(c.section, c.key);
    ASSERT_NE(k, nullptr) << c.key;
    const std::optional<ValueProblem> p = CheckSettingValue(*k, c.value);
    const std::string got = p ? (p->error ? "error: " : "warning: ") + p->why : "";
    EXPECT_TRUE(c.problem ? got.starts_with("error: ") && got.find(c.problem) != std::string::npos : got.empty())
        << c.key << "=" << c.value << ": " << got;
  }
}


namespace fs = std::filesystem;
using enum Finding::Severity;

// A listen-role relay with every file in place; cases break one thing.
struct Site {
  Site() {
    fs::create_directories(root);
    Install(conf, "clientcert.pem", client.cert);
    InstallPair(conf, relay);
  }
  ~Site() { fs::remove_all(dir); }
  static void Install(const fs::path& in, const char* name, const fs::path& from) {
    fs::create_directories(in);
    fs::copy_file(from, in / name, fs::copy_options::overwrite_existing);
  }
  static void InstallPair(const fs::path& in, const tw::Id& id) {
    Install(in, "cert.pem", id.cert);
    Install(in, "key.pem", id.key);
  }
  // Forwarding in listen mode: the relay reads the copies in the backup root.
  void ForwardListening() {
    settings["Connection"]["ClosurePort"] = std::to_string(tw::FreePort());
    settings["Forward"]["Port"] = std::to_string(tw::FreePort());
    settings["Forward"]["PeerCN"] = "next.example";
    for (const fs::path& in : {conf, root}) Install(in, "forwardcert.pem", next.cert), InstallPair(in, relay);
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
  std::vector<Finding> Check(bool pems_in_root = true) {
    WriteSettings();
    return CheckConfiguration({conf.string(), /*skip_ports=*/false, pems_in_root});
  }

  const fs::path dir = tw::TestDir("check"), conf = dir / "conf", root = dir / "root";
  const tw::Id relay = tw::MakeId(dir, "relay.example"), client = tw::MakeId(dir, "client.example"),
               next = tw::MakeId(dir, "next.example");
  std::map<std::string, std::map<std::string, std::string>> settings{
      {"Backup", {{"Dir", root.string()}}},
      {"Connection", {{"Port", std::to_string(tw::FreePort())}, {"PeerCN", "client.example"}}}};
  std::string raw;
  int raw_line = 0;
};

std::string Dump(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) out += std::string(SeverityName(f.severity)) + ": " + f.text + "\n";
  return out.empty() ? "(no findings)\n" : out;
}

bool Has(const std::vector<Finding>& findings, Finding::Severity s, const std::vector<std::string>& words) {
  return std::any_of(findings.begin(), findings.end(), [&](const Finding& f) {
    auto in = [&](const std::string& w) { return f.text.find(w) != std::string::npos; };
    return f.severity == s && std::all_of(words.begin(), words.end(), in);
  });
}

long Count(const std::vector<Finding>& findings, Finding::Severity s) {
  return std::count_if(findings.begin(), findings.end(), [&](const Finding& f) { return f.severity == s; });
}

using Break = std::function<void(Site&)>;
Break Raw(std::string lines) { return [=](Site& s) { s.raw = lines; }; }
Break Copy(const char* name, const tw::Id Site::*id, bool key = false) {
  return [=](Site& s) { Site::Install(s.conf, name, key ? (s.*id).key : (s.*id).cert); };
}
Break Forwarding(Break then) { return [=](Site& s) { s.ForwardListening(), then(s); }; }
Break OwnValidFor(long seconds) {
  return [=](Site& s) { Site::InstallPair(s.conf, tw::MakeId(s.dir, "relay.example", seconds)); };
}
Break Trusted(bool with_a_valid_one) {
  return [=](Site& s) {
    const tw::Id old = tw::MakeId(s.dir, "old.example", -3600);
    tw::Write(s.conf / "clientcert.pem", with_a_valid_one ? tw::Pems({&s.client, &old}) : tw::Read(old.cert));
  };
}
// A key behind a pass phrase, which the check must name rather than ask for.
void EncryptedKey(Site& s) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  BIO* out = BIO_new_file((s.conf / "key.pem").c_str(), "w");
  unsigned char pass[] = "secret";
  PEM_write_bio_PrivateKey(out, key, EVP_aes_256_cbc(), pass, 6, nullptr, nullptr);
  BIO_free(out);
  EVP_PKEY_free(key);
}

TEST(ConfigCheck, EachBrokenConfigurationGivesOneLineNamingItsCause) {
  const struct {
    Break breaks;
    Finding::Severity severity;
    std::vector<std::string> words;  // "@line": the first raw line's number; "@next": the one after
    bool pems_in_root = true;
  } cases[] = {
      {Raw("[Connection]\nBandwidth=2MB\n"), Error,
       {"unknown key [Connection] Bandwidth", "settings.ini line @next", "did you mean Bandwith?"}},
      {Raw("[Forward]\nDir=/x\n"), Error, {"unknown key [Forward] Dir", "did you mean [Backup] Dir?"}},
      {Raw("[Conection]\nHost=a\n"), Error, {"unknown section [Conection]", "line @line", "mean [Connection]?"}},
      {Raw("[connection]\nPORT=1\n"), Warning, {"[connection] PORT", "line @next is ignored", "sets it first"}},
      {Raw("[Connection\nPort=1\n"), Warning, {"line @line of", "ignored: a section name without its closing ]"}},
      // A value in error is shown escaped; one cut to the reader's buffer is a warning.
      {Raw("[Connection]\nMaxStreams=\x1b[2J\n"), Error, {"MaxStreams=\\x1B[2J", "not a whole number"}},
      {[](Site& s) { s.settings["Connection"]["PeerCN"] = std::string(300, 'c'); }, Warning,
       {"PeerCN=ccc", "only the first 259"}},
      {[](Site& s) { fs::remove(s.conf / "cert.pem"); }, Error, {"cannot read", "cert.pem", "No such file"}},
      {[](Site& s) { tw::Write(s.conf / "key.pem", "not a key at all\n"); }, Error, {"key.pem", "holds no PEM data"}},
      {Copy("key.pem", &Site::relay), Error, {"key.pem", "holds no private key", "CERTIFICATE"}},
      {Copy("key.pem", &Site::client, true), Error, {"key.pem", "does not match the certificate", "CN=relay.example"}},
      {EncryptedKey, Error, {"key.pem is encrypted with a pass phrase"}},
      {OwnValidFor(-86400), Error, {"cert.pem", "CN=relay.example", "expired on"}},
      {OwnValidFor(10L * 86400 + 3600), Warning, {"cert.pem", "expires on", "in 10 days"}},
      // A stale trusted certificate beside a valid one refuses only its own peers.
      {Trusted(true), Warning, {"clientcert.pem", "trusted certificate 2 of 2", "expired"}},
      {Trusted(false), Error, {"clientcert.pem", "trusted certificate 1 of 1", "expired"}},
      {Copy("clientcert.pem", &Site::next), Warning, {"clientcert.pem", "[Connection] PeerCN client.example"}},
      {Copy("clientcert.pem", &Site::client, true), Error, {"clientcert.pem", "holds no certificate", "PRIVATE KEY"}},
      {[](Site& s) { fs::remove_all(s.root); }, Error, {"backup root", "does not exist", "[Backup] Dir"}},
      {[](Site& s) { s.settings["Backup"]["Dir"] = (s.conf / "key.pem").string(); }, Error,
       {"key.pem", "is not a directory"}},
      {[](Site& s) { tw::Write(s.root / "saves", "x"); }, Error, {"saves in the backup root is not a directory"}},
      {Forwarding([](Site& s) { s.settings["Forward"]["Port"] = s.settings["Connection"]["Port"]; }), Error,
       {"[Connection] Port and [Forward] Port are both"}},
      // [Forward] Listen names the setting to correct, even where it follows [Connection] Listen.
      {Forwarding([](Site& s) { s.settings["Forward"]["Listen"] = "192.0.2.1"; }), Error,
       {"[Forward] Port: cannot listen on 192.0.2.1 port", "not an address of this machine", "correct [Forward] Listen"}},
      {Forwarding([](Site& s) { s.settings["Connection"]["Listen"] = "192.0.2.1"; }), Error,
       {"[Connection] Port: cannot listen on 192.0.2.1 port", "correct [Connection] Listen"}},
      {Forwarding([](Site& s) { fs::remove(s.root / "forwardcert.pem"); }), Error,
       {"root/forwardcert.pem", "No such file", "copy in the backup root"}},
      // With every PEM file beside settings.ini the backup root needs no copies.
      {Forwarding([](Site& s) {
         for (const char* name : {"cert.pem", "key.pem", "forwardcert.pem"}) fs::remove(s.root / name);
         fs::remove(s.conf / "forwardcert.pem");
       }),
       Error, {"conf/forwardcert.pem", "No such file"}, /*pems_in_root=*/false},
  };
  for (const auto& c : cases) {
    Site site;
    c.breaks(site);
    const std::vector<Finding> f = site.Check(c.pems_in_root);
    std::vector<std::string> words = c.words;
    for (std::string& w : words)
      for (auto [mark, line] : {std::pair{"@line", site.raw_line}, std::pair{"@next", site.raw_line + 1}})
        if (auto at = w.find(mark); at != std::string::npos) w.replace(at, 5, std::to_string(line));
    EXPECT_TRUE(Has(f, c.severity, words)) << words[0] << ":\n" << Dump(f);
    EXPECT_EQ(Count(f, Error), c.severity == Error ? 1 : 0) << words[0] << ":\n" << Dump(f);
  }
}

TEST(ConfigCheck, ACleanConfigurationPassesAndPortsAreLeftToARunningRelay) {
  Site site;
  site.ForwardListening();
  site.raw = "; a comment\n# Port=1\n";
  std::vector<Finding> f = site.Check();
  EXPECT_EQ(Count(f, Error) + Count(f, Warning), 0) << Dump(f);
  EXPECT_EQ(tw::Files(site.root), (std::vector<std::string>{"cert.pem", "forwardcert.pem", "key.pem"}));
  std::uint16_t port = static_cast<std::uint16_t>(std::stoi(site.settings["Connection"]["Port"]));
  const int busy = tw::Listen(&port);  // held from here on
  ASSERT_GE(busy, 0) << "the port test must release the port";

  // The lock excludes a second owner (the check's probe, in this very
  // process), a move keeps it, and it goes with its owner.
  site.raw = "";
  platform::FileLock lock = platform::TryLockFile((site.root / kLockFile).string());
  ASSERT_TRUE(lock.Held());
  platform::FileLock moved = std::move(lock);
  f = site.Check();
  EXPECT_TRUE(Has(f, Note, {"a relay is running on this backup root", "ports not tested"})) << Dump(f);
  EXPECT_EQ(Count(f, Error), 0) << Dump(f);
  moved.Release();
  f = site.Check();
  EXPECT_TRUE(Has(f, Error, {"[Connection] Port", "port " + std::to_string(port), "Address already in use"}));
  EXPECT_EQ(Count(f, Error), 1) << Dump(f);
  ::close(busy);
}

// Start-up gives the check's verdict on the mistakes operators made: an
// error to "tarnwick check" stops the relay before it runs, with an entry
// naming it; a host that does not resolve now is a warning to both.
TEST(StartUp, RefusesWhatTheCheckCallsAnErrorAndNothingElse) {
  std::uint16_t held = 0;
  const int holder = tw::Listen(&held);  // another program's port
  const std::string busy = std::to_string(held);
  auto set = [](const char* section, const char* key, std::string value) -> Break {
    return [=](Site& s) { s.settings[section][key] = value; };
  };
  const struct { Break breaks; std::vector<std::string> words; bool starts = false; } cases[] = {
      {Raw("[Connection]\nBandwidth=50M\n"), {"unknown key [Connection] Bandwidth", "did you mean Bandwith?"}},
      {Raw("[Connection]\nRequireClientCerts=1\n"), {"unknown key", "did you mean RequireClientCert?"}},
      {Raw("[Forwarding]\nPeerCN=next.example\n"), {"unknown section [Forwarding]", "did you mean [Forward]?"}},
      {Forwarding(set("Forward", "Host", "127.0.0.1  # relay-b")), {"ends with a comment", "write Host=127.0.0.1"}},
      {set("Connection", "Bandwith", "20Mb"), {"Bandwith=20Mb", "bits or bytes"}},
      {set("Connection", "Port", busy), {"cannot listen on port " + busy}},
      {Forwarding(set("Connection", "ClosurePort", busy)), {"cannot listen on port " + busy}},
      {Forwarding(set("Forward", "Port", busy)), {"cannot listen on port " + busy}},
      // 192.0.2.1 is an address no machine has.
      {set("Connection", "Listen", "192.0.2.1"),
       {"cannot listen on 192.0.2.1 port", "192.0.2.1 is not an address of this machine"}},
      {set("Connection", "Listen", "relay-a.invalid"), {"Listen=relay-a.invalid", "nor a host name that resolves"}},
      {set("Connection", "Listen", "127.0.0.1"), {}, true},
      {set("Connection", "Bandwith", "20MiB"), {}, true},
      {Forwarding(set("Forward", "Host", "relay-b.invalid")), {"[Forward] Host relay-b.invalid does not resolve"}, true}};
  for (const auto& c : cases) {
    Site site;
    c.breaks(site);
    const std::vector<Finding> check = site.Check();
    const std::string name = c.words.empty() ? "a clean configuration" : c.words[0];
    EXPECT_TRUE(HasErrors(check) != c.starts && (c.words.empty() || Has(check, c.starts ? Warning : Error, c.words)))
        << name << ":\n" << Dump(check);
    tw::Events events;
    std::unique_ptr<Relay> relay;
    const Status st = Relay::StartFromDirectory(site.conf, false, platform::RealFileSystem(), events.log, relay);
    EXPECT_EQ(st.ok(), c.starts) << name << ": " << st.Line();
    for (const std::string& w : c.words)
      EXPECT_NE((events.All() + st.Line()).find(w), std::string::npos) << w << " not among:\n" << events.All();
    if (!relay) continue;
    std::thread run([&] { relay->Run(); });
    relay->Stop();
    run.join();
  }
  ::close(holder);
}

}  // namespace
}  // namespace tarnwick
