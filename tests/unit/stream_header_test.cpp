#include "reception/stream_header.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace tarnwick {
namespace {

using Form = StreamHeader::Form;
using namespace std::string_literals;

// Header text plus its terminating NUL, as a sender writes it.
std::string H(const std::string& text) { return text + '\0'; }

TEST(ParseStreamHeader, AcceptsWellFormedHeaders) {
  const std::string r247(247, 'r'), s247(247, 's');
  const struct { const char* label; std::string first_read; Form form; std::string repo; std::int64_t count; std::string save; std::int64_t offset = 0; } cases[] = {
      {"four fields", H("projA 4000 2024-05-01 1000"), Form::FourField, "projA", 4000, "2024-05-01", 1000},
      {"four fields, then more", H("projA 0 s 7 x"), Form::FourField, "projA", 0, "s", 7},
      {"one field", H("projA"), Form::OneField, "projA", 0, ""},
      {"non-numeric second field", H("projA word"), Form::OneField, "projA", 0, ""},
      {"three fields", H("projA 100 2024-05-01"), Form::ThreeField, "projA", 100, "2024-05-01"},
      {"a fourth field that is no number is ignored", H("projA 1 s junk 5"), Form::ThreeField, "projA", 1, "s"},
      {"every blank separates", H("\t\n projA\v\f\r100 \t save \n"), Form::ThreeField, "projA", 100, "save"},
      {"longest names", H(r247 + " 42 " + s247), Form::ThreeField, r247, 42, s247},
      // The number ends at the first non-digit; the rest is the save name.
      {"count runs into save", H("projA 12abc"), Form::ThreeField, "projA", 12, "abc"},
      // Stream data follows the NUL in the same read and must not leak into the header.
      {"data after NUL", "projA 3 s\0xyz 9 q\0"s, Form::ThreeField, "projA", 3, "s"},
      {"only the first NUL counts", "projA\0 5 s\0"s, Form::OneField, "projA", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const StreamHeader h = ParseStreamHeader(c.first_read);
    EXPECT_EQ(std::tie(h.form, h.repo, h.count, h.save, h.offset),
              std::tie(c.form, c.repo, c.count, c.save, c.offset));
    EXPECT_EQ(h.length, c.first_read.find('\0') + 1);
  }
}

TEST(ParseStreamHeader, RejectsMalformedHeaders) {
  const std::string a450(450, 'a');
  const struct { const char* label; std::string first_read, error; long long error_code; } cases[] = {
      {"no NUL in the read", "projA 100 save", "wrong format", -1},
      {"empty header", H(""), "wrong format", 0},
      {"two fields", H("projA 100"), "wrong format", 2},
      {"negative count", H("projA -5 x"), "wrong format", 3},
      {"count one past int64", H("projA 9223372036854775808 x"), "wrong format", 3},
      // A 450-character run ends the field; the digits after it form the
      // count, leaving exactly two fields. Without the cut this would be a
      // single (over-long) repo name instead.
      {"field cut at 450 gives two fields", H(a450 + "123"), "wrong format", 2},
      {"field cut at 450, negative count", H(a450 + "-5 x"), "wrong format", 3},
      {"repo of 450 characters", H(std::string(500, 'r')), "invalid repo_name", 0},
      {"repo of 248 characters", H(std::string(248, 'r') + " 1 s"), "invalid repo_name", 0},
      {"save with colon", H("projA 1 c:x"), "invalid save_name", 0},
      {"save that looks like a marker", H("projA 1 x_pending"), "invalid save_name", 0},
      {"device name as save", H("projA 1 NUL.txt 0"), "invalid save_name", 0},
      {"negative offset", H("projA 1 s -1"), "wrong format", 4},
      {"offset that is no number", H("projA 1 s 12x"), "wrong format", 4},
      {"offset and count past int64", H("projA 9223372036854775807 s 1"), "wrong format", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const StreamHeader h = ParseStreamHeader(c.first_read);
    EXPECT_EQ(std::tie(h.form, h.error, h.error_code), std::make_tuple(Form::Malformed, c.error, c.error_code));
  }
}


TEST(IsSafeName, Table) {
  EXPECT_FALSE(IsSafeSaveName("2024-05-01_pending"));
  EXPECT_TRUE(IsSafeName("2024-05-01_pending"));  // a repository may be named so
  EXPECT_TRUE(IsSafeSaveName("_pending.old"));
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"a\\b", false}, {"C:", false},
      {"tab\there", false}, {"del\x7f", false}, {"nul\0x"s, false}, {std::string(248, 'n'), false},
      {std::string(247, 'n'), true}, {".hidden", true}, {"with space", true}, {"a.b", true},
      // What a Windows relay further down the chain could not create.
      {"...", false}, {"end.", false}, {"end ", false}, {"q?", false}, {"st*r", false},
      {"<a>", false}, {"p|p", false}, {"\"q\"", false}, {"CON", false}, {"nul.txt", false},
      {"Com1", false}, {"LPT9.tar.gz", false}, {"aux .x", false}, {"COM0", false}, {"lpt0.log", false},
      {"COM\xc2\xb9", false}, {"lpt\xc2\xb3.txt", false}, {"COM\xb2", false}, {"conin$", false},
      {"CONOUT$.x", false}, {"COM\xc2\xb4", true},
      {"COM10", true}, {"CONSOLE", true}, {"nul_", true}, {"xnul", true},
      // Bytes above 0x7f are not control characters (UTF-8 names).
      {"caf\xc3\xa9", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeName(c.name), c.safe) << "name of " << c.name.size() << " bytes: \""
                                          << c.name.substr(0, 20) << "\"";
  }
}

}  // namespace
}  // namespace tarnwick
