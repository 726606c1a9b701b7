#include "support/chain_fixture.h"

#include <algorithm>
#include <fstream>

namespace tarnwick::test {

std::ostream& operator<<(std::ostream& os, ForwardMode m) {
  return os << (m == ForwardMode::Dial ? "Dial" : "Listen");
}

Relay& ChainTest::MakeNode(const std::string& name, RelayConfig config) {
  node_ids_.push_back(
      std::make_unique<Identity>(MakeIdentity(pki_, name, "relay-" + name + ".test")));
  if (config.backup_dir.empty()) config.backup_dir = dir_ / (name + "-root");
  fs::create_directories(config.backup_dir);
  if (!config.peer_cn) config.peer_cn = client_id_.name;
  // Quick redials keep the dial-role tests short.
  config.delay_before_retry_ms = 200;
  RelayPki pki;
  pki.own = node_ids_.back().get();
  pki.trusted_clients = {&client_id_};
  relays_.push_back(std::make_unique<Relay>(dir_ / name, dir_, name, std::move(config), pki));
  return *relays_.back();
}

void ChainTest::Link(Relay& from, Relay& to, ForwardMode mode) {
  RelayConfig& f = from.mutable_config();
  RelayConfig& t = to.mutable_config();
  f.forward_peer_cn = to.identity().name;
  from.mutable_pki().trusted_forward.push_back(&to.identity());
  if (mode == ForwardMode::Dial) {
    f.forward_host = "127.0.0.1";
    f.forward_port = t.port;
    t.host.clear();
    t.peer_cn = from.identity().name;
    to.mutable_pki().trusted_clients = {&from.identity()};
  } else {
    f.forward_host.clear();
    if (f.forward_port == 0) f.forward_port = FreePort();
    t.host = "127.0.0.1";
    t.port = f.forward_port;
    t.closure_port = f.closure_port;
    t.peer_cn = from.identity().name;
    to.mutable_pki().trusted_senders = {&from.identity()};
  }
  from.WriteFiles();
  to.WriteFiles();
}

ClientOptions ChainTest::SenderTo(const Relay& r) const {
  ClientOptions o;
  o.trusted = r.identity().cert_path;
  o.expected_name = r.identity().name;
  o.cert = client_id_.cert_path;
  o.key = client_id_.key_path;
  return o;
}

::testing::AssertionResult ChainTest::SendSave(Relay& to, const std::string& repo,
                                               const std::string& save,
                                               const std::string& bytes) {
  std::string error;
  const PeerEnd end =
      SendStream(to.port(), SenderTo(to),
                 Header(repo + " " + std::to_string(bytes.size()) + " " + save) + bytes, &error);
  if (end == PeerEnd::CloseNotify) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "sending " << repo << "/" << save << " to "
                                       << to.name() << " ended with " << end << ": " << error;
}

std::vector<std::string> ChainTest::SendArgs(const Relay& r, const std::string& repo,
                                             const fs::path& file) {
  return {"--host", "127.0.0.1", "--port", std::to_string(r.port()), "--repo", repo,
          "--ca", r.identity().cert_path.string(), "--peer-name", r.identity().name,
          "--cert", client_id_.cert_path.string(), "--key", client_id_.key_path.string(),
          "--wait", "20", file.string()};
}

void ChainTest::PlaceSave(const Relay& r, const std::string& repo, const std::string& save,
                          const std::string& bytes) {
  fs::create_directories(r.root() / "saves" / repo);
  WriteFile(SaveAt(r, repo, save), bytes);
}

void ChainTest::QueueLine(const Relay& r, const std::string& line) {
  std::ofstream out(QueueOf(r), std::ios::binary | std::ios::app);
  out << line;
}

std::int64_t ChainTest::SizeOf(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? -1 : static_cast<std::int64_t>(n);
}

std::vector<std::string> ChainTest::FilesUnder(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_regular_file()) out.push_back(fs::relative(it->path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

::testing::AssertionResult ChainTest::WaitForwarded(const Relay& from, const Relay& to,
                                                    const std::string& repo,
                                                    const std::string& save,
                                                    const std::string& bytes,
                                                    milliseconds timeout) {
  const fs::path at = SaveAt(to, repo, save);
  const fs::path marker = MarkerAt(to, repo, save);
  const fs::path progress = ProgressAt(from, repo, save);
  const bool done = WaitUntil(
      [&] {
        return SizeOf(at) == static_cast<std::int64_t>(bytes.size()) && !Exists(marker) &&
               !Exists(progress);
      },
      timeout);
  if (!done)
    return ::testing::AssertionFailure()
           << repo << "/" << save << " not forwarded from " << from.name() << " to " << to.name()
           << ": " << to.name() << " holds " << SizeOf(at) << " of " << bytes.size()
           << " bytes, marker " << Contents(marker) << ", progress at " << from.name() << " "
           << Contents(progress);
  return HoldsBytes(at, bytes);
}

::testing::AssertionResult ChainTest::NothingLeftToForward(const Relay& r) {
  const std::string queue = Contents(QueueOf(r));
  const auto progress = FilesUnder(r.root() / "forwards");
  if (queue.empty() && progress.empty()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure()
                 << r.name() << " toforward holds \"" << queue << "\"; progress files:";
  for (const auto& p : progress) failure << " " << p;
  return failure;
}

}  // namespace tarnwick::test
