// The rules a stream must follow to change a save, and what a failing disk
// leaves behind, driven by scripted streams on a real directory.
#include "reception/save_session.h"

#include "base/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "support/fault_fs.h"
#include "support/net.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Ev = StreamSource::Event;
using tw::H;

class Script final : public StreamSource {
 public:
  // Each string is one read; the stream then ends as end says.
  Script(std::vector<std::string> reads, Ev end = Ev::CloseNotify) : reads_(reads.begin(), reads.end()), end_(end) {}
  Result Read(char* buf, std::size_t cap) override {
    if (reads_.empty()) return {end_, 0, end_ == Ev::Error ? 5 : 0};
    std::string& r = reads_.front();
    const std::size_t n = std::min(cap, r.size());
    std::copy(r.data(), r.data() + n, buf);
    r.erase(0, n);
    if (r.empty()) reads_.pop_front();
    return {Ev::Data, n, 0};
  }
  void Answer(std::string_view text) override { answer += text; }
  void Discard(int) override { ++discards; }
  std::string Peer() const override { return "192.0.2.7"; }
  bool Certified() const override { return certified; }

  std::string answer;
  bool certified = true;
  int discards = 0;

 private:
  std::deque<std::string> reads_;
  Ev end_;
};

std::string Held(const fs::path& p) { return tw::Exists(p) ? tw::Read(p) : "<absent>"; }

struct SaveSessionTest : ::testing::Test {
  SaveSessionTest() {
    hooks.record = [this](const std::string&, const std::string&) { return record_status; };
    hooks.hand_off = [this](const std::string& r, const std::string& s) { hand_offs.push_back(r + "/" + s); };
    options.hooks = &hooks;
    options.counters = &counters;
  }
  ~SaveSessionTest() override { fs::remove_all(dir); }
  SessionOutcome Run(Script& s) { return SaveSession(s, root, claims, log, options); }
  SessionOutcome Run(std::vector<std::string> reads, Ev end = Ev::CloseNotify) {
    Script s(std::move(reads), end);
    const SessionOutcome o = Run(s);
    answer = s.answer;
    return o;
  }
  fs::path Save(const std::string& name) const { return dir / "saves" / "projA" / name; }
  fs::path Marker(const std::string& name) const { return Save(name + "_pending"); }

  fs::path dir = tw::TestDir("save");
  tw::FaultFs files;
  BackupRoot root{dir, files};
  SaveClaims claims;
  std::string entries;
  EventLog log{[this](EventType, std::string_view m) { entries += std::string(m) + "\n"; }};
  CompletionHooks hooks;
  SaveSessionOptions options;
  RelayCounters counters;
  std::vector<std::string> hand_offs;
  Status record_status;
  std::string answer;  // what the last Run({...}) told its sender
};

enum class Had { Absent, Pending, Complete };

