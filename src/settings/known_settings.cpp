#include "settings/known_settings.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "base/text.h"
#include "platform/platform.h"

namespace tarnwick {

namespace {

using K = SettingKind;
using Value = std::optional<std::string>;

// The reader's rules, as the Windows profile reader has them.
std::string Text(const Value& v, std::string_view fallback, std::size_t capacity) {
  std::string out = v ? *v : std::string(fallback);
  if (out.size() > capacity - 1) out.resize(capacity - 1);
  return out;
}
// The leading decimal digits; none or a sign gives 0; far too many, the most.
int Int(const Value& v, int fallback) {
  if (!v) return fallback;
  std::size_t digits = 0;
  while (digits < v->size() && std::isdigit(static_cast<unsigned char>((*v)[digits]))) ++digits;
  if (digits == 0) return 0;
  return static_cast<int>(std::min<std::int64_t>(ParseDecimal(v->substr(0, digits)).value_or(INT_MAX), INT_MAX));
}
int Positive(const Value& v, int fallback) {
  const int n = Int(v, fallback);
  return n > 0 ? n : fallback;
}
// An invalid rate keeps the default rather than turning the limit off (the
// check reports it); an empty one has always meant "no limit".
std::int64_t Rate(const Value& v, std::int64_t fallback, std::int64_t empty) {
  if (!v) return fallback;
  if (TrimBlanks(*v).empty()) return empty;
  return ParseRate(*v).value_or(fallback);
}

// Capacities are the buffers the relay has always read into.
constexpr std::array kSettings{
    KnownSetting{"Backup", "Dir", K::Path, 480, 0, 0, "", "backup root",
                 [](Settings& s, const Value& v) { s.backup_dir = Text(v, kDefaultBackupDir, 480); }},
    KnownSetting{"Connection", "Host", K::Text, 480, 0, 0, "", "empty: listen role; else the sender dialled",
                 [](Settings& s, const Value& v) { s.host = Text(v, "", 480); }},
    KnownSetting{"Connection", "Port", K::Port, 260, 0, 0, "", "port listened on or dialled",
                 [](Settings& s, const Value& v) { s.port = Text(v, "1026", 260); }},
    KnownSetting{"Connection", "ClosurePort", K::Port, 260, 0, 0, "", "the closure port",
                 [](Settings& s, const Value& v) { s.closure_port = Text(v, "1027", 260); }},
    KnownSetting{"Connection", "Listen", K::Address, 260, 0, 0, "",
                 "address of the inbound and closure ports; empty or *: every one",
                 [](Settings& s, const Value& v) { s.listen = Text(v, "", 260); }},
    KnownSetting{"Connection", "PeerCN", K::Text, 260, 0, 0, "", "name the inbound peer must carry",
                 [](Settings& s, const Value& v) { s.peer_cn = Text(v, "", 260); }},
    KnownSetting{"Connection", "DelayBeforeRetry", K::Number, 0, 0, INT_MAX, "milliseconds",
                 "pause between failed dials",
                 [](Settings& s, const Value& v) { s.delay_before_retry_ms = Int(v, 1000); }},
    KnownSetting{"Connection", "Bandwith", K::Rate, 214, 0, 0, "", "per-transfer limit; empty: none",
                 [](Settings& s, const Value& v) { s.rate = Rate(v, 20 * 1024, 0); }},
    KnownSetting{"Connection", "ThrottlingEnabled", K::Flag, 0, 0, 0, "", "0 turns every limit off",
                 [](Settings& s, const Value& v) { s.throttling = Int(v, 1) != 0; }},
    KnownSetting{"Connection", "RequireClientCert", K::Flag, 0, 0, 0, "", "refuse senders without one",
                 [](Settings& s, const Value& v) { s.require_client_cert = Int(v, 0) != 0; }},
    KnownSetting{"Connection", "MaxStreams", K::Number, 0, 1, INT_MAX, "streams", "streams stored at once",
                 [](Settings& s, const Value& v) { s.max_streams = Positive(v, 64); }},
    KnownSetting{"Connection", "TotalBandwith", K::Rate, 214, 0, 0, "", "all inbound streams; empty: none",
                 [](Settings& s, const Value& v) { s.total_rate = Rate(v, 0, 0); }},
    KnownSetting{"Connection", "MinRate", K::Rate, 214, 0, 0, "", "slowest stream kept; empty: 1K",
                 [](Settings& s, const Value& v) { s.min_rate = Rate(v, 1024, 1024); }},
    KnownSetting{"Connection", "IdleTimeout", K::Number, 0, 1, INT_MAX, "seconds", "silence before a cut",
                 [](Settings& s, const Value& v) { s.idle_timeout_s = Positive(v, 120); }},
    KnownSetting{"Connection", "HeaderTimeout", K::Number, 0, 1, INT_MAX, "seconds",
                 "time after the handshake for the whole header",
                 [](Settings& s, const Value& v) { s.header_timeout_s = Positive(v, 10); }},
    KnownSetting{"Connection", "RequireCloseNotify", K::Flag, 0, 0, 0, "", "plain TCP close stays pending",
                 [](Settings& s, const Value& v) { s.require_close_notify = Int(v, 0) != 0; }},
    KnownSetting{"Connection", "Upstream", K::Flag, 0, 0, 0, "", "takes forwarded saves: date names carry the CN",
                 [](Settings& s, const Value& v) { s.upstream = Int(v, 0) != 0; }},
    KnownSetting{"Forward", "Host", K::Text, 480, 0, 0, "", "empty: listen mode; else the relay dialled",
                 [](Settings& s, const Value& v) { s.forward_host = Text(v, "", 480); }},
    KnownSetting{"Forward", "Port", K::Port, 280, 0, 0, "", "forward port",
                 [](Settings& s, const Value& v) { s.forward_port = Text(v, "1026", 280); }},
    KnownSetting{"Forward", "Listen", K::Address, 260, 0, 0, "",
                 "forward port's address in listen mode; default: [Connection] Listen",
                 [](Settings& s, const Value& v) { s.forward_listen = v ? Text(v, "", 260) : s.listen; }},
    KnownSetting{"Forward", "Bandwith", K::Rate, 214, 0, 0, "", "forward limit; empty: [Connection] Bandwith",
                 [](Settings& s, const Value& v) { s.forward_rate = Rate(v, s.rate, s.rate); }},
    KnownSetting{"Forward", "PeerCN", K::Text, 560, 0, 0, "", "empty: forwarding off",
                 [](Settings& s, const Value& v) { s.forward_peer_cn = Text(v, "", 560); }},
    KnownSetting{"Metrics", "Listen", K::Endpoint, 260, 0, 0, "",
                 "address:port of the metrics endpoint; empty: none",
                 [](Settings& s, const Value& v) { s.metrics_listen = Text(v, "", 260); }},
};

// A whole number with an optional sign, or none; saturates far above int.
std::optional<long long> WholeNumber(std::string_view s) {
  const bool negative = !s.empty() && s.front() == '-';
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return std::nullopt;
  const long long n = std::min<std::int64_t>(ParseDecimal(s).value_or(1LL << 40), 1LL << 40);
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
  return std::any_of(kSettings.begin(), kSettings.end(),
                     [&](const KnownSetting& s) { return SameCaseless(s.section, section); });
}

std::optional<ValueProblem> CheckSettingValue(const KnownSetting& setting, std::string_view value) {
  // Comments take whole lines, so "Host=relay-b  # the next hop" dials
  // "relay-b  # the next hop". A directory name may hold " #" on purpose.
  if (const std::size_t at = value.find_first_of("#;");
      at != std::string_view::npos && at > 0 && (value[at - 1] == ' ' || value[at - 1] == '\t')) {
    const std::string kept(TrimBlanks(value.substr(0, at)));
    return ValueProblem{setting.kind != K::Path,
                        "looks like it ends with a comment (\"" + std::string(value.substr(at)) +
                            "\"), which the relay would read as part of the value; a comment takes a line of "
                            "its own: write " + std::string(setting.key) + "=" + kept};
  }
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
      std::string unit;
      if (!setting.unit.empty()) unit.append(" ").append(setting.unit);
      if (*n < setting.min)
        return Error(std::string(*n < 0 ? "is negative" : "is too small") + ": give at least " +
                     std::to_string(setting.min) + unit);
      if (*n > setting.max) return Error("is too large: give at most " + std::to_string(setting.max) + unit);
      // The relay reads leading digits only, and a sign as 0.
      if (value.front() == '+' || value.front() == '-') return Error("must be written without a sign");
      break;
    }
    case K::Address: {
      if (value.empty() || value == "*") break;  // every address
      // A name resolves now as it will at start-up, where the relay binds it.
      const platform::Resolution r = platform::Resolve(std::string(value), "0", /*passive=*/true);
      if (r.code != 0)
        return Error("is neither an address nor a host name that resolves (" + r.text +
                     "): give an address of this machine, or * for every one");
      break;
    }
    case K::Endpoint: {
      if (value.empty()) break;  // no endpoint
      std::string address, port;
      if (!SplitEndpoint(value, address, port))
        return Error("is not <address>:<port>: write 127.0.0.1:9464, for example");
      // Debian's civetweb, which serves it, is built without IPv6.
      if (value.front() == '[')
        return Error("is an IPv6 address: the metrics endpoint listens on IPv4 only (127.0.0.1 keeps it to this "
                     "machine)");
      const std::optional<long long> n = WholeNumber(port);
      if (!n || *n < 1 || *n > 65535 || port.front() == '+' || port.front() == '-')
        return Error("has the port \"" + port + "\": give a number (1-65535)");
      // Numeric only: the endpoint has no TLS, so where it listens must be
      // exactly what the operator wrote, not what a name resolves to today.
      const platform::Resolution r = platform::Resolve(address, "0", /*passive=*/true);
      if (r.code != 0 || platform::AddressText(r.address) != address)
        return Error("has the address \"" + address + "\": give a numeric address of this machine "
                     "(127.0.0.1 keeps it to this machine)");
      break;
    }
    case K::Rate: {
      if (value.empty()) break;  // documented: no limit, or the default
      std::string why;
      if (!ParseRate(value, &why)) return Error(why);
      break;
    }
  }
  if (setting.capacity > 0 && value.size() > setting.capacity - 1)
    return ValueProblem{false, "is " + std::to_string(value.size()) + " characters long; the relay reads only the first " +
                                   std::to_string(setting.capacity - 1)};
  return std::nullopt;
}

}  // namespace tarnwick
