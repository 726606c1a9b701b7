#include "relay/local_relay.h"

#include "channel/tls.h"
#include "platform/platform.h"

namespace tw {

bool Events::Wait(const std::string& text, ms timeout) {
  return WaitFor([&] { return Count(text) > 0; }, timeout);
}

int Events::Count(const std::string& text) {
  std::lock_guard l(m_);
  int n = 0;
  for (auto at = text_.find(text); at != std::string::npos; at = text_.find(text, at + 1)) ++n;
  return n;
}

std::string Events::All() {
  std::lock_guard l(m_);
  return text_;
}

LocalRelay::LocalRelay(const fs::path& base, const std::string& name)
    : conf(base / name), root(base / name / "root") {
  static const int sockets = tarnwick::platform::StartSockets();
  (void)sockets;
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

LocalRelay::~LocalRelay() {
  if (relay_) Stop();
}

void LocalRelay::Start() {
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
  fs->observe = observe;
  const tarnwick::Status st =
      tarnwick::Relay::Start(std::make_shared<const tarnwick::Settings>(s), *fs, events.log, relay_);
  ASSERT_TRUE(st.ok()) << st.Line();
  runner_ = std::thread([r = relay_.get()] { r->Run(); });
}

void LocalRelay::Stop() {
  relay_->Stop();
  runner_.join();
  relay_.reset();
}

void LocalRelay::Crash() {
  fs->Crash();
  Stop();
  fs->DropUnsynced();
  fs = std::make_unique<FaultFs>();
  Start();
}

void LocalRelay::Place(const std::string& repo, const std::string& save, const std::string& bytes,
                       const std::string& record) {
  Write(Save(repo, save), bytes);
  Write(Record(repo, save), record);
}

void Link(LocalRelay& from, LocalRelay& to, bool to_dials) {
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

void ForwardTo(LocalRelay& from, const Id& next, std::uint16_t port) {
  from.forwards.push_back(&next);
  from.s.forward_peer_cn = next.name;
  from.s.forward_host = "127.0.0.1";
  from.s.forward_port = std::to_string(port);
}

}  // namespace tw