TEST_F(SaveSessionTest, NamedStreamsFollowWhatTheRelayHolds) {
  const std::string conflict = H("conflict");
  const struct {
    const char* label;
    Had had;
    std::string bytes;  // what the relay holds of save "s"
    std::vector<std::string> reads;
    Ev end;
    SessionOutcome outcome;
    std::string save, marker, answer;
    int hand_offs;
  } cases[] = {
      {"new save, whole", Had::Absent, "", {H("projA 5 s 0"), "hello"}, Ev::CloseNotify, SessionOutcome::Stored,
       "hello", "<absent>", "", 1},
      {"header in pieces", Had::Absent, "", {"proj", "A 5 s 0", std::string("\0he", 3), "llo"}, Ev::CloseNotify,
       SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"resume where it stopped", Had::Pending, "hel", {H("projA 2 s 3") + "lo"}, Ev::TcpClose,
       SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"resent bytes compared, the rest appended", Had::Pending, "hel", {H("projA 4 s 1"), "el", "lo"},
       Ev::CloseNotify, SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"resent bytes that differ", Had::Pending, "hel", {H("projA 4 s 1"), "Xllo"}, Ev::CloseNotify,
       SessionOutcome::Refused, "hel", "2", conflict, 0},
      {"pending save larger than announced", Had::Pending, "hello!", {H("projA 4 s 1"), "ello"}, Ev::CloseNotify,
       SessionOutcome::Refused, "hello!", "2", conflict, 0},
      {"gap", Had::Pending, "hel", {H("projA 2 s 5") + "!!"}, Ev::CloseNotify, SessionOutcome::Refused, "hel", "2",
       H("have 3"), 0},
      {"short stream stays pending", Had::Absent, "", {H("projA 9 s 0"), "hel"}, Ev::CloseNotify,
       SessionOutcome::Stored, "hel", "6", "", 0},
      {"cut stream keeps its bytes, unconfirmed", Had::Absent, "", {H("projA 9 s 0"), "hel"}, Ev::Error,
       SessionOutcome::Failed, "hel", "6", "", 0},
      {"re-delivery to a complete save", Had::Complete, "hello", {H("projA 3 s 2"), "llo"}, Ev::CloseNotify,
       SessionOutcome::Stored, "hello", "<absent>", "", 0},
      {"re-delivery with other bytes", Had::Complete, "hello", {H("projA 3 s 2"), "lLo"}, Ev::CloseNotify,
       SessionOutcome::Refused, "hello", "<absent>", conflict, 0},
      {"another size for a complete save", Had::Complete, "hello", {H("projA 4 s 2"), "llo!"}, Ev::CloseNotify,
       SessionOutcome::Refused, "hello", "<absent>", conflict, 0},
      {"three fields never append to a complete save", Had::Complete, "hello", {H("projA 2 s"), "lo!"},
       Ev::CloseNotify, SessionOutcome::Refused, "hello", "<absent>", conflict, 0},
      {"three fields append to a pending save", Had::Pending, "hel", {H("projA 2 s"), "lo"}, Ev::CloseNotify,
       SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"three fields, more than announced", Had::Pending, "hel", {H("projA 2 s"), "lo!"}, Ev::CloseNotify,
       SessionOutcome::Stored, "hello!", "-1", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(dir / "saves");
    fs::remove_all(dir / "ids");
    hand_offs.clear();
    if (c.had != Had::Absent) tw::Write(Save("s"), c.bytes);
    if (c.had == Had::Pending) tw::Write(Marker("s"), "2");
    Script script(c.reads, c.end);
    const std::uint64_t received = counters.bytes_received;
    EXPECT_EQ(Run(script), c.outcome);
    EXPECT_EQ(Held(Save("s")), c.save);
    EXPECT_EQ(counters.bytes_received - received, c.save.size() - c.bytes.size()) << "bytes counted as written";
    EXPECT_EQ(Held(Marker("s")), c.marker);
    EXPECT_EQ(script.answer, c.answer);
    EXPECT_EQ(script.discards, c.answer.empty() ? 0 : 1);
    EXPECT_EQ(static_cast<int>(hand_offs.size()), c.hand_offs);
  }
}

// A refused stream leaves nothing behind, not even a folder.
TEST_F(SaveSessionTest, RefusalsCreateNothing) {
  Script no_nul({std::string(1500, 'a'), std::string(1500, 'b'), "\0x"});
  Script ended_early({"projA 5 s"});
  Script bad_name({H("projA 1 CON.txt"), "x"});
  Script anonymous({H("newrepo 3 x 0") + "abc"});
  anonymous.certified = false;
  for (Script* s : {&no_nul, &ended_early, &bad_name, &anonymous}) EXPECT_EQ(Run(*s), SessionOutcome::Refused);
  EXPECT_EQ(Run({}), SessionOutcome::Empty);
  EXPECT_FALSE(fs::exists(dir / "saves"));
}

// A one-field header names the save by date. A TCP close completes it
// unless close_notify is required, a cut stream never does, and markers
// keep the names taken. A name freed since is given again, a busy day goes
// on from the last _n given, and a relay that takes forwarded saves adds
// its own name.
TEST_F(SaveSessionTest, DateNamesAndLongNames) {
  const std::string date = tw::Date();
  EXPECT_EQ(Run({H("projA"), "abc"}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save(date)), "abc");
  EXPECT_EQ(Held(Marker(date)), "<absent>");
  EXPECT_EQ(Run({H("projA"), "def"}, Ev::TcpClose), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save(date + "_1")), "def");
  options.require_close_notify = true;
  EXPECT_EQ(Run({H("projA"), "ghi"}, Ev::TcpClose), SessionOutcome::Failed);
  EXPECT_EQ(Held(Marker(date + "_2")), "0");
  EXPECT_EQ(Run({H("projA"), "jkl"}, Ev::Error), SessionOutcome::Failed);
  EXPECT_EQ(Held(Save(date + "_3")), "jkl");
  EXPECT_EQ(Held(Marker(date + "_3")), "0");
  EXPECT_EQ(hand_offs.size(), 2u);

  fs::remove(Save(date));
  fs::remove(Save(date + "_1"));
  EXPECT_EQ(Run({H("projA"), "x"}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save(date)), "x");
  EXPECT_EQ(Run({H("projA"), "y"}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save(date + "_4")), "y");
  options.date_name_suffix = ".relay-b";
  Run({H("projA"), "x"});
  Run({H("projA"), "y"});
  EXPECT_EQ(Held(Save(date + ".relay-b")), "x");
  EXPECT_EQ(Held(Save(date + "_1.relay-b")), "y");

  const std::string longest(255 - 8, 'n');  // the longest name the rules allow
  EXPECT_EQ(Run({H("projA 3 " + longest + " 0") + "abc"}), SessionOutcome::Stored) << entries;
  EXPECT_EQ(Held(Save(longest)), "abc");
}

