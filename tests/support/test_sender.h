// The far end of the relay's dial role: a TLS server on 127.0.0.1 that hands
// each relay connection one scripted stream, plus an optional closure
// listener that records the relay's stop-time closure connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/certs.h"
#include "support/tls_io.h"

namespace tarnwick::test {

struct SenderConnection {
  bool handshake_ok = false;
  bool peer_presented_cert = false;
  bool served = false;          // a scripted stream was written (maybe empty)
  PeerEnd relay_end = PeerEnd::Timeout;  // how the relay ended after the stream
  std::string error;
  TlsClock::time_point accepted_at;
};

class TestSender {
 public:
  // identity: the sender's own certificate; relay_trusted: the certificate the
  // relay presents (checked when the relay presents one).
  TestSender(Identity identity, std::filesystem::path relay_trusted);
  ~TestSender();
  TestSender(const TestSender&) = delete;
  TestSender& operator=(const TestSender&) = delete;

  // Each accepted connection takes the next stream: its bytes are written,
  // then close_notify; an empty one ends right after the handshake. With the
  // queue empty a connection is held open, silent, until the sender stops,
  // unless a closure connection has arrived (then it is closed at once).
  void Enqueue(std::string stream);

  // Listens on port (0: ephemeral). False when the port cannot be bound.
  bool Start(std::uint16_t port = 0);
  bool StartClosureListener(std::uint16_t port = 0);
  void Stop();

  std::uint16_t port() const { return port_; }
  std::uint16_t closure_port() const { return closure_port_; }

  int connection_count() const { return accepted_.load(); }
  // Connections held open with nothing to send (now or earlier).
  int held_count() const { return held_.load(); }
  // Closure connections that arrived / that completed the TLS handshake.
  int closure_arrivals() const { return closure_arrivals_.load(); }
  int closure_count() const { return closures_.load(); }
  std::vector<SenderConnection> connections() const;
  // Waits until n connections have finished their scripted part.
  bool WaitServed(int n, std::chrono::milliseconds timeout);

 private:
  void AcceptLoop();
  void ClosureLoop();
  void Serve(int fd);
  CtxPtr MakeContext();

  Identity identity_;
  std::filesystem::path relay_trusted_;
  CtxPtr ctx_;
  int listen_fd_ = -1;
  int closure_fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t closure_port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> held_{0};
  std::atomic<int> closure_arrivals_{0};
  std::atomic<int> closures_{0};
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  std::vector<SenderConnection> records_;
  int served_ = 0;
  std::thread accept_thread_;
  std::thread closure_thread_;
};

}  // namespace tarnwick::test
