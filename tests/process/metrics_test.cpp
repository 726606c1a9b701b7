// The metrics endpoint of a real relay: its counters follow a save through
// a chain, its gauges agree with `tarnwick status --json`, Prometheus' own
// checker accepts the text, and hostile HTTP clients neither stop a scrape
// nor slow a stream nor grow the relay's memory.
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "process/process.h"

namespace tw {
namespace {

const std::string kRelayBin = Bin("TARNWICK_RELAY", TARNWICK_BINARY);

int Connect(std::uint16_t port) {
  const int fd = Timed(socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends request whole, then reads to the end: the response, or "" when
// the connection failed.
std::string Http(std::uint16_t port, const std::string& request) {
  const int fd = Connect(port);
  if (fd < 0) return "";
  std::string out;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return out;
}

std::string Scrape(std::uint16_t port) {
  const std::string r = Http(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const std::size_t body = r.find("\r\n\r\n");
  return r.starts_with("HTTP/1.1 200") && body != std::string::npos ? r.substr(body + 4) : "";
}

// The value of one sample ("name" or "name{labels}" as the text has it); -1 when absent.
double Sample(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + name.size() + 2));
}

long RssKiB(pid_t pid) {
  const std::string status = Read("/proc/" + std::to_string(pid) + "/status");
  std::smatch m;
  return std::regex_search(status, m, std::regex("VmRSS:\\s+(\\d+) kB")) ? std::stol(m[1]) : -1;
}

struct Metrics : Net {
  std::uint16_t Endpoint(Relay& r) {
    const std::uint16_t port = FreePort();
    r.ini["Metrics"]["Listen"] = "127.0.0.1:" + std::to_string(port);
    r.WriteFiles();
    return port;
  }
  // Prometheus' checker, taken out of Debian's package (cached after the first time).
  std::string Promtool() {
    std::string path = Run("/bin/bash", {TARNWICK_SOURCE_DIR "/scripts/get-promtool.sh"}).out;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
  }
  nlohmann::json Status(const Relay& r) {
    return nlohmann::json::parse(Run(kRelayBin, {"status", "--json", "--dir", r.dir.string()}).out);
  }
};

TEST_F(Metrics, CountersFollowASaveAndGaugesAgreeWithStatus) {
  Relay &a = NewRelay("a"), &b = NewRelay("b");
  Link(a, b, /*dial=*/true);
  const std::uint16_t port = Endpoint(a);
  ASSERT_TRUE(b.Start()) << b.Err();
  ASSERT_TRUE(a.Start()) << a.Err();
  EXPECT_NE(a.Err().find("metrics served on http://127.0.0.1:" + std::to_string(port) + "/metrics"),
            std::string::npos);

  const std::string one = Random(300000, 1);
  Write(dir_ / "one", one);
  ASSERT_EQ(Send(a, "p", dir_ / "one").status, 0);
  ASSERT_TRUE(Forwarded(a, b, "p", Date(), one));
  std::string text;
  EXPECT_TRUE(WaitFor([&] {
    text = Scrape(port);
    return Sample(text, "tarnwick_saves_forwarded_total") == 1;
  })) << text;
  EXPECT_EQ(Sample(text, "tarnwick_saves_stored_total"), 1);
  EXPECT_EQ(Sample(text, "tarnwick_forwarded_bytes_total"), one.size());
  EXPECT_GE(Sample(text, "tarnwick_received_bytes_total"), one.size());
  EXPECT_EQ(Sample(text, "tarnwick_verify_runs_total"), 1) << "checked as it was sent";
  EXPECT_EQ(Sample(text, "tarnwick_forward_failures_total"), 0);
  EXPECT_EQ(Sample(text, "tarnwick_streams_active"), 0);

  // Prometheus' own checker, on the text a relay really serves.
  const std::string promtool = Promtool();
  ASSERT_TRUE(Exists(promtool)) << "scripts/get-promtool.sh gave no promtool: " << promtool;
  Write(dir_ / "scrape.txt", text);
  Ran check = Run("/bin/sh", {"-c", promtool + " check metrics < " + (dir_ / "scrape.txt").string()});
  EXPECT_EQ(check.status, 0) << check.out << check.err;

  // b gone: a save waits, one arrives only in part; what a scrape says once
  // the walk has seen them is what status says.
  ASSERT_EQ(b.Stop(), 0);
  const std::string two = Random(200000, 2);
  Write(dir_ / "two", two);
  ASSERT_EQ(Send(a, "p2", dir_ / "two").status, 0);
  {
    Client c(a.port, a.id, &client_);
    ASSERT_TRUE(c.Send(H("q 1000 part") + "only part"));
    c.Finish();
  }
  nlohmann::json st;
  EXPECT_TRUE(WaitFor([&] {
    text = Scrape(port);
    st = Status(a);
    return Sample(text, "tarnwick_waiting_saves") == 1 && Sample(text, "tarnwick_pending_saves") == 1;
  }, ms(30000))) << text;
  const auto& fwd = st["forwarding"];
  EXPECT_EQ(Sample(text, "tarnwick_waiting_saves"), fwd["waiting"].get<double>());
  EXPECT_EQ(Sample(text, "tarnwick_waiting_bytes"), fwd["waiting_bytes"].get<double>());
  EXPECT_EQ(fwd["waiting_bytes"].get<double>(), two.size());
  EXPECT_NEAR(Sample(text, "tarnwick_oldest_waiting_age_seconds"), fwd["oldest_waiting"]["age"].get<double>(), 3);
  EXPECT_EQ(Sample(text, "tarnwick_set_aside_saves"), 0);
  const std::string last = fwd["transmitter"]["last_forward"].get<std::string>();
  const std::string next = "{next_relay=\"127.0.0.1:" + std::to_string(b.port) + "\"}";
  std::tm tm{};
  ASSERT_TRUE(strptime(last.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm)) << last;
  EXPECT_EQ(Sample(text, "tarnwick_last_forward_timestamp_seconds" + next), static_cast<double>(timegm(&tm)));
  EXPECT_GT(Sample(text, "tarnwick_root_free_bytes"), 0);
  EXPECT_EQ(a.Stop(), 0);
}

TEST_F(Metrics, HostileClientsNeitherBlockAScrapeNorSlowAStream) {
  Relay& r = NewRelay("r");
  r.ini["Connection"]["ThrottlingEnabled"] = "0";
  const std::uint16_t port = Endpoint(r);
  ASSERT_TRUE(r.Start()) << r.Err();
  ASSERT_FALSE(Scrape(port).empty());
  const long rss_before = RssKiB(r.proc->pid_);

  // Slow clients that never finish their request, more than the server has
  // workers; requests with 1 MiB of headers; garbage. Meanwhile a stream is
  // stored, and a scrape and a request for another path are answered: the
  // server cuts what holds its workers.
  std::vector<int> slow;
  for (int i = 0; i < 12; ++i)
    if (const int fd = Connect(port); fd >= 0) slow.push_back(fd), send(fd, "GET /metr", 9, MSG_NOSIGNAL);
  std::thread huge([&] {
    for (int i = 0; i < 20; ++i)
      Http(port, "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'a') + "\r\n\r\n");
  });
  std::thread garbage([&] {
    for (int i = 0; i < 20; ++i) Http(port, Random(1 << 20, static_cast<unsigned>(i)));
  });
  const std::string bytes = Random(4 << 20, 3);
  Write(dir_ / "in", bytes);
  EXPECT_EQ(Send(r, "p", dir_ / "in").status, 0);
  EXPECT_EQ(Read(r.Save("p", Date())), bytes);
  const std::string text = Scrape(port);  // within the socket time-outs, or empty
  EXPECT_EQ(Sample(text, "tarnwick_saves_stored_total"), 1) << text;
  const std::string other = Http(port, "GET /etc/passwd HTTP/1.0\r\n\r\n");
  EXPECT_EQ(other.substr(0, 22), "HTTP/1.0 404 Not Found") << other.substr(0, 200);
  huge.join();
  garbage.join();
  for (const int fd : slow) close(fd);

  EXPECT_FALSE(Scrape(port).empty());
  const long rss_after = RssKiB(r.proc->pid_);
  EXPECT_LT(rss_after - rss_before, 16 * 1024) << "KiB before: " << rss_before << ", after: " << rss_after;
  EXPECT_EQ(r.Stop(), 0);
}

}  // namespace
}  // namespace tw
