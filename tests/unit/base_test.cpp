// The base layer's promises: failure texts that fit their old buffer, an
// escaper that keeps a peer's bytes on one line and reads back, and retry
// entries that neither flood the log nor go silent.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/retry.h"
#include "base/text.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(Text, LogTextStaysOnOneLineWithinItsOldBufferAndReadsBack) {
  const std::string step61(61, 's'), step70(70, 's');
  EXPECT_EQ(FormatFailure("write", 5000000000LL), "write failed with 5000000000");
  EXPECT_EQ(FormatFailure(step61, 12345), step61 + " failed with 12345");  // exactly 79
  EXPECT_EQ(FormatFailure(step70, 12345), (step70 + " failed with 12345").substr(0, 79));
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  for (const std::string& text : {every_byte, "\\x41\\n\\"s, "ends in \\"s, "caf\xc3\xa9\r\n"s}) {
    for (Escaping how : {Escaping{.backslash = true}, Escaping{.backslash = true, .utf8 = true}}) {
      const std::string e = EscapeControl(text, how);
      for (unsigned char c : e) ASSERT_TRUE(c >= 0x20 && c != 0x7f) << "byte " << int(c) << " in " << e;
      EXPECT_EQ(Unescape(e), text);
    }
  }
  const struct { std::string in; Escaping how; std::string out; } cases[] = {
      {"a\nb\r\t\x01\x7f\\", {}, "a\\nb\\r\\t\\x01\\x7F\\"},
      // C1 controls, stray bytes, surrogates and overlong forms as bytes; UTF-8 kept.
      {"\xc2\x85\xff\xc3\xa9\xed\xa0\x80\xc0\xaf", {.utf8 = true}, "\\xC2\\x85\\xFF\xc3\xa9\\xED\\xA0\\x80\\xC0\\xAF"},
      {"\xc2\x85", {}, "\xc2\x85"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControl(c.in, c.how), c.out);
  EXPECT_EQ(Unescape("\\q \\x4 \\xZZ \\"), "\\q \\x4 \\xZZ \\");  // escapes it never makes stay
}

// One line per event: the journal's priority prefix under systemd, a time
// and a level word in a terminal, and never a line break from the message.
TEST(EventLine, EachStyleWritesOneLineWithItsLevel) {
  using enum LineStyle;
  const std::time_t now = 1700000000;
  const std::string stamp = LocalTimestamp(now, platform::LocalTime(now));
  const struct { LineStyle style; EventType type; std::string message, line; } cases[] = {
      {Journal, EventType::Error, "SSL_accept failed from 127.0.0.1.\n failed with 1",
       "<3>SSL_accept failed from 127.0.0.1.; failed with 1"},
      {Journal, EventType::Warning, "first\r\n\r\nsecond\n", "<4>first; second"},
      {Journal, EventType::Information, "a\tb\x01", "<6>a\\tb\\x01"},
      {Journal, EventType::State, "Tarnwick state: RUNNING", "<5>Tarnwick state: RUNNING"},
      {Terminal, EventType::Error, "a\nb", stamp + " error: a; b"},
      {Terminal, EventType::Warning, "w", stamp + " warning: w"},
      {Terminal, EventType::Information, "i", stamp + " info: i"},
      {Terminal, EventType::State, "Tarnwick state: RUNNING", "Tarnwick state: RUNNING"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatEventLine(c.style, c.type, c.message, now), c.line);
  // The offset is the local calendar's distance from UTC, either way.
  std::tm east{}, west{};
  east.tm_year = 70, east.tm_mday = 1, east.tm_hour = 2;
  west.tm_year = 69, west.tm_mon = 11, west.tm_mday = 31, west.tm_hour = 19, west.tm_min = 30;
  EXPECT_EQ(LocalTimestamp(0, east), "1970-01-01T02:00:00+02:00");
  EXPECT_EQ(LocalTimestamp(0, west), "1969-12-31T19:30:00-04:30");
}

// Entries as "E text" / "I text", in order.
struct Capture {
  std::vector<std::string> lines;
  EventLog log{[this](EventType t, std::string_view m) {
    lines.push_back((t == EventType::Error ? "E " : t == EventType::Warning ? "W " : "I ") + std::string(m));
  }};
};

TEST(Retry, FailuresAreReportedWhenTheyStartChangeLastAndEnd) {
  Capture c;
  FailureLog f(c.log, "forwarding to next:1026");
  const auto t0 = FailureLog::Clock::time_point() + 1h;
  f.Succeeded();  // nothing failed: nothing to say
  f.Failed("connection refused", t0);
  for (auto t = t0 + 1s; t < t0 + 5min; t += 10s) f.Failed("connection refused", t);  // no entry for each
  f.Failed("connection refused", t0 + 5min);
  f.Failed("timed out", t0 + 6min);
  f.Failed("timed out", t0 + 7min);
  f.Succeeded();
  f.Succeeded();
  f.Failed("connection refused", t0 + 8min);  // a new run of trouble starts over
  EXPECT_EQ(c.lines, (std::vector<std::string>{
                         "E forwarding to next:1026 fails: connection refused; retrying",
                         "E forwarding to next:1026 has failed 32 times in 5 min: connection refused",
                         "E forwarding to next:1026 still fails, now: timed out",
                         "I forwarding to next:1026 works again after 34 failed attempts",
                         "E forwarding to next:1026 fails: connection refused; retrying"}));
}

TEST(Retry, AFloodIsSummedUpPerSourceAndManySourcesStayBounded) {
  Capture c;
  FailureRateLimit limit(c.log, "failed handshakes", 2);
  const auto t0 = FailureRateLimit::Clock::time_point() + 1h;
  for (int i = 0; i < 52; ++i) EXPECT_EQ(limit.Note("192.0.2.1", t0 + i * 10ms), i < 2) << i;
  EXPECT_TRUE(limit.Note("192.0.2.2", t0 + 2s)) << "one flooding source must not silence another";
  EXPECT_TRUE(limit.Note("192.0.2.1", t0 + 61s)) << "a new minute, a new burst";
  EXPECT_EQ(c.lines, std::vector<std::string>{"E 52 failed handshakes from 192.0.2.1 in the last minute"});

  // Thousands of addresses: the ones past a bound are counted together.
  c.lines.clear();
  const auto t1 = t0 + 10min;
  int full = 0;
  for (int i = 0; i < 2000; ++i)
    full += limit.Note("198.51." + std::to_string(i / 256) + "." + std::to_string(i % 256), t1);
  EXPECT_LT(full, 300);
  limit.Note("203.0.113.1", t1 + 2min);
  ASSERT_EQ(c.lines.size(), 1u) << "only the addresses past the bound have more to say";
  EXPECT_NE(c.lines[0].find("failed handshakes from other addresses in the last minute"), std::string::npos)
      << c.lines[0];
}

}  // namespace
}  // namespace tarnwick
