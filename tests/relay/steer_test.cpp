// Steering a running relay: a reload's new certificates and settings reach
// new connections only, a reload with errors changes nothing, and a retry
// ends the forwarder's back-off.
#include "relay/local_relay.h"

namespace tw {
namespace {

using SteerTest = RelayTest;
using Word = tarnwick::ControlReply::Word;

std::string Text(const tarnwick::ControlReply& r) {
  std::string out;
  for (const std::string& line : r.lines) out += line + "\n";
  return out;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST_F(SteerTest, AReloadReachesNewHandshakesWhileARunningStreamFinishesAsItBegan) {
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender};
  a.Start();
  const std::uint16_t port = a.Port();
  Client running(port, a.id, &sender);
  ASSERT_TRUE(running.Send(H("r 6 long 0") + "abc"));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(a.Save("r", "long")) == 3; }));

  const Id renewed = MakeId(dir, "relay-a-renewed");
  Write(a.conf / "cert.pem", Read(renewed.cert));
  Write(a.conf / "key.pem", Read(renewed.key));
  a.s.header_timeout_s = 1;
  a.s.port = std::to_string(FreePort());
  a.s.listen = "127.0.0.1";  // listeners are bound at start, like the port
  a.WriteSettings();
  const tarnwick::ControlReply reply = a.Get().Reload();
  ASSERT_EQ(reply.word, Word::Ok) << Text(reply);
  EXPECT_NE(Text(reply).find("changed: [Connection] HeaderTimeout 10 -> 1\n"), std::string::npos) << Text(reply);
  EXPECT_NE(Text(reply).find("needs a restart: [Connection] Port " + std::to_string(port) + " -> " + a.s.port),
            std::string::npos)
      << Text(reply);
  EXPECT_NE(Text(reply).find("needs a restart: [Connection] Listen"), std::string::npos) << Text(reply);

  // The stream under way ends on the context it began with.
  EXPECT_TRUE(running.Send("def"));
  EXPECT_EQ(running.Finish(), End::Notify);
  EXPECT_EQ(Read(a.Save("r", "long")), "abcdef");
  // A new handshake gets the renewed certificate, on the port the relay
  // started with, and the new HeaderTimeout.
  EXPECT_EQ(Client(port, a.id, &sender).ssl_, nullptr);
  EXPECT_EQ(SendStream(port, renewed, &sender, H("r 3 next 0") + "xyz"), End::Notify);
  Client slow(port, renewed, &sender);
  ASSERT_TRUE(slow.Send("r 3"));
  EXPECT_TRUE(a.events.Wait("within 1 s (HeaderTimeout) and is cut"));
}

TEST_F(SteerTest, AReloadWithErrorsIsRefusedAndTheRelayGoesOnAsItWas) {
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender};
  a.Start();
  const std::string settings = a.SettingsText();
  const Id renewed = MakeId(dir, "relay-a-renewed");
  const struct {
    const char* label;
    std::string ini;
    const fs::path *cert, *key;
    const char* finding;
  } cases[] = {
      // A valid new certificate beside the bad value: nothing of it may be used.
      {"a rate in bits", Replaced(settings, "Bandwith=0", "Bandwith=20Mb"), &renewed.cert, &renewed.key, "20Mb"},
      {"a certificate without its key", settings, &renewed.cert, &a.id.key, "key"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Write(a.conf / "settings.ini", c.ini);
    Write(a.conf / "cert.pem", Read(*c.cert));
    Write(a.conf / "key.pem", Read(*c.key));
    const tarnwick::ControlReply reply = a.Get().Reload();
    EXPECT_EQ(reply.word, Word::Refused) << Text(reply);
    EXPECT_EQ(Text(reply).rfind("refused: ", 0), 0u) << Text(reply);
    EXPECT_NE(Text(reply).find("error: "), std::string::npos) << Text(reply);
    EXPECT_NE(Text(reply).find(c.finding), std::string::npos) << Text(reply);
    EXPECT_EQ(Client(a.Port(), renewed, &sender).ssl_, nullptr);
    EXPECT_EQ(SendStream(a.Port(), a.id, &sender, H("r 1 s" + std::to_string(++n) + " 0") + "x"), End::Notify);
  }
  EXPECT_TRUE(a.events.Wait("the reload is refused: "));
}

