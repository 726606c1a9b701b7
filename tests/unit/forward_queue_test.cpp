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

TEST(ForwardQueue, RecordsKeepTheOffsetAndTheConflictMark) {
  EXPECT_EQ(ParseRecord("1000"), (ForwardRecord{1000, false}));
  EXPECT_EQ(ParseRecord(""), (ForwardRecord{0, false}));  // an empty progress file: byte 0
  EXPECT_EQ(ParseRecord("1000 conflict"), (ForwardRecord{1000, true}));
  EXPECT_EQ(ParseRecord("conflict"), (ForwardRecord{0, true}));
  EXPECT_EQ(ParseRecord("12conflicting"), (ForwardRecord{12, true}));
  EXPECT_EQ(ParseRecord("7 other"), (ForwardRecord{7, false}));
  for (const ForwardRecord& r : {ForwardRecord{0, false}, ForwardRecord{4294967296LL, true}})
    EXPECT_EQ(ParseRecord(FormatRecord(r)), r);
  // A relay that reads only the leading number sees the offset.
  EXPECT_EQ(ParseProgress(FormatRecord({55, true})), 55);

  const auto root = std::filesystem::temp_directory_path() / ("records-" + std::to_string(getpid()));
  const QueueEntry e{"projA", "s"};
  std::filesystem::create_directories(root);
  ASSERT_EQ(WriteRecord(root, e, {42, false}), 0);
  ASSERT_EQ(WriteRecord(root, e, {43, false}), 0);  // replaces
  int err = -1;
  EXPECT_EQ(ReadRecord(root, e, &err), (ForwardRecord{43, false}));
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(std::filesystem::is_empty(root / "tmp"));
  EXPECT_EQ(RemoveRecord(root, e), 0);
  EXPECT_EQ(RemoveRecord(root, e), 0);  // already gone is fine
  EXPECT_FALSE(ReadRecord(root, e, &err).has_value());
  EXPECT_EQ(err, ENOENT);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace tarnwick
