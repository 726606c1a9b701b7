// `tarnwick status` read from a prepared backup root: the facts, the table
// an operator reads, and JSON that a strict parser (nlohmann::json) accepts.
#include "service/status_view.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// ---- A backup root in a temporary directory ----

struct StatusViewTest : ::testing::Test {
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("tw-status-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }
  void Put(const std::string& rel, const std::string& bytes) {
    const fs::path p = root / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string Get(const std::string& rel) {
    std::ifstream in(root / rel, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path root;
};

// The first line of text that holds every needle.
std::string LineWith(const std::string& text, std::initializer_list<std::string_view> needles) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (std::all_of(needles.begin(), needles.end(), [&](std::string_view n) { return line.find(n) != std::string::npos; }))
      return line;
  return "<no such line>";
}

TEST_F(StatusViewTest, ReportsWhatTheRootHolds) {
  Put("saves/projA/2024-05-01", std::string(3000, 'a'));
  Put("saves/projA/2024-05-02", std::string(500, 'b'));
  Put("saves/projA/2024-05-02_pending", "1000");
  Put("saves/projA/2024-05-03", "twelve bytes");
  Put("saves/projA/2024-05-03_pending", "0");
  Put("saves/projA/2024-05-04", "abc");
  Put("saves/projA/2024-05-04_pending", "-5");
  Put("saves/projA/2024-05-05", "seven b");
  Put("saves/projA/2024-05-05_pending", "12x");
  Put("saves/projA/2024-05-06_pending", "100");  // marker down, no byte yet
  Put("saves/projB/x", std::string(100, 'x'));
  Put("forwards/projA/2024-05-01", "1024");
  Put("forwards/projB/x", "40 conflict");
  Put("forwards/projB/gone", "10");
  Put("toforward", "projA\t2024-05-01\n\nnot a queue line\nprojB\tx\n");
  Put("tmp/forwarding.state.7.tmp", "garbage a crash left");
  TransmitterState t;
  t.peer = "relay-b:1026";
  t.state = AttemptState::Transmitting;
  t.repo = "projA";
  t.save = "2024-05-01";
  t.offset = 2048;
  t.size = 3000;
  t.last_error = "the next relay took nothing for 60 s";
  t.forwarded = 4;
  ASSERT_EQ(t.Write(root), 0);

  const StatusReport r = BuildStatus(root.string());
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  ASSERT_EQ(r.repos.size(), 2u);
  const RepoStatus& a = r.repos[0];
  EXPECT_EQ(a.name, "projA");
  EXPECT_EQ(a.complete, 1u);
  EXPECT_EQ(a.pending, 5u);
  EXPECT_EQ(a.bytes, 3000 + 500 + 12 + 3 + 7);
  ASSERT_EQ(a.saves.size(), 6u);
  EXPECT_FALSE(a.saves[0].pending);
  EXPECT_EQ(a.saves[0].bytes, 3000);
  EXPECT_EQ(a.saves[1].marker, MarkerKind::Count);
  EXPECT_EQ(a.saves[1].missing, 1000);
  EXPECT_EQ(a.saves[2].marker, MarkerKind::Unknown);
  EXPECT_EQ(a.saves[2].bytes, 12);
  EXPECT_EQ(a.saves[3].missing, -5);
  EXPECT_EQ(a.saves[4].marker, MarkerKind::NotANumber);
  EXPECT_EQ(a.saves[4].marker_text, "12x");
  EXPECT_TRUE(a.saves[5].no_data);
  EXPECT_EQ(a.saves[5].missing, 100);

  ASSERT_EQ(r.records.size(), 3u);  // sorted: projA/2024-05-01, projB/gone, projB/x
  EXPECT_EQ(r.records[0].offset, 1024);
  EXPECT_EQ(r.records[0].Remaining(), 3000 - 1024);
  EXPECT_TRUE(r.records[0].in_transmission);
  EXPECT_FALSE(r.records[1].save_exists);
  EXPECT_EQ(r.records[1].Remaining(), -1);
  EXPECT_TRUE(r.records[2].set_aside);
  EXPECT_EQ(r.records[2].Remaining(), 60);
  EXPECT_FALSE(r.records[2].in_transmission);

  ASSERT_EQ(r.queued.size(), 2u);
  EXPECT_EQ(r.queued[1].line, 4u);
  EXPECT_EQ(r.queued[1].save, "x");
  ASSERT_EQ(r.bad_queue_lines.size(), 1u);
  EXPECT_EQ(r.bad_queue_lines[0].line, 3u);
  EXPECT_EQ(r.transmitter_file.status, TransmitterState::FileStatus::Read);
  EXPECT_EQ(r.transmitter, t);

  const std::string table = FormatStatusTable(r);
  EXPECT_NE(table.find("saves/projA: 6 saves (1 complete, 5 pending), 3522 bytes (3.4 KiB)"), std::string::npos)
      << table;
  // One column start for every row of a repository's table.
  const std::string complete = LineWith(table, {"2024-05-01  "}), no_data = LineWith(table, {"2024-05-06"});
  EXPECT_EQ(complete.find("complete"), no_data.find("pending")) << table;
  EXPECT_EQ(complete.find("3000 (2.9 KiB)"), no_data.find("0 (no data yet)")) << table;
  EXPECT_NE(LineWith(table, {"2024-05-03"}).find("unknown (no size announced)"), std::string::npos);
  EXPECT_NE(LineWith(table, {"2024-05-04"}).find("-5 (5 bytes more than announced)"), std::string::npos);
  EXPECT_NE(LineWith(table, {"2024-05-05"}).find("the marker holds \"12x\""), std::string::npos);
  EXPECT_NE(table.find("Transmitter: transmitting, peer relay-b:1026"), std::string::npos) << table;
  EXPECT_NE(table.find("In transmission: projA/2024-05-01, at 2048 (2.0 KiB) of 3000 (2.9 KiB) bytes (68%)"),
            std::string::npos) << table;
  const std::string set_aside = LineWith(table, {"projB", "set aside after a conflict"});
  EXPECT_NE(set_aside.find(" x "), std::string::npos) << table;
  EXPECT_NE(set_aside.find(" 60 "), std::string::npos) << table;
  EXPECT_NE(LineWith(table, {"projB", "gone", "10"}).find("the save is gone"), std::string::npos) << table;
  EXPECT_NE(table.find("line 3 is malformed: \"not a queue line\""), std::string::npos) << table;
  EXPECT_EQ(table.find("7.tmp"), std::string::npos);

  nlohmann::json j = nlohmann::json::parse(FormatStatusJson(r));
  EXPECT_TRUE(j["error"].is_null());
  nlohmann::json& saves = j["repositories"][0]["saves"];
  EXPECT_EQ(saves[0]["state"].get<std::string>(), "complete");
  EXPECT_EQ(saves[0]["bytes"].get<double>(), 3000);
  EXPECT_EQ(saves[1]["missing"].get<double>(), 1000);
  EXPECT_EQ(saves[2]["marker"].get<std::string>(), "unknown");
  EXPECT_TRUE(saves[2]["missing"].is_null());
  EXPECT_EQ(saves[3]["missing"].get<double>(), -5);
  EXPECT_EQ(saves[4]["marker_text"].get<std::string>(), "12x");
  EXPECT_TRUE(saves[5]["no_data"].get<bool>());
  nlohmann::json& fwd = j["forwarding"];
  EXPECT_EQ(fwd["transmitter"]["state"].get<std::string>(), "transmitting");
  EXPECT_EQ(fwd["transmitter"]["save"]["offset"].get<double>(), 2048);
  EXPECT_EQ(fwd["records"][0]["remaining"].get<double>(), 1976);
  EXPECT_TRUE(fwd["records"][1]["remaining"].is_null());
  EXPECT_TRUE(fwd["records"][2]["set_aside"].get<bool>());
  EXPECT_EQ(fwd["queued"][1]["repo"].get<std::string>(), "projB");
  EXPECT_EQ(fwd["bad_queue_lines"][0]["text"].get<std::string>(), "not a queue line");
}

TEST_F(StatusViewTest, NamesAnyBytesAllowAreEscapedInBothOutputs) {
  const std::string odd = std::string("q\"b\\s\x01") + "\xff" + "\xc3\xa9";  // quote, backslash, control, bad byte, é
  Put("saves/" + odd + "/" + odd, "12345");
  Put("saves/" + odd + "/" + odd + "_pending", "7\n\x02");

  const StatusReport r = BuildStatus(root.string());
  ASSERT_EQ(r.repos.size(), 1u);
  EXPECT_EQ(r.repos[0].saves[0].marker, MarkerKind::NotANumber);

  const std::string table = FormatStatusTable(r);
  EXPECT_EQ(table.find('\x01'), std::string::npos);
  EXPECT_EQ(table.find('\xff'), std::string::npos);
  EXPECT_NE(table.find("q\"b\\\\s\\x01\\xff\xc3\xa9"), std::string::npos) << table;

  nlohmann::json j = nlohmann::json::parse(FormatStatusJson(r));
  nlohmann::json& repo = j["repositories"][0];
  EXPECT_EQ(repo["name"].get<std::string>(), "q\"b\\s\x01\xef\xbf\xbd\xc3\xa9");  // the bad byte as U+FFFD
  EXPECT_EQ(repo["name_hex"].get<std::string>(), "7122625c7301ffc3a9");
  EXPECT_EQ(repo["saves"][0]["marker_text"].get<std::string>(), "7\n\x02");
  // A name that is UTF-8 has no hex twin.
  Put("saves/plain/s", "1");
  nlohmann::json plain = nlohmann::json::parse(FormatStatusJson(BuildStatus(root.string())))["repositories"][0];
  EXPECT_EQ(plain["name"].get<std::string>(), "plain");
  EXPECT_FALSE(plain.contains("name_hex"));
}

TEST_F(StatusViewTest, AMissingRootIsAnErrorNotAnEmptyRelay) {
  for (const fs::path& bad : {root / "absent", root / "a-file"}) {
    Put("a-file", "");
    const StatusReport r = BuildStatus(bad.string());
    EXPECT_NE(r.error.find(bad.string()), std::string::npos) << r.error;
    EXPECT_NE(FormatStatusTable(r).find("Error: "), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(FormatStatusJson(r))["error"].get<std::string>(), r.error);
  }
  // An empty root is a relay with nothing yet.
  const StatusReport empty = BuildStatus(root.string());
  EXPECT_EQ(empty.error, "");
  EXPECT_EQ(empty.transmitter_file.status, TransmitterState::FileStatus::Absent);
  EXPECT_NE(FormatStatusTable(empty).find("No saves."), std::string::npos);
}

TEST_F(StatusViewTest, StateFileRoundTripsAndSurvivesDamage) {
  TransmitterState s;
  s.updated = "2024-05-01T12:00:03Z";
  s.peer = "listening on port 1026";
  s.state = AttemptState::Failed;
  s.last_outcome = AttemptState::Failed;
  s.repo = "projA";
  s.save = "2024-05-01";
  s.offset = 4294967296LL;
  s.last_error = "line one\nline two\r\\x41 \x01";
  s.forwarded = 0;
  ASSERT_EQ(s.Write(root), 0);
  EXPECT_TRUE(fs::is_empty(root / "tmp"));
  TransmitterState::ReadResult how;
  EXPECT_EQ(TransmitterState::Read(root, &how), s);
  EXPECT_EQ(how.status, TransmitterState::FileStatus::Read);
  EXPECT_NE(Get(TRANSMITTER_STATE_FILE).find("\nlast_error=line one\\nline two\\r\\\\x41 \\x01\n"), std::string::npos);

  // A newer relay's keys and states are not this reader's concern.
  Put(TRANSMITTER_STATE_FILE, "peer=h:1\nstate=rebalancing\nfuture_key=1\noffset=12\n");
  TransmitterState newer = TransmitterState::Read(root, &how);
  EXPECT_EQ(how.status, TransmitterState::FileStatus::Read);
  EXPECT_EQ(newer.state, AttemptState::Unknown);
  EXPECT_EQ(newer.peer, "h:1");
  EXPECT_EQ(newer.offset, 12);

  for (const std::string& damaged : {std::string("\x7f" "ELF\0\0garbage", 12), std::string("peer=h:1\n"),
                                     std::string("state=idle\nno equals sign\n"), std::string(70000, '#')}) {
    Put(TRANSMITTER_STATE_FILE, damaged);
    EXPECT_EQ(TransmitterState::Read(root, &how), TransmitterState{});
    EXPECT_EQ(how.status, TransmitterState::FileStatus::Malformed);
  }
  const StatusReport r = BuildStatus(root.string());
  EXPECT_NE(FormatStatusTable(r).find("forwarding.state is malformed"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(FormatStatusJson(r))["forwarding"]["transmitter"]["file"].get<std::string>(), "malformed");
}

TEST_F(StatusViewTest, RecorderStampsCountsAndPacesProgress) {
  TransmitterState::ReadResult how;
  {
    Put(TRANSMITTER_STATE_FILE, "state=failed\nlast_error=from the last run\nlast_error_at=2024-01-01T00:00:00Z\n");
    TransmitterStateRecorder rec(root, "relay-b:1026", std::chrono::hours(1));
    TransmitterState s = TransmitterState::Read(root);
    EXPECT_EQ(s.state, AttemptState::Idle);
    EXPECT_EQ(s.last_error, "from the last run");  // kept across a restart
    EXPECT_EQ(s.forwarded, 0);

    rec.AttemptStarted({"projA", "s1"}, 100, 1000);
    rec.Transmitting(100);
    rec.Progress(600);  // within the hour: not written
    EXPECT_EQ(TransmitterState::Read(root).offset, 100);
    rec.AttemptEnded(AttemptState::Failed, 600, "reset by peer");
    rec.AttemptEnded(AttemptState::Failed, 600, "reset by peer");
    s = TransmitterState::Read(root);
    EXPECT_EQ(s.failed_attempts, 2);
    EXPECT_EQ(s.last_error, "reset by peer");
    EXPECT_EQ(s.last_error_at, s.attempt_ended);
    rec.AttemptEnded(AttemptState::Confirmed, 1000);
    rec.Idle();
    s = TransmitterState::Read(root, &how);
    EXPECT_EQ(s.state, AttemptState::Idle);
    EXPECT_EQ(s.last_outcome, AttemptState::Confirmed);
    EXPECT_EQ(s.forwarded, 1);
    EXPECT_EQ(s.failed_attempts, 0);
    EXPECT_EQ(s.save, "s1");
  }
  TransmitterStateRecorder eager(root, "relay-b:1026", std::chrono::seconds(0));
  eager.AttemptStarted({"projA", "s2"}, 0, 50);
  eager.Progress(25);
  EXPECT_EQ(TransmitterState::Read(root).offset, 25);
  const TransmitterState s = TransmitterState::Read(root);
  EXPECT_EQ(s.attempt_started.size(), 20u) << s.attempt_started;  // 2024-05-01T12:00:03Z
  EXPECT_EQ(s.attempt_started.back(), 'Z');
}

TEST(UtcTimestamp, IsIsoUtc) {
  using namespace std::chrono;
  EXPECT_EQ(UtcTimestamp(sys_days{2024y / 2 / 29} + 23h + 59min + 58s + 900ms), "2024-02-29T23:59:58Z");
  EXPECT_EQ(UtcTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace tarnwick