// Whatever the moment of a crash, an unfinished save has its marker: it is
// on disk before the save's first byte, and leaves only after the save's
// bytes and its forwarding record are.
TEST_F(SaveSessionTest, MarkerFirstAndRecordBeforeTheMarkerGoes) {
  std::vector<std::string> order;
  files.hook = [&](const std::string& op, const fs::path& p) {
    const std::string name = p.filename().string();
    if (op == "write" && name.find('.') == std::string::npos && order.empty())
      order.push_back(fs::exists(p.string() + "_pending") ? "first write, marker there" : "first write, no marker");
    if (op == "sync" && p.parent_path().filename() == "projA") order.push_back("sync save");
    if (op == "remove" && name.ends_with("_pending")) order.push_back("remove marker");
    return 0;
  };
  hooks.record = [&](const std::string&, const std::string&) {
    order.push_back("record");
    return Status::Ok();
  };
  for (const std::string& header : {H("projA"), H("projA 3 t"), H("projA 3 u 0")}) {
    order.clear();
    EXPECT_EQ(Run({header, "abc"}), SessionOutcome::Stored);
    EXPECT_EQ(order, (std::vector<std::string>{"first write, marker there", "sync save", "record", "remove marker"}))
        << header;
  }
}

TEST_F(SaveSessionTest, DiskTroubleLeavesThePendingSaveAndTheNextStreamCarriesOn) {
  const std::string data(100000, 'x');
  files.hook = [](const std::string& op, const fs::path& p) {
    return op == "write" && p.filename() == "s" && tw::SizeOf(p) > 0 ? ENOSPC : 0;  // full after one piece
  };
  EXPECT_EQ(Run({H("projA 100000 s 0"), data.substr(0, 60000), data.substr(60000)}), SessionOutcome::Failed);
  EXPECT_EQ(Held(Marker("s")), "40000");  // the bytes still missing
  EXPECT_NE(entries.find("cannot store saves/projA/s"), std::string::npos) << entries;
  EXPECT_EQ(tw::SizeOf(Save("s")), 60000);
  // Space is back: the sender resumes at what is held.
  files.hook = nullptr;
  EXPECT_EQ(Run({H("projA 40000 s 60000"), data.substr(60000)}), SessionOutcome::Stored);
  EXPECT_TRUE(Held(Save("s")) == data);
  EXPECT_EQ(Held(Marker("s")), "<absent>");

  // The save's sync fails once: the bytes of this stream may not be on
  // disk, so the save goes back to what the previous stream synced.
  tw::Write(Save("t"), "hel");
  tw::Write(Marker("t"), "2");
  int syncs = 0;
  files.hook = [&](const std::string& op, const fs::path& p) {
    // The first sync records the hash of what the resume found; the second
    // is the stream's own.
    return op == "sync" && p.filename() == "t" && ++syncs == 2 ? EIO : 0;
  };
  EXPECT_EQ(Run({H("projA 2 t 3"), "lo"}), SessionOutcome::Failed);
  EXPECT_EQ(answer, H("refused failed: cannot store saves/projA/t: " + std::string(std::strerror(EIO))));
  EXPECT_EQ(Held(Save("t")), "hel");
  EXPECT_EQ(Held(Marker("t")), "2");
  // A stream that broke off has nobody to tell, whatever fails after.
  files.hook = [](const std::string& op, const fs::path& p) { return op == "sync" && p.filename() == "v" ? EIO : 0; };
  EXPECT_EQ(Run({H("projA 3 v 0"), "a"}, Ev::Error), SessionOutcome::Failed);
  EXPECT_NE(entries.find("cannot store saves/projA/v"), std::string::npos) << entries;
  EXPECT_EQ(answer, "");

  // A marker that cannot be written: the save is not even begun.
  files.hook = [](const std::string& op, const fs::path&) { return op == "rename" ? ENOSPC : 0; };
  EXPECT_EQ(Run({H("projA 3 u 0"), "abc"}), SessionOutcome::Failed);
  EXPECT_FALSE(fs::exists(Save("u")));

  // Out of descriptors while opening the save.
  files.hook = [](const std::string& op, const fs::path& p) {
    return op == "open" && p.filename() == "t" ? EMFILE : 0;
  };
  EXPECT_EQ(Run({H("projA 2 t 3"), "lo"}), SessionOutcome::Failed);
  EXPECT_EQ(Held(Marker("t")), "2");

  // A forwarding record that cannot be made keeps the save pending, and
  // the same stream goes through once it can.
  files.hook = nullptr;
  record_status = Status::Error(Status::Kind::kNoSpace, "disk full");
  EXPECT_EQ(Run({H("projA 2 t 3"), "lo"}), SessionOutcome::Failed);
  EXPECT_TRUE(fs::exists(Marker("t")));
  record_status = Status::Ok();
  EXPECT_EQ(Run({H("projA 2 t 3"), "lo"}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save("t")), "hello");
  EXPECT_EQ(Held(Marker("t")), "<absent>");
  EXPECT_EQ(hand_offs, (std::vector<std::string>{"projA/s", "projA/t"}));
}

