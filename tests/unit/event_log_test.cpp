#include "service/event_log.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

TEST(FormatFailure, TextIsCutAt79) {
  EXPECT_EQ(FormatFailure("write", 5000000000LL), "write failed with 5000000000");
  EXPECT_EQ(FormatFailure("recv", -1), "recv failed with -1");
  const std::string step70(70, 's'), step61(61, 's');
  EXPECT_EQ(FormatFailure(step70, 12345), (step70 + " failed with 12345").substr(0, 79));
  EXPECT_EQ(FormatFailure(step61, 12345), step61 + " failed with 12345");  // exactly 79
}

TEST(FormatEventLine, PrefixAndEscapes) {
  EXPECT_EQ(FormatEventLine(EventType::Error, "a\nb\x01"), "Tarnwick[0xC0020001] error: a\\nb\\x01");
  EXPECT_EQ(FormatEventLine(EventType::Information, "x\ry\tz"),
            "Tarnwick[0xC0020001] information: x\\ry\\tz");
  // UTF-8 passes; an embedded NUL does not end the message; DEL is escaped.
  EXPECT_EQ(EscapeControl("/a\\b caf\xc3\xa9"), "/a\\b caf\xc3\xa9");
  EXPECT_EQ(EscapeControl(std::string_view("a\0b\x19", 4)), "a\\x00b\\x19");
  for (unsigned char c : EscapeControl("\x1b[31m\x7f\x1f")) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << int(c);
}

}  // namespace
}  // namespace tarnwick
