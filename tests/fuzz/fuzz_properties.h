// What must hold for any input to the parsers that read bytes from peers and
// from disk. The fuzz targets abort on a broken property; the corpus replay
// unit test reports it. Each check returns "" or the property that broke.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "forwarding/forward_queue.h"
#include "reception/stream_header.h"
#include "settings/settings.h"

namespace tarnwick::fuzz {

namespace detail {

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

inline std::string HeaderText(const StreamHeader& h) {
  std::string text = h.repo;
  if (h.form != StreamHeader::Form::OneField) text += ' ' + std::to_string(h.count) + ' ' + h.save;
  if (h.form == StreamHeader::Form::FourField) text += ' ' + std::to_string(h.offset);
  return text + '\0';
}

}  // namespace detail

inline std::string CheckStreamHeader(std::string_view input) {
  using Form = StreamHeader::Form;
  // The name rules alone, on raw bytes, NULs and all.
  if (IsSafeName(input))
    if (std::string v = detail::NameViolation(input, false); !v.empty()) return "IsSafeName: " + v;
  if (IsSafeSaveName(input))
    if (std::string v = detail::NameViolation(input, true); !v.empty()) return "IsSafeSaveName: " + v;

  const StreamHeader h = ParseStreamHeader(input);
  const std::size_t nul = input.find('\0');
  if (nul == std::string_view::npos) {
    if (h.form != Form::Malformed) return "header without its NUL accepted";
  } else {
    if (h.length != nul + 1) return "length is not the first NUL's position + 1";
    // Stream data after the NUL must not change what the header says.
    const StreamHeader alone = ParseStreamHeader(input.substr(0, nul + 1));
    if (alone.form != h.form || alone.repo != h.repo || alone.save != h.save || alone.count != h.count ||
        alone.offset != h.offset)
      return "bytes after the NUL changed the header";
  }
  if (h.repo.size() > kHeaderFieldMax || h.save.size() > kHeaderFieldMax) return "field longer than 450";
  if (h.form == Form::Malformed) return h.error.empty() ? "malformed header without a reason" : "";

  if (std::string v = detail::NameViolation(h.repo, false); !v.empty()) return "repo: " + v;
  if (!IsSafeName(h.repo)) return "repo accepted that IsSafeName refuses";
  if (h.count < 0 || h.offset < 0) return "negative count or offset";
  if (h.offset > std::numeric_limits<std::int64_t>::max() - h.count) return "offset + count overflows";
  if (h.form == Form::OneField) {
    if (h.count != 0 || h.offset != 0 || !h.save.empty()) return "one-field header with a count, save or offset";
  } else {
    if (std::string v = detail::NameViolation(h.save, true); !v.empty()) return "save: " + v;
    if (!IsSafeSaveName(h.save)) return "save accepted that IsSafeSaveName refuses";
    if (h.form == Form::ThreeField && h.offset != 0) return "three-field header with an offset";
  }

  // What a relay forwards is read back as the same header.
  const std::string again = detail::HeaderText(h);
  const StreamHeader r = ParseStreamHeader(again);
  if (r.form != h.form || r.repo != h.repo || r.save != h.save || r.count != h.count || r.offset != h.offset ||
      r.length != again.size())
    return "re-written header parses differently";
  return "";
}

inline std::string CheckSettings(std::string_view input) {
  struct Entry {
    const char* section;
    const char* key;
  };
  // Every key the relay reads, forwarding and throttling included.
  static constexpr Entry kKeys[] = {
      {"Backup", "Dir"},
      {"Connection", "Host"},
      {"Connection", "Port"},
      {"Connection", "ClosurePort"},
      {"Connection", "PeerCN"},
      {"Connection", "DelayBeforeRetry"},
      {"Connection", "Bandwith"},
      {"Connection", "TotalBandwith"},
      {"Connection", "ThrottlingEnabled"},
      {"Connection", "IdleTimeout"},
      {"Connection", "MinRate"},
      {"Connection", "MaxStreams"},
      {"Connection", "RequireCloseNotify"},
      {"Connection", "RequireClientCert"},
      {"Forward", "Host"},
      {"Forward", "Port"},
      {"Forward", "PeerCN"},
      {"Forward", "Bandwith"}};
  constexpr std::size_t kWhole = 1 << 20;
  // Two fallbacks tell an absent key from any value it could hold.
  auto value = [](const IniFile& ini, std::string_view section,
                  std::string_view key) -> std::optional<std::string> {
    std::string v = ini.GetString(section, key, "", kWhole);
    if (v.empty() && ini.GetString(section, key, "?", kWhole) == "?") return std::nullopt;
    return v;
  };

  const IniFile ini = IniFile::Parse(input);
  std::string crlf;
  for (char c : input) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const IniFile windows_ini = IniFile::Parse(crlf);
  // Later lines never override a key already set.
  std::string later(input);
  for (const Entry& e : kKeys) later += std::string("\n[") + e.section + "]\n" + e.key + "=7later";
  const IniFile extended = IniFile::Parse(later);

  for (const Entry& e : kKeys) {
    const std::string key = e.key;
    const std::optional<std::string> whole = value(ini, e.section, e.key);
    if (whole && whole->find('\n') != std::string::npos) return key + ": value spans lines";
    if (value(windows_ini, e.section, e.key) != whole) return key + ": CRLF line ends read differently";
    std::string upper_section(e.section), upper_key(e.key);
    for (char& c : upper_section) c = static_cast<char>(c & ~0x20);
    for (char& c : upper_key) c = static_cast<char>(c & ~0x20);
    if (value(ini, upper_section, upper_key) != whole) return key + ": lookup depends on case";
    if (whole && value(extended, e.section, e.key) != whole) return key + ": a later line overrode the first";
    for (std::size_t capacity : {1, 260}) {
      const std::string cut = ini.GetString(e.section, e.key, "", capacity);
      if (cut.size() > capacity - 1 || std::string_view(whole.value_or("")).substr(0, capacity - 1) != cut)
        return key + ": value not cut to its capacity";
    }
    const int n = ini.GetInt(e.section, e.key, -7);
    if (whole ? n < 0 : n != -7) return key + ": integer negative or default misapplied";
  }

  Settings s;
  ReadWorkerSettings(ini, s);
  if (s.backup_dir.size() > 479 || s.host.size() > 479 || s.port.size() > 259 || s.closure_port.size() > 259 ||
      s.peer_cn.size() > 259)
    return "setting longer than its capacity";
  // Zero would cut every stream at once, or serve none.
  if (s.idle_timeout_s <= 0) return "idle timeout not positive";
  if (s.max_streams <= 0) return "stream limit not positive";
  if (s.delay_before_retry < 0) return "negative retry delay";
  return "";
}

inline std::string CheckForwardFiles(std::string_view input) {
  if (const auto e = ParseQueueLine(input)) {
    if (std::string v = detail::NameViolation(e->repo, false); !v.empty()) return "queue repo: " + v;
    if (std::string v = detail::NameViolation(e->save, true); !v.empty()) return "queue save: " + v;
    const std::string line = FormatQueueLine(*e);
    if (ParseQueueLine(line) != e) return "queue line does not read back";
    // A last line without its newline (a cut write) still reads.
    if (ParseQueueLine(std::string_view(line).substr(0, line.size() - 1)) != e)
      return "queue line without newline does not read back";
  }

  const std::int64_t progress = ParseProgress(input);
  if (progress < 0) return "negative progress";
  if (ParseProgress(std::to_string(progress)) != progress) return "progress does not read back";

  const ForwardRecord r = ParseRecord(input);
  if (r.offset < 0) return "negative record offset";
  // A relay that reads the record as a plain progress file sees the same offset.
  if (r.offset != progress) return "record offset differs from the progress read";
  const std::string text = FormatRecord(r);
  if (ParseRecord(text) != r) return "record does not read back";
  if (ParseProgress(text) != r.offset) return "written record's offset not readable as progress";
  return "";
}

}  // namespace tarnwick::fuzz
