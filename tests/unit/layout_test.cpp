// What lies on the wire and under the backup root: the stream header, the
// names it may carry, toforward's lines and the forwarding records.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "base/text.h"
#include "layout/backup_root.h"
#include "layout/records.h"
#include "layout/stream_header.h"
#include "support/net.h"

namespace tarnwick {
namespace {

using Form = StreamHeader::Form;
using namespace std::string_literals;
using tw::H;

TEST(StreamHeader, WellFormedHeadersAndWhatFollowsThem) {
  const std::string r247(247, 'r'), s247(247, 's');
  const struct {
    std::string read;
    Form form;
    std::string repo;
    std::int64_t count;
    std::string save;
    std::int64_t offset = 0;
  } cases[] = {
      {H("projA 4000 2024-05-01 1000"), Form::FourField, "projA", 4000, "2024-05-01", 1000},
      {H("projA"), Form::OneField, "projA", 0, ""}, {H("projA word"), Form::OneField, "projA", 0, ""},
      {H("projA 100 2024-05-01"), Form::ThreeField, "projA", 100, "2024-05-01"},
      {H("p 4294967296 s 4294967296"), Form::FourField, "p", 4294967296LL, "s", 4294967296LL},
      {H("projA 1 s junk 5"), Form::ThreeField, "projA", 1, "s"},  // a fourth word is ignored
      {H("\t\n projA\v\f\r100 \t save \n"), Form::ThreeField, "projA", 100, "save"},
      {H(r247 + " 42 " + s247), Form::ThreeField, r247, 42, s247}, {H("projA -0 s"), Form::ThreeField, "projA", 0, "s"},
      {H("projA +5 s 7"), Form::FourField, "projA", 5, "s", 7},  // a count reads like %d
      {H("projA 12abc"), Form::ThreeField, "projA", 12, "abc"},  // the count ends at its last digit
      {"projA 3 s\0xyz 9 q\0"s, Form::ThreeField, "projA", 3, "s"}};  // stream data follows the NUL
  for (const auto& c : cases) {
    const StreamHeader h = ParseStreamHeader(c.read);
    EXPECT_EQ(std::tie(h.form, h.repo, h.count, h.save, h.offset), std::tie(c.form, c.repo, c.count, c.save, c.offset))
        << EscapeControl(c.read.substr(0, 40));
    EXPECT_EQ(h.length, c.read.find('\0') + 1);
  }
}

TEST(StreamHeader, MalformedHeadersSayWhy) {
  const struct { std::string read, error; long long code; } cases[] = {
      {"projA 100 save", "wrong format", -1}, {H(""), "wrong format", 0}, {H("projA 100"), "wrong format", 2},
      {H("projA -5 x"), "wrong format", 3}, {H("projA 9223372036854775808 x"), "wrong format", 3},
      // A 450-character run ends its field: the digits after it are a count.
      {H(std::string(450, 'a') + "123"), "wrong format", 2},
      {H(std::string(248, 'r') + " 1 s"), "invalid repo_name", 0}, {H("a/b 1 s"), "invalid repo_name", 0},
      {H("projA 1 x_pending"), "invalid save_name", 0}, {H("projA 1 NUL.txt 0"), "invalid save_name", 0},
      {H("projA 1 s -1"), "wrong format", 4}, {H("projA 1 s +1"), "wrong format", 4},
      {H("projA 1 s 12x"), "wrong format", 4}, {H("projA 9223372036854775807 s 1"), "wrong format", 4}};
  for (const auto& c : cases) {
    const StreamHeader h = ParseStreamHeader(c.read);
    EXPECT_EQ(std::tie(h.form, h.error, h.error_code), std::make_tuple(Form::Malformed, c.error, c.code))
        << EscapeControl(c.read.substr(0, 40));
  }
}

TEST(StreamHeader, NamesUsableOnEveryPlatformOfAChain) {
  EXPECT_FALSE(IsSafeSaveName("2024-05-01_pending"));
  EXPECT_TRUE(IsSafeName("2024-05-01_pending"));  // a repository may be named so
  EXPECT_TRUE(IsSafeSaveName("_pending.old"));
  const struct { std::string name; bool safe; } cases[] = {
      {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"a\\b", false}, {"C:", false},
      {"tab\there", false}, {"del\x7f", false}, {"nul\0x"s, false}, {std::string(248, 'n'), false},
      {std::string(247, 'n'), true}, {".hidden", true}, {"with space", true}, {"caf\xc3\xa9", true},
      // What a Windows relay further down the chain could not create.
      {"...", false}, {"end.", false}, {"end ", false}, {"q?", false}, {"st*r", false}, {"<a>", false},
      {"p|p", false}, {"\"q\"", false}, {"CON", false}, {"nul.txt", false}, {"Com1", false},
      {"LPT9.tar.gz", false}, {"aux .x", false}, {"COM0", false}, {"COM\xc2\xb9", false}, {"COM\xb2", false},
      {"conin$", false}, {"CONOUT$.x", false}, {"clock$", false},
      {"COM\xc2\xb4", true}, {"COM10", true}, {"CONSOLE", true}, {"nul_", true}, {"xnul", true}};
  for (const auto& c : cases)
    EXPECT_EQ(IsSafeName(c.name), c.safe) << c.name.size() << " bytes: \"" << c.name.substr(0, 20) << '"';
}

TEST(Records, QueueLinesHoldTwoUsableNames) {
  const QueueEntry e{"projA", "2024-05-01"};
  EXPECT_EQ(ParseQueueLine(FormatQueueLine(e)), e);
  EXPECT_EQ(ParseQueueLine("  projA   2024-05-01 \r"), e);
  EXPECT_EQ(ParseQueueLine("projA\t2024-05-01"), e) << "a last line cut before its newline";
  for (const char* bad : {"", "projA", "a b c", "..\tx", "projA\t../../etc", "a/b\tx", "projA\tc:x", "projA\tx\x01y",
                          "projA\tx_pending", "projA\tCOM1"})
    EXPECT_FALSE(ParseQueueLine(bad)) << bad;
}

TEST(Records, AnOffsetAndTheConflictMarkReadBack) {
  const struct { const char* text; ForwardRecord r; } cases[] = {
      {"1000", {1000, false}}, {"+5", {5, false}}, {"", {0, false}}, {"garbage", {0, false}}, {"-5", {0, false}},
      {"99999999999999999999", {0, false}}, {" 4294967296\n", {4294967296LL, false}},
      {"1000 conflict", {1000, true}}, {"conflict", {0, true}}, {"12conflicting", {12, true}},
      {"7 other", {7, false}}, {"7 x conflict", {7, false}}};
  for (const auto& c : cases) EXPECT_EQ(ParseRecord(c.text), c.r) << '"' << c.text << '"';
  for (const ForwardRecord& r : {ForwardRecord{0, false}, ForwardRecord{INT64_MAX, true}}) {
    EXPECT_EQ(ParseRecord(FormatRecord(r)), r);
    EXPECT_EQ(LeadingDecimal(FormatRecord(r)), r.offset) << "a relay that reads only the number";
  }
}

TEST(Records, ARecordIsReplacedWholeAndItsAbsenceIsNotFound) {
  const tw::fs::path dir = tw::TestDir("records");
  const BackupRoot root(dir, platform::RealFileSystem());
  const QueueEntry e{"projA", "s"};
  ForwardRecord r;
  EXPECT_TRUE(root.ReadRecord(e, r).IsNotFound());
  ASSERT_TRUE(root.WriteRecord(e, {42, false}).ok() && root.WriteRecord(e, {43, true}).ok());
  ASSERT_TRUE(root.ReadRecord(e, r).ok());
  EXPECT_EQ(r, (ForwardRecord{43, true}));
  EXPECT_TRUE(tw::fs::is_empty(dir / "tmp")) << "a temporary file was left behind";
  EXPECT_TRUE(root.RemoveRecord(e).ok() && root.RemoveRecord(e).ok()) << "gone already is fine";
  EXPECT_TRUE(root.ReadRecord(e, r).IsNotFound());
  // A record that cannot be looked at is not "no record".
  tw::fs::create_directories(dir / "forwards/projA/s");
  EXPECT_FALSE(root.ReadRecord(e, r).ok() || root.ReadRecord(e, r).IsNotFound());
  tw::fs::remove_all(dir);
}

}  // namespace
}  // namespace tarnwick
