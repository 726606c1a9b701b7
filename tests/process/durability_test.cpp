// A receiving relay killed at any moment never holds a save that looks
// complete and isn't; resumed streams say where they start and are checked.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "support/harness.h"

namespace tw {
namespace {

// Until the relay has taken every byte the client wrote.
bool Drained(Client& c) {
  return WaitFor([&] { int q = 0; return ioctl(c.fd_, SIOCOUTQ, &q) == 0 && q == 0; });
}

TEST_F(Net, KilledReceiverLeavesEveryUnfinishedSaveMarked) {
  Relay& r = NewRelay("r");
  const std::string data = Random(3 * 1024 * 1024 + 11, 40);
  const std::string n = std::to_string(data.size());
  // How much of the save is written before the relay is killed: nothing
  // past the header, part of it, all of it but before the stream's end.
  const std::size_t points[] = {0, data.size() / 3, data.size()};
  for (std::size_t i = 0; i < std::size(points); ++i) {
    SCOPED_TRACE("killed after " + std::to_string(points[i]) + " bytes");
    const std::string save = "s" + std::to_string(i);
    ASSERT_TRUE(r.Start()) << r.Err();
    {
      Client c(r.port, r.id, &client_);
      ASSERT_TRUE(c.Send(H("projK " + n + " " + save + " 0")));
      if (points[i] > 0) {
        ASSERT_TRUE(c.Send(data.substr(0, points[i])));
      }
      ASSERT_TRUE(Drained(c));
      ASSERT_TRUE(WaitFor([&] { return Exists(r.Save("projK", save + "_pending")) &&
                                        SizeOf(r.Save("projK", save)) >= 0; }));
      r.proc->Kill(SIGKILL);
      ASSERT_EQ(r.proc->Wait(), 128 + SIGKILL);
    }
    EXPECT_TRUE(Exists(r.Save("projK", save + "_pending")));
    const long long held = SizeOf(r.Save("projK", save));
    EXPECT_LE(held, static_cast<long long>(points[i]));
    EXPECT_EQ(Read(r.Save("projK", save)), data.substr(0, static_cast<std::size_t>(held)));
  }

  // A one-field stream killed halfway is pending too: the next name is taken.
  ASSERT_TRUE(r.Start()) << r.Err();
  {
    Client c(r.port, r.id, nullptr);
    ASSERT_TRUE(c.Send(H("projK") + data.substr(0, 100000)));
    ASSERT_TRUE(Drained(c));
    ASSERT_TRUE(WaitFor([&] { return SizeOf(r.Save("projK", Date())) > 0; }));
    r.proc->Kill(SIGKILL);
    r.proc->Wait();
  }
  EXPECT_EQ(Read(r.Save("projK", Date() + "_pending")), "0");

  // After the restart a resend from byte 0 is compared with what survived
  // and completes each save byte for byte.
  ASSERT_TRUE(r.Start()) << r.Err();
  for (std::size_t i = 0; i < std::size(points); ++i) {
    const std::string save = "s" + std::to_string(i);
    EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projK " + n + " " + save + " 0") + data), End::Notify);
    EXPECT_EQ(Read(r.Save("projK", save)), data) << save;
    EXPECT_FALSE(Exists(r.Save("projK", save + "_pending"))) << save;
  }
  // Sent again whole, a complete save is a re-delivery: confirmed, unchanged.
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projK " + n + " s0 0") + data), End::Notify);
  EXPECT_EQ(SizeOf(r.Save("projK", "s0")), static_cast<long long>(data.size()));
  EXPECT_TRUE(r.Line(kInfo + "re-delivery of saves/projK/s0")) << r.Err();
  EXPECT_TRUE(r.proc->Running());
}

TEST_F(Net, ResumeRulesOverTls) {
  Relay& r = NewRelay("r");
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(10000, 41);

  // A header in two records, data in the second.
  {
    Client c(r.port, r.id, &client_);
    EXPECT_TRUE(c.Send("projG 10000 g") && c.Send(std::string(" 0\0", 3) + data.substr(0, 4000)));
    EXPECT_EQ(c.Finish(How::Notify), End::Notify);
  }
  EXPECT_EQ(Read(r.Save("projG", "g_pending")), "6000");

  // A stream that starts past what is held is answered with what is held,
  // while its sender is still writing, and stores nothing.
  {
    Client c(r.port, r.id, &client_);
    EXPECT_TRUE(c.Send(H("projG 2000 g 8000")) && c.Send(data.substr(8000, 1000)));
    EXPECT_EQ(c.Answer(), "have 4000");
    c.Send(data.substr(9000));
    EXPECT_NE(c.Finish(How::Notify), End::Notify);
  }
  EXPECT_EQ(SizeOf(r.Save("projG", "g")), 4000);

  // Different bytes under the same name: a conflict, and nothing changes.
  {
    Client c(r.port, r.id, &client_);
    std::string other = data.substr(3000, 7000);
    other[10] ^= 1;
    EXPECT_TRUE(c.Send(H("projG 7000 g 3000") + other));
    EXPECT_EQ(c.Answer(), "conflict");
    EXPECT_NE(c.Finish(How::Notify), End::Notify);
  }
  EXPECT_EQ(Read(r.Save("projG", "g")), data.substr(0, 4000));
  EXPECT_TRUE(r.Line(kErr + "conflict: a stream from 127.0.0.1 for saves/projG/g")) << r.Err();

  // Resumed from before what is held: the overlap matches, the rest lands.
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projG 7000 g 3000") + data.substr(3000)), End::Notify);
  EXPECT_EQ(Read(r.Save("projG", "g")), data);
  EXPECT_FALSE(Exists(r.Save("projG", "g_pending")));

  // The end of a one-field stream is told apart: close_notify or TCP close.
  const std::size_t m = r.proc->Mark();
  EXPECT_EQ(SendStream(r.port, r.id, nullptr, H("projT") + "abc"), End::Notify);
  {
    Client c(r.port, r.id, nullptr);
    EXPECT_TRUE(c.Send(H("projT") + "def"));
    EXPECT_EQ(c.Finish(How::TcpClose), End::Notify);
  }
  EXPECT_TRUE(r.Line(kInfo + "the stream for saves/projT/" + Date() + "_1 from 127.0.0.1 ended without close_notify", m))
      << r.Err();
  EXPECT_EQ(r.Err().find("the stream for saves/projT/" + Date() + " from"), std::string::npos) << r.Err();
  EXPECT_EQ(Read(r.Save("projT", Date() + "_1")), "def");
}

}  // namespace
}  // namespace tw
