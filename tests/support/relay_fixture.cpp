#include "support/relay_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <iostream>
#include <sstream>

#include "support/tls_io.h"

namespace tarnwick::test {

namespace {

void LinkOrCopy(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_hard_link(from, to, ec);
  if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all, fs::perm_options::add);
}

}  // namespace

std::string Contents(const fs::path& p) {
  if (!Exists(p)) return "<absent: " + p.filename().string() + ">";
  return ReadFileText(p);
}

::testing::AssertionResult HoldsBytes(const fs::path& p, std::string_view expected) {
  if (!Exists(p)) return ::testing::AssertionFailure() << p << " does not exist";
  const std::string got = ReadFileText(p);
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << p << " holds " << got.size() << " bytes, expected "
                                       << expected.size() << "; first difference at offset " << i;
}

// ---------------------------------------------------------------- Relay

Relay::Relay(fs::path dir, fs::path log_dir, std::string name, RelayConfig config,
             const RelayPki& pki)
    : dir_(std::move(dir)), log_dir_(std::move(log_dir)), name_(std::move(name)),
      config_(std::move(config)), pki_(pki) {
  if (config_.port == 0) config_.port = FreePort();
  if (config_.closure_port == 0) config_.closure_port = FreePort();
  if (!config_.forward_peer_cn.empty() && config_.forward_port == 0)
    config_.forward_port = FreePort();
  fs::create_directories(dir_);
  LinkOrCopy(TARNWICK_BINARY, dir_ / "tarnwick");
  WriteFiles();
}

void Relay::WriteFiles() {
  const bool forwards = !config_.forward_peer_cn.empty();
  std::vector<fs::path> pem_dirs = {dir_};
  if (forwards) pem_dirs.push_back(config_.backup_dir);
  for (const fs::path& d : pem_dirs) {
    WriteFile(d / "cert.pem", pki_.own->cert_pem);
    WriteFile(d / "key.pem", pki_.own->key_pem);
    WriteTrustFile(d / "clientcert.pem", pki_.trusted_clients);
    WriteTrustFile(d / "servercert.pem", pki_.trusted_senders);
    if (forwards) WriteTrustFile(d / "forwardcert.pem", pki_.trusted_forward);
  }
  std::ostringstream ini;
  ini << "[Backup]\n"
      << "Dir=" << config_.backup_dir.string() << "\n"
      << "[Connection]\n"
      << "Host=" << config_.host << "\n"
      << "Port=" << config_.port << "\n"
      << "ClosurePort=" << config_.closure_port << "\n"
      << "PeerCN=" << config_.peer_cn.value_or("") << "\n"
      << "DelayBeforeRetry=" << config_.delay_before_retry_ms << "\n"
      << "Bandwith=" << config_.bandwith << "\n"
      << "ThrottlingEnabled=" << (config_.throttling ? 1 : 0) << "\n"
      << "[Forward]\n";
  if (forwards)
    ini << "Host=" << config_.forward_host << "\n"
        << "Port=" << config_.forward_port << "\n";
  ini << "PeerCN=" << config_.forward_peer_cn << "\n";
  WriteFile(dir_ / "settings.ini", ini.str());
}

void Relay::Spawn() {
  if (process_) old_stderr_.push_back(log_dir_ / (name_ + "." + std::to_string(spawns_) + ".stderr"));
  ++spawns_;
  const std::string stem = name_ + "." + std::to_string(spawns_);
  Process::Options o;
  o.binary = dir_ / "tarnwick";
  // Started from elsewhere: the relay must find its files next to the binary.
  o.working_dir = log_dir_;
  o.stdout_path = log_dir_ / (stem + ".stdout");
  o.stderr_path = log_dir_ / (stem + ".stderr");
  process_ = std::make_unique<Process>(o);
}

bool Relay::WaitRunning() { return WaitForLine(kRunning); }

bool Relay::Start() {
  Spawn();
  return WaitRunning();
}

std::optional<ExitStatus> Relay::Stop(milliseconds timeout) {
  if (!process_) return std::nullopt;
  process_->Signal(SIGTERM);
  return process_->WaitExit(timeout);
}

std::vector<std::string> Relay::Entries(std::size_t from) const {
  std::vector<std::string> out;
  if (!process_) return out;
  for (auto& l : process_->StderrLines(from))
    if (l.find(kErrorEntry) != std::string::npos || l.find(kInfoEntry) != std::string::npos)
      out.push_back(l);
  return out;
}

