// settings.ini as the relay has always read it, the table of known keys
// that the reader, the check and the documentation share, and rates.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "settings/ini_file.h"
#include "settings/known_settings.h"
#include "settings/settings.h"

namespace tarnwick {
namespace {

TEST(IniFile, FirstOccurrenceCaselessTrimmedAndUnquoted) {
  const IniFile ini = IniFile::Parse(
      "orphan=1\r\n; comment\r\n[Connection]\r\nPadded =   spaced out \t\r\nDouble=\"  quoted  \"\r\n"
      "Single='single'\nMismatched=\"abc'\nNested=\"\"inner\"\"\nInner=a = b\nEmpty=\n"
      "HOST=first\nhost=second\n;Port=9999\n# Port=9998\n[Broken\nAfterBroken=still Connection\n"
      "[ Other ]\nPort=1234\n[Connection]\nHost=third\n");
  const struct { const char* section; const char* key; std::optional<std::string> value; } cases[] = {
      {"connection", "Padded", "spaced out"}, {"Connection", "Double", "  quoted  "},
      {"Connection", "Single", "single"},     {"Connection", "Mismatched", "\"abc'"},
      {"Connection", "Nested", "\"inner\""},  {"Connection", "Inner", "a = b"},
      {"Connection", "Empty", ""},            {"CONNECTION", "hOsT", "first"},
      {"Connection", "Port", std::nullopt},   {"Connection", "AfterBroken", "still Connection"},
      {"other", "PORT", "1234"},              {"", "orphan", std::nullopt},
      {"Missing", "Host", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ini.Value(c.section, c.key), c.value) << c.section << " " << c.key;
}

// Every field a key of settings.ini may set, by name.
std::map<std::string, std::string> Fields(const Settings& s) {
  using std::to_string;
  return {{"backup_dir", s.backup_dir}, {"host", s.host}, {"port", s.port}, {"closure_port", s.closure_port},
          {"peer_cn", s.peer_cn}, {"delay", to_string(s.delay_before_retry_ms)}, {"rate", to_string(s.rate)},
          {"throttling", to_string(s.throttling)}, {"client_cert", to_string(s.require_client_cert)},
          {"max_streams", to_string(s.max_streams)}, {"total_rate", to_string(s.total_rate)},
          {"min_rate", to_string(s.min_rate)}, {"idle", to_string(s.idle_timeout_s)},
          {"header", to_string(s.header_timeout_s)}, {"close_notify", to_string(s.require_close_notify)},
          {"upstream", to_string(s.upstream)}, {"forward_host", s.forward_host}, {"forward_port", s.forward_port},
          {"forward_rate", to_string(s.forward_rate)}, {"forward_peer_cn", s.forward_peer_cn}};
}

// The table is what the check knows and the documentation lists: a key it
// holds must reach the Settings the relay runs with, through ReadSettings
// and in any case, and each key must reach a field of its own.
TEST(KnownSettings, EveryKeyInTheTableIsReadIntoAFieldOfItsOwn) {
  const auto defaults = Fields(ReadSettings(IniFile::Parse("")));
  std::map<std::set<std::string>, std::string> owner;
  for (const KnownSetting& k : KnownSettings()) {
    const std::string name = std::string(k.section) + " " + std::string(k.key);
    // A valid value unlike any default; both flag values, as the default is one of them.
    const std::vector<std::string> values = k.kind == SettingKind::Flag     ? std::vector<std::string>{"0", "1"}
                                            : k.kind == SettingKind::Rate   ? std::vector<std::string>{"3M"}
                                            : k.kind == SettingKind::Number ? std::vector<std::string>{"4242"}
                                            : k.kind == SettingKind::Port   ? std::vector<std::string>{"4242"}
                                                                            : std::vector<std::string>{"/x.example"};
    std::set<std::string> changed;
    for (const std::string& v : values) {
      EXPECT_FALSE(CheckSettingValue(k, v)) << name << "=" << v << " should be valid";
      const auto read = Fields(ReadSettings(IniFile::Parse("[" + Lower(k.section) + "]\n" + Lower(k.key) + "=" + v)));
      for (const auto& [field, value] : read)
        if (value != defaults.at(field)) changed.insert(field);
    }
    EXPECT_FALSE(changed.empty()) << name << " is in the table but changes nothing";
    EXPECT_TRUE(owner.emplace(changed, name).second) << name << " sets what " << owner[changed] << " sets";
    EXPECT_EQ(FindKnownSetting(Lower(k.section), Lower(k.key)), &k);
  }
  EXPECT_TRUE(IsKnownSection("FORWARD"));
  EXPECT_FALSE(IsKnownSection("Conection"));
  EXPECT_EQ(FindKnownSetting("Forward", "Dir"), nullptr);
}

TEST(ReadSettings, DefaultsAndFallbacksAsTheRelayHasAlwaysRead) {
  const struct { std::string ini; const char* field; std::string want; } cases[] = {
      {"", "rate", "20480"}, {"", "total_rate", "0"}, {"", "min_rate", "1024"}, {"", "max_streams", "64"},
      {"[Connection]\nMaxStreams=0", "max_streams", "64"}, {"[Connection]\nIdleTimeout=-3", "idle", "120"},
      {"[Connection]\nHeaderTimeout=x", "header", "10"}, {"[Connection]\nDelayBeforeRetry=250ms", "delay", "250"},
      {"[Connection]\nDelayBeforeRetry=-5", "delay", "0"}, {"[Connection]\nIdleTimeout=\"300\"", "idle", "300"},
      {"[Connection]\nMaxStreams=99999999999", "max_streams", std::to_string(INT_MAX)},
      {"[Connection]\nPeerCN=" + std::string(300, 'c'), "peer_cn", std::string(259, 'c')},
      // Rates: units; an invalid one keeps the default; empty means none, or MinRate's 1K.
      {"[Connection]\nBandwith=2XB", "rate", "20480"}, {"[Connection]\nBandwith=", "rate", "0"},
      {"[Connection]\nTotalBandwith=junk", "total_rate", "0"}, {"[Connection]\nMinRate=2KBps", "min_rate", "1024"},
      {"[Connection]\nMinRate=", "min_rate", "1024"},
      // [Forward] Bandwith follows [Connection] Bandwith unless set, even when invalid.
      {"[Connection]\nBandwith=64", "forward_rate", "65536"},
      {"[Connection]\nBandwith=64\n[Forward]\nBandwith=??", "forward_rate", "65536"},
      {"[Forward]\nBandwith=1M", "forward_rate", "1048576"}};
  for (const auto& c : cases) EXPECT_EQ(Fields(ReadSettings(IniFile::Parse(c.ini))).at(c.field), c.want) << c.ini;

  Settings s = ReadSettings(IniFile::Parse(
      "[connection]\nhost = relay.example\nThrottlingEnabled=0\nBandwith=2M\nTotalBandwith=1G\n[Backup]\nDir=saves\n"));
  EXPECT_TRUE(s.InboundDials());
  EXPECT_EQ(s.TransferRate() + s.TotalRate() + s.ForwardRate(), 0) << "ThrottlingEnabled=0 turns every limit off";
  s.config_dir = "/etc/tarnwick";
  EXPECT_EQ(s.BackupRoot(), "/etc/tarnwick/saves");
  EXPECT_FALSE(ReadSettings(IniFile::Parse("[Connection]\nHost=   \n")).InboundDials());
}

TEST(ParseRate, UnitsArePowersOf1024AndAnInvalidRateSaysWhy) {
  const struct { const char* text; std::optional<std::int64_t> rate; const char* why = ""; } cases[] = {
      {"20", 20480}, {"20K", 20480}, {"20kb", 20480}, {"2MB", 2097152}, {"2 mb", 2097152}, {"3G", 3LL << 30},
      {"1\tGB", 1LL << 30}, {"  7KB  ", 7168}, {"0", 0}, {"-5KB", -5120}, {"+5", 5120},
      {"3000000KB", 3072000000LL},  // past 32 bits
      {"2XB", {}, "unknown unit \"XB\""}, {"20KiB", {}, "unknown unit"}, {"20 K B", {}, "unknown unit"},
      {"KB", {}, "does not start with a number"}, {"1.5M", {}, "not a whole number"}, {"", {}, "empty"},
      {"9999999999999999999", {}, "too large"}, {"9000000000000000G", {}, "too large"}};
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(ParseRate(c.text, &why), c.rate) << '"' << c.text << "\" " << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << '"' << c.text << "\" gave: " << why;
  }
}

TEST(KnownSettings, ValuesTheRelayWouldMisreadAreProblems) {
  // Beyond what the configuration check's own test shows through settings.ini.
  const struct { const char* section; const char* key; const char* value; const char* problem; } cases[] = {
      {"Connection", "Port", "1026", nullptr}, {"Forward", "Port", "65535", nullptr},
      {"Connection", "ClosurePort", "ssh", nullptr}, {"Connection", "Port", "0", "out of range"},
      {"Connection", "Port", "no-such-service-here", "nor a known service"}, {"Connection", "Port", "", "empty"},
      {"Connection", "DelayBeforeRetry", "0", nullptr},
      {"Connection", "DelayBeforeRetry", "250ms", "not a whole number"},
      {"Connection", "IdleTimeout", "0", "at least 1"}, {"Connection", "MaxStreams", "+8", "without a sign"},
      {"Connection", "MaxStreams", "99999999999", "too large"}, {"Connection", "RequireCloseNotify", "2", "0 or 1"},
      {"Connection", "Bandwith", "", nullptr}, {"Forward", "Bandwith", "5 MB", nullptr},
      {"Backup", "Dir", "", "empty"}, {"Connection", "Host", "", nullptr}};
  for (const auto& c : cases) {
    const KnownSetting* k = FindKnownSetting(c.section, c.key);
    ASSERT_NE(k, nullptr) << c.key;
    const std::optional<ValueProblem> p = CheckSettingValue(*k, c.value);
    const std::string got = p ? (p->error ? "error: " : "warning: ") + p->why : "";
    EXPECT_TRUE(c.problem ? got.starts_with("error: ") && got.find(c.problem) != std::string::npos : got.empty())
        << c.key << "=" << c.value << ": " << got;
  }
}

}  // namespace
}  // namespace tarnwick
