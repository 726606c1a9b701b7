// settings.ini as text: sections and keys compare without regard to case,
// the first occurrence of a key wins, surrounding blanks and one pair of
// enclosing quotes are removed, ';' and '#' start a comment line.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

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

  // The value as written (trimmed, unquoted), or none when absent.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

 private:
  std::map<std::string, std::string> values_;  // "section\nkey", lower case
};

}  // namespace tarnwick
