// tarnwick-send as an operator meets it: its verbs and usage errors, names
// refused before any connection, and what it shows while a relay takes a
// file and once it confirmed.
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "support/harness.h"
#include "tarnwick_version.h"

namespace tw {
namespace {

struct Send : Net {
  Ran Run(const std::vector<std::string>& args) {
    return Net::Run(Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY), args);
  }
};

// One piece of terminal output, and when it arrived (seconds after start).
struct Shown { double at; std::string text; };

// Runs tarnwick-send with standard output and error on a terminal of its
// own; every line or carriage-return-ended piece it drew, with its time.
std::vector<Shown> OnTerminal(const std::vector<std::string>& args, std::optional<int>* status) {
  const std::string bin = Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY);
  std::vector<char*> argv = {const_cast<char*>(bin.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  winsize size{};
  size.ws_row = 24, size.ws_col = 200;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setsid();
    dup2(slave, 1), dup2(slave, 2);
    close(master), close(slave);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  std::vector<Shown> shown;
  std::string piece;
  char buf[4096];
  for (pollfd p{master, POLLIN, 0}; std::chrono::steady_clock::now() - start < ms(90000);) {
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO: the child closed the terminal
    const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\r' && buf[i] != '\n') {
        piece.push_back(buf[i]);
        continue;
      }
      if (piece.empty()) continue;
      shown.push_back({at, std::exchange(piece, "")});
      // A progress line is padded to blank out a longer one before it.
      while (!shown.back().text.empty() && shown.back().text.back() == ' ') shown.back().text.pop_back();
    }
  }
  close(master);
  int st = 0;
  if (waitpid(pid, &st, 0) == pid) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return shown;
}

double Bytes(double n, const std::string& unit) {
  for (const char* u : {"B", "KiB", "MiB", "GiB"}) {
    if (unit == u) return n;
    n *= 1024;
  }
  return -1;
}

TEST_F(Send, VerbsAndUsageErrors) {
  const Ran help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: tarnwick-send --host HOST", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--quiet"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");

  const Ran version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tarnwick-send ") + tarnwick::kVersion + "\n");
  EXPECT_EQ(version.err, "");

  // An option the tool does not know is never taken for a file or a value.
  for (const auto& args : {std::vector<std::string>{"--colour", "x"},
                           std::vector<std::string>{"--host", "h", "--port", "1", "-z", "--repo", "r"}}) {
    const Ran bad = Run(args);
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err.rfind("tarnwick-send: unknown option " + (args[0] == "--colour" ? args[0] : "-z") + "\n", 0), 0u)
        << bad.err;
    EXPECT_NE(bad.err.find("\nusage: tarnwick-send"), std::string::npos) << bad.err;
  }
  const Ran dangling = Run({"--repo", "r", "--host"});
  EXPECT_EQ(dangling.status, 2);
  EXPECT_EQ(dangling.err.rfind("tarnwick-send: option --host needs a value\n", 0), 0u) << dangling.err;
}

TEST_F(Send, RepositoryNamesTheRelayWouldRefuseStopBeforeConnecting) {
  std::uint16_t port = 0;
  const int listener = Listen(&port);
  ASSERT_GE(listener, 0);
  Write(dir_ / "in", "data");
  const std::pair<std::string, std::string> bad[] = {
      {"my host", "a blank (' ')"}, {"a:b", "the character ':'"}, {"x/y", "the character '/'"},
      {"tab\there", "the control character \\x09"}, {"..", "\"..\" is not a folder name"},
      {"Com1.log", "a Windows device name"}, {"end.", "a trailing dot"}};
  for (const auto& [repo, why] : bad) {
    SCOPED_TRACE(repo);
    const Ran r = Run({"--host", "127.0.0.1", "--port", std::to_string(port), "--repo", repo, "--ca",
                       sender_.cert.string(), (dir_ / "in").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("tarnwick-send: --repo \"", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
  pollfd p{listener, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "a refused name still connected";
  close(listener);
}

TEST_F(Send, SummaryOnStandardOutputOnceStored) {
  Relay& r = NewRelay("r");
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(300 * 1024 + 5, 41);
  Write(dir_ / "in", data);
  const Ran sent = Run(SendArgs(r, "projS", dir_ / "in"));
  ASSERT_EQ(sent.status, 0) << sent.err;
  // Not a terminal: no progress, and standard error stays for failures.
  EXPECT_EQ(sent.err, "");
  const std::regex summary("tarnwick-send: 127\\.0\\.0\\.1:" + std::to_string(r.port) +
                           " stored 307205 bytes \\(300\\.0 KiB\\) in repository projS, [0-9.]+ s, "
                           "[0-9.]+ (B|KiB|MiB|GiB)/s on average\n");
  EXPECT_TRUE(std::regex_match(sent.out, summary)) << sent.out;
  EXPECT_EQ(Read(r.Save("projS", Date())), data);

  auto quiet = SendArgs(r, "projQ", dir_ / "in");
  quiet.insert(quiet.begin(), "--quiet");
  const Ran q = Run(quiet);
  EXPECT_EQ(q.status, 0) << q.err;
  EXPECT_EQ(q.out + q.err, "");
}

// The socket buffers swallow a megabyte at once; the progress must follow
// what the relay takes, at the rate it allows, not what was written.
TEST_F(Send, ProgressFollowsAThrottlingRelay) {
  Relay& r = NewRelay("r");
  r.throttle = true, r.rate = "128";  // KiB/s
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  constexpr double kRate = 128 * 1024, kSize = 1024 * 1024;
  Write(dir_ / "in", Random(static_cast<std::size_t>(kSize), 42));
  std::optional<int> status;
  const auto shown = OnTerminal(SendArgs(r, "projP", dir_ / "in"), &status);
  ASSERT_EQ(status, 0) << r.Err();

  const std::regex line("([0-9.]+) (B|KiB|MiB) of 1\\.0 MiB +([0-9]+)%(  ([0-9.]+) (B|KiB|MiB)/s(  .* left)?)?");
  int lines = 0, with_rate = 0;
  double last_rate = -1;
  for (const Shown& s : shown) {
    std::smatch m;
    EXPECT_EQ(s.text.find("Sanitizer"), std::string::npos) << s.text;
    if (!std::regex_match(s.text, m, line)) continue;
    ++lines;
    const double count = Bytes(std::stod(m[1]), m[2]);
    // What the relay can hold by then: its rate, plus a second's catch-up
    // and its own receive buffer.
    EXPECT_LE(count, kRate * s.at + 512 * 1024) << s.text << " after " << s.at << " s";
    EXPECT_NEAR(std::stod(m[3]), 100 * count / kSize, 1) << s.text;
    if (m[4].matched && count < kSize) ++with_rate, last_rate = Bytes(std::stod(m[5]), m[6]);
  }
  EXPECT_GE(lines, 10);
  EXPECT_GE(with_rate, 5);
  // Over the last seconds of a throttled transfer the rate is the relay's
  // (a busy machine stalls the relay, which may then catch up at up to twice
  // its rate for a second): not the megabytes per second of a socket buffer.
  EXPECT_GT(last_rate, kRate * 0.5);
  EXPECT_LT(last_rate, kRate * 2.5);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown[shown.size() - 2].text.rfind("1.0 MiB of 1.0 MiB  100%", 0), 0u) << shown[shown.size() - 2].text;
  EXPECT_EQ(shown.back().text.rfind("tarnwick-send: 127.0.0.1:", 0), 0u) << shown.back().text;
}

}  // namespace
}  // namespace tw
