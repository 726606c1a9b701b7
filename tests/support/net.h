// What every network test needs: certificates, TLS clients and servers on
// 127.0.0.1 with socket time-outs as their deadlines, and small file helpers.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/certs.h"

namespace tw {
namespace fs = std::filesystem;
using ms = std::chrono::milliseconds;
// Generous enough for a sanitizer build on a loaded two-core machine.
inline constexpr ms kWait{20000};

std::string Read(const fs::path& p);  // "" when absent
void Write(const fs::path& p, const std::string& bytes);
inline bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}
long long SizeOf(const fs::path& p);                   // -1 when absent
std::vector<std::string> Files(const fs::path& dir);  // regular files, relative, sorted
std::string Random(std::size_t n, unsigned seed);
std::string Date();  // local YYYY-MM-DD, as the relay names saves
inline std::string H(std::string text) {
  text.push_back('\0');
  return text;
}
std::uint16_t FreePort();
bool WaitFor(const std::function<bool()>& cond, ms timeout = kWait);
// A fresh directory for the running test, removed by the caller.
fs::path TestDir(const std::string& tag);
// The certificates of ids, one PEM file's worth.
std::string Pems(const std::vector<const Id*>& ids);

sockaddr_in Loopback(std::uint16_t port);
// Socket time-outs of kWait on fd, so that blocking I/O cannot hang a test.
int Timed(int fd);
// A listening socket on 127.0.0.1; *port 0 picks one and is set to it.
int Listen(std::uint16_t* port);
// A context that verifies its peer against trusted; me: our certificate.
SSL_CTX* Context(bool server, const Id& trusted, const Id* me);

enum class End { Notify, Error, Timeout };   // how the peer ended the connection
enum class How { Notify, TcpClose, Reset };  // how the test client ends it
// Reads to the end of the session, counting the bytes into got.
End AwaitEnd(SSL* ssl, std::atomic<long long>* got = nullptr);

struct Client {
  // Connects and shakes hands; me == nullptr presents no certificate.
  Client(std::uint16_t port, const Id& trusted, const Id* me);
  ~Client();
  bool Send(const std::string& bytes);
  // What the peer answered, up to and without its NUL ("" when nothing).
  std::string Answer();
  End Finish(How how);
  SSL_CTX* ctx_;
  SSL* ssl_ = nullptr;
  int fd_;
};
// One write, close_notify, and the relay's answer.
End SendStream(std::uint16_t port, const Id& trusted, const Id* me, const std::string& bytes);

// Accepts TLS connections on 127.0.0.1 as me, trusting peer, and hands each
// session to serve on the accepting thread (one at a time).
struct Server {
  using Serve = std::function<void(SSL* ssl, int fd)>;
  Server(const Id& me, const Id& peer, Serve serve, std::uint16_t port = 0);
  ~Server();
  std::uint16_t port;
  std::atomic<int> handshakes{0};
  std::atomic<bool> stop{false};

 private:
  SSL_CTX* ctx_;
  int lfd_;
  Serve serve_;
  std::thread thread_;
};

}  // namespace tw
