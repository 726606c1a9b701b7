// Small text helpers shared by every part.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// All of text as a non-negative decimal that fits in 63 bits; none for
// anything else (a sign, a blank, a letter, an empty text, an overflow).
std::optional<std::int64_t> ParseDecimal(std::string_view text);
// The leading decimal digits of text, after blanks and an optional '+'; 0
// when there are none or they overflow.
std::int64_t LeadingDecimal(std::string_view text);

// The one escaper: control characters as \n, \r, \t or \xHH, so that a
// name or a peer's text stays on one line of a log, a file or a table.
struct Escaping {
  bool backslash = false;  // a backslash doubled, so that Unescape reads it back
  bool utf8 = false;       // C1 controls and bytes that are not UTF-8 as \xHH too
};
std::string EscapeControl(std::string_view text, Escaping how = {});
// EscapeControl's text with backslash set, read back; an escape it never
// makes is kept as it stands.
std::string Unescape(std::string_view text);
// Length of the well-formed UTF-8 sequence starting at s[i], 0 when the
// byte there does not start one (overlong forms and surrogates included).
std::size_t Utf8Length(std::string_view s, std::size_t i);

std::string Lower(std::string_view text);
bool SameCaseless(std::string_view a, std::string_view b);
std::string_view TrimBlanks(std::string_view text);

// "<n> bytes in 1.2 s (85.3 MiB/s)" for the entries about a transfer.
std::string RateText(long long bytes, std::chrono::steady_clock::duration took);

}  // namespace tarnwick
