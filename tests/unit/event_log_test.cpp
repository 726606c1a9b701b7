#include "service/event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

TEST(FormatFailure, TextAndCut) {
  EXPECT_EQ(FormatFailure("connect", 10061), "connect failed with 10061");
  EXPECT_EQ(FormatFailure("recv", -1), "recv failed with -1");
  EXPECT_EQ(FormatFailure("write", 5000000000LL), "write failed with 5000000000");

  const std::string step70(70, 's');
  const std::string full = step70 + " failed with 12345";
  const std::string cut = FormatFailure(step70, 12345);
  EXPECT_EQ(cut.size(), kFailureTextMax);
  EXPECT_EQ(cut, full.substr(0, 79));

  // 61 + 18 = 79 characters: fits exactly, nothing lost.
  const std::string step61(61, 's');
  EXPECT_EQ(FormatFailure(step61, 12345), step61 + " failed with 12345");
}

struct Entry {
  EventType type;
  std::string source;
  std::string message;
};

class EventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetEventSink([this](EventType t, std::string_view src, std::string_view msg) {
      entries_.push_back({t, std::string(src), std::string(msg)});
    });
  }
  void TearDown() override { SetEventSink(previous_); }

  EventSink previous_;
  std::vector<Entry> entries_;
};

TEST_F(EventSinkTest, ReportsReachTheInstalledSink) {
  ReportFailure("connect", 10061);
  SvcReportEvent("Bogus connection", EventType::Information);
  ReportFailure(std::string(70, 'x'), 12345);

  ASSERT_EQ(entries_.size(), 3u);
  EXPECT_EQ(entries_[0].type, EventType::Error);
  EXPECT_EQ(entries_[0].source, "Tarnwick");
  EXPECT_EQ(entries_[0].message, "connect failed with 10061");
  EXPECT_EQ(entries_[1].type, EventType::Information);
  EXPECT_EQ(entries_[1].source, "Tarnwick");
  EXPECT_EQ(entries_[1].message, "Bogus connection");
  EXPECT_EQ(entries_[2].message.size(), kFailureTextMax);
}

TEST_F(EventSinkTest, SetEventSinkHandsBackThePreviousSink) {
  int second_calls = 0;
  EventSink ours = SetEventSink([&](EventType, std::string_view, std::string_view) {
    ++second_calls;
  });
  ASSERT_TRUE(ours);
  SvcReportEvent("to second", EventType::Error);
  EXPECT_EQ(second_calls, 1);
  EXPECT_TRUE(entries_.empty());

  // Putting the returned sink back routes entries to the first one again.
  SetEventSink(ours);
  SvcReportEvent("to first", EventType::Error);
  EXPECT_EQ(second_calls, 1);
  ASSERT_EQ(entries_.size(), 1u);
  EXPECT_EQ(entries_[0].message, "to first");
}

TEST(FormatEventLine, PrefixAndEscapes) {
  EXPECT_EQ(FormatEventLine(EventType::Error, "a\nb\x01"),
            "Tarnwick[0xC0020001] error: a\\nb\\x01");
  EXPECT_EQ(FormatEventLine(EventType::Information, "x\ry\tz"),
            "Tarnwick[0xC0020001] information: x\\ry\\tz");
  // Printable text and UTF-8 pass through; an embedded NUL does not end the message.
  EXPECT_EQ(EscapeControl("/a\\b \"q\" caf\xc3\xa9"), "/a\\b \"q\" caf\xc3\xa9");
  EXPECT_EQ(EscapeControl(std::string_view("a\0b\x19", 4)), "a\\x00b\\x19");

  // Escaped output holds no control byte at all, DEL included.
  const std::string escaped = EscapeControl("\x1b[31m\x7f\x1f");
  for (unsigned char c : escaped) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << int(c);
}

}  // namespace
}  // namespace tarnwick
