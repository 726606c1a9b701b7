// The rules a stream must follow to change a save, and what a failing disk
// leaves behind, driven by scripted streams on a real directory.
#include "reception/save_session.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <vector>

#include "fault_fs.h"
#include "service/event_log.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Status = StreamSource::Status;
using testing::FaultFs;

class Script final : public StreamSource {
 public:
  // Each string is one read; the stream then ends as end says.
  Script(std::vector<std::string> reads, Status end = Status::CloseNotify) : end_(end) {
    for (auto& r : reads) reads_.push_back(std::move(r));
  }
  Result Read(char* buf, std::size_t cap) override {
    if (reads_.empty()) return {end_, 0, end_ == Status::Error ? 5 : 0};
    std::string& r = reads_.front();
    std::size_t n = std::min(cap, r.size());
    std::copy(r.data(), r.data() + n, buf);
    r.erase(0, n);
    if (r.empty()) reads_.pop_front();
    return {Status::Data, n, 0};
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
  Status end_;
};

std::string H(const std::string& text) { return text + '\0'; }

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return "<absent>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

struct SaveSessionTest : ::testing::Test {
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("tw-save-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    previous_sink = SetEventSink([this](EventType t, std::string_view, std::string_view m) {
      (t == EventType::Error ? errors : infos) += std::string(m) + "\n";
    });
    hooks.record = [this](const std::string& r, const std::string& s) {
      records.push_back(r + "/" + s);
      return record_ok;
    };
    hooks.hand_off = [this](const std::string& r, const std::string& s) { hand_offs.push_back(r + "/" + s); };
    options.hooks = &hooks;
  }
  void TearDown() override {
    SetEventSink(previous_sink);
    fs::remove_all(root);
  }
  SessionOutcome Run(Script& s) { return SaveSession(s, root, options); }
  fs::path Save(const std::string& name) const { return root / "saves" / "projA" / name; }
  fs::path Marker(const std::string& name) const { return Save(name + "_pending"); }

  fs::path root;
  EventSink previous_sink;
  CompletionHooks hooks;
  SaveSessionOptions options;
  std::vector<std::string> records, hand_offs;
  bool record_ok = true;
  std::string errors, infos;
};

enum class Held { Absent, Pending, Complete };

