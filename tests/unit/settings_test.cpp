#include "settings/settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "forwarding/forwarding.h"
#include "settings/known_settings.h"
#include "throttle/throttle.h"

namespace tarnwick {
namespace {

TEST(IniFile, ValuesAreTrimmedUnquotedAndLookedUpCaselessly) {
  const IniFile ini = IniFile::Parse(
      "; comment\r\n[Connection]\r\nPadded =   spaced out \t\r\nDouble=\"  quoted  \"\r\n"
      "Single='single'\nMismatched=\"abc'\nNested=\"\"inner\"\"\nInner=a = b\n"
      "HOST=first\nhost=second\n;Port=9999\n[Other]\nPort=1234\n");
  const struct { const char* key; const char* expected; } cases[] = {
      {"Padded", "spaced out"}, {"Double", "  quoted  "}, {"Single", "single"},
      {"Mismatched", "\"abc'"}, {"Nested", "\"inner\""}, {"Inner", "a = b"}, {"hOsT", "first"},
      {"Port", "dflt"}};
  for (const auto& c : cases) EXPECT_EQ(ini.GetString("connection", c.key, "dflt", 260), c.expected) << c.key;
  EXPECT_EQ(ini.GetString("OTHER", "Port", "dflt", 260), "1234");
  EXPECT_EQ(ini.GetString("Missing", "Host", "dflt", 260), "dflt");
  // Cut to capacity minus one, as a fixed buffer would hold it.
  EXPECT_EQ(ini.GetString("Connection", "Single", "", 4), "sin");
}

TEST(IniFile, GetIntReadsLeadingDigitsOnly) {
  const IniFile ini = IniFile::Parse("[C]\nA=250ms\nB=abc\nC=-5\nD=\nE=  0017  \nF=\"300\"\n");
  const struct { const char* key; int expected; } cases[] = {
      {"A", 250}, {"B", 0}, {"C", 0}, {"D", 0}, {"E", 17}, {"F", 300}, {"Missing", 999}};
  for (const auto& c : cases) EXPECT_EQ(ini.GetInt("C", c.key, 999), c.expected) << c.key;
}

TEST(ReadWorkerSettings, AHostSelectsTheDialingRole) {
  Settings s;
  ReadWorkerSettings(IniFile::Parse("[connection]\nhost = relay.example\n"), s);
  EXPECT_EQ(s.host, "relay.example");
  EXPECT_TRUE(s.InboundDials());
  Settings blank;
  ReadWorkerSettings(IniFile::Parse("[Connection]\nHost=   \n"), blank);
  EXPECT_FALSE(blank.InboundDials());
}

TEST(IniFile, ScanKeepsSpellingAndLineNumbersAndSaysWhyALineIsSkipped) {
  const auto lines = IniFile::Scan(
      "orphan=1\r\n; comment\r\n\r\n[ Connection ]\r\nBandWidth = 2MB\r\nno equals here\r\n[Broken\r\n"
      "Port='1026'\r\n");
  using Kind = IniFile::Line::Kind;
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].kind, Kind::Ignored);
  EXPECT_EQ(lines[0].number, 1);
  EXPECT_NE(lines[0].why.find("before the first [section]"), std::string::npos);
  EXPECT_EQ(lines[1].kind, Kind::Section);
  EXPECT_EQ(lines[1].section, "Connection");
  EXPECT_EQ(lines[1].number, 4);
  EXPECT_EQ(lines[2].kind, Kind::Entry);
  EXPECT_EQ(lines[2].key, "BandWidth");
  EXPECT_EQ(lines[2].value, "2MB");
  EXPECT_EQ(lines[2].number, 5);
  EXPECT_EQ(lines[3].kind, Kind::Ignored);
  EXPECT_NE(lines[3].why.find("without ="), std::string::npos);
  EXPECT_EQ(lines[4].kind, Kind::Ignored);  // no ]: the section does not change
  EXPECT_NE(lines[4].why.find("closing ]"), std::string::npos);
  EXPECT_EQ(lines[5].kind, Kind::Entry);
  EXPECT_EQ(lines[5].section, "Connection");
  EXPECT_EQ(lines[5].value, "1026");
  EXPECT_EQ(lines[5].number, 8);
}

