#include "settings/known_settings.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/platform.h"
#include "throttle/throttle.h"

namespace tarnwick {

namespace {

using K = SettingKind;

// Capacities are those the readers pass to IniFile::GetString.
constexpr std::array kSettings{
    KnownSetting{"Backup", "Dir", K::Path, 480, 0, 0, "", "backup root"},
    KnownSetting{"Connection", "Host", K::Text, 480, 0, 0, "", "empty: listen role; else the sender dialled"},
    KnownSetting{"Connection", "Port", K::Port, 260, 0, 0, "", "port listened on or dialled"},
    KnownSetting{"Connection", "ClosurePort", K::Port, 260, 0, 0, "", "the closure port"},
    KnownSetting{"Connection", "PeerCN", K::Text, 260, 0, 0, "", "name the inbound peer must carry"},
    KnownSetting{"Connection", "DelayBeforeRetry", K::Number, 0, 0, INT_MAX, "milliseconds",
                 "pause between failed dials"},
    KnownSetting{"Connection", "Bandwith", K::Rate, 214, 0, 0, "", "per-transfer limit; empty: none"},
    KnownSetting{"Connection", "ThrottlingEnabled", K::Flag, 0, 0, 0, "", "0 turns every limit off"},
    KnownSetting{"Connection", "RequireClientCert", K::Flag, 0, 0, 0, "", "refuse senders without one"},
    KnownSetting{"Connection", "MaxStreams", K::Number, 0, 1, INT_MAX, "streams", "streams stored at once"},
    KnownSetting{"Connection", "TotalBandwith", K::Rate, 214, 0, 0, "", "all inbound streams; empty: none"},
    KnownSetting{"Connection", "MinRate", K::Rate, 214, 0, 0, "", "slowest stream kept; empty: 1K"},
    KnownSetting{"Connection", "IdleTimeout", K::Number, 0, 1, INT_MAX, "seconds", "silence before a cut"},
    KnownSetting{"Connection", "HeaderTimeout", K::Number, 0, 1, INT_MAX, "seconds",
                 "time after the handshake for the whole header"},
    KnownSetting{"Connection", "Upstream", K::Flag, 0, 0, 0, "", "takes forwarded saves: date names carry the CN"},
    KnownSetting{"Connection", "RequireCloseNotify", K::Flag, 0, 0, 0, "", "plain TCP close stays pending"},
    KnownSetting{"Forward", "Host", K::Text, 480, 0, 0, "", "empty: listen mode; else the relay dialled"},
    KnownSetting{"Forward", "Port", K::Port, 280, 0, 0, "", "forward port"},
    KnownSetting{"Forward", "Bandwith", K::Rate, 214, 0, 0, "", "forward limit; empty: [Connection] Bandwith"},
    KnownSetting{"Forward", "PeerCN", K::Text, 560, 0, 0, "", "empty: forwarding off"},
};

bool SameCaseless(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// A whole number with an optional sign, or none; saturates far above int.
std::optional<long long> WholeNumber(std::string_view s) {
  const bool negative = !s.empty() && s.front() == '-';
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
  if (!AllDigits(s)) return std::nullopt;
  long long n = 0;
  for (char c : s) n = std::min(n * 10 + (c - '0'), 1LL << 40);
  return negative ? -n : n;
}

std::optional<ValueProblem> Error(std::string why) { return ValueProblem{true, std::move(why)}; }

}  // namespace

std::span<const KnownSetting> KnownSettings() { return kSettings; }

const KnownSetting* FindKnownSetting(std::string_view section, std::string_view key) {
  for (const KnownSetting& s : kSettings)
    if (SameCaseless(s.section, section) && SameCaseless(s.key, key)) return &s;
  return nullptr;
}

bool IsKnownSection(std::string_view section) {
  for (const KnownSetting& s : kSettings)
    if (SameCaseless(s.section, section)) return true;
  return false;
}

std::optional<ValueProblem> CheckSettingValue(const KnownSetting& setting, std::string_view value) {
  switch (setting.kind) {
    case K::Path:
      if (value.empty()) return Error("is empty: name the backup root");
      break;
    case K::Text:
      break;
    case K::Port: {
      if (value.empty()) return Error("is empty: give a port number (1-65535)");
      if (std::optional<long long> n = WholeNumber(value)) {
        if (*n < 1 || *n > 65535) return Error("is out of range: a port is 1-65535");
        break;
      }
      if (platform::ResolveIPv4("", std::string(value), /*passive=*/true).code != 0)
        return Error("is neither a port number (1-65535) nor a known service name");
      break;
    }
    case K::Flag:
      if (value != "0" && value != "1") return Error("must be 0 or 1");
      break;
    case K::Number: {
      std::optional<long long> n = WholeNumber(value);
      if (!n) return Error("is not a whole number");
      const std::string unit = setting.unit.empty() ? "" : " " + std::string(setting.unit);
      if (*n < setting.min)
        return Error(std::string(*n < 0 ? "is negative" : "is too small") + ": give at least " +
                     std::to_string(setting.min) + unit);
      if (*n > setting.max) return Error("is too large: give at most " + std::to_string(setting.max) + unit);
      // The relay reads leading digits only, and a sign as 0.
      if (!AllDigits(value)) return Error("must be written without a sign");
      break;
    }
    case K::Rate: {
      if (value.empty()) break;  // documented: no limit, or the default
      std::string why;
      if (!ParseRateStrict(value, &why)) return Error(why + ": write e.g. 20K, 512KB or 2M");
      break;
    }
  }
  if (setting.capacity > 0 && value.size() > setting.capacity - 1)
    return ValueProblem{false, "is " + std::to_string(value.size()) + " characters long; the relay reads only the first " +
                                   std::to_string(setting.capacity - 1)};
  return std::nullopt;
}

}  // namespace tarnwick
