// What must hold for any input to the parsers that read bytes from peers and
// from disk. The fuzz targets abort on a broken property; the corpus replay
// unit test reports it. Each check returns "" or the property that broke.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"
#include "layout/records.h"
#include "layout/stream_header.h"
#include "settings/ini_file.h"
#include "settings/known_settings.h"
#include "settings/settings.h"

namespace tarnwick::fuzz {

// The promises that keep a name from escaping its directory or tripping a
// Windows relay further down the chain, checked without IsSafeName's code.
inline std::string NameViolation(std::string_view name, bool save) {
  if (name.empty() || name == "." || name == "..") return "empty, . or .. name accepted";
  if (name.size() > kFileNameMax - kPendingSuffix.size()) return "name too long for its marker accepted";
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return "name with a forbidden character accepted";
  if (name.back() == '.' || name.back() == ' ') return "name ending in a dot or blank accepted";
  if (save && name.ends_with(kPendingSuffix)) return "save name that looks like a marker accepted";
  return "";
}

inline bool SameHeader(const StreamHeader& a, const StreamHeader& b) {
  return a.form == b.form && a.repo == b.repo && a.save == b.save && a.count == b.count && a.offset == b.offset;
}

inline std::string CheckStreamHeader(std::string_view input) {
  using Form = StreamHeader::Form;
  // The name rules alone, on raw bytes, NULs and all.
  if (IsSafeName(input))
    if (std::string v = NameViolation(input, false); !v.empty()) return "IsSafeName: " + v;
  if (IsSafeSaveName(input))
    if (std::string v = NameViolation(input, true); !v.empty()) return "IsSafeSaveName: " + v;

  const StreamHeader h = ParseStreamHeader(input);
  const std::size_t nul = input.find('\0');
  if (nul == std::string_view::npos) {
    if (h.form != Form::Malformed) return "header without its NUL accepted";
  } else {
    if (h.length != nul + 1) return "length is not the first NUL's position + 1";
    // Stream data after the NUL must not change what the header says.
    if (!SameHeader(ParseStreamHeader(input.substr(0, nul + 1)), h)) return "bytes after the NUL changed the header";
  }
  if (h.repo.size() > kHeaderFieldMax || h.save.size() > kHeaderFieldMax) return "field longer than 450";
  if (h.form == Form::Malformed) return h.error.empty() ? "malformed header without a reason" : "";

  if (std::string v = NameViolation(h.repo, false); !v.empty()) return "repo: " + v;
  if (!IsSafeName(h.repo)) return "repo accepted that IsSafeName refuses";
  if (h.count < 0 || h.offset < 0) return "negative count or offset";
  if (h.offset > std::numeric_limits<std::int64_t>::max() - h.count) return "offset + count overflows";
  if (h.form == Form::OneField) {
    if (h.count != 0 || h.offset != 0 || !h.save.empty()) return "one-field header with a count, save or offset";
  } else {
    if (std::string v = NameViolation(h.save, true); !v.empty()) return "save: " + v;
    if (!IsSafeSaveName(h.save)) return "save accepted that IsSafeSaveName refuses";
    if (h.form == Form::ThreeField && h.offset != 0) return "three-field header with an offset";
  }
  // What a relay forwards, in the relay's own writer (four fields, the
  // offset 0 when none was given), is read back as the same header.
  const std::string sent =
      h.form == Form::OneField ? FormatStreamHeader(h.repo) : FormatStreamHeader(h.repo, h.count, h.save, h.offset);
  StreamHeader w = ParseStreamHeader(sent);
  if (w.form == Form::FourField && h.form == Form::ThreeField) w.form = Form::ThreeField;
  if (!SameHeader(w, h) || w.length != sent.size()) return "the writer's header parses differently";
  return "";
}

inline std::string CheckSettings(std::string_view input) {
  const IniFile ini = IniFile::Parse(input);
  std::string crlf;
  for (char c : input) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const IniFile windows_ini = IniFile::Parse(crlf);
  // Later lines never override a key already set.
  std::string later(input);
  for (const KnownSetting& k : KnownSettings())
    later += "\n[" + std::string(k.section) + "]\n" + std::string(k.key) + "=7later";
  const IniFile extended = IniFile::Parse(later);

  // Every key the relay reads, from the table the reader is built on.
  for (const KnownSetting& k : KnownSettings()) {
    const std::string key = std::string(k.section) + " " + std::string(k.key);
    const std::optional<std::string> whole = ini.Value(k.section, k.key);
    if (whole && whole->find('\n') != std::string::npos) return key + ": value spans lines";
    if (windows_ini.Value(k.section, k.key) != whole) return key + ": CRLF line ends read differently";
    if (ini.Value(Lower(k.section), Lower(k.key)) != whole) return key + ": lookup depends on case";
    if (whole && extended.Value(k.section, k.key) != whole) return key + ": a later line overrode the first";
  }

  const Settings s = ReadSettings(ini);
  // Text values: what is written, cut to the reader's buffer.
  static constexpr struct { const char *section, *key; std::string Settings::*field; } kTexts[] = {
      {"Backup", "Dir", &Settings::backup_dir},          {"Connection", "Host", &Settings::host},
      {"Connection", "Port", &Settings::port},           {"Connection", "ClosurePort", &Settings::closure_port},
      {"Connection", "PeerCN", &Settings::peer_cn},      {"Forward", "Host", &Settings::forward_host},
      {"Forward", "Port", &Settings::forward_port},      {"Forward", "PeerCN", &Settings::forward_peer_cn},
      {"Connection", "Listen", &Settings::listen},       {"Forward", "Listen", &Settings::forward_listen}};
  for (const auto& t : kTexts) {
    const KnownSetting* k = FindKnownSetting(t.section, t.key);
    if (!k || k->capacity == 0) return std::string(t.key) + ": not a text setting of the table";
    const std::string& got = s.*t.field;
    const std::optional<std::string> whole = ini.Value(t.section, t.key);
    if (got.size() > k->capacity - 1) return std::string(t.key) + ": setting longer than its capacity";
    if (whole && got != whole->substr(0, k->capacity - 1)) return std::string(t.key) + ": value not cut to capacity";
  }
  // Rates: as written, or the default when invalid; never turned off by a
  // value the check calls wrong.
  const Settings defaults = ReadSettings(IniFile::Parse(""));
  static constexpr struct { const char *section, *key; std::int64_t Settings::*field; } kRates[] = {
      {"Connection", "Bandwith", &Settings::rate}, {"Connection", "TotalBandwith", &Settings::total_rate},
      {"Connection", "MinRate", &Settings::min_rate}, {"Forward", "Bandwith", &Settings::forward_rate}};
  for (const auto& r : kRates) {
    const std::optional<std::string> whole = ini.Value(r.section, r.key);
    if (!whole || TrimBlanks(*whole).empty()) continue;
    const std::int64_t fallback = r.field == &Settings::forward_rate ? s.rate : defaults.*r.field;
    if (s.*r.field != ParseRate(*whole).value_or(fallback))
      return std::string(r.key) + ": rate neither as written nor its default";
  }
  // Zero would cut every stream at once, or serve none.
  if (s.idle_timeout_s <= 0 || s.header_timeout_s <= 0) return "time-out not positive";
  if (s.max_streams <= 0) return "stream limit not positive";
  if (s.delay_before_retry_ms < 0) return "negative retry delay";
  return "";
}

inline std::string CheckForwardFiles(std::string_view input) {
  if (const auto e = ParseQueueLine(input)) {
    if (std::string v = NameViolation(e->repo, false); !v.empty()) return "queue repo: " + v;
    if (std::string v = NameViolation(e->save, true); !v.empty()) return "queue save: " + v;
    const std::string line = FormatQueueLine(*e);
    if (ParseQueueLine(line) != e) return "queue line does not read back";
    // A last line without its newline (a cut write) still reads.
    if (ParseQueueLine(std::string_view(line).substr(0, line.size() - 1)) != e)
      return "queue line without newline does not read back";
  }

  const std::int64_t progress = LeadingDecimal(input);
  if (progress < 0) return "negative progress";
  if (LeadingDecimal(std::to_string(progress)) != progress) return "progress does not read back";

  const ForwardRecord r = ParseRecord(input);
  if (r.offset < 0) return "negative record offset";
  // A relay that reads the record as a plain progress file sees the same offset.
  if (r.offset != progress) return "record offset differs from the progress read";
  const std::string text = FormatRecord(r);
  if (ParseRecord(text) != r) return "record does not read back";
  if (LeadingDecimal(text) != r.offset) return "written record's offset not readable as progress";
  return "";
}

// The fuzz targets' entry: a broken property aborts, keeping the input.
inline int Run(std::string (*check)(std::string_view), const std::uint8_t* data, std::size_t size) {
  const std::string broken = check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "property broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}

}  // namespace tarnwick::fuzz