// The table is what the configuration check knows: a key a reader asks for
// and the table lacks would be reported as unknown, and the reverse would
// let a typo pass as a setting.
TEST(KnownSettings, TheTableHoldsExactlyTheKeysTheReadersAskFor) {
  const Settings saved = g_settings;
  const bool enabled = ThrottlingEnabled;
  const std::int64_t own = ThrottleRate, total = TotalRate, forward = ForwardRate;
  std::set<std::string> asked;
  IniFile ini = IniFile::Parse("");
  ini.RecordLookups(&asked);
  Settings s;
  ReadWorkerSettings(ini, s);
  ReadForwardSettings(ini);  // forwarding off: no TLS context is made
  ReadThrottleSettings(ini);
  g_settings = saved;
  ThrottlingEnabled = enabled;
  ThrottleRate = own, TotalRate = total, ForwardRate = forward;
  InboundTotal().SetRate(total);

  std::set<std::string> table;
  for (const KnownSetting& k : KnownSettings()) table.insert(std::string(k.section) + '\n' + std::string(k.key));
  EXPECT_EQ(asked, table);
  EXPECT_NE(FindKnownSetting("connection", "BANDWITH"), nullptr);
  EXPECT_EQ(FindKnownSetting("Connection", "Bandwidth"), nullptr);
  EXPECT_EQ(FindKnownSetting("Forward", "Dir"), nullptr);
  EXPECT_TRUE(IsKnownSection("FORWARD"));
  EXPECT_FALSE(IsKnownSection("Conection"));
}

TEST(KnownSettings, ValuesTheRelayWouldMisreadAreProblems) {
  const struct { const char* section; const char* key; const char* value; const char* problem; } cases[] = {
      // Ports: a number in range or a service name.
      {"Connection", "Port", "1026", nullptr}, {"Forward", "Port", "65535", nullptr},
      {"Connection", "ClosurePort", "ssh", nullptr}, {"Connection", "Port", "99999", "out of range"},
      {"Connection", "Port", "0", "out of range"}, {"Connection", "Port", "-1", "out of range"},
      {"Connection", "Port", "no-such-service-here", "nor a known service"}, {"Connection", "Port", "", "empty"},
      // Flags are 0 or 1, not yes/no.
      {"Connection", "RequireClientCert", "1", nullptr}, {"Connection", "ThrottlingEnabled", "yes", "0 or 1"},
      {"Connection", "RequireCloseNotify", "2", "0 or 1"},
      // Numbers: whole, within range, without a sign the relay would read as 0.
      {"Connection", "DelayBeforeRetry", "0", nullptr}, {"Connection", "DelayBeforeRetry", "-5", "negative"},
      {"Connection", "DelayBeforeRetry", "250ms", "not a whole number"},
      {"Connection", "IdleTimeout", "0", "at least 1"}, {"Connection", "MaxStreams", "+8", "without a sign"},
      {"Connection", "MaxStreams", "99999999999", "too large"},
      // Rates: empty means "none" or the default; units are checked.
      {"Connection", "Bandwith", "", nullptr}, {"Forward", "Bandwith", "5 MB", nullptr},
      {"Connection", "MinRate", "2XB", "unknown unit"}, {"Connection", "TotalBandwith", "fast", "number"},
      {"Backup", "Dir", "", "empty"}, {"Backup", "Dir", "/srv/backups", nullptr},
      {"Connection", "Host", "", nullptr}};
  for (const auto& c : cases) {
    const KnownSetting* k = FindKnownSetting(c.section, c.key);
    ASSERT_NE(k, nullptr) << c.key;
    const std::optional<ValueProblem> p = CheckSettingValue(*k, c.value);
    if (!c.problem) {
      EXPECT_FALSE(p) << c.key << "=" << c.value << ": " << p->why;
      continue;
    }
    ASSERT_TRUE(p) << c.key << "=" << c.value;
    EXPECT_TRUE(p->error) << c.key << "=" << c.value;
    EXPECT_NE(p->why.find(c.problem), std::string::npos) << c.key << "=" << c.value << ": " << p->why;
  }
  // A value longer than the reader's buffer is cut: the relay copes, but
  // does not use what is written.
  const std::optional<ValueProblem> cut = CheckSettingValue(*FindKnownSetting("Connection", "PeerCN"),
                                                            std::string(300, 'a'));
  ASSERT_TRUE(cut);
  EXPECT_FALSE(cut->error);
  EXPECT_NE(cut->why.find("only the first 259"), std::string::npos) << cut->why;
}

}  // namespace
}  // namespace tarnwick
