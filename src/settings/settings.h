// settings.ini: the only configuration, read once at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// An INI file read by the platform's profile reader where there is one
// (Windows), otherwise with the rules of the Windows profile reader: sections
// and keys compare without regard to case, the first occurrence wins,
// surrounding blanks and one pair of enclosing quotes are removed.
class IniFile {
 public:
  // One line of the text as Parse reads it, for diagnostics: names keep
  // their original spelling, lines count from 1.
  struct Line {
    enum class Kind {
      Section,  // "[name]": section is the name
      Entry,    // "key=value" inside a section: section, key and value
      Ignored,  // a line Parse skips silently; why says why
    };
    Kind kind;
    int number;
    std::string section, key, value, why;
  };
  // Every line that is not blank or a comment, in order. Parse is built on
  // it, so the two never disagree.
  static std::vector<Line> Scan(std::string_view text);
  static IniFile Parse(std::string_view text);
  // A missing or unreadable file reads as empty: every key takes its default.
  static IniFile Load(const std::string& path);

  // The value cut to capacity - 1 characters, or the default.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view fallback, std::size_t capacity) const;
  // Leading decimal digits of the value; no digits or a sign gives 0.
  int GetInt(std::string_view section, std::string_view key, int fallback) const;

  // Every later lookup adds "section\nkey" (as asked, case kept) to into;
  // nullptr stops. Lets a test learn which keys the readers ask for.
  void RecordLookups(std::set<std::string>* into) { lookups_ = into; }

 private:
  const std::string* Find(std::string_view section, std::string_view key) const;
  std::map<std::string, std::string> values_;  // "section\nkey", lower case
  // Set where the platform reads profiles itself: every lookup goes there.
  std::string native_file_;
  std::set<std::string>* lookups_ = nullptr;
};

#ifdef _WIN32
inline constexpr const char* kDefaultBackupDir = "C:\\SVN";
#else
inline constexpr const char* kDefaultBackupDir = "/var/lib/tarnwick";
#endif

struct Settings {
  // --dir, made absolute: settings.ini and every PEM file, at start-up and
  // later, come from here. Empty: the executable's directory at start-up,
  // the backup root for the contexts made later.
  std::string config_dir;
  // [Backup]
  std::string backup_dir = kDefaultBackupDir;  // capacity 480
  // [Connection]
  std::string host;                // 480
  std::string port = "1026";       // 260
  std::string closure_port = "1027";  // 260
  std::string peer_cn;             // 260
  int delay_before_retry = 1000;   // milliseconds
  // A one-field stream that ends without close_notify stays pending: for
  // sites whose senders all end their streams properly.
  bool require_close_notify = false;
  // A stream that delivers nothing for this long is cut.
  int idle_timeout_s = 120;
  // A client must have sent its whole header this long after its handshake.
  int header_timeout_s = 10;
  // This relay takes saves forwarded by an upstream relay (the dial role
  // always does): its date names carry its certificate name.
  bool upstream = false;
  // A stream slower than this (bytes per second) over a whole minute is cut.
  std::int64_t min_rate = 1024;
  // Streams served at once in the listen role.
  int max_streams = 64;
  // Listen role: a client without a certificate is refused.
  bool require_client_cert = false;
  // [Forward]
  std::string forward_host;        // 480
  std::string forward_port = "1026";  // 280
  std::string forward_peer_cn;     // 560

  bool InboundDials() const { return !host.empty(); }
  bool TakesForwardedSaves() const { return upstream || InboundDials(); }
  bool ForwardingConfigured() const { return !forward_peer_cn.empty(); }
  bool ForwardDials() const { return !forward_host.empty(); }
};

// Process-wide settings, filled once at start-up by the worker.
extern Settings g_settings;

void ReadWorkerSettings(const IniFile& ini, Settings& s);

}  // namespace tarnwick
