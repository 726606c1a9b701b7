#include "settings/ini_file.h"

#include "base/text.h"

namespace tarnwick {

namespace {
std::string Key(std::string_view section, std::string_view key) { return Lower(section) + '\n' + Lower(key); }
}  // namespace

std::vector<IniFile::Line> IniFile::Scan(std::string_view text) {
  std::vector<Line> lines;
  std::string section;
  bool in_section = false;
  int number = 0;
  while (!text.empty()) {
    ++number;
    auto eol = text.find('\n');
    std::string_view line = TrimBlanks(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      auto close = line.find(']');
      if (close == std::string_view::npos) {
        lines.push_back({Line::Kind::Ignored, number, section, "", "", "a section name without its closing ]"});
        continue;
      }
      section = std::string(TrimBlanks(line.substr(1, close - 1)));
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
    std::string_view value = TrimBlanks(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    lines.push_back({Line::Kind::Entry, number, section, std::string(TrimBlanks(line.substr(0, eq))),
                     std::string(value), ""});
  }
  return lines;
}

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  for (Line& line : Scan(text)) {
    // The first occurrence wins, as with the Windows profile reader.
    if (line.kind == Line::Kind::Entry) ini.values_.emplace(Key(line.section, line.key), std::move(line.value));
  }
  return ini;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
  auto it = values_.find(Key(section, key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace tarnwick
