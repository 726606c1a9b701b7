// Power losses at every step of a stream and of a transmission: whatever the
// moment, a save whose sender saw it confirmed is whole after the restart,
// every save without its marker is whole, and forwarding carries on until
// the next relay holds it whole.
#include "relay/local_relay.h"

namespace tw {
namespace {

using CrashTest = RelayTest;

// Cuts a relay's power at the k-th change of a file under one repository,
// once armed; declared before the relays it watches.
class PowerCut {
 public:
  void Watch(LocalRelay& r) {
    r.hook = [this, &r](const std::string& op, const fs::path& p) {
      std::lock_guard l(m_);
      if (op != "lookup" && k_ > 0 && (p.string() + "/").find(needle_) != std::string::npos && ++count_ == k_) {
        fired_ = true;
        r.files->Crash();
      }
      return 0;
    };
  }
  void Arm(const std::string& repo, int k) {
    std::lock_guard l(m_);
    needle_ = "/" + repo + "/", k_ = k, count_ = 0, fired_ = false;
  }
  bool Fired(bool disarm = false) {  // since Arm
    std::lock_guard l(m_);
    if (disarm) k_ = 0;
    return fired_;
  }

 private:
  std::mutex m_;
  std::string needle_;
  int k_ = 0, count_ = 0;
  bool fired_ = false;
};

TEST_F(CrashTest, PowerLossAtEveryStepOfAStream) {
  PowerCut cut;
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");  // b never starts: every save waits with its record
  cut.Watch(a);
  a.clients = {&sender};
  Link(a, b, false);
  a.Start();
  const std::string data = Random(300000, 8);
  for (const bool dated : {false, true}) {
    for (int k = 1;; ++k) {
      const std::string repo = (dated ? "d" : "n") + std::to_string(k), save = dated ? Date() : "s";
      SCOPED_TRACE(repo);
      cut.Arm(repo, k);
      const std::string header = dated ? H(repo) : H(repo + " " + std::to_string(data.size()) + " s 0");
      const bool confirmed = SendStream(a.Port(), a.id, &sender, header + data) == End::Notify;
      const bool fired = cut.Fired(true);
      a.Crash();
      const bool pending = Exists(a.Marker(repo, save));
      const std::string held = Read(a.Save(repo, save));
      if (confirmed || (Exists(a.Save(repo, save)) && !pending)) {
        EXPECT_FALSE(pending);
        EXPECT_TRUE(held == data) << held.size() << " bytes held";
        EXPECT_TRUE(Exists(a.Record(repo, save)));
      } else {
        EXPECT_TRUE(data.compare(0, held.size(), held) == 0) << held.size() << " bytes held";
      }
      if (!fired) {
        EXPECT_TRUE(confirmed);
        break;
      }
      ASSERT_LT(k, 50);
    }
  }
}

// Each save is placed at a while it is stopped, and the power of one relay
// of the chain goes at the k-th step of its transmission, then once more
// after it was delivered.
TEST_F(CrashTest, PowerLossAtEitherEndOfATransmission) {
  const std::string data = Random(200000, 9);
  for (const bool at_sender : {true, false}) {
    SCOPED_TRACE(at_sender ? "the sending relay" : "the receiving relay");
    PowerCut cut;
    const fs::path base = dir / (at_sender ? "sending" : "receiving");
    LocalRelay a(base, "relay-a"), b(base, "relay-b");
    LocalRelay& crashed = at_sender ? a : b;
    Link(a, b, true);
    cut.Watch(crashed);
    b.Start();
    a.Start();
    for (int k = 1;; ++k) {
      const std::string repo = "t" + std::to_string(k);
      SCOPED_TRACE(repo);
      auto delivered = [&] {
        return !Exists(a.Record(repo, "s")) && !Exists(b.Marker(repo, "s")) && Read(b.Save(repo, "s")) == data;
      };
      a.Stop();
      a.Place(repo, "s", data);
      cut.Arm(repo, k);
      a.Start();
      ASSERT_TRUE(WaitFor([&] { return cut.Fired() || delivered(); }));
      const bool fired = cut.Fired(true);
      crashed.Crash();
      ASSERT_TRUE(WaitFor(delivered)) << "a: " << a.events.All() << "b: " << b.events.All();
      if (!fired) break;
      ASSERT_LT(k, 50);
    }
  }
}

}  // namespace
}  // namespace tw
