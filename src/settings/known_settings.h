// Every key of settings.ini the relay reads, with its default, its limits
// and what a valid value looks like: one table, so that the reader, the
// check and the documentation never disagree.
#pragma once

#include <climits>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace tarnwick {

enum class SettingKind {
  Path,    // a directory; must not be empty
  Text,    // a host or a name, taken as it is
  Port,    // 1-65535 or a service name
  Flag,    // 0 or 1
  Number,  // a whole number within [min, max]
  Rate,    // a rate with an optional unit (ParseRate); empty: see meaning
  Address, // an address or host name to listen on; empty or "*": every one
  Endpoint, // "<numeric address>:<port>" to listen on; empty: none
};

struct KnownSetting {
  std::string_view section;
  std::string_view key;
  SettingKind kind;
  // The reader's buffer: a longer value is cut to capacity - 1 characters.
  // 0 for values read as numbers.
  std::size_t capacity;
  long long min = 0, max = INT_MAX;  // Number only
  std::string_view unit = "";        // Number only, for messages
  std::string_view meaning = "";
  // Stores value (as IniFile hands it over; none when the key is absent) in
  // s, falling back to the default as the relay always has.
  void (*read)(Settings& s, const std::optional<std::string>& value) = nullptr;
};

std::span<const KnownSetting> KnownSettings();
// Caseless, as the relay looks keys up; nullptr when the relay never reads it.
const KnownSetting* FindKnownSetting(std::string_view section, std::string_view key);
bool IsKnownSection(std::string_view section);

struct ValueProblem {
  bool error;       // false: the relay copes, but not as written
  std::string why;  // "must be 0 or 1", to follow "[Section] Key=value "
};
// What is wrong with value (trimmed, unquoted) for setting; none when
// nothing is. A "#" or ";" after a blank is taken for a comment the
// operator meant, an error but in a directory name. A Port that is not a number is resolved as a service name,
// so sockets must be started (platform::StartSockets) first.
std::optional<ValueProblem> CheckSettingValue(const KnownSetting& setting, std::string_view value);

}  // namespace tarnwick
