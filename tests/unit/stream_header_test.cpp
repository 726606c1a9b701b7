#include "reception/stream_header.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

using Form = StreamHeader::Form;
using namespace std::string_literals;

// Header text plus its terminating NUL, as a sender writes it.
std::string H(const std::string& text) { return text + '\0'; }

struct GoodCase {
  const char* label;
  std::string first_read;
  Form form;
  std::string repo;
  std::int64_t count;
  std::string save;
};

TEST(ParseStreamHeader, AcceptsWellFormedHeaders) {
  const GoodCase cases[] = {
      {"one field", H("projA"), Form::OneField, "projA", 0, ""},
      {"non-numeric second field", H("projA word"), Form::OneField, "projA", 0, ""},
      {"sign without digits", H("projA - x"), Form::OneField, "projA", 0, ""},
      {"three fields", H("projA 100 2024-05-01"), Form::ThreeField, "projA", 100, "2024-05-01"},
      {"extra fields ignored", H("projA 1 s junk more"), Form::ThreeField, "projA", 1, "s"},
      {"every blank separates", H("\t\n projA\v\f\r100 \t save \n"), Form::ThreeField, "projA",
       100, "save"},
      {"count beyond 32 bits", H("projA 5000000000 s"), Form::ThreeField, "projA", 5000000000LL,
       "s"},
      {"largest count", H("projA 9223372036854775807 s"), Form::ThreeField, "projA",
       9223372036854775807LL, "s"},
      {"explicit plus sign", H("projA +7 s"), Form::ThreeField, "projA", 7, "s"},
      {"zero count", H("projA 0 s"), Form::ThreeField, "projA", 0, "s"},
      // The number ends at the first non-digit; the rest is the save name.
      {"count runs into save", H("projA 12abc"), Form::ThreeField, "projA", 12, "abc"},
      // Stream data follows the NUL in the same read and must not leak into the header.
      {"data after NUL", "projA 3 s\0xyz 9 q\0"s, Form::ThreeField, "projA", 3, "s"},
      {"only the first NUL counts", "projA\0 5 s\0"s, Form::OneField, "projA", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    StreamHeader h = ParseStreamHeader(c.first_read);
    EXPECT_EQ(h.form, c.form);
    EXPECT_EQ(h.repo, c.repo);
    EXPECT_EQ(h.count, c.count);
    EXPECT_EQ(h.save, c.save);
    EXPECT_EQ(h.length, c.first_read.find('\0') + 1);
  }
}

struct BadCase {
  const char* label;
  std::string first_read;
  std::string error;
  long long error_code;
};

TEST(ParseStreamHeader, RejectsMalformedHeaders) {
  const std::string a450(450, 'a');
  const BadCase cases[] = {
      {"no NUL in the read", "projA 100 save", "wrong format", -1},
      {"empty read", "", "wrong format", -1},
      {"empty header", H(""), "wrong format", 0},
      {"blanks only", H(" \t\r\n"), "wrong format", 0},
      {"two fields", H("projA 100"), "wrong format", 2},
      {"two fields, trailing blanks", H("projA 100  \t"), "wrong format", 2},
      {"negative count", H("projA -5 x"), "wrong format", 3},
      {"count one past int64", H("projA 9223372036854775808 x"), "wrong format", 3},
      {"count far past int64", H("projA 123456789012345678901234567890 x"), "wrong format", 3},
      // A 450-character run ends the field; the digits after it form the
      // count, leaving exactly two fields. Without the cut this would be a
      // single (over-long) repo name instead.
      {"field cut at 450 gives two fields", H(a450 + "123"), "wrong format", 2},
      {"field cut at 450, negative count", H(a450 + "-5 x"), "wrong format", 3},
      {"repo dot-dot", H(".."), "invalid repo_name", 0},
      {"repo with slash, three fields", H("a/b 1 s"), "invalid repo_name", 0},
      {"repo of 450 characters", H(std::string(500, 'r')), "invalid repo_name", 0},
      {"repo of 248 characters", H(std::string(248, 'r') + " 1 s"), "invalid repo_name", 0},
      {"save dot", H("projA 1 ."), "invalid save_name", 0},
      {"save with colon", H("projA 1 c:x"), "invalid save_name", 0},
      {"save with backslash", H("projA 1 a\\b"), "invalid save_name", 0},
      {"save with DEL", H("projA 1 a\x7f"), "invalid save_name", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    StreamHeader h = ParseStreamHeader(c.first_read);
    EXPECT_EQ(h.form, Form::Malformed);
    EXPECT_EQ(h.error, c.error);
    EXPECT_EQ(h.error_code, c.error_code);
  }
}

TEST(ParseStreamHeader, LengthCoversHeaderAndNulEvenWhenMalformed) {
  // The receiver skips `length` bytes before the data; it must match the NUL
  // position whatever the verdict on the fields.
  EXPECT_EQ(ParseStreamHeader("\0payload"s).length, 1u);
  EXPECT_EQ(ParseStreamHeader("projA 7\0payload"s).length, 8u);
}

TEST(ParseStreamHeader, LongestLegalNamesAreAccepted) {
  const std::string repo(247, 'r'), save(247, 's');
  StreamHeader h = ParseStreamHeader(H(repo + " 42 " + save));
  ASSERT_EQ(h.form, Form::ThreeField) << h.error;
  EXPECT_EQ(h.repo, repo);
  EXPECT_EQ(h.save, save);
  EXPECT_EQ(h.count, 42);
}

TEST(IsSafeName, Table) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"/", false}, {"a\\b", false},
      {"C:", false}, {"a\x01", false}, {"tab\there", false}, {"nl\n", false}, {"a\x1f", false},
      {"del\x7f", false}, {"nul\0x"s, false}, {std::string(248, 'n'), false},
      {std::string(247, 'n'), true}, {"2024-05-01_1", true}, {"proj.A", true}, {"...", true},
      {".hidden", true}, {"with space", true}, {"~tilde", true},
      // Bytes above 0x7f are not control characters (UTF-8 names).
      {"caf\xc3\xa9", true}, {"\xff", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeName(c.name), c.safe) << "name of " << c.name.size() << " bytes: \""
                                          << c.name.substr(0, 20) << "\"";
  }
}

}  // namespace
}  // namespace tarnwick