// A folder that cannot be looked at for a while (EACCES, EIO) is not an
// absent one: nothing is created or removed, the stream is not confirmed,
// and once the fault clears the same stream goes through.
TEST_F(SaveSessionTest, PassingLookupErrorsChangeNothingAndTheRetryStores) {
  tw::Write(Save("p"), "hel");
  tw::Write(Marker("p"), "2");
  for (const int error : {EACCES, EIO}) {
    SCOPED_TRACE(error);
    files.hook = [error](const std::string& op, const fs::path& p) {
      const bool lookup = op == "lookup" || op == "open";
      return lookup && p.string().find("projA") != std::string::npos ? error : 0;
    };
    EXPECT_EQ(Run({H("projA 2 p 3") + "lo"}), SessionOutcome::Failed);
    EXPECT_EQ(Run({H("projA"), "new"}), SessionOutcome::Failed);
    EXPECT_EQ(tw::Files(dir / "saves"), (std::vector<std::string>{"projA/p", "projA/p_pending"}));
    EXPECT_EQ(Held(Save("p")), "hel");
    EXPECT_EQ(Held(Marker("p")), "2");
    EXPECT_TRUE(hand_offs.empty());
  }
  files.hook = nullptr;
  EXPECT_EQ(Run({H("projA 2 p 3") + "lo"}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save("p")), "hello");
  EXPECT_EQ(hand_offs, std::vector<std::string>{"projA/p"});
}

