// Three-field streams: appending to a named save, the _pending marker that
// records what is still owed, and how the relay counts the bytes it got.
#include <gtest/gtest.h>

#include "support/relay_fixture.h"

namespace tarnwick::test {
namespace {

class ThreeFieldTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    if (HasFatalFailure()) return;
    relay_ = &MakeRelay({});
    ASSERT_TRUE(relay_->Start()) << relay_->Stderr();
  }
  Relay* relay_ = nullptr;
};

TEST_F(ThreeFieldTest, PartialStreamThenResumeCompletesTheSave) {
  const fs::path save = Saves() / "projA" / "full.bak";
  const fs::path marker = Saves() / "projA" / "full.bak_pending";
  const std::string part1 = RandomBytes(60, 10);
  const std::string part2 = RandomBytes(40, 11);

  {
    TlsClient c(AnonymousClient());
    ASSERT_TRUE(c.Connect(relay_->port())) << c.error();
    ASSERT_TRUE(c.Send(Header("projA 100 full.bak"))) << c.error();
    ASSERT_TRUE(c.Send(part1)) << c.error();
    // A short stream that ends normally is stored, so it is confirmed.
    EXPECT_EQ(c.Finish(ClientEnding::CloseNotify), PeerEnd::CloseNotify) << c.error();
  }
  EXPECT_TRUE(HoldsBytes(save, part1));
  EXPECT_EQ(Contents(marker), "40");

  {
    TlsClient c(TrustedClient());
    ASSERT_TRUE(c.Connect(relay_->port())) << c.error();
    ASSERT_TRUE(c.Send(Header("projA 40 full.bak"))) << c.error();
    ASSERT_TRUE(c.Send(part2.substr(0, 15))) << c.error();
    ASSERT_TRUE(c.Send(part2.substr(15))) << c.error();
    // A plain TCP close ends the stream as normally as close_notify does.
    EXPECT_EQ(c.Finish(ClientEnding::TcpClose), PeerEnd::CloseNotify) << c.error();
  }
  EXPECT_TRUE(HoldsBytes(save, part1 + part2));
  EXPECT_FALSE(Exists(marker)) << "marker holds " << Contents(marker);
}

TEST_F(ThreeFieldTest, OverDeliveryGivesNegativeMarkerAndZeroCountClearsIt) {
  const fs::path save = Saves() / "projA" / "over.bak";
  const fs::path marker = Saves() / "projA" / "over.bak_pending";
  const std::string data = RandomBytes(130, 12);

  std::string error;
  EXPECT_EQ(SendStream(relay_->port(), AnonymousClient(), Header("projA 100 over.bak") + data,
                       &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_TRUE(HoldsBytes(save, data));
  EXPECT_EQ(Contents(marker), "-30");

  // Nothing owed and nothing sent: complete, so the marker goes; fields may
  // be separated by runs of blanks.
  EXPECT_EQ(SendStream(relay_->port(), AnonymousClient(), Header("projA   0  over.bak"), &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_FALSE(Exists(marker)) << "marker holds " << Contents(marker);
  EXPECT_TRUE(HoldsBytes(save, data));
}

TEST_F(ThreeFieldTest, BytesSharingTheHeaderWriteAreCounted) {
  const std::string data = RandomBytes(5000, 13);
  std::string error;
  // Header and data in one write arrive in one record: one read.
  EXPECT_EQ(SendStream(relay_->port(), TrustedClient(), Header("projA 5000 one.bak") + data,
                       &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_TRUE(HoldsBytes(Saves() / "projA" / "one.bak", data));
  EXPECT_FALSE(Exists(Saves() / "projA" / "one.bak_pending"))
      << "marker holds " << Contents(Saves() / "projA" / "one.bak_pending");

  // The longest save name allowed still leaves room for its marker's suffix.
  const std::string long_name(247, 's');
  EXPECT_EQ(SendStream(relay_->port(), TrustedClient(),
                       Header("projA 10 " + long_name) + "abcd", &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_EQ(Contents(Saves() / "projA" / long_name), "abcd");
  EXPECT_EQ(Contents(Saves() / "projA" / (long_name + "_pending")), "6");
}

TEST_F(ThreeFieldTest, NonNumericSecondFieldMakesADateNamedStream) {
  const std::string date = LocalDate();
  const std::string data = RandomBytes(700, 14);
  std::string error;
  EXPECT_EQ(SendStream(relay_->port(), AnonymousClient(), Header("projW word") + data, &error),
            PeerEnd::CloseNotify)
      << error;
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";
  EXPECT_TRUE(HoldsBytes(Saves() / "projW" / date, data));
  EXPECT_EQ(Tree(Saves() / "projW"), std::vector<std::string>{date});
}

TEST_F(ThreeFieldTest, ResetMidStreamKeepsTheBytesAndRecordsWhatIsOwed) {
  const fs::path save = Saves() / "projR" / "cut.bak";
  const std::string data = RandomBytes(500, 15);
  {
    const std::size_t mark = relay_->Mark();
    TlsClient c(AnonymousClient());
    ASSERT_TRUE(c.Connect(relay_->port())) << c.error();
    ASSERT_TRUE(c.Send(Header("projR 1000 cut.bak") + data)) << c.error();
    // A reset discards whatever is still in flight; this test is about bytes
    // the relay's side already holds.
    ASSERT_TRUE(c.WaitDelivered());
    c.Finish(ClientEnding::Reset);
    EXPECT_TRUE(relay_->WaitForLine(std::string(kErrorEntry) + "SSL_read failed with", mark));
  }
  const fs::path marker = Saves() / "projR" / "cut.bak_pending";
  EXPECT_TRUE(WaitUntil([&] { return Contents(marker) == "500"; })) << Contents(marker);
  EXPECT_TRUE(HoldsBytes(save, data));

  // A cut one-field stream owes nothing it announced: its marker holds 0.
  const std::string date = LocalDate();
  const std::string one = RandomBytes(300, 16);
  const fs::path one_save = Saves() / "projR" / date;
  {
    const std::size_t mark = relay_->Mark();
    TlsClient c(AnonymousClient());
    ASSERT_TRUE(c.Connect(relay_->port())) << c.error();
    ASSERT_TRUE(c.Send(Header("projR") + one)) << c.error();
    ASSERT_TRUE(c.WaitDelivered());
    c.Finish(ClientEnding::Reset);
    EXPECT_TRUE(relay_->WaitForLine(std::string(kErrorEntry) + "SSL_read failed with", mark));
  }
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";
  EXPECT_TRUE(WaitUntil([&] { return Contents(Saves() / "projR" / (date + "_pending")) == "0"; }))
      << Contents(Saves() / "projR" / (date + "_pending"));
  EXPECT_TRUE(HoldsBytes(one_save, one));

  // The relay goes on serving.
  std::string error;
  EXPECT_EQ(SendStream(relay_->port(), AnonymousClient(), Header("projR 3 next.bak") + "xyz",
                       &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_EQ(Contents(Saves() / "projR" / "next.bak"), "xyz");
  EXPECT_TRUE(relay_->process().Running());
}

}  // namespace
}  // namespace tarnwick::test
