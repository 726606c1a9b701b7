#include "settings/settings.h"

#include <cctype>
#include <fstream>
#include <limits>
#include <sstream>

#include "settings/ini_file.h"
#include "settings/known_settings.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {
constexpr const char* kRateForms =
    "accepted: a number of KiB/s, or a number with K, KB, KiB, M, MB, MiB, G, GB or GiB, "
    "the letter K, M or G in any case, all powers of 1024";
}  // namespace

Settings ReadSettings(const IniFile& ini) {
  Settings s;
  // In table order: a default that follows another key ([Forward]
  // Bandwith) reads that key first.
  for (const KnownSetting& k : KnownSettings()) k.read(s, ini.Value(k.section, k.key));
  return s;
}

Settings LoadSettings(const fs::path& dir, std::string* read_error) {
  std::string text;
  const fs::path file = dir / "settings.ini";
  std::error_code ec;
  const fs::file_status st = fs::status(file, ec);
  if (fs::exists(st)) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    if (fs::is_regular_file(st) && in) {
      ss << in.rdbuf();  // an empty file leaves ss failed, which is fine
      text = ss.str();
    }
    if ((!fs::is_regular_file(st) || !in || in.bad()) && read_error) *read_error = "cannot read " + file.string();
  }
  Settings s = ReadSettings(IniFile::Parse(text));
  s.config_dir = dir;
  return s;
}

fs::path Settings::BackupRoot() const {
  const fs::path d(backup_dir);
  return d.is_absolute() ? d : (config_dir / d).lexically_normal();
}

fs::path Settings::LatePemDir() const { return pems_from_config_dir ? config_dir : BackupRoot(); }

bool SplitEndpoint(std::string_view text, std::string& address, std::string& port) {
  std::size_t colon;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    address = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    address = std::string(text.substr(0, colon));
    // An IPv6 address without brackets: its last group would pass for a port.
    if (address.find(':') != std::string::npos) return false;
  }
  port = std::string(text.substr(colon + 1));
  return !address.empty() && !port.empty();
}

std::optional<std::int64_t> ParseRate(std::string_view text, std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<std::int64_t> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return fail("is empty");
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '+' || text[0] == '-') ++i;
  const std::size_t digits_from = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits_from) return fail("does not start with a number");
  std::int64_t n = 0;
  bool too_large = false;
  for (std::size_t d = digits_from; d < i && !too_large; ++d) {
    if (n > (std::numeric_limits<std::int64_t>::max() - 9) / 10) too_large = true;
    else n = n * 10 + (text[d] - '0');
  }
  if (i < text.size() && (text[i] == '.' || text[i] == ','))
    return fail("is not a whole number (use a smaller unit: 1536K rather than 1.5M)");
  while (i < text.size() && blank(text[i])) ++i;
  const std::string_view unit = text.substr(i);
  // A prefix, then nothing, B or iB: the byte units every entry prints
  // (MiB/s) and the ones operators write (MB). A lower-case b may mean bits,
  // which would be off by eight, so it is refused rather than guessed.
  std::int64_t scale = std::int64_t(1) << 10;  // a bare number is in KiB/s
  if (!unit.empty()) {
    const char prefix = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
    const std::string_view rest = unit.substr(1);
    const int shift = prefix == 'K' ? 10 : prefix == 'M' ? 20 : prefix == 'G' ? 30 : 0;
    if (shift && (rest == "b" || rest == "ib"))
      return fail("has the unit \"" + std::string(unit) + "\", which may mean bits or bytes: write " + prefix + "B or " +
                  prefix + "iB for bytes (" + kRateForms + ")");
    if (!shift || !(rest.empty() || rest == "B" || rest == "iB"))
      return fail("has an unknown unit \"" + std::string(unit) + "\" (" + kRateForms + ")");
    scale = std::int64_t(1) << shift;
  }
  if (too_large || n > std::numeric_limits<std::int64_t>::max() / scale) return fail("is too large");
  return (negative ? -n : n) * scale;
}

}  // namespace tarnwick
