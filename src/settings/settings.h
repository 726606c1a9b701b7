// The relay's configuration: one value filled by one reader from
// settings.ini, every key's default and limit in the table of known
// settings (known_settings.h). Parts are given a snapshot and read it,
// never the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class IniFile;

#ifdef _WIN32
inline constexpr const char* kDefaultBackupDir = "C:\\SVN";
#else
inline constexpr const char* kDefaultBackupDir = "/var/lib/tarnwick";
#endif

struct Settings {
  // Where settings.ini was read and the PEM files are read, absolute; a
  // relative [Backup] Dir is taken from here.
  std::filesystem::path config_dir;
  // False without --dir: a forwarding relay's contexts built for listening
  // to the next relay, and the closure listener's, read cert.pem, key.pem
  // and forwardcert.pem from the backup root (where the relay has always
  // looked for them).
  bool pems_from_config_dir = true;

  // [Backup]
  std::string backup_dir = kDefaultBackupDir;
  // [Connection]
  std::string host;                   // empty: listen role; else the sender dialled
  std::string port = "1026";
  std::string closure_port = "1027";
  std::string listen;                 // the inbound and closure ports' address; "" or "*": every one
  std::string peer_cn;
  int delay_before_retry_ms = 1000;
  std::int64_t rate = 20 * 1024;      // Bandwith: per transfer, bytes/s; 0: none
  bool throttling = true;             // ThrottlingEnabled
  bool require_client_cert = false;
  int max_streams = 64;
  std::int64_t total_rate = 0;        // TotalBandwith: all inbound streams
  std::int64_t min_rate = 1024;       // MinRate: slowest stream kept
  int idle_timeout_s = 120;
  int header_timeout_s = 10;
  bool require_close_notify = false;
  bool upstream = false;              // takes forwarded saves
  // [Forward]
  std::string forward_host;           // empty: listen mode
  std::string forward_port = "1026";
  std::string forward_listen;         // listen mode's address; default: [Connection] Listen
  std::int64_t forward_rate = 20 * 1024;  // default: Bandwith
  std::string forward_peer_cn;        // empty: forwarding off
  // [Metrics]
  std::string metrics_listen;         // "<address>:<port>" of the metrics endpoint; empty: none

  bool InboundDials() const { return !host.empty(); }
  bool ForwardingConfigured() const { return !forward_peer_cn.empty(); }
  bool ForwardDials() const { return !forward_host.empty(); }
  bool TakesForwardedSaves() const { return upstream || InboundDials(); }
  // The rates as the throttle applies them: ThrottlingEnabled=0 turns every
  // limit off; 0 or less means no limit.
  std::int64_t TransferRate() const { return throttling ? rate : 0; }
  std::int64_t TotalRate() const { return throttling ? total_rate : 0; }
  std::int64_t ForwardRate() const { return throttling ? forward_rate : 0; }
  // The backup root, a relative [Backup] Dir taken from config_dir.
  std::filesystem::path BackupRoot() const;
  // Where the contexts built after start-up read their PEM files.
  std::filesystem::path LatePemDir() const;
};

// Every key of ini into a Settings, as the relay reads it: a missing key
// takes its default, a value longer than its capacity is cut, a number
// takes the leading digits, an invalid rate keeps its default (the check
// reports these).
Settings ReadSettings(const IniFile& ini);

// settings.ini of dir, read as above; a missing file gives every default.
// *read_error: why an existing file could not be read (then defaults too).
Settings LoadSettings(const std::filesystem::path& dir, std::string* read_error = nullptr);

// "<address>:<port>" split in two: "127.0.0.1:9464", "[::1]:9464" (an IPv6
// address in brackets). False when either part is missing, and for an IPv6
// address without brackets.
bool SplitEndpoint(std::string_view text, std::string& address, std::string& port);

// A rate as settings.ini writes it: a whole number, optionally signed, then
// optionally blanks and a unit: K, M or G (any case) alone or followed by B
// or iB, powers of 1024 bytes per second ("2MB" = "2MiB" = "2m" = 2097152);
// a bare number is in KiB/s. Zero or less means "no limit". None, with why
// set to a reason in words that lists the accepted units, for an empty
// value, a unit with a lower-case b ("20Mb": bits or bytes?), any other unit
// or anything else.
std::optional<std::int64_t> ParseRate(std::string_view text, std::string* why = nullptr);

}  // namespace tarnwick
