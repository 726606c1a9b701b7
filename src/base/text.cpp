#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace tarnwick {

std::optional<std::int64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

std::int64_t LeadingDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  std::size_t j = i;
  while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
  return ParseDecimal(text.substr(i, j - i)).value_or(0);
}

std::size_t Utf8Length(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c == 0xE0) n = 3, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) n = 3;
  else if (c == 0xED) n = 3, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) n = 3;
  else if (c == 0xF0) n = 4, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) n = 4;
  else if (c == 0xF4) n = 4, hi = 0x8F;
  else return 0;
  if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

std::string EscapeControl(std::string_view text, Escaping how) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto byte = [&](unsigned char c) {
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0xf];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (how.utf8 && c >= 0x80) {
      // Whole sequences pass; a C1 control (which some terminals obey) or a
      // byte that starts none is shown as bytes.
      const std::size_t n = Utf8Length(text, i);
      if (n == 0 || (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
        for (std::size_t k = 0; k < std::max<std::size_t>(n, 1); ++k) byte(static_cast<unsigned char>(text[i + k]));
        i += std::max<std::size_t>(n, 1);
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += how.backslash ? "\\\\" : "\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) byte(c);
        else out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

std::string Unescape(std::string_view v) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 >= v.size()) {
      out += v[i];
      continue;
    }
    const char n = v[i + 1];
    if (n == '\\') out += '\\', ++i;
    else if (n == 'n') out += '\n', ++i;
    else if (n == 'r') out += '\r', ++i;
    else if (n == 't') out += '\t', ++i;
    else if (n == 'x' && i + 3 < v.size() && hex(v[i + 2]) >= 0 && hex(v[i + 3]) >= 0) {
      out += static_cast<char>(hex(v[i + 2]) * 16 + hex(v[i + 3]));
      i += 3;
    } else {
      out += '\\';
    }
  }
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool SameCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string RateText(long long bytes, std::chrono::steady_clock::duration took) {
  const double secs = std::max(std::chrono::duration<double>(took).count(), 0.001);
  char text[96];
  std::snprintf(text, sizeof text, "%lld bytes in %.1f s (%.1f MiB/s)", bytes, secs,
                static_cast<double>(bytes) / secs / (1024.0 * 1024.0));
  return text;
}

}  // namespace tarnwick
