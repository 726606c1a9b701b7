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
#include "service/relay.h"
#include "settings/settings.h"
#include "support/fault_fs.h"
#include "support/net.h"

namespace tw {

// Every entry a relay writes, kept for the test to wait on and count.
class Events {
 public:
  bool Wait(const std::string& text, ms timeout = kWait);
  int Count(const std::string& text);
  std::string All();
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
  LocalRelay(const fs::path& base, const std::string& name);
  ~LocalRelay();

  void Start();  // fails the test when the relay refuses to start
  void Stop();
  // The power goes at once: nothing more reaches the disk, the relay is
  // stopped, what was not synced is lost, and it starts again over what
  // the disk held, with a fresh file system.
  void Crash();

  std::uint16_t Port() const { return static_cast<std::uint16_t>(std::stoi(s.port)); }
  fs::path Save(const std::string& repo, const std::string& save) const { return root / "saves" / repo / save; }
  fs::path Marker(const std::string& repo, const std::string& save) const { return Save(repo, save + "_pending"); }
  fs::path Record(const std::string& repo, const std::string& save) const { return root / "forwards" / repo / save; }
  // A complete save waiting to be forwarded, as a crash leaves it (before
  // the start).
  void Place(const std::string& repo, const std::string& save, const std::string& bytes,
             const std::string& record = "0");

  Id id;
  fs::path conf, root;
  tarnwick::Settings s;
  std::vector<const Id*> clients, servers, forwards;  // trusted by each role
  std::unique_ptr<FaultFs> fs = std::make_unique<FaultFs>();
  // Given to the file system of every start, before it runs.
  std::function<void(const std::string& op, const fs::path& p)> observe;
  Events events;

 private:
  std::unique_ptr<tarnwick::Relay> relay_;
  std::thread runner_;
};

// from forwards every complete save to to: dialling it, or (to_dials) to
// dials in to fetch them.
void Link(LocalRelay& from, LocalRelay& to, bool to_dials);
// from forwards to a next relay played by the test, listening on port as next.
void ForwardTo(LocalRelay& from, const Id& next, std::uint16_t port);

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
