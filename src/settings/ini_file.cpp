#include "settings/ini_file.h"

#include "base/text.h"

namespace tarnwick {

namespace {
std::string Key(std::string_view section, std::string_view key) { return Lower(section) + '\n' + Lower(key); }

// UTF-16LE (what Windows PowerShell's ">" writes) as UTF-8.
std::string FromUtf16Le(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
    unsigned c = static_cast<unsigned char>(in[i]) | static_cast<unsigned char>(in[i + 1]) << 8;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < in.size()) {
      const unsigned lo = static_cast<unsigned char>(in[i + 2]) | static_cast<unsigned char>(in[i + 3]) << 8;
      if (lo >= 0xDC00 && lo < 0xE000) c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00), i += 2;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18), out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
}  // namespace

std::vector<IniFile::Line> IniFile::Scan(std::string_view text) {
  // Windows editors save with a byte order mark, and in UTF-16 too.
  if (text.starts_with("\xFF\xFE")) return Scan(FromUtf16Le(text.substr(2)));
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
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
