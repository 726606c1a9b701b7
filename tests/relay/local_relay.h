// Relays run inside the test process over their own faulty file system and
// a captured event log, on real TLS on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "channel/tls.h"
#include "platform/platform.h"
#include "service/relay.h"
#include "settings/settings.h"
#include "support/fault_fs.h"
#include "support/net.h"

namespace tw {

// Every entry a relay writes, kept for the test to wait on.
class Events {
 public:
  bool Wait(const std::string& text) {
    return WaitFor([&] { return All().find(text) != std::string::npos; });
  }
  std::string All() {
    std::lock_guard l(m_);
    return text_;
  }
  tarnwick::EventLog log{[this](tarnwick::EventType, std::string_view m) {
    std::lock_guard l(m_);
    text_ += std::string(m) + '\n';
  }};

 private:
  std::mutex m_;
  std::string text_;
};

class LocalRelay {
 public:
  // A relay in the listen role with no rate limits, its PEM files and
  // backup root in base/name.
  LocalRelay(const fs::path& base, const std::string& name) : conf(base / name), root(base / name / "root") {
    [[maybe_unused]] static const int sockets = tarnwick::platform::StartSockets();
    tarnwick::InitTlsLibrary();
    fs::create_directories(root);
    id = MakeId(conf, name);
    s.config_dir = conf;
    s.backup_dir = root.string();
    s.port = std::to_string(FreePort());
    s.closure_port = std::to_string(FreePort());
    s.rate = s.forward_rate = s.min_rate = 0;
    s.delay_before_retry_ms = 100;
    s.idle_timeout_s = 30;
  }
  ~LocalRelay() {
    if (relay_) Stop();
  }

  void Start() {
    // A trusted file must hold a certificate: a role nobody uses trusts
    // only this relay.
    auto trusted = [this](const std::vector<const Id*>& ids) {
      return Pems(ids.empty() ? std::vector<const Id*>{&id} : ids);
    };
    Write(conf / "cert.pem", Read(id.cert));
    Write(conf / "key.pem", Read(id.key));
    Write(conf / "clientcert.pem", trusted(clients));
    Write(conf / "servercert.pem", trusted(servers));
    Write(conf / "forwardcert.pem", trusted(forwards));
    files->hook = hook;
    const auto st = tarnwick::Relay::Start(std::make_shared<const tarnwick::Settings>(s), *files, events.log, relay_);
    ASSERT_TRUE(st.ok()) << st.Line();
    runner_ = std::thread([r = relay_.get()] { r->Run(); });
  }
  void Stop() {
    relay_->Stop();
    runner_.join();
    relay_.reset();
  }
  // The power goes at once: nothing more reaches the disk, the relay stops,
  // and it starts again over what the disk held.
  void Crash() {
    files->Crash();
    Stop();
    files->DropUnsynced();
    files = std::make_unique<FaultFs>();
    Start();
  }

  tarnwick::Relay& Get() { return *relay_; }
  // settings.ini as s has it, for a reload to read.
  void WriteSettings() { Write(conf / "settings.ini", SettingsText()); }
  std::string SettingsText() const {
    auto n = [](auto v) { return std::to_string(v); };
    std::string t = "[Backup]\nDir=" + root.string() + "\n[Connection]\nHost=" + s.host + "\nPort=" + s.port +
                    "\nClosurePort=" + s.closure_port + "\nPeerCN=" + s.peer_cn +
                    "\nDelayBeforeRetry=" + n(s.delay_before_retry_ms) + "\nBandwith=0\nMinRate=0\nIdleTimeout=" +
                    n(s.idle_timeout_s) + "\nHeaderTimeout=" + n(s.header_timeout_s) + "\nListen=" + s.listen + "\n";
    if (s.ForwardingConfigured())
      t += "[Forward]\nHost=" + s.forward_host + "\nPort=" + s.forward_port + "\nPeerCN=" + s.forward_peer_cn +
           "\nBandwith=0\n";
    return t;
  }

  std::uint16_t Port() const { return static_cast<std::uint16_t>(std::stoi(s.port)); }
  fs::path Save(const std::string& repo, const std::string& save) const { return root / "saves" / repo / save; }
  fs::path Marker(const std::string& repo, const std::string& save) const { return Save(repo, save + "_pending"); }
  fs::path Record(const std::string& repo, const std::string& save) const { return root / "forwards" / repo / save; }
  // A complete save waiting to be forwarded, as a crash leaves it.
  void Place(const std::string& repo, const std::string& save, const std::string& bytes, const char* record = "0") {
    Write(Save(repo, save), bytes);
    Write(Record(repo, save), record);
  }

  Id id;
  fs::path conf, root;
  tarnwick::Settings s;
  std::vector<const Id*> clients, servers, forwards;  // trusted by each role
  std::unique_ptr<FaultFs> files = std::make_unique<FaultFs>();
  std::function<int(const std::string& op, const fs::path& p)> hook;  // given to the file system of every start
  Events events;

 private:
  std::unique_ptr<tarnwick::Relay> relay_;
  std::thread runner_;
};

// from forwards every complete save to to: dialling it, or (to_dials) to
// dials in to fetch them.
inline void Link(LocalRelay& from, LocalRelay& to, bool to_dials) {
  from.forwards.push_back(&to.id);
  from.s.forward_peer_cn = to.id.name;
  if (!to_dials) {
    from.s.forward_host = "127.0.0.1";
    from.s.forward_port = to.s.port;
    to.clients.push_back(&from.id);
    return;
  }
  from.s.forward_host.clear();
  from.s.forward_port = std::to_string(FreePort());
  to.s.host = "127.0.0.1";
  to.s.port = from.s.forward_port;
  to.s.closure_port = from.s.closure_port;
  to.s.peer_cn = from.id.name;
  to.servers.push_back(&from.id);
}

// A fresh directory per test with a sender's certificate, removed after it.
struct RelayTest : ::testing::Test {
  fs::path dir = TestDir("relay");
  Id sender = MakeId(dir, "sender");
  ~RelayTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

}  // namespace tw
