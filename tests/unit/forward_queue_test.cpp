#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "forwarding/forward_queue.h"

namespace tarnwick {
namespace {

TEST(ForwardQueue, LinesParseOnlyAsTwoUsableNames) {
  EXPECT_EQ(ParseQueueLine("projA\t2024-05-01"), (QueueEntry{"projA", "2024-05-01"}));
  EXPECT_EQ(ParseQueueLine("  projA   2024-05-01_3 \r"), (QueueEntry{"projA", "2024-05-01_3"}));
  for (const char* bad : {"", "projA", "projA\t", "a b c", "..\tx", "projA\t../../etc", "a/b\tx",
                          "projA\tc:x", "projA\tx\x01y"}) {
    EXPECT_FALSE(ParseQueueLine(bad).has_value()) << bad;
  }
  QueueEntry e{"projA", "2024-05-01"};
  EXPECT_EQ(ParseQueueLine(FormatQueueLine(e)), e);
}

TEST(ForwardQueue, ProgressOffsetFallsBackToZero) {
  EXPECT_EQ(ParseProgress(""), 0);
  EXPECT_EQ(ParseProgress("garbage"), 0);
  EXPECT_EQ(ParseProgress("1000"), 1000);
  EXPECT_EQ(ParseProgress(" 4294967296"), 4294967296LL);
  EXPECT_EQ(ParseProgress("-5"), 0);
  EXPECT_EQ(ParseProgress("99999999999999999999"), 0);
}

class QueueWriterTest : public ::testing::Test {
 protected:
  std::filesystem::path file_ =
      std::filesystem::temp_directory_path() /
      ("toforward-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void TearDown() override { std::filesystem::remove(file_); }
  std::string Contents() {
    std::ifstream in(file_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
};

TEST_F(QueueWriterTest, EntriesReachTheFileAtOnceAndSurviveTheReopen) {
  { std::ofstream(file_) << "old\tline\n"; }
  ForwardQueueWriter q;
  // Appended while the replay still reads the old file: held back, not lost.
  q.Append({"projA", "early"});
  ASSERT_TRUE(q.Open(file_));
  EXPECT_EQ(Contents(), "projA\tearly\n");
  q.Append({"projB", "late"});
  EXPECT_EQ(Contents(), "projA\tearly\nprojB\tlate\n");  // flushed, not buffered
  q.Close();
  q.Append({"projC", "after-close"});
  EXPECT_EQ(Contents(), "projA\tearly\nprojB\tlate\n");
}

}  // namespace
}  // namespace tarnwick
