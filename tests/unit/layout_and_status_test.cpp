// What lies on the wire and under the backup root (the stream header, the
// names it may carry, toforward's lines, the forwarding records and the
// transmitter's state file) and what `tarnwick status` shows of it. The
// round trips are the fuzz properties', run here over the fuzzers' corpus.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "forwarding/transmitter_state.h"
#include "fuzz/fuzz_properties.h"
#include "layout/backup_root.h"
#include "platform/platform.h"
#include "service/metrics.h"
#include "service/status/status_view.h"
#include "support/net.h"

namespace tarnwick {
namespace {

using Form = StreamHeader::Form;
using FileStatus = TransmitterState::FileStatus;
using nlohmann::json;
using namespace std::string_literals;
using tw::H;


std::vector<std::string> Corpus(const char* target) {
  std::vector<std::string> inputs;
  for (const auto& entry : tw::fs::directory_iterator(tw::fs::path(TARNWICK_FUZZ_CORPUS) / target))
    inputs.push_back(tw::Read(entry.path()));
  return inputs;
}

// The ordinary build keeps every input the fuzzers ever found interesting.
TEST(FuzzCorpus, EveryInputKeepsTheProperties) {
  const struct { const char* target; std::string (*check)(std::string_view); } targets[] = {
      {"stream_header", fuzz::CheckStreamHeader}, {"settings", fuzz::CheckSettings},
      {"forward_queue", fuzz::CheckForwardFiles}};
  for (const auto& t : targets) {
    const std::vector<std::string> inputs = Corpus(t.target);
    EXPECT_GE(inputs.size(), 10u) << t.target << ": a corpus gone missing would pass on nothing";
    for (const std::string& input : inputs)
      EXPECT_EQ(t.check(input), "") << t.target << ": \"" << EscapeControl(input.substr(0, 80), {.utf8 = true}) << '"';
  }
  // Every key of the table set somewhere, so that each reader runs.
  std::set<const KnownSetting*> unset;
  for (const KnownSetting& k : KnownSettings()) unset.insert(&k);
  for (const std::string& input : Corpus("settings"))
    std::erase_if(unset, [ini = IniFile::Parse(input)](const KnownSetting* k) {
      return ini.Value(k->section, k->key).has_value();
    });
  for (const KnownSetting* k : unset) ADD_FAILURE() << "no input sets [" << k->section << "] " << k->key;
}

TEST(StreamHeader, WellFormedHeadersAndMalformedOnesSayWhy) {
  const std::string r247(247, 'r'), s247(247, 's');
  const struct { std::string read; Form form; std::string repo, save; std::int64_t count, offset = 0; } good[] = {
      {H("projA 4000 2024-05-01 1000"), Form::FourField, "projA", "2024-05-01", 4000, 1000},
      {H("projA"), Form::OneField, "projA", "", 0}, {H("projA word"), Form::OneField, "projA", "", 0},
      {H("projA 100 2024-05-01"), Form::ThreeField, "projA", "2024-05-01", 100},
      {H("p 4294967296 s 4294967296"), Form::FourField, "p", "s", 4294967296LL, 4294967296LL},
      {H("projA 1 s junk 5"), Form::ThreeField, "projA", "s", 1},  // a fourth word is ignored
      {H("\t\n projA\v\f\r100 \t save \n"), Form::ThreeField, "projA", "save", 100},
      {H(r247 + " 42 " + s247), Form::ThreeField, r247, s247, 42}, {H("projA -0 s"), Form::ThreeField, "projA", "s", 0},
      {H("projA +5 s 7"), Form::FourField, "projA", "s", 5, 7},  // a count reads like %d
      {H("projA 12abc"), Form::ThreeField, "projA", "abc", 12}};  // the count ends at its last digit
  for (const auto& c : good) {
    const StreamHeader h = ParseStreamHeader(c.read);
    EXPECT_EQ(std::tie(h.form, h.repo, h.count, h.save, h.offset), std::tie(c.form, c.repo, c.count, c.save, c.offset))
        << EscapeControl(c.read);
  }
  const struct { std::string read, error; long long code; } bad[] = {
      {"projA 100 save", "wrong format", -1}, {H(""), "wrong format", 0}, {H("projA 100"), "wrong format", 2},
      {H("projA -5 x"), "wrong format", 3}, {H("projA 9223372036854775808 x"), "wrong format", 3},
      // A 450-character run ends its field: the digits after it are a count.
      {H(std::string(450, 'a') + "123"), "wrong format", 2},
      {H(std::string(248, 'r') + " 1 s"), "invalid repo_name", 0}, {H("a/b 1 s"), "invalid repo_name", 0},
      {H("projA 1 x_pending"), "invalid save_name", 0}, {H("projA 1 NUL.txt 0"), "invalid save_name", 0},
      {H("projA 1 s -1"), "wrong format", 4}, {H("projA 1 s +1"), "wrong format", 4},
      {H("projA 1 s 12x"), "wrong format", 4}, {H("projA 9223372036854775807 s 1"), "wrong format", 4}};
  for (const auto& c : bad) {
    const StreamHeader h = ParseStreamHeader(c.read);
    EXPECT_EQ(std::tie(h.form, h.error, h.error_code), std::make_tuple(Form::Malformed, c.error, c.code))
        << EscapeControl(c.read.substr(0, 40));
  }
}

TEST(StreamHeader, NamesUsableOnEveryPlatformOfAChain) {
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

TEST(Records, QueueLinesAndRecordsReadAsTheRelayHasAlwaysRead) {
  EXPECT_EQ(ParseQueueLine("  projA   2024-05-01 \r"), (QueueEntry{"projA", "2024-05-01"}));
  // Unsafe names are the fuzz corpus's, but for devices.
  for (const char* bad : {"", "projA", "a b c", "projA\tCOM1", "AUX\tx"})
    EXPECT_FALSE(ParseQueueLine(bad)) << bad;
  const struct { const char* text; ForwardRecord r; } cases[] = {
      {"1000", {1000, false}}, {"+5", {5, false}}, {"", {0, false}}, {"garbage", {0, false}}, {"-5", {0, false}},
      {"99999999999999999999", {0, false}}, {" 4294967296\n", {4294967296LL, false}},
      {"1000 conflict", {1000, true}}, {"conflict", {0, true}}, {"12conflicting", {12, true}},
      {"7 other", {7, false}}, {"7 x conflict", {7, false}}};
  for (const auto& c : cases) EXPECT_EQ(ParseRecord(c.text), c.r) << '"' << c.text << '"';
}

struct RootTest : ::testing::Test {
  void TearDown() override { tw::fs::remove_all(dir); }
  void Put(const std::string& rel, const std::string& bytes) const {
    tw::fs::create_directories((dir / rel).parent_path());
    tw::Write(dir / rel, bytes);
  }
  const tw::fs::path dir = tw::TestDir("root");
  const BackupRoot root{dir, platform::RealFileSystem()};
};

TEST_F(RootTest, ARecordIsReplacedWholeAndItsAbsenceIsNotFound) {
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
}

TEST_F(RootTest, AStateFileANewerRelayWroteIsReadAndADamagedOneIsUnknownAndSaysWhy) {
  TransmitterState::ReadResult how;
  EXPECT_EQ(TransmitterState::Read(root, &how), TransmitterState{});
  EXPECT_EQ(how.status, FileStatus::Absent);
  // A newer relay's keys and states are not this reader's concern.
  Put(kStateFile, "peer=h:1\r\nstate=rebalancing\nfuture_key=1\noffset=12\nsize=-1\nforwarded=+3\n");
  const TransmitterState newer = TransmitterState::Read(root, &how);
  EXPECT_EQ(how.status, FileStatus::Read);  // a count that does not parse is unknown (-1), not 0
  EXPECT_EQ(std::tuple(newer.state, newer.peer, newer.offset, newer.size, newer.forwarded),
            std::tuple(AttemptState::Unknown, "h:1", 12, -1, -1));
  for (const std::string& damaged : {"\x7f" "ELF\0\0garbage"s, "peer=h:1\n"s, "state=idle\nno equals sign\n"s,
                                     "=idle\nstate=idle\n"s, "state=idle\n" + std::string(70000, '#')}) {
    Put(kStateFile, damaged);
    EXPECT_EQ(TransmitterState::Read(root, &how), TransmitterState{});
    EXPECT_TRUE(how.status == FileStatus::Malformed && !how.detail.empty()) << damaged.substr(0, 20);
  }
  const StatusReport r = BuildStatus(dir.string());
  EXPECT_NE(FormatStatusTable(r).find("forwarding.state is malformed"), std::string::npos);
  EXPECT_EQ(json::parse(FormatStatusJson(r))["forwarding"]["transmitter"]["file"], "malformed");
  tw::fs::remove(dir / kStateFile);
  tw::fs::create_directories(dir / kStateFile);
  TransmitterState::Read(root, &how);
  EXPECT_EQ(how.status, FileStatus::Unreadable);
}

// The counts the table shows stand for the report's fields, so they are
// read from the table and the JSON rather than from the report as well.
TEST_F(RootTest, StatusIsAnErrorForAMissingRootAndShowsAnyNameEscaped) {
  Put("a-file", "");
  for (const tw::fs::path& bad : {dir / "absent", dir / "a-file"}) {
    const StatusReport r = BuildStatus(bad.string());
    EXPECT_NE(r.error.find(bad.string()), std::string::npos) << r.error;
    EXPECT_NE(FormatStatusTable(r).find("Error: "), std::string::npos);
    EXPECT_EQ(json::parse(FormatStatusJson(r))["error"], r.error);
  }
  const StatusReport empty = BuildStatus(dir.string());
  EXPECT_EQ(std::tuple(empty.error, empty.transmitter_file.status), std::tuple("", FileStatus::Absent));
  EXPECT_NE(FormatStatusTable(empty).find("No saves."), std::string::npos);

  const std::string odd = "q\"b\\s\x01\xff\xc3\xa9\xc2\x9b";  // quote, backslash, control, bad byte, é, C1 CSI
  for (const auto& [path, bytes] : std::initializer_list<std::pair<std::string, std::string>>{
           {"saves/projA/2024-05-01", std::string(3000, 'a')}, {"saves/projA/2024-05-02", std::string(500, 'b')},
           {"saves/projA/2024-05-02_pending", "1000"}, {"saves/projA/2024-05-03", "twelve bytes"},
           {"saves/projA/2024-05-03_pending", "0"}, {"saves/projA/2024-05-04", "abc"},
           {"saves/projA/2024-05-04_pending", " -5\n"}, {"saves/projA/2024-05-05_pending", "12x"},  // no byte yet
           {"saves/projB/x", std::string(100, 'x')}, {"forwards/projA/2024-05-01", "1024"},
           {"forwards/projB/x", "140 conflict"}, {"forwards/projB/gone", "10"}, {"tmp/1234.tmp", "a crash left it"},
           {"toforward", "projA\t2024-05-01\n\nnot a queue line\nprojB\tx\n"},
           {"saves/" + odd + "/caf\xc3\xa9", "12345"}, {"saves/" + odd + "/caf\xc3\xa9_pending", "7\r\n\x02\t\x1b[2J"}})
    Put(path, bytes);
  // The state file reads back any value.
  TransmitterState t;
  t.updated = "2024-05-01T12:00:03Z", t.peer = "relay-b:1026", t.state = AttemptState::Transmitting;
  t.repo = "projA", t.save = "2024-05-01", t.offset = 2048, t.size = 3000, t.forwarded = 0;
  t.last_outcome = AttemptState::SetAside, t.last_error = "line one\nline two\r\\x41 = \x01"s + '\0' + "end";
  ASSERT_TRUE(t.Write(root).ok());

  const StatusReport r = BuildStatus(dir.string());
  // tmp/ is no problem; a record set aside is.
  EXPECT_EQ(r.problems, std::vector<std::string>{"forwards/projB/x: set aside after a conflict at the next relay; not "
                                                 "forwarded until an operator acts (see the README)"}) << r.error;
  EXPECT_EQ(r.transmitter, t);
  ASSERT_EQ(std::tuple(r.repos.size(), r.records.size(), r.queued.size()), std::tuple(3u, 3u, 2u));
  ASSERT_EQ(r.repos[0].saves.size(), 5u);
  EXPECT_EQ(std::tuple(r.records[0].in_transmission, r.queued[1].line, r.queued[1].save), std::tuple(true, 4u, "x"));

  const std::string table = FormatStatusTable(r);
  for (const char* shown : {"saves/projA: 5 saves (1 complete, 4 pending), 3515 bytes (3.4 KiB)",
                            "-5 (5 bytes more than announced)", "unknown (no size announced)", "0 (no data yet)",
                            "In transmission: projA/2024-05-01, at 2048 (2.0 KiB) of 3000 (2.9 KiB) bytes (68%)",
                            "set aside after a conflict at the next relay; offset past the end: starts over",
                            "the save is gone", "line 3 is malformed: \"not a queue line\"",
                            "q\"b\\\\s\\x01\\xFF\xc3\xa9\\xC2\\x9B", "\"7\\r\\n\\x02\\t\\x1B[2J\""})
    EXPECT_NE(table.find(shown), std::string::npos) << shown << " is not in\n" << table;
  for (char c : table) ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);

  const json j = json::parse(FormatStatusJson(r));
  const json& saves = j["repositories"][0]["saves"];
  EXPECT_EQ(std::tuple(j["error"], saves[0]["state"], saves[4]["marker_text"]), std::tuple(nullptr, "complete", "12x"));
  EXPECT_EQ(std::tuple(saves[1]["missing"], saves[2]["missing"], saves[3]["missing"]), std::tuple(1000, nullptr, -5));
  const json& fwd = j["forwarding"];
  EXPECT_EQ(fwd["transmitter"]["save"]["offset"], 2048);
  // Past the end of the save, the whole of it is to send again.
  EXPECT_EQ(std::tuple(fwd["records"][0]["remaining"], fwd["records"][1]["remaining"], fwd["records"][2]["remaining"]),
            std::tuple(1976, nullptr, 100));
  EXPECT_EQ(fwd["bad_queue_lines"][0]["text"], "not a queue line");
  const json& repo = j["repositories"][2];
  EXPECT_EQ(repo["name"], "q\"b\\s\x01\xef\xbf\xbd\xc3\xa9\xc2\x9b");  // the bad byte as U+FFFD
  EXPECT_EQ(repo["name_hex"], "7122625c7301ffc3a9c29b");
  EXPECT_EQ(repo["saves"][0]["marker_text"], "7\r\n\x02\t\x1b[2J");
  EXPECT_FALSE(repo["saves"][0].contains("name_hex")) << "a name that is UTF-8 has no hex twin";
}

// Each state a relay can be in, seen as a script sees it: the exit status
// and the problem named. A lock taken as the relay takes it stands for a
// running relay; its absence, or the file a killed relay left, for none.
TEST_F(RootTest, StatusExitSaysWhetherTheRelayRunsAndWhatIsWrong) {
  using std::chrono::seconds;
  const auto ago = [](int s) { return UtcTimestamp(std::chrono::system_clock::now() - seconds(s)); };
  TransmitterState sending;
  sending.peer = "relay-b:1026", sending.state = AttemptState::Transmitting, sending.repo = "projA", sending.save = "s";
  sending.last_outcome = AttemptState::Failed;  // an attempt sending bytes now shows the hop works again
  TransmitterState failing = sending;
  failing.state = AttemptState::Connecting, failing.failed_attempts = 3, failing.attempt_ended = ago(5);
  failing.last_error = "cannot connect to relay-b:1026: Connection refused";
  TransmitterState listening;
  listening.peer = "listening on port 1028", listening.state = AttemptState::Connecting;
  listening.fetch_wait_since = ago(11 * 60 + 5);
  TransmitterState listening_briefly = listening;
  listening_briefly.fetch_wait_since = ago(5 * 60);
  const int two_days = 2 * 86400;
  enum Lock { kNoLockFile, kLockFileLeft, kLocked };
  const struct {
    const char* state;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::pair<std::string, int>> aged;  // file, seconds old
    std::optional<TransmitterState> transmitter;
    Lock lock;
    int exit;
    std::string problem;  // the start of the one problem; empty: none
  } cases[] = {
      {"running healthy", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0"}}, {}, sending, kLocked, 0, ""},
      {"forwarding failing", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0"}}, {}, failing, kLocked, 1,
       "forwarding to relay-b:1026 fails: the last attempt failed at " + failing.attempt_ended +
           " and none got through since (3 failed attempts): cannot connect"},
      {"set aside", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0 conflict"}}, {}, {}, kLocked, 1,
       "forwards/projA/s: set aside after a conflict at the next relay"},
      {"stale pending", {{"saves/projA/p", "ab"}, {"saves/projA/p_pending", "9"}},
       {{"saves/projA/p", two_days}, {"saves/projA/p_pending", two_days}}, {}, kLocked, 1,
       "saves/projA: 1 pending save has received nothing for over a day (the oldest, p, since "},
      // Bytes still arriving keep an old marker's save fresh.
      {"slow pending", {{"saves/projA/p", "ab"}, {"saves/projA/p_pending", "9"}}, {{"saves/projA/p_pending", two_days}},
       {}, kLocked, 0, ""},
      {"next relay not fetching", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0"}}, {}, listening, kLocked, 1,
       "the next relay has not fetched from port 1028 for 11 min; 1 save waits"},
      {"next relay fetching", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0"}}, {}, listening_briefly, kLocked, 0, ""},
      {"killed", {{"saves/projA/s", "abc"}}, {}, sending, kLockFileLeft, 3, ""},
      {"never started", {}, {}, {}, kNoLockFile, 3, ""},
      {"killed while failing", {{"saves/projA/s", "abc"}, {"forwards/projA/s", "0 conflict"}}, {}, {}, kLockFileLeft, 3,
       "forwards/projA/s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    tw::fs::remove_all(dir);
    tw::fs::create_directories(dir);
    for (const auto& [rel, bytes] : c.files) Put(rel, bytes);
    for (const auto& [rel, age] : c.aged)
      tw::fs::last_write_time(dir / rel, tw::fs::file_time_type::clock::now() - seconds(age));
    if (c.transmitter) {
      ASSERT_TRUE(c.transmitter->Write(root).ok());
    }
    if (c.lock == kLockFileLeft) Put("relay.lock", "");
    platform::FileLock lock;
    if (c.lock == kLocked) {
      lock = platform::TryLockFile((dir / "relay.lock").string());
      ASSERT_TRUE(lock.Held());
    }

    const StatusReport r = BuildStatus(dir.string());
    EXPECT_EQ(StatusExitStatus(r), c.exit);
    if (c.problem.empty()) {
      EXPECT_TRUE(r.problems.empty()) << r.problems.front();
    } else {
      ASSERT_EQ(r.problems.size(), 1u);
      EXPECT_EQ(r.problems[0].substr(0, c.problem.size()), c.problem);
    }
    const json j = json::parse(FormatStatusJson(r));
    EXPECT_EQ(std::tuple(j["running"], j["healthy"], j["problems"].size()),
              std::tuple(c.lock == kLocked, c.exit == 0, r.problems.size()));
    const std::string table = FormatStatusTable(r);
    EXPECT_NE(table.find(c.lock == kLocked ? "Relay: running\n" : "Relay: NOT RUNNING"), std::string::npos) << table;
    if (c.lock == kNoLockFile) {
      EXPECT_FALSE(tw::fs::exists(dir / "relay.lock")) << "status made the lock file";
    }
  }
  EXPECT_EQ(StatusExitStatus(BuildStatus((dir / "absent").string())), 2);
}

// The recorder keeps the last successful contact across a restart; a wait
// for the next relay to fetch ends with its dial-in, or with nothing to send.
TEST_F(RootTest, TheLastContactOutlivesARestartAndAFetchEndsTheWait) {
  {
    TransmitterStateRecorder state(root, "relay-b:1026");
    state.AttemptStarted({"projA", "s"}, 0, 3);
    state.AttemptEnded(AttemptState::Confirmed, 3);
  }
  TransmitterStateRecorder state(root, "listening on port 1028");
  const std::string contact = TransmitterState::Read(root).last_contact;
  EXPECT_TRUE(ParseUtcTimestamp(contact)) << contact;
  state.FetchWait();
  EXPECT_EQ(std::tuple(TransmitterState::Read(root).last_contact, !TransmitterState::Read(root).fetch_wait_since.empty()),
            std::tuple(contact, true));
  state.Fetched();
  EXPECT_TRUE(TransmitterState::Read(root).fetch_wait_since.empty());
  state.FetchWait();
  state.Idle();
  EXPECT_TRUE(TransmitterState::Read(root).fetch_wait_since.empty());
  EXPECT_EQ(ParseUtcTimestamp("1970-01-02T00:00:01Z"), 86401);
  for (const char* bad : {"", "2024-02-30T00:00:00Z", "2024-05-01 12:00:03Z", "2024-05-01T24:00:00Z"})
    EXPECT_FALSE(ParseUtcTimestamp(bad)) << bad;
}

// A folder the walk cannot read keeps the metrics' last figures and their
// time: zeros would say that nothing waits, and quiet the alerts.
TEST_F(RootTest, AWalkThatCannotReadAFolderKeepsTheLastFiguresAndTheirTime) {
  Put("saves/projA/s", "abc");
  Put("forwards/projA/s", "0");
  const RootSnapshot whole = WalkRoot(dir.string());
  ASSERT_EQ(std::tuple(whole.waiting, whole.waiting_bytes), std::tuple(1, 3));
  // A link to itself: not even root examines it (ELOOP).
  tw::fs::rename(dir / "forwards", dir / "forwards.away");
  tw::fs::create_symlink("forwards", dir / "forwards");
  const RootSnapshot part = WalkRoot(dir.string(), whole);
  EXPECT_EQ(std::tuple(part.walked_at, part.waiting, part.waiting_bytes), std::tuple(whole.walked_at, 1, 3));
  EXPECT_EQ(BuildStatus(dir.string()).unread, 1u);
  // Before any whole walk: no figures, and a time the stale-walk alert sees.
  const std::string text = MetricsText(RelayCounters{}, RootSnapshot{}, Settings{}, 0, 0);
  EXPECT_NE(text.find("\ntarnwick_walk_timestamp_seconds 0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("tarnwick_waiting_saves"), std::string::npos) << text;
}

// A root with many saves: one line per repository, and a named repository
// listed whole.
TEST_F(RootTest, ManySavesAreSummedUpPerRepositoryAndANamedOneIsListed) {
  std::string queue;
  for (int i = 0; i < 100; ++i) {
    const std::string save = "s" + std::to_string(1000 + i);
    Put("saves/projA/" + save, std::string(10, 'a'));
    Put("forwards/projA/" + save, "0");
    queue += "projA\t" + save + "\n";
  }
  Put("saves/projA/s1000_pending", "5");
  tw::fs::last_write_time(dir / "saves/projA/s1000_pending",
                          tw::fs::file_time_type::clock::now() - std::chrono::hours(50));
  tw::fs::last_write_time(dir / "saves/projA/s1000", tw::fs::file_time_type::clock::now() - std::chrono::hours(50));
  for (const char* save : {"b1", "b2"}) Put("saves/projB/"s + save, "bb");
  Put("toforward", queue);

  const std::string table = FormatStatusTable(BuildStatus(dir.string()));
  EXPECT_LT(std::count(table.begin(), table.end(), '\n'), 30) << table;
  for (const char* shown : {"Saves: 102 saves in 2 repositories", "REPOSITORY  SAVES  PENDING  BYTES",
                            "projA       100    1        1000   2 d 2 h ago (1 STALE)", "Oldest waiting save: projA/s1001",
                            "projB       2      0", "Queue (toforward): 100 saves", "TO FORWARD"})
    EXPECT_NE(table.find(shown), std::string::npos) << shown << " is not in\n" << table;
  EXPECT_EQ(table.find("s1042"), std::string::npos) << table;

  const StatusReport b = BuildStatus(dir.string(), "projB");
  const std::string listed = FormatStatusTable(b);
  EXPECT_NE(listed.find("saves/projB: 2 saves"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("s1042"), std::string::npos) << listed;
  EXPECT_EQ(StatusExitStatus(b), 3) << "health is the whole relay's";
  const json j = json::parse(FormatStatusJson(b));
  EXPECT_EQ(std::tuple(j["repositories"].size(), j["forwarding"]["records"].size(), b.problems.size()),
            std::tuple(1u, 0u, 1u));
}

}  // namespace
}  // namespace tarnwick
