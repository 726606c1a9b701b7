#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace tarnwick {
namespace {

constexpr std::size_t kCap = 260;

TEST(IniFile, ValuesAreTrimmedAndUnquoted) {
  const IniFile ini = IniFile::Parse(
      "[Connection]\n"
      "Plain=abc\n"
      "Padded =   spaced out \t\n"
      "Double=\"  quoted  \"\n"
      "Single='single'\n"
      "Mismatched=\"abc'\n"
      "Nested=\"\"inner\"\"\n"
      "EmptyQuotes=\"\"\n"
      "Blank=   \n"
      "Inner=a = b\n");
  const struct {
    const char* key;
    const char* expected;
  } cases[] = {
      {"Plain", "abc"},
      {"Padded", "spaced out"},
      {"Double", "  quoted  "},  // blanks inside the quotes are the value's own
      {"Single", "single"},
      {"Mismatched", "\"abc'"},
      {"Nested", "\"inner\""},   // only one pair comes off
      {"EmptyQuotes", ""},
      {"Blank", ""},
      {"Inner", "a = b"},       // the first '=' splits key from value
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ini.GetString("Connection", c.key, "fallback", kCap), c.expected) << c.key;
  }
}

TEST(IniFile, LookupRules) {
  const IniFile ini = IniFile::Parse(
      "; leading comment\n"
      "# another comment\n"
      "[Connection]\n"
      "Host=first\n"
      "Delay=7\n"
      "HOST=second\n"
      ";Port=9999\n"
      "  # Peer=commented\n"
      "[Other]\n"
      "Port=1234\n");
  // Case-insensitive sections and keys; the first occurrence wins.
  EXPECT_EQ(ini.GetString("connection", "hOsT", "", kCap), "first");
  EXPECT_EQ(ini.GetString("CONNECTION", "Delay", "", kCap), "7");
  // Commented lines define nothing, and keys do not leak between sections.
  EXPECT_EQ(ini.GetString("Connection", "Port", "dflt", kCap), "dflt");
  EXPECT_EQ(ini.GetString("Connection", "Peer", "dflt", kCap), "dflt");
  EXPECT_EQ(ini.GetString("Other", "Port", "dflt", kCap), "1234");
  EXPECT_EQ(ini.GetString("Missing", "Host", "dflt", kCap), "dflt");
  EXPECT_EQ(ini.GetString("Connection", "Missing", "dflt", kCap), "dflt");
  EXPECT_EQ(ini.GetInt("Connection", "Missing", -3), -3);
  EXPECT_EQ(ini.GetInt("Missing", "Delay", 42), 42);
}

TEST(IniFile, WindowsLineEndingsAreNotPartOfValues) {
  const IniFile ini = IniFile::Parse("[Connection]\r\nHost=relay\r\nPort=\"1030\"\r\n");
  EXPECT_EQ(ini.GetString("Connection", "Host", "", kCap), "relay");
  EXPECT_EQ(ini.GetString("Connection", "Port", "", kCap), "1030");
}

TEST(IniFile, ValueIsCutToCapacityMinusOne) {
  const std::string long_value(600, 'v');
  const IniFile ini = IniFile::Parse("[Forward]\nPeerCN=" + long_value + "\nShort=abc\n");
  EXPECT_EQ(ini.GetString("Forward", "PeerCN", "", 560), std::string(559, 'v'));
  EXPECT_EQ(ini.GetString("Forward", "Short", "", 4), "abc");
  EXPECT_EQ(ini.GetString("Forward", "Short", "", 3), "ab");
}

TEST(IniFile, GetIntReadsLeadingDigitsOnly) {
  const IniFile ini = IniFile::Parse(
      "[Connection]\n"
      "A=250\n"
      "B=250ms\n"
      "C=abc\n"
      "D=-5\n"
      "E=+5\n"
      "F=\n"
      "G=  0017  \n"
      "H=\"300\"\n");
  const struct {
    const char* key;
    int expected;
  } cases[] = {{"A", 250}, {"B", 250}, {"C", 0}, {"D", 0}, {"E", 0},
               {"F", 0},   {"G", 17},  {"H", 300}};
  for (const auto& c : cases) {
    EXPECT_EQ(ini.GetInt("Connection", c.key, 999), c.expected) << c.key;
  }
}

TEST(IniFile, LoadReadsFileAndTreatsMissingFileAsEmpty) {
  const IniFile missing = IniFile::Load("/nonexistent-dir/tarnwick/settings.ini");
  EXPECT_EQ(missing.GetString("Connection", "Host", "dflt", kCap), "dflt");

  const std::string path = ::testing::TempDir() + "tarnwick_settings_test.ini";
  {
    std::ofstream out(path, std::ios::binary);
    out << "[Connection]\r\nHost = relay.example \r\nDelayBeforeRetry=250\r\n";
  }
  const IniFile loaded = IniFile::Load(path);
  std::remove(path.c_str());
  EXPECT_EQ(loaded.GetString("Connection", "Host", "", kCap), "relay.example");
  EXPECT_EQ(loaded.GetInt("Connection", "DelayBeforeRetry", 0), 250);
}

TEST(ReadWorkerSettings, EmptyFileGivesDefaults) {
  Settings s;
  ReadWorkerSettings(IniFile::Parse(""), s);
  EXPECT_EQ(s.port, "1026");
  EXPECT_EQ(s.closure_port, "1027");
  EXPECT_EQ(s.delay_before_retry, 1000);
  EXPECT_EQ(s.backup_dir, kDefaultBackupDir);
  EXPECT_EQ(s.host, "");
  EXPECT_FALSE(s.InboundDials());
}

TEST(ReadWorkerSettings, HostSelectsTheDialingRole) {
  Settings s;
  ReadWorkerSettings(IniFile::Parse("[connection]\nhost = relay.example\n"), s);
  EXPECT_EQ(s.host, "relay.example");
  EXPECT_TRUE(s.InboundDials());

  // A Host of blanks only is no host at all.
  Settings blank;
  ReadWorkerSettings(IniFile::Parse("[Connection]\nHost=   \n"), blank);
  EXPECT_FALSE(blank.InboundDials());
}

}  // namespace
}  // namespace tarnwick