TEST(ControlAddress, PackagedRelaysUseRunAndOthersTheirBackupRoot) {
  const struct {
    const char *dir, *address;
  } cases[] = {{"/etc/tarnwick/site1", "/run/tarnwick/site1"},
               {"/etc/tarnwick/site1/", "/run/tarnwick/site1"},
               {"/etc/tarnwick", "/var/lib/x/control.sock"},
               {"/etc/tarnwick/a/b", "/var/lib/x/control.sock"},
               {"/srv/tarnwick/site1", "/var/lib/x/control.sock"}};
  for (const auto& c : cases) EXPECT_EQ(tarnwick::platform::ControlAddress(c.dir, "/var/lib/x"), c.address) << c.dir;
}

// The hop failed three times, so the next attempt is 4 s away: the retry
// makes it now.
TEST_F(SteerTest, ARetryEndsTheForwardersBackOff) {
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, /*to_dials=*/false);
  a.Place("r", "s", "bytes");
  a.Start();
  ASSERT_TRUE(a.events.Wait("forwarding to 127.0.0.1:" + b.s.port + " fails: "));
  std::this_thread::sleep_for(ms(3500));
  b.Start();
  const auto asked = std::chrono::steady_clock::now();
  const tarnwick::ControlReply reply = a.Get().Retry();
  EXPECT_EQ(reply.word, Word::Ok);
  EXPECT_EQ(Text(reply), "forwarding to 127.0.0.1:" + b.s.port + " is tried now; 1 save waits\n");
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s")) == "bytes" && !Exists(a.Record("r", "s")); }, ms(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, ms(2000));
}

// The forwarder is stuck on "first" (its hop is down); "waits" is queued
// behind it; a stream holds "held".
TEST_F(SteerTest, ADropRemovesWhatTheRelayLetsGoAndNothingInUse) {
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  a.clients = {&sender};
  Link(a, b, /*to_dials=*/false);
  a.Place("r", "first", "1");
  a.Place("r", "aside", "333", "0 conflict");
  Write(a.Save("r", "half"), "ab");
  Write(a.Marker("r", "half"), "4");
  a.Start();
  ASSERT_TRUE(a.events.Wait(" fails: "));
  ASSERT_EQ(SendStream(a.Port(), a.id, &sender, H("r 2 waits 0") + "22"), End::Notify);
  ASSERT_TRUE(Exists(a.root / "ids" / "r" / "waits"));
  Client holding(a.Port(), a.id, &sender);
  ASSERT_TRUE(holding.Send(H("r 6 held 0") + "abc"));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(a.Save("r", "held")) == 3; }));

  const struct {
    const char* save;
    bool force;
    Word word;
    const char* says;
    std::vector<fs::path> gone;
  } cases[] = {
      {"waits", false, Word::Refused, "still waits to be forwarded; give --force", {}},
      {"first", true, Word::Refused, "the forwarder is sending or trying now", {}},
      {"held", true, Word::Refused, "a stream is storing saves/r/held now", {}},
      {"none", false, Word::Refused, "there is no save saves/r/none", {}},
      {"waits", true, Word::Ok, "the forwarder no longer waits to send it",
       {a.Save("r", "waits"), a.Record("r", "waits"), a.root / "ids" / "r" / "waits"}},
      {"aside", false, Word::Ok, "removed", {a.Save("r", "aside"), a.Record("r", "aside")}},
      {"half", false, Word::Ok, "removed", {a.Save("r", "half"), a.Marker("r", "half")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.save);
    const tarnwick::ControlReply reply = a.Get().Drop(std::string("r/") + c.save, c.force);
    EXPECT_EQ(reply.word, c.word) << Text(reply);
    EXPECT_NE(Text(reply).find(c.says), std::string::npos) << Text(reply);
    for (const fs::path& p : c.gone) EXPECT_FALSE(Exists(p)) << p;
  }
  for (const char* kept : {"first", "held"}) EXPECT_TRUE(Exists(a.Save("r", kept))) << kept;
  EXPECT_TRUE(holding.Send("def"));
  EXPECT_EQ(holding.Finish(), End::Notify);
  EXPECT_EQ(Read(a.Save("r", "held")), "abcdef");
  // What the forwarder still waits to send is written at the stop.
  a.Stop();
  const std::string queue = Read(a.root / "toforward");
  EXPECT_NE(queue.find("r\tfirst\n"), std::string::npos) << queue;
  EXPECT_EQ(queue.find("waits"), std::string::npos) << queue;
}

}  // namespace
}  // namespace tw
