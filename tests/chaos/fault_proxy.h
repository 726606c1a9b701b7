// A TCP proxy on 127.0.0.1 put between the two ends of a hop. It relays
// bytes both ways, half-closes as its ends do, and on command resets, closes
// or stalls one of its connections: the network a chain of relays must
// survive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class FaultProxy {
 public:
  enum class Fault {
    Reset,      // an RST to both ends
    Fin,        // a FIN to both ends, anything owed dropped
    Stall,      // nothing relayed for a few seconds, then on as before
    BlackHole,  // nothing relayed until an end gives up, or a reset after kBlackHole
  };
  static constexpr std::chrono::seconds kBlackHole{30};
  using Log = std::function<void(const std::string&)>;

  FaultProxy(std::string name, std::uint16_t target, std::uint64_t seed, Log log);
  ~FaultProxy();  // resets whatever is still open
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::uint16_t port() const { return port_; }
  // Bytes relayed so far, both ways, all connections.
  long long Relayed() const { return relayed_; }
  // Strikes a random connection that carries traffic; with none, the next one
  // to connect is struck after a random number of bytes, so that handshakes
  // and headers get their share.
  void Inject(Fault f);

 private:
  struct Conn;
  void Loop();
  void TakeCommands();
  void Accept();
  void Serve(Conn& c, const short revents[2]);
  void Apply(Conn& c, Fault f, const std::string& why);
  void Reset(Conn& c);
  void Close(Conn& c);

  const std::string name_;
  const std::uint16_t target_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1, wake_fd_ = -1;
  std::mt19937_64 rng_;
  Log log_;
  std::mutex mu_;
  std::vector<Fault> commands_;
  bool stop_ = false;
  // Loop thread only.
  std::vector<std::unique_ptr<Conn>> conns_;
  std::optional<Fault> armed_;
  int next_id_ = 0;
  std::atomic<long long> relayed_{0};
  std::thread thread_;
};

const char* Name(FaultProxy::Fault f);

}  // namespace tw
