// What `tarnwick status` reads from a backup root and shows: the
// transmitter's state file (written whole, read back the same whatever a
// peer's text holds, "unknown" rather than wrong when damaged), the facts
// of the root, the table an operator reads and JSON a strict parser takes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <tuple>

#include "forwarding/transmitter_state.h"
#include "service/status/status_view.h"
#include "support/net.h"

namespace tarnwick {
namespace {

using nlohmann::json;
using namespace std::string_literals;
using FileStatus = TransmitterState::FileStatus;

struct StatusViewTest : ::testing::Test {
  void TearDown() override { tw::fs::remove_all(dir); }
  void Put(const std::string& rel, const std::string& bytes) const {
    tw::fs::create_directories((dir / rel).parent_path());
    tw::Write(dir / rel, bytes);
  }
  const tw::fs::path dir = tw::TestDir("status");
  const BackupRoot root{dir, platform::RealFileSystem()};
};
using TransmitterStateTest = StatusViewTest;

TEST_F(TransmitterStateTest, RoundTripsAnyValueOnOneLinePerKey) {
  TransmitterState s;
  s.updated = "2024-05-01T12:00:03Z", s.peer = "listening on port 1026", s.repo = "projA", s.save = "caf\xc3\xa9 \xff";
  s.state = AttemptState::AwaitingConfirmation, s.last_outcome = AttemptState::SetAside;
  s.offset = 4294967296LL, s.forwarded = 0;
  s.last_error = "line one\nline two\r\\x41 = \x01"s + '\0' + "end";
  ASSERT_TRUE(s.Write(root).ok());
  TransmitterState::ReadResult how;
  EXPECT_EQ(TransmitterState::Read(root, &how), s);
  EXPECT_EQ(how.status, FileStatus::Read);
  const std::string text = tw::Read(dir / kStateFile);
  EXPECT_NE(text.find("\nlast_error=line one\\nline two\\r\\\\x41 = \\x01\\x00end\n"), std::string::npos) << text;

  // A newer relay's keys and states are not this reader's concern.
  Put(kStateFile, "peer=h:1\r\nstate=rebalancing\nfuture_key=1\noffset=12\nsize=-1\nforwarded=+3\n");
  const TransmitterState newer = TransmitterState::Read(root, &how);
  EXPECT_EQ(how.status, FileStatus::Read);  // a count that does not parse is unknown (-1), not 0
  EXPECT_EQ(std::tuple(newer.state, newer.peer, newer.offset, newer.size, newer.forwarded),
            std::tuple(AttemptState::Unknown, "h:1", 12, -1, -1));
}

TEST_F(TransmitterStateTest, DamageGivesAnUnknownStateAndSaysWhich) {
  TransmitterState::ReadResult how;
  EXPECT_EQ(TransmitterState::Read(root, &how), TransmitterState{});
  EXPECT_EQ(how.status, FileStatus::Absent);
  for (const std::string& damaged : {"\x7f" "ELF\0\0garbage"s, "peer=h:1\n"s, "state=idle\nno equals sign\n"s,
                                     "=idle\nstate=idle\n"s, "state=idle\n" + std::string(70000, '#')}) {
    Put(kStateFile, damaged);
    EXPECT_EQ(TransmitterState::Read(root, &how), TransmitterState{});
    EXPECT_TRUE(how.status == FileStatus::Malformed && !how.detail.empty()) << damaged.substr(0, 20);
  }
  tw::fs::remove(dir / kStateFile);
  tw::fs::create_directories(dir / kStateFile);
  TransmitterState::Read(root, &how);
  EXPECT_EQ(how.status, FileStatus::Unreadable);
}

TEST_F(StatusViewTest, ReportsWhatTheRootHolds) {
  for (const auto& [path, bytes] : std::initializer_list<std::pair<const char*, std::string>>{
           {"saves/projA/2024-05-01", std::string(3000, 'a')}, {"saves/projA/2024-05-02", std::string(500, 'b')},
           {"saves/projA/2024-05-02_pending", "1000"}, {"saves/projA/2024-05-03", "twelve bytes"},
           {"saves/projA/2024-05-03_pending", "0"}, {"saves/projA/2024-05-04", "abc"},
           {"saves/projA/2024-05-04_pending", " -5\n"}, {"saves/projA/2024-05-05_pending", "12x"},  // no byte yet
           {"saves/projB/x", std::string(100, 'x')}, {"forwards/projA/2024-05-01", "1024"},
           {"forwards/projB/x", "140 conflict"}, {"forwards/projB/gone", "10"}, {"tmp/1234.tmp", "a crash left it"},
           {"toforward", "projA\t2024-05-01\n\nnot a queue line\nprojB\tx\n"}})
    Put(path, bytes);
  TransmitterState t;
  t.peer = "relay-b:1026", t.state = AttemptState::Transmitting, t.repo = "projA", t.save = "2024-05-01";
  t.offset = 2048, t.size = 3000;
  ASSERT_TRUE(t.Write(root).ok());

  const StatusReport r = BuildStatus(dir.string());
  EXPECT_TRUE(r.error.empty() && r.problems.empty()) << r.error << r.problems.front();  // tmp/ is no problem
  ASSERT_EQ(r.repos.size(), 2u);
  const RepoStatus& a = r.repos[0];
  EXPECT_EQ(std::tuple(a.name, a.complete, a.pending, a.bytes), std::tuple("projA", 1u, 4u, 3000 + 500 + 12 + 3));
  ASSERT_EQ(a.saves.size(), 5u);
  EXPECT_EQ(std::tuple(a.saves[1].missing, a.saves[2].marker, a.saves[3].missing),
            std::tuple(1000, MarkerKind::Unknown, -5));
  EXPECT_EQ(std::tuple(a.saves[4].no_data, a.saves[4].marker, a.saves[4].marker_text),
            std::tuple(true, MarkerKind::NotANumber, "12x"));

  ASSERT_EQ(r.records.size(), 3u);  // by repository, then save
  EXPECT_EQ(std::tuple(r.records[0].offset, r.records[0].Remaining(), r.records[0].in_transmission),
            std::tuple(1024, 3000 - 1024, true));
  EXPECT_EQ(std::tuple(r.records[1].save, r.records[1].save_exists, r.records[1].Remaining()),
            std::tuple("gone", false, -1));
  EXPECT_EQ(std::tuple(r.records[2].set_aside, r.records[2].Remaining()), std::tuple(true, 100));  // starts over
  ASSERT_EQ(std::tuple(r.queued.size(), r.bad_queue_lines.size()), std::tuple(2u, 1u));
  EXPECT_EQ(std::tuple(r.queued[1].line, r.queued[1].save, r.bad_queue_lines[0].line), std::tuple(4u, "x", 3u));
  EXPECT_EQ(r.transmitter, t);

  const std::string table = FormatStatusTable(r);
  for (const char* shown : {"saves/projA: 5 saves (1 complete, 4 pending), 3515 bytes (3.4 KiB)",
                            "-5 (5 bytes more than announced)", "unknown (no size announced)", "0 (no data yet)",
                            "In transmission: projA/2024-05-01, at 2048 (2.0 KiB) of 3000 (2.9 KiB) bytes (68%)",
                            "set aside after a conflict at the next relay; offset past the end: starts over",
                            "the save is gone", "line 3 is malformed: \"not a queue line\""})
    EXPECT_NE(table.find(shown), std::string::npos) << shown << " is not in\n" << table;

  const json j = json::parse(FormatStatusJson(r));
  const json& saves = j["repositories"][0]["saves"];
  EXPECT_EQ(std::tuple(j["error"], saves[0]["state"], saves[4]["marker_text"]), std::tuple(nullptr, "complete", "12x"));
  EXPECT_EQ(std::tuple(saves[1]["missing"], saves[2]["missing"], saves[3]["missing"]), std::tuple(1000, nullptr, -5));
  const json& fwd = j["forwarding"];
  EXPECT_EQ(fwd["transmitter"]["save"]["offset"], 2048);
  EXPECT_EQ(std::tuple(fwd["records"][0]["remaining"], fwd["records"][1]["remaining"]), std::tuple(1976, nullptr));
  EXPECT_EQ(fwd["bad_queue_lines"][0]["text"], "not a queue line");
}

TEST_F(StatusViewTest, NamesOfAnyBytesAreEscapedInBothOutputs) {
  const std::string odd = "q\"b\\s\x01\xff\xc3\xa9\xc2\x9b";  // quote, backslash, control, bad byte, é, C1 CSI
  Put("saves/" + odd + "/caf\xc3\xa9", "12345");
  Put("saves/" + odd + "/caf\xc3\xa9_pending", "7\r\n\x02\t\x1b[2J");

  const StatusReport r = BuildStatus(dir.string());
  ASSERT_EQ(r.repos.size(), 1u);
  const std::string table = FormatStatusTable(r);
  for (char c : table) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  EXPECT_EQ(table.find_first_of("\xff\x9b"), std::string::npos);
  EXPECT_NE(table.find("q\"b\\\\s\\x01\\xFF\xc3\xa9\\xC2\\x9B"), std::string::npos) << table;
  EXPECT_NE(table.find("\"7\\r\\n\\x02\\t\\x1B[2J\""), std::string::npos) << table;

  const json repo = json::parse(FormatStatusJson(r))["repositories"][0];
  EXPECT_EQ(repo["name"], "q\"b\\s\x01\xef\xbf\xbd\xc3\xa9\xc2\x9b");  // the bad byte as U+FFFD
  EXPECT_EQ(repo["name_hex"], "7122625c7301ffc3a9c29b");
  EXPECT_EQ(repo["saves"][0]["marker_text"], "7\r\n\x02\t\x1b[2J");
  EXPECT_FALSE(repo["saves"][0].contains("name_hex")) << "a name that is UTF-8 has no hex twin";
}

TEST_F(StatusViewTest, AMissingRootIsAnErrorNotAnEmptyRelay) {
  Put("a-file", "");
  for (const tw::fs::path& bad : {dir / "absent", dir / "a-file"}) {
    const StatusReport r = BuildStatus(bad.string());
    EXPECT_NE(r.error.find(bad.string()), std::string::npos) << r.error;
    EXPECT_NE(FormatStatusTable(r).find("Error: "), std::string::npos);
    EXPECT_EQ(json::parse(FormatStatusJson(r))["error"], r.error);
  }
  tw::fs::remove(dir / "a-file");
  const StatusReport empty = BuildStatus(dir.string());
  EXPECT_EQ(std::tuple(empty.error, empty.transmitter_file.status), std::tuple("", FileStatus::Absent));
  EXPECT_NE(FormatStatusTable(empty).find("No saves."), std::string::npos);
  Put(kStateFile, "no state here\n");
  const StatusReport damaged = BuildStatus(dir.string());
  EXPECT_NE(FormatStatusTable(damaged).find("forwarding.state is malformed"), std::string::npos);
  EXPECT_EQ(json::parse(FormatStatusJson(damaged))["forwarding"]["transmitter"]["file"], "malformed");
}

}  // namespace
}  // namespace tarnwick