std::string Sha(std::string_view bytes) {
  Sha256 h;
  h.Update(bytes.data(), bytes.size());
  return h.HexDigest();
}

// A pending save is bound to the identity it was started with, the whole
// copy is checked against it before any confirmation, and a resume starts
// from the last checkpoint, not from whatever size the file shows.
TEST_F(SaveSessionTest, IdentitiesBindVerifyAndCheckpointSaves) {
  const std::string y(1000, 'Y'), x(1000, 'X');
  const auto header = [](int count, int offset, const std::string& digest) {
    return H("projA " + std::to_string(count) + " s " + std::to_string(offset) + " sha256:" + digest);
  };
  // The splice: 400 bytes of Y, then a writer of X asked to resume.
  EXPECT_EQ(Run({header(1000, 0, Sha(y)), y.substr(0, 400)}), SessionOutcome::Stored);
  for (const auto& [count, offset] : {std::pair{500, 500}, std::pair{600, 400}}) {
    Script other({header(count, offset, Sha(x)), x.substr(offset)});
    EXPECT_EQ(Run(other), SessionOutcome::Refused);
    EXPECT_EQ(other.answer, H("conflict"));
  }
  EXPECT_NE(entries.find(Sha(x)), std::string::npos);
  EXPECT_EQ(Held(Save("s")), y.substr(0, 400));

  // Bytes past the checkpoint (written, never synced) do not count.
  tw::Write(Save("s"), y.substr(0, 400) + "garbage");
  Script resume({header(593, 407, Sha(y)), y.substr(407)});
  EXPECT_EQ(Run(resume), SessionOutcome::Refused);
  EXPECT_EQ(resume.answer, H("have 400 sha256:" + Sha(y)));
  EXPECT_EQ(Held(Save("s")), y.substr(0, 400));

  // A stream whose bytes do not make the declared save: never confirmed,
  // its bytes kept aside, the save owed again from byte 0.
  Script wrong({header(600, 400, Sha(y)), x.substr(400)});
  EXPECT_EQ(Run(wrong), SessionOutcome::Refused);
  EXPECT_EQ(wrong.answer, H("mismatch sha256:" + Sha(y.substr(0, 400) + x.substr(400))));
  EXPECT_EQ(Held(Save("s")), "<absent>");
  EXPECT_EQ(Held(Marker("s")), "1000");
  EXPECT_EQ(tw::Files(dir / "aside" / "projA").size(), 1u);
  EXPECT_TRUE(hand_offs.empty());

  EXPECT_EQ(Run({header(1000, 0, Sha(y)), y}), SessionOutcome::Stored);
  EXPECT_EQ(Held(Save("s")), y);
  SaveIdentity id;
  ASSERT_TRUE(root.ReadIdentity("projA", "s", id).ok());
  EXPECT_EQ(id.digest, Sha(y));
  EXPECT_TRUE(id.declared);
  // Asked what it holds, the relay says it is all here.
  Script probe({header(0, 1000, Sha(y))});
  EXPECT_EQ(Run(probe), SessionOutcome::Stored);
  EXPECT_EQ(probe.answer, H("have 1000 sha256:" + Sha(y)));

  // Without a declared identity the relay computes one and says so.
  EXPECT_EQ(Run({H("projA 5 t 0"), "hello"}), SessionOutcome::Stored);
  ASSERT_TRUE(root.ReadIdentity("projA", "t", id).ok());
  EXPECT_EQ(id.digest, Sha("hello"));
  EXPECT_FALSE(id.declared);
}

}  // namespace
}  // namespace tarnwick
