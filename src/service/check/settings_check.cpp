// The check of settings.ini: unknown sections and keys (with the closest
// known name), values the relay would misread, keys set twice.
#include <algorithm>
#include <map>
#include <optional>

#include "base/text.h"
#include "platform/file_system.h"
#include "service/check/checker.h"
#include "settings/ini_file.h"
#include "settings/known_settings.h"

namespace tarnwick::check {

namespace fs = std::filesystem;

namespace {

std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::string x = Lower(a), y = Lower(b);
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[y.size()];
}

// The closest of candidates to name, when close enough to be a typo.
std::optional<std::string_view> Closest(std::string_view name, const std::vector<std::string_view>& candidates) {
  std::optional<std::string_view> best;
  std::size_t best_distance = std::max<std::size_t>(2, name.size() / 3) + 1;
  for (std::string_view c : candidates) {
    const std::size_t d = EditDistance(name, c);
    if (d < best_distance) {
      best = c;
      best_distance = d;
    }
  }
  return best;
}

// A value as it may appear inside a one-line finding.
std::string Shown(std::string_view value) {
  constexpr std::size_t kShown = 60;
  return value.size() <= kShown ? std::string(value) : std::string(value.substr(0, kShown)) + "...";
}

void CheckEntry(CheckContext& c, const IniFile::Line& line, const std::string& at, std::map<std::string, int>& first_line);

}  // namespace

// --- settings.ini ---------------------------------------------------------

void CheckSettingsFile(CheckContext& c) {
  const fs::path path = fs::path(c.options.config_dir) / "settings.ini";
  const std::string where = path.string();
  std::string text;
  if (const Status st = ReadFile(path, text); !st.ok()) {
    std::error_code ec;
    if (!fs::is_directory(c.options.config_dir, ec))
      c.Add(Severity::Error, "the configuration directory " + c.options.config_dir + " does not exist");
    else if (st.IsNotFound())
      c.Add(Severity::Note, where + " does not exist: every setting takes its default");
    else
      c.Add(Severity::Error, "cannot read " + where + ": " + platform::ErrorText(static_cast<int>(st.code())));
  }
  std::map<std::string, int> first_line;  // "section\nkey" lower case -> line
  for (const IniFile::Line& line : IniFile::Scan(text)) {
    const std::string at = " in " + where + " line " + std::to_string(line.number);
    switch (line.kind) {
      case IniFile::Line::Kind::Ignored:
        c.Add(Severity::Warning, "line " + std::to_string(line.number) + " of " + where +
                                   " is ignored: " + line.why);
        break;
      case IniFile::Line::Kind::Section:
        if (!IsKnownSection(line.section)) {
          std::vector<std::string_view> sections;
          for (const KnownSetting& k : KnownSettings())
            if (std::find(sections.begin(), sections.end(), k.section) == sections.end())
              sections.push_back(k.section);
          const auto near = Closest(line.section, sections);
          c.Add(Severity::Error, "unknown section [" + line.section + "]" + at +
                            (near ? "; did you mean [" + std::string(*near) + "]?"
                                  : "; no such section: correct it, or remove it with every key in it"));
        }
        break;
      case IniFile::Line::Kind::Entry:
        CheckEntry(c, line, at, first_line);
        break;
    }
  }
  c.s = ReadSettings(IniFile::Parse(text));
  c.s.config_dir = c.options.config_dir;
  if (c.s.ForwardDials() && !c.s.ForwardingConfigured())
    c.Add(Severity::Warning, "[Forward] Host is set in " + where +
                               " but [Forward] PeerCN is empty, so forwarding is off; set PeerCN to the next "
                               "relay's name to forward");
}

namespace {

void CheckEntry(CheckContext& c, const IniFile::Line& line, const std::string& at, std::map<std::string, int>& first_line) {
  if (!IsKnownSection(line.section)) return;  // reported once, at its header
  const KnownSetting* known = FindKnownSetting(line.section, line.key);
  const std::string name = "[" + line.section + "] " + line.key;
  if (!known) {
    std::optional<std::string> hint;
    for (const KnownSetting& k : KnownSettings())
      if (Lower(k.key) == Lower(line.key)) hint = "[" + std::string(k.section) + "] " + std::string(k.key);
    if (!hint) {
      std::vector<std::string_view> keys;
      for (const KnownSetting& k : KnownSettings())
        if (Lower(k.section) == Lower(line.section)) keys.push_back(k.key);
      if (auto near = Closest(line.key, keys)) hint = std::string(*near);
    }
    c.Add(Severity::Error, "unknown key " + name + at +
                      (hint ? "; did you mean " + *hint + "?" : "; no such key: correct or remove it"));
    return;
  }
  const std::string id = Lower(known->section) + '\n' + Lower(known->key);
  if (auto [it, fresh] = first_line.emplace(id, line.number); !fresh) {
    c.Add(Severity::Warning, name + at + " is ignored: line " + std::to_string(it->second) +
                               " sets it first, and the first one counts");
    return;
  }
  if (auto problem = CheckSettingValue(*known, line.value)) {
    c.Add(problem->error ? Severity::Error : Severity::Warning,
        "[" + std::string(known->section) + "] " + std::string(known->key) + "=" + Shown(line.value) + at +
            " " + problem->why);
    if (problem->error) c.invalid.insert(id);
  }
}

}  // namespace

}  // namespace tarnwick::check
