// `tarnwick verify`, `tarnwick drop` and what `tarnwick status` shows of
// identities and aside/, run in-process over a root of real files.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/sha256.h"
#include "layout/backup_root.h"
#include "service/status/status_view.h"
#include "service/verify.h"
#include "support/fault_fs.h"
#include "support/net.h"

namespace tarnwick {
namespace {

using Verdict = VerifiedSave::Verdict;
using namespace std::string_literals;

SaveIdentity Declared(std::int64_t size, const std::string& digest, std::int64_t verified_at = 0, bool good = false) {
  SaveIdentity id;
  id.size = size, id.digest = digest, id.declared = true, id.verified_at = verified_at, id.verified_good = good;
  return id;
}

std::string Digest(const std::string& bytes) {
  Sha256 h;
  h.Update(bytes.data(), bytes.size());
  return h.HexDigest();
}

// What sha256sum says, so that the recorded digest is the one an operator
// compares with, not only the one this code computes.
std::string Sha256sum(const tw::fs::path& p) {
  std::FILE* f = popen(("sha256sum '" + p.string() + "'").c_str(), "r");
  char out[65] = {};
  const std::size_t n = f ? std::fread(out, 1, 64, f) : 0;
  if (f) pclose(f);
  return std::string(out, n);
}

struct VerifyTest : ::testing::Test {
  void TearDown() override { tw::fs::remove_all(dir); }
  void Put(const std::string& rel, const std::string& bytes) const {
    tw::fs::create_directories((dir / rel).parent_path());
    tw::Write(dir / rel, bytes);
  }
  SaveIdentity Id(const std::string& repo, const std::string& save) const {
    SaveIdentity id;
    EXPECT_TRUE(root.ReadIdentity(repo, save, id).ok()) << repo << "/" << save;
    return id;
  }
  const tw::fs::path dir = tw::TestDir("verify");
  tw::FaultFs fs;
  const BackupRoot root{dir, fs};
};

TEST_F(VerifyTest, AFlippedByteIsAMismatchBesideGoodAndAdoptedSavesAndAnUnreadableSaveIsNotGone) {
  // Over a megabyte, so that the flipped byte lies past the first read.
  const std::string good = tw::Random(1536 * 1024, 1), bad = tw::Random(1536 * 1024, 2);
  Put("saves/projA/good", good);
  Put("saves/projA/bad", bad);
  Put("saves/projA/new", "no identity came with this one");
  Put("saves/projA/part", "half");
  Put("saves/projA/part_pending", "4");
  Put("saves/projB/locked", "cannot be read");
  for (const auto& [save, bytes] : {std::pair{"good", &good}, {"bad", &bad}})
    ASSERT_TRUE(root.WriteIdentity("projA", save, Declared(1536 * 1024, Digest(*bytes))).ok());
  std::string flipped = bad;
  flipped[1200 * 1024] ^= 0x01;
  Put("saves/projA/bad", flipped);
  fs.hook = [](const std::string& op, const tw::fs::path& p) {
    return op == "open" && p.filename() == "locked" ? EACCES : 0;
  };

  VerifyReport r;
  ASSERT_TRUE(VerifySaves(root, "", 1234, r).ok());
  EXPECT_EQ(VerifyExitStatus(r), 1);
  EXPECT_EQ(std::tuple(r.checked, r.good, r.adopted, r.mismatched, r.unreadable), std::tuple(3u, 1u, 1u, 1u, 1u));
  ASSERT_EQ(r.saves.size(), 4u);  // the pending save is not read
  EXPECT_FALSE(tw::fs::exists(dir / "ids/projA/part"));
  const VerifiedSave& m = r.saves[0];  // projA/bad
  EXPECT_EQ(std::tuple(m.verdict, m.digest, m.recorded.digest), std::tuple(Verdict::Mismatch, Digest(flipped), Digest(bad)));
  const std::string text = FormatVerifyText(r);
  for (const std::string& shown : {"MISMATCH "s + (dir / "saves/projA/bad").string(), Digest(flipped), Digest(bad),
                                   "UNREADABLE " + (dir / "saves/projB/locked").string()})
    EXPECT_NE(text.find(shown), std::string::npos) << shown << " is not in\n" << text;
  EXPECT_EQ(nlohmann::json::parse(FormatVerifyJson(r))["saves"][3]["verdict"], "unreadable");

  // The verdicts are recorded, the recorded digest kept; the save read in
  // error gets none.
  const SaveIdentity b = Id("projA", "bad"), g = Id("projA", "good"), n = Id("projA", "new");
  EXPECT_EQ(std::tuple(b.verified_at, b.verified_good, b.digest, b.declared), std::tuple(1234, false, Digest(bad), true));
  EXPECT_TRUE(b.FailedVerification());
  EXPECT_EQ(std::tuple(g.verified_at, g.verified_good), std::tuple(1234, true));
  EXPECT_EQ(std::tuple(n.digest, n.size, n.declared, n.verified_good), std::tuple(Sha256sum(dir / "saves/projA/new"), 30, false, true));
  EXPECT_FALSE(tw::fs::exists(dir / "ids/projB/locked"));

  // A damaged record is a failure, reported, and left as it is; a save
  // put right verifies good again.
  Put("ids/projA/good", "size 1\nsha256 not-a-digest\n");
  Put("saves/projA/bad", bad);
  fs.hook = nullptr;
  ASSERT_TRUE(VerifySaves(root, "projA", 99, r).ok());
  EXPECT_EQ(std::tuple(r.damaged, r.good, r.adopted, VerifyExitStatus(r)), std::tuple(1u, 2u, 0u, 1));
  EXPECT_EQ(tw::Read(dir / "ids/projA/good"), "size 1\nsha256 not-a-digest\n");
  EXPECT_FALSE(Id("projA", "bad").FailedVerification());
  for (const char* target : {"../projA", "projA/bad/x", "projA/part", "projA/new_pending"})
    EXPECT_EQ(VerifySaves(root, target, 1, r).kind(), Status::Kind::kInvalid) << target;
  EXPECT_TRUE(VerifySaves(root, "projA/absent", 1, r).IsNotFound());
}

TEST_F(VerifyTest, StatusCallsAsideEntriesAndFailedVerificationsProblemsAndDropRemovesOnlyAsideEntries) {
  Put("saves/projA/s", "bytes");
  Put("aside/projA/s.1700000000", "bytes that did not match");
  Put("aside/projA/t.1700000001", "more");
  ASSERT_TRUE(root.WriteIdentity("projA", "s", Declared(5, Digest("other"), 1700000000)).ok());
  const StatusReport r = BuildStatus(dir.string());
  const std::string table = FormatStatusTable(r);
  for (const std::string& shown : {Digest("other").substr(0, 12) + " declared", "2023-11-14T22:13:20Z MISMATCH"s,
                                   "saves/projA/s: failed its verification"s, "aside/projA/s.1700000000: 24 bytes set aside"s})
    EXPECT_NE(table.find(shown), std::string::npos) << shown << " is not in\n" << table;
  const nlohmann::json j = nlohmann::json::parse(FormatStatusJson(r));
  EXPECT_EQ(std::tuple(j["aside"].size(), j["aside"][0]["bytes"], j["problems"].size()), std::tuple(2u, 24, 3u));
  EXPECT_EQ(j["repositories"][0]["saves"][0]["identity"]["verification"], "mismatch");

  BackupRoot::path removed;
  for (const char* refused : {"aside/../saves/projA/s", "../saves/projA/s", "saves/projA/s", "projA/..",
                              "aside/projA/s.1700000000/", "other/projA/s.1700000000"})
    EXPECT_EQ(DropAside(root, refused, removed).kind(), Status::Kind::kInvalid) << refused;
  EXPECT_TRUE(DropAside(root, "aside/projA/none", removed).IsNotFound());
  EXPECT_TRUE(tw::fs::exists(dir / "saves/projA/s"));
  ASSERT_TRUE(DropAside(root, "aside/projA/s.1700000000", removed).ok());
  ASSERT_TRUE(DropAside(root, "projA/t.1700000001", removed).ok());
  EXPECT_TRUE(tw::fs::is_empty(dir / "aside/projA"));
  EXPECT_TRUE(BuildStatus(dir.string()).aside.empty());
}

}  // namespace
}  // namespace tarnwick
