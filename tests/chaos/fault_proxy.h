// A TCP proxy on 127.0.0.1 put between the two ends of a hop. It relays
// bytes both ways, half-closes as its ends do, and on command resets,
// closes or stalls one of its connections: the network a chain of relays
// must survive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace tw {

class FaultProxy {
 public:
  enum class Fault {
    Reset,      // an RST to both ends
    Fin,        // a FIN to both ends, anything owed dropped
    Stall,      // nothing relayed for a few seconds, then on as before
    BlackHole,  // nothing relayed for 30 s (or until an end gives up), then a reset
  };
  using Log = std::function<void(const std::string&)>;

  FaultProxy(std::string name, std::uint16_t target, std::uint64_t seed, Log log);
  ~FaultProxy();  // resets whatever is still open
  std::uint16_t port() const { return port_; }
  // Bytes relayed so far, both ways, all connections.
  long long Relayed() const { return relayed_; }
  // Strikes a random open connection; with none, the next one to connect
  // is struck after a random number of bytes, so that handshakes and
  // headers get their share.
  void Inject(Fault f);

 private:
  struct Conn;
  void AcceptLoop();
  void Pump(Conn& c, int from);
  void Apply(Conn& c, Fault f, const std::string& why);

  const std::string name_;
  const std::uint16_t target_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  Log log_;
  std::mutex mu_;  // guards everything below but relayed_ and stop_
  std::mt19937_64 rng_;
  std::list<std::unique_ptr<Conn>> conns_;
  std::optional<Fault> armed_;
  int next_id_ = 0;
  std::atomic<long long> relayed_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tw