TEST_F(SaveSessionTest, NamedStreamsFollowWhatTheRelayHolds) {
  const struct {
    const char* label;
    Held held;
    std::string bytes;  // what the relay holds of save "s"
    std::vector<std::string> reads;
    Status end;
    SessionOutcome outcome;
    std::string save, marker, answer;
    int hand_offs;
  } cases[] = {
      {"new save, whole", Held::Absent, "", {H("projA 5 s 0"), "hello"}, Status::CloseNotify,
       SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"0-byte save", Held::Absent, "", {H("projA 0 s 0")}, Status::CloseNotify,
       SessionOutcome::Stored, "", "<absent>", "", 1},
      {"resume where it stopped", Held::Pending, "hel", {H("projA 2 s 3") + "lo"}, Status::TcpClose,
       SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"resend of held bytes is compared, the rest appended", Held::Pending, "hel",
       {H("projA 4 s 1"), "el", "lo"}, Status::CloseNotify, SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"resent bytes that differ", Held::Pending, "hel", {H("projA 4 s 1"), "Xllo"}, Status::CloseNotify,
       SessionOutcome::Refused, "hel", "2", std::string("conflict") + '\0', 0},
      {"pending save larger than announced", Held::Pending, "hello!", {H("projA 4 s 1"), "ello"},
       Status::CloseNotify, SessionOutcome::Refused, "hello!", "2", std::string("conflict") + '\0', 0},
      {"gap", Held::Pending, "hel", {H("projA 2 s 5") + "!!"}, Status::CloseNotify,
       SessionOutcome::Refused, "hel", "2", std::string("have 3") + '\0', 0},
      {"gap on an absent save creates nothing", Held::Absent, "", {H("projA 2 s 9"), "!!"},
       Status::CloseNotify, SessionOutcome::Refused, "<absent>", "<absent>", std::string("have 0") + '\0', 0},
      {"short stream stays pending", Held::Absent, "", {H("projA 9 s 0"), "hel"}, Status::CloseNotify,
       SessionOutcome::Stored, "hel", "6", "", 0},
      {"cut stream keeps its bytes, pending, unconfirmed", Held::Absent, "", {H("projA 9 s 0"), "hel"},
       Status::Error, SessionOutcome::Failed, "hel", "6", "", 0},
      {"re-delivery to a complete save", Held::Complete, "hello", {H("projA 3 s 2"), "llo"},
       Status::CloseNotify, SessionOutcome::Stored, "hello", "<absent>", "", 0},
      {"re-delivery with other bytes", Held::Complete, "hello", {H("projA 3 s 2"), "lLo"},
       Status::CloseNotify, SessionOutcome::Refused, "hello", "<absent>", std::string("conflict") + '\0', 0},
      {"another size for a complete save", Held::Complete, "hello", {H("projA 4 s 2"), "llo!"},
       Status::CloseNotify, SessionOutcome::Refused, "hello", "<absent>", std::string("conflict") + '\0', 0},
      {"three fields, tail of a complete save", Held::Complete, "hello", {H("projA 2 s") + "lo"},
       Status::CloseNotify, SessionOutcome::Stored, "hello", "<absent>", "", 0},
      {"three fields never append to a complete save", Held::Complete, "hello", {H("projA 2 s"), "lo!"},
       Status::CloseNotify, SessionOutcome::Refused, "hello", "<absent>", std::string("conflict") + '\0', 0},
      {"three fields, more than a complete save holds", Held::Complete, "hello", {H("projA 6 s"), "hello!"},
       Status::CloseNotify, SessionOutcome::Refused, "hello", "<absent>", std::string("conflict") + '\0', 0},
      {"three fields append to a pending save", Held::Pending, "hel", {H("projA 2 s"), "lo"},
       Status::CloseNotify, SessionOutcome::Stored, "hello", "<absent>", "", 1},
      {"three fields, more than announced", Held::Pending, "hel", {H("projA 2 s"), "lo!"},
       Status::CloseNotify, SessionOutcome::Stored, "hello!", "-1", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(root / "saves");
    hand_offs.clear();
    if (c.held != Held::Absent) Write(Save("s"), c.bytes);
    if (c.held == Held::Pending) Write(Marker("s"), "2");
    Script script(c.reads, c.end);
    EXPECT_EQ(Run(script), c.outcome);
    EXPECT_EQ(Read(Save("s")), c.save);
    EXPECT_EQ(Read(Marker("s")), c.marker);
    EXPECT_EQ(script.answer, c.answer);
    EXPECT_EQ(script.discards, c.answer.empty() ? 0 : 1);
    EXPECT_EQ(static_cast<int>(hand_offs.size()), c.hand_offs);
  }
  EXPECT_NE(errors.find("conflict: a stream from 192.0.2.7 for saves/projA/s"), std::string::npos) << errors;
}

TEST_F(SaveSessionTest, HeadersAcrossReadsAndRefusedHeaders) {
  // The header may come in pieces; only its NUL ends it.
  Script split({"proj", "A 5 s 0", std::string("\0he", 3), "llo"});
  EXPECT_EQ(Run(split), SessionOutcome::Stored);
  EXPECT_EQ(Read(Save("s")), "hello");

  // Refused streams create nothing at all.
  fs::remove_all(root / "saves");
  Script no_nul({std::string(1500, 'a'), std::string(1500, 'b'), "\0x"});
  EXPECT_EQ(Run(no_nul), SessionOutcome::Refused);
  Script ended_early({"projA 5 s"});
  EXPECT_EQ(Run(ended_early), SessionOutcome::Refused);
  Script bad_name({H("projA 1 CON.txt"), "x"});
  EXPECT_EQ(Run(bad_name), SessionOutcome::Refused);
  Script silent({});
  EXPECT_EQ(Run(silent), SessionOutcome::Empty);
  EXPECT_FALSE(fs::exists(root / "saves"));
  EXPECT_NE(errors.find("wrong format failed with -1"), std::string::npos) << errors;
  EXPECT_NE(errors.find("invalid save_name failed with 0"), std::string::npos) << errors;
}

TEST_F(SaveSessionTest, OneFieldStreamsAndHowTheyEnd) {
  Script proper({H("projA") + "abc"});
  EXPECT_EQ(Run(proper), SessionOutcome::Stored);
  const std::string date = hand_offs.at(0).substr(6);
  EXPECT_EQ(Read(Save(date)), "abc");
  EXPECT_EQ(Read(Marker(date)), "<absent>");

  // A plain TCP close completes it, but says so.
  Script plain({H("projA"), "def"}, Status::TcpClose);
  EXPECT_EQ(Run(plain), SessionOutcome::Stored);
  EXPECT_EQ(Read(Save(date + "_1")), "def");
  EXPECT_NE(infos.find("saves/projA/" + date + "_1 from 192.0.2.7 ended without close_notify"),
            std::string::npos) << infos;

  // Where close_notify is required, it stays pending and is not confirmed;
  // a cut stream always does. Their markers make the next names taken.
  options.require_close_notify = true;
  Script plain2({H("projA"), "ghi"}, Status::TcpClose);
  EXPECT_EQ(Run(plain2), SessionOutcome::Failed);
  EXPECT_EQ(Read(Marker(date + "_2")), "0");
  Script cut({H("projA"), "jkl"}, Status::Error);
  EXPECT_EQ(Run(cut), SessionOutcome::Failed);
  EXPECT_EQ(Read(Save(date + "_3")), "jkl");
  EXPECT_EQ(Read(Marker(date + "_3")), "0");
  EXPECT_EQ(hand_offs.size(), 2u);
}

// Whatever the moment of a crash, an unfinished save has its marker: the
// marker is on disk before the save's first byte, and leaves only after the
// save's bytes and its forwarding record are.
TEST_F(SaveSessionTest, MarkerFirstAndRecordBeforeTheMarkerGoes) {
  FaultFs faults;
  std::vector<std::string> order;
  faults.observe = [&](const std::string& op, const fs::path& p) {
    const std::string name = p.filename().string();
    if (op == "write" && name.find('.') == std::string::npos && name.find("_pending") == std::string::npos &&
        order.empty()) {
      order.push_back("first write, marker " + std::string(fs::exists(p.string() + "_pending") ? "there" : "missing"));
    }
    if (op == "sync" && p.parent_path().filename() == "projA") order.push_back("sync save");
    if (op == "remove" && name.ends_with("_pending")) order.push_back("remove marker");
  };
  hooks.record = [&](const std::string&, const std::string&) {
    order.push_back("record");
    return true;
  };
  const std::vector<std::vector<std::string>> streams = {
      {H("projA"), "abc"}, {H("projA 3 t"), "abc"}, {H("projA 3 u 0"), "abc"}};
  for (const auto& reads : streams) {
    order.clear();
    Script s(reads);
    EXPECT_EQ(Run(s), SessionOutcome::Stored);
    EXPECT_EQ(order, (std::vector<std::string>{"first write, marker there", "sync save", "record",
                                               "remove marker"}))
        << reads[0];
  }
}

TEST_F(SaveSessionTest, DiskTroubleLeavesThePendingSaveAndTheNextStreamCarriesOn) {
  FaultFs faults;
  const std::string data(100000, 'x');
  // Full disk in the middle of a save.
  faults.write_budget = 70000;
  Script full({H("projA 100000 s 0"), data});
  EXPECT_EQ(Run(full), SessionOutcome::Failed);
  EXPECT_EQ(Read(Marker("s")), "100000");  // the marker it got before the first byte
  EXPECT_NE(errors.find("fwrite(s) failed with 28"), std::string::npos) << errors;
  EXPECT_NE(errors.find("cannot store saves/projA/s: "), std::string::npos) << errors;
  EXPECT_TRUE(hand_offs.empty());
  const auto held = static_cast<std::int64_t>(fs::file_size(Save("s")));
  EXPECT_GT(held, 0);
  EXPECT_LT(held, 70000);

  // Space is back: the sender resumes at what is held.
  faults.Clear();
  Script resume({H("projA " + std::to_string(100000 - held) + " s " + std::to_string(held)),
                 data.substr(static_cast<std::size_t>(held))});
  EXPECT_EQ(Run(resume), SessionOutcome::Stored);
  EXPECT_EQ(Read(Save("s")), data);
  EXPECT_EQ(Read(Marker("s")), "<absent>");

  // A failing sync: nothing is confirmed that may not be on disk.
  faults.sync_error = EIO;
  faults.sync_match = "saves";
  Script unsynced({H("projA 3 t 0"), "abc"});
  EXPECT_EQ(Run(unsynced), SessionOutcome::Failed);
  // All bytes came, none is known to be on disk: the save is cut back to
  // what the last stream synced, and all 3 are owed again.
  EXPECT_EQ(Read(Marker("t")), "3");
  EXPECT_EQ(Read(Save("t")), "");

  // A marker that cannot be written: the save is not even begun.
  faults.Clear();
  faults.rename_error = ENOSPC;
  Script no_marker({H("projA 3 u 0"), "abc"});
  EXPECT_EQ(Run(no_marker), SessionOutcome::Failed);
  EXPECT_FALSE(fs::exists(Save("u")));

  // Out of descriptors while opening the save.
  faults.Clear();
  faults.open_error = EMFILE;
  faults.open_match = "saves";
  Script no_fd({H("projA 3 t 0"), "abc"});
  EXPECT_EQ(Run(no_fd), SessionOutcome::Failed);
  EXPECT_EQ(Read(Marker("t")), "3");

  // A forwarding record that cannot be made keeps the save pending.
  faults.Clear();
  record_ok = false;
  Script unrecorded({H("projA 3 t 0"), "abc"});
  EXPECT_EQ(Run(unrecorded), SessionOutcome::Failed);
  EXPECT_TRUE(fs::exists(Marker("t")));
  EXPECT_TRUE(hand_offs.size() == 1u);  // only the resumed save s
  record_ok = true;
  Script again({H("projA 3 t 0"), "abc"});
  EXPECT_EQ(Run(again), SessionOutcome::Stored);
  EXPECT_EQ(Read(Save("t")), "abc");
  EXPECT_EQ(Read(Marker("t")), "<absent>");
}

// A directory that cannot be looked at for a while (EACCES, EIO, a flaky
// share) is not an absent one: nothing is created or removed, the stream
// is not confirmed, and once the fault clears the same stream goes through.
TEST_F(SaveSessionTest, PassingLookupErrorsChangeNothingAndTheRetryStores) {
  Write(Save("p"), "hel");
  Write(Marker("p"), "2");
  FaultFs faults;
  for (const int error : {EACCES, EIO}) {
    SCOPED_TRACE(error);
    faults.lookup_error = error;
    faults.lookup_match = "projA";
    Script resume({H("projA 2 p 3") + "lo"});
    EXPECT_EQ(Run(resume), SessionOutcome::Failed);
    Script dated({H("projA"), "new"});
    EXPECT_EQ(Run(dated), SessionOutcome::Failed);
    EXPECT_EQ(Read(Save("p")), "hel");
    EXPECT_EQ(Read(Marker("p")), "2");
    EXPECT_EQ(std::distance(fs::directory_iterator(Save("p").parent_path()), fs::directory_iterator()), 2);
    EXPECT_TRUE(hand_offs.empty());
  }
  faults.Clear();
  Script resume({H("projA 2 p 3") + "lo"});
  EXPECT_EQ(Run(resume), SessionOutcome::Stored);
  EXPECT_EQ(Read(Save("p")), "hello");
  EXPECT_EQ(hand_offs, std::vector<std::string>{"projA/p"});
}

// What a stream that is refused leaves: nothing, not even a folder.
TEST_F(SaveSessionTest, RefusedStreamsCreateNoFolder) {
  Script anonymous({H("newrepo 3 x 0") + "abc"});
  anonymous.certified = false;
  EXPECT_EQ(Run(anonymous), SessionOutcome::Refused);
  Script gap({H("newrepo 3 x 5") + "abc"});
  EXPECT_EQ(Run(gap), SessionOutcome::Refused);
  EXPECT_EQ(gap.answer, H("have 0"));
  EXPECT_FALSE(fs::exists(root / "saves"));
}

// Date names: a name freed since is given again, a busy day goes on from
// the last _n given, and a relay that takes forwarded saves adds its own
// name, so that a one-field stream there can never take a name an upstream
// relay sends. Names as long as the rules allow are stored whole, their
// temporary files included.
TEST_F(SaveSessionTest, DateNamesAndLongNames) {
  auto dated = [&](const std::string& repo) {
    Script s({H(repo), "x"});
    EXPECT_EQ(Run(s), SessionOutcome::Stored);
  };
  for (int i = 0; i < 3; ++i) dated("projA");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root / "saves" / "projA")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 3u);
  const std::string date = names[0];
  EXPECT_EQ(names, (std::vector<std::string>{date, date + "_1", date + "_2"}));
  fs::remove(Save(date));
  dated("projA");
  EXPECT_TRUE(fs::exists(Save(date)));
  fs::remove(Save(date + "_1"));
  dated("projA");  // the count goes on from _2
  EXPECT_TRUE(fs::exists(Save(date + "_3")));

  options.date_name_suffix = ".relay-b";
  dated("projA");
  dated("projA");
  EXPECT_TRUE(fs::exists(Save(date + ".relay-b")));
  EXPECT_TRUE(fs::exists(Save(date + "_1.relay-b")));

  const std::string longest(255 - 8, 'n');
  Script named({H("projA 3 " + longest + " 0") + "abc"});
  EXPECT_EQ(Run(named), SessionOutcome::Stored) << errors;
  EXPECT_EQ(Read(Save(longest)), "abc");
  Script partial({H("projA 9 " + longest.substr(1) + "m 0") + "abc"});
  EXPECT_EQ(Run(partial), SessionOutcome::Stored) << errors;
  EXPECT_EQ(Read(Marker(longest.substr(1) + "m")), "6");
}

}  // namespace
}  // namespace tarnwick
