// The base layer's promises: failure texts that fit their old buffer, an
// escaper that keeps a peer's bytes on one line and reads back, and retry
// entries that neither flood the log nor go silent.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/retry.h"
#include "base/text.h"

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
  EXPECT_EQ(FormatEventLine(EventType::Error, "a\nb\x01"), "Tarnwick[0xC0020001] error: a\\nb\\x01");
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