std::string Relay::AllStderr() const {
  std::string out;
  for (const auto& p : old_stderr_) out += ReadFileText(p);
  if (process_) out += process_->Stderr();
  return out;
}

std::string Relay::Logs() const {
  std::string out;
  for (const auto& p : old_stderr_) out += "--- " + p.string() + "\n" + ReadFileText(p);
  if (process_) out += "--- " + name_ + " (latest run) stderr:\n" + process_->Stderr();
  return out;
}

// ---------------------------------------------------------------- RelayTest

void RelayTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string stem = std::string("tarnwick-") + info->test_suite_name() + "-" + info->name();
  std::replace(stem.begin(), stem.end(), '/', '_');
  std::string templ = (fs::path(::testing::TempDir()) / (stem + "-XXXXXX")).string();
  ASSERT_NE(mkdtemp(templ.data()), nullptr) << "mkdtemp " << templ;
  dir_ = templ;
  pki_ = dir_ / "pki";
  backup_ = dir_ / "backup";
  fs::create_directories(pki_);
  fs::create_directories(backup_);
  relay_id_ = MakeIdentity(pki_, "relay", "relay.test");
  client_id_ = MakeIdentity(pki_, "client", "client.test");
  misnamed_id_ = MakeIdentity(pki_, "misnamed", "other.test");
  rogue_id_ = MakeIdentity(pki_, "rogue", "client.test");
  sender_id_ = MakeIdentity(pki_, "sender", "sender.test");
}

void RelayTest::TearDown() {
  for (auto& r : relays_) {
    if (!r->started() || !r->process().Running()) continue;
    const auto st = r->Stop();
    EXPECT_TRUE(st && st->Clean()) << "relay did not stop cleanly at the end of the test: "
                                   << (st ? ::testing::PrintToString(*st) : "still running");
  }
  // An instrumented relay reports what it found on its stderr and may still
  // exit 0, so a clean exit alone does not clear it.
  for (auto& r : relays_) {
    const std::string err = r->AllStderr();
    for (const char* finding : {"ThreadSanitizer", "AddressSanitizer", "runtime error:"})
      EXPECT_EQ(err.find(finding), std::string::npos)
          << r->name() << " reported a sanitizer finding (" << finding << ")";
  }
  if (HasFailure()) {
    for (auto& r : relays_) std::cerr << r->Logs();
    std::cerr << "test files kept in " << dir_ << "\n";
  } else {
    relays_.clear();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

Relay& RelayTest::MakeRelay(RelayConfig config, const std::string& name) {
  RelayPki pki;
  pki.own = &relay_id_;
  pki.trusted_clients = {&client_id_, &misnamed_id_};
  pki.trusted_senders = {&sender_id_};
  if (!config.peer_cn) config.peer_cn = config.host.empty() ? "client.test" : "sender.test";
  if (config.backup_dir.empty()) config.backup_dir = backup_;
  relays_.push_back(std::make_unique<Relay>(dir_ / name, dir_, name, std::move(config), pki));
  return *relays_.back();
}

ClientOptions RelayTest::ClientWith(const Identity& id) const {
  ClientOptions o;
  o.trusted = relay_id_.cert_path;
  o.expected_name = relay_id_.name;
  o.cert = id.cert_path;
  o.key = id.key_path;
  return o;
}

ClientOptions RelayTest::TrustedClient() const { return ClientWith(client_id_); }

ClientOptions RelayTest::AnonymousClient() const {
  ClientOptions o;
  o.trusted = relay_id_.cert_path;
  o.expected_name = relay_id_.name;
  return o;
}

SendRun RelayTest::RunSend(const std::vector<std::string>& args, milliseconds timeout) {
  ++sends_;
  const std::string stem = "send." + std::to_string(sends_);
  Process::Options o;
  o.binary = TARNWICK_SEND_BINARY;
  o.args = args;
  o.working_dir = dir_;
  o.stdout_path = dir_ / (stem + ".stdout");
  o.stderr_path = dir_ / (stem + ".stderr");
  Process p(o);
  SendRun run;
  run.status = p.WaitExit(timeout);
  run.stderr_text = p.Stderr();
  return run;
}

std::vector<std::string> RelayTest::Tree(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    out.push_back(fs::relative(it->path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string RelayTest::LocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

std::string RelayTest::RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

}  // namespace tarnwick::test
