#include "forwarding/forward_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarnwick {
namespace {

TEST(ForwardQueue, LinesParseOnlyAsTwoUsableNames) {
  EXPECT_EQ(ParseQueueLine("projA\t2024-05-01"), (QueueEntry{"projA", "2024-05-01"}));
  EXPECT_EQ(ParseQueueLine("  projA   2024-05-01_3 \r"), (QueueEntry{"projA", "2024-05-01_3"}));
  for (const char* bad : {"", "projA", "a b c", "..\tx", "projA\t../../etc", "a/b\tx", "projA\tc:x",
                          "projA\tx\x01y"})
    EXPECT_FALSE(ParseQueueLine(bad).has_value()) << bad;
  const QueueEntry e{"projA", "2024-05-01"};
  EXPECT_EQ(ParseQueueLine(FormatQueueLine(e)), e);
}

TEST(ForwardQueue, ProgressOffsetFallsBackToZero) {
  EXPECT_EQ(ParseProgress("1000"), 1000);
  EXPECT_EQ(ParseProgress(" 4294967296"), 4294967296LL);
  for (const char* bad : {"", "garbage", "-5", "99999999999999999999"}) EXPECT_EQ(ParseProgress(bad), 0) << bad;
}

TEST(ForwardQueue, WriterHoldsEarlyEntriesAndFlushesEachLine) {
  const auto file = std::filesystem::temp_directory_path() / ("toforward-" + std::to_string(getpid()));
  auto contents = [&] { std::stringstream s; s << std::ifstream(file).rdbuf(); return s.str(); };
  std::ofstream(file) << "old\tline\n";
  ForwardQueueWriter q;
  // Appended while the replay still reads the old file: held back, not lost.
  q.Append({"projA", "early"});
  ASSERT_TRUE(q.Open(file));
  EXPECT_EQ(contents(), "projA\tearly\n");
  q.Append({"projB", "late"});
  EXPECT_EQ(contents(), "projA\tearly\nprojB\tlate\n");
  q.Close();
  q.Append({"projC", "after-close"});
  EXPECT_EQ(contents(), "projA\tearly\nprojB\tlate\n");
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace tarnwick
