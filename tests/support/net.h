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
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace fs = std::filesystem;
using ms = std::chrono::milliseconds;
// Generous enough for a sanitizer build on a loaded two-core machine.
inline constexpr ms kWait{20000};

struct Id { std::string name; fs::path cert, key; };
// EC P-256 for name (CN and DNS), valid for valid_s seconds from now (< 0: expired).
Id MakeId(const fs::path& dir, const std::string& name, long valid_s = 90L * 24 * 3600);
std::string Pems(const std::vector<const Id*>& ids);  // their certificates, one PEM file's worth

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
bool WaitFor(const std::function<bool()>& cond, ms timeout = kWait);
fs::path TestDir(const std::string& tag);  // a fresh one for the running test; the caller removes it

sockaddr_in Loopback(std::uint16_t port);
std::uint16_t FreePort();
// Socket time-outs of kWait on fd, so that blocking I/O cannot hang a test.
int Timed(int fd);
int Listen(std::uint16_t* port);  // on 127.0.0.1; *port 0 picks one and is set to it

enum class End { Notify, Error };  // how the peer ended the connection
End AwaitEnd(SSL* ssl);             // reads to the end of the session
std::string UpToNul(SSL* ssl);      // what the peer wrote before its first NUL

// Whether ::1 can be bound here (IPv6 on the loopback).
bool HasIPv6Loopback();

struct Client {
  // Connects and shakes hands; me == nullptr presents no certificate.
  Client(std::uint16_t port, const Id& trusted, const Id* me) : Client("127.0.0.1", port, trusted, me) {}
  // host: an IPv4 or IPv6 address literal.
  Client(const std::string& host, std::uint16_t port, const Id& trusted, const Id* me);
  ~Client();
  bool Send(const std::string& bytes);
  End Finish();  // our close_notify, then how the peer ends
  SSL_CTX* ctx_;
  SSL* ssl_ = nullptr;
  int fd_;
};
// One write, close_notify, and the relay's answer.
End SendStream(std::uint16_t port, const Id& trusted, const Id* me, const std::string& bytes);

// Accepts TLS connections on 127.0.0.1 as me, trusting peer, and hands each
// session to serve on the accepting thread (one at a time).
struct Server {
  Server(const Id& me, const Id& peer, std::function<void(SSL* ssl, int fd)> serve);
  ~Server();
  std::uint16_t port;
  std::atomic<bool> stop{false};
  SSL_CTX* ctx_;
  int lfd_;
  std::function<void(SSL*, int)> serve_;
  std::thread thread_;
};

}  // namespace tw
