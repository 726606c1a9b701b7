#include "layout/stream_header.h"

#include "base/sha256.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>
#include <string>

namespace tarnwick {

namespace {

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void SkipBlanks(std::string_view s, std::size_t& i) {
  while (i < s.size() && Blank(s[i])) ++i;
}

std::string Token(std::string_view s, std::size_t& i) {
  std::size_t start = i;
  while (i < s.size() && !Blank(s[i]) && i - start < kHeaderFieldMax) ++i;
  return std::string(s.substr(start, i - start));
}

StreamHeader Malformed(StreamHeader h, const char* error, long long code) {
  h.form = StreamHeader::Form::Malformed;
  h.error = error;
  h.error_code = code;
  return h;
}

// Windows reserves these names for devices with any extension ("NUL.txt"),
// in any case and with blanks before the extension ("CON .txt"): COM and
// LPT with a digit 0-9 or a superscript 1, 2 or 3 (as UTF-8, or as the
// Latin-1 byte a narrow name may carry).
bool IsDeviceName(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* n : kNames)
    if (base == n) return true;
  if (!base.starts_with("COM") && !base.starts_with("LPT")) return false;
  const std::string_view tail = std::string_view(base).substr(3);
  if (tail.size() == 1 && tail[0] >= '0' && tail[0] <= '9') return true;
  for (std::string_view super : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3", "\xB9", "\xB2", "\xB3"})
    if (tail == super) return true;
  return false;
}

}  // namespace

bool IsSafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.size() + kPendingSuffix.size() > kFileNameMax) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
    if (std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

bool IsSafeSaveName(std::string_view name) {
  // In any case: where names differ only in case they are one file
  // (Windows), and "s_PENDING" would be the marker of "s".
  if (name.size() >= kPendingSuffix.size()) {
    const std::string_view tail = name.substr(name.size() - kPendingSuffix.size());
    if (std::equal(tail.begin(), tail.end(), kPendingSuffix.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return false;
  }
  return IsSafeName(name);
}

std::string FormatStreamHeader(const std::string& repo, std::int64_t count, const std::string& save,
                               std::int64_t offset, const std::string& digest) {
  std::string h = repo + ' ' + std::to_string(count) + ' ' + save + ' ' + std::to_string(offset);
  if (!digest.empty()) h += ' ' + std::string(kDigestPrefix) + digest;
  h.push_back('\0');
  return h;
}

std::string FormatStreamHeader(const std::string& repo) {
  std::string h = repo;
  h.push_back('\0');
  return h;
}

StreamHeader ParseStreamHeader(std::string_view first_read) {
  StreamHeader h;
  auto nul = first_read.find('\0');
  if (nul == std::string_view::npos) return Malformed(std::move(h), "wrong format", -1);
  std::string_view text = first_read.substr(0, nul);
  h.length = nul + 1;

  std::size_t i = 0;
  SkipBlanks(text, i);
  if (i == text.size()) return Malformed(std::move(h), "wrong format", 0);
  h.repo = Token(text, i);

  // The count reads like "%d" (blanks, a sign, digits) but in 64 bits, so
  // saves of 2 GiB and more keep their true size.
  SkipBlanks(text, i);
  bool negative = false;
  std::size_t j = i;
  if (j < text.size() && (text[j] == '+' || text[j] == '-')) negative = text[j++] == '-';
  bool have_count = j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]));
  if (have_count) {
    const std::size_t digits = j;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    const std::optional<std::int64_t> count = ParseDecimal(text.substr(digits, j - digits));
    const bool overflow = !count;
    const std::int64_t n = count.value_or(0);
    i = j;
    SkipBlanks(text, i);
    if (i == text.size()) return Malformed(std::move(h), "wrong format", 2);
    h.save = Token(text, i);
    if (overflow || (negative && n != 0)) return Malformed(std::move(h), "wrong format", 3);
    h.count = n;
    h.form = StreamHeader::Form::ThreeField;
    SkipBlanks(text, i);
    const std::string fourth = Token(text, i);
    if (!fourth.empty() && (std::isdigit(static_cast<unsigned char>(fourth[0])) || fourth[0] == '+' ||
                            fourth[0] == '-')) {
      std::optional<std::int64_t> offset = ParseDecimal(fourth);
      if (!offset || *offset > std::numeric_limits<std::int64_t>::max() - h.count)
        return Malformed(std::move(h), "wrong format", 4);
      h.offset = *offset;
      h.form = StreamHeader::Form::FourField;
      SkipBlanks(text, i);
      const std::string fifth = Token(text, i);
      if (fifth.starts_with(kDigestPrefix) && IsHexDigest(std::string_view(fifth).substr(kDigestPrefix.size())))
        h.digest = fifth.substr(kDigestPrefix.size());
    }
  } else {
    h.form = StreamHeader::Form::OneField;
  }

  if (!IsSafeName(h.repo)) return Malformed(std::move(h), "invalid repo_name", 0);
  if (h.form != StreamHeader::Form::OneField && !IsSafeSaveName(h.save))
    return Malformed(std::move(h), "invalid save_name", 0);
  return h;
}

}  // namespace tarnwick
