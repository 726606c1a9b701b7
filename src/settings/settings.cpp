#include "settings/settings.h"

#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "throttle/throttle.h"

namespace tarnwick {

Settings g_settings;

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Key(std::string_view section, std::string_view key) {
  return Lower(section) + '\n' + Lower(key);
}

}  // namespace

std::vector<IniFile::Line> IniFile::Scan(std::string_view text) {
  std::vector<Line> lines;
  std::string section;
  bool in_section = false;
  int number = 0;
  while (!text.empty()) {
    ++number;
    auto eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      auto close = line.find(']');
      if (close == std::string_view::npos) {
        lines.push_back({Line::Kind::Ignored, number, section, "", "", "a section name without its closing ]"});
        continue;
      }
      section = std::string(Trim(line.substr(1, close - 1)));
      in_section = true;
      lines.push_back({Line::Kind::Section, number, section, "", "", ""});
      continue;
    }
    auto eq = line.find('=');
    if (!in_section || eq == std::string_view::npos) {
      lines.push_back({Line::Kind::Ignored, number, section, "", "",
                       !in_section ? "a line before the first [section]" : "a line without ="});
      continue;
    }
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    lines.push_back({Line::Kind::Entry, number, section, std::string(Trim(line.substr(0, eq))),
                     std::string(value), ""});
  }
  return lines;
}

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  for (Line& line : Scan(text)) {
    // The first occurrence wins, as with the Windows profile reader.
    if (line.kind == Line::Kind::Entry)
      ini.values_.emplace(Key(line.section, line.key), std::move(line.value));
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  if (platform::HasProfileReader()) {
    IniFile ini;
    // The profile reader takes a bare name from the Windows directory.
    ini.native_file_ = path.find(platform::kPathSeparator) == std::string::npos
                           ? std::string(".") + platform::kPathSeparator + path
                           : path;
    return ini;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return IniFile();
  std::stringstream ss;
  ss << in.rdbuf();
  return Parse(ss.str());
}

const std::string* IniFile::Find(std::string_view section, std::string_view key) const {
  if (lookups_) lookups_->insert(std::string(section) + '\n' + std::string(key));
  auto it = values_.find(Key(section, key));
  return it == values_.end() ? nullptr : &it->second;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback, std::size_t capacity) const {
  if (!native_file_.empty())
    return platform::ProfileString(native_file_, std::string(section), std::string(key),
                                   std::string(fallback), capacity);
  const std::string* v = Find(section, key);
  std::string out = v ? *v : std::string(fallback);
  if (capacity > 0 && out.size() > capacity - 1) out.resize(capacity - 1);
  return out;
}

int IniFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
  if (!native_file_.empty())
    return platform::ProfileInt(native_file_, std::string(section), std::string(key), fallback);
  const std::string* v = Find(section, key);
  if (!v) return fallback;
  long long n = 0;
  for (char c : *v) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    n = n * 10 + (c - '0');
    if (n > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(n);
}

void ReadWorkerSettings(const IniFile& ini, Settings& s) {
  s.backup_dir = ini.GetString("Backup", "Dir", s.backup_dir, 480);
  s.host = ini.GetString("Connection", "Host", "", 480);
  s.port = ini.GetString("Connection", "Port", "1026", 260);
  s.closure_port = ini.GetString("Connection", "ClosurePort", "1027", 260);
  s.peer_cn = ini.GetString("Connection", "PeerCN", "", 260);
  s.delay_before_retry = ini.GetInt("Connection", "DelayBeforeRetry", s.delay_before_retry);
  s.require_close_notify = ini.GetInt("Connection", "RequireCloseNotify", 0) != 0;
  s.idle_timeout_s = ini.GetInt("Connection", "IdleTimeout", s.idle_timeout_s);
  if (s.idle_timeout_s <= 0) s.idle_timeout_s = 120;
  s.header_timeout_s = ini.GetInt("Connection", "HeaderTimeout", s.header_timeout_s);
  if (s.header_timeout_s <= 0) s.header_timeout_s = 10;
  s.upstream = ini.GetInt("Connection", "Upstream", 0) != 0;
  s.min_rate = ParseRate(ini.GetString("Connection", "MinRate", "1KB", 214), s.min_rate);
  s.max_streams = ini.GetInt("Connection", "MaxStreams", s.max_streams);
  if (s.max_streams <= 0) s.max_streams = 64;
  s.require_client_cert = ini.GetInt("Connection", "RequireClientCert", 0) != 0;
}

}  // namespace tarnwick
