// A TLS client written straight on OpenSSL, independent of the relay's own
// channel code, that can send anything (malformed headers, split writes) and
// end the connection in each of the ways a real sender might.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/tls_io.h"

namespace tarnwick::test {

struct ClientOptions {
  std::filesystem::path trusted;   // the relay's certificate(s)
  std::string expected_name;       // the name the relay's certificate must carry
  std::filesystem::path cert;      // empty: present no certificate
  std::filesystem::path key;
};

enum class ClientEnding {
  CloseNotify,  // send close_notify, keep reading
  TcpClose,     // half-close the TCP stream without close_notify, keep reading
  Reset,        // abort with a TCP reset; the peer's answer cannot be seen
};

class TlsClient {
 public:
  explicit TlsClient(ClientOptions options);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // TCP connect and handshake. With TLS 1.3 a client certificate the relay
  // refuses is only rejected after this returns true.
  bool Connect(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // One SSL_write: bytes of one call never share a record with another call.
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Waits until every byte written so far has been acknowledged by the
  // relay's kernel, so that a reset that follows cannot discard it in flight.
  bool WaitDelivered(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Ends the stream and waits (bounded) to see how the relay ends its side.
  PeerEnd Finish(ClientEnding how, std::chrono::milliseconds wait = std::chrono::seconds(20));

  const std::string& error() const { return error_; }

 private:
  ClientOptions options_;
  CtxPtr ctx_;
  SslPtr ssl_;
  int fd_ = -1;
  std::string error_;
};

// Connects, sends the bytes in one write, ends with close_notify and returns
// how the relay answered (Error with the reason in *error when the connect
// or the write failed).
PeerEnd SendStream(std::uint16_t port, const ClientOptions& options, std::string_view bytes,
                   std::string* error = nullptr);

}  // namespace tarnwick::test
