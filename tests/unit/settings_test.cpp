#include "settings/settings.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace tarnwick
