#include "layout/records.h"

#include <cctype>
#include <vector>

#include "base/text.h"
#include "layout/stream_header.h"

namespace tarnwick {

namespace {
bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::optional<QueueEntry> ParseQueueLine(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && Blank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !Blank(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  if (tokens.size() != 2) return std::nullopt;
  if (!IsSafeName(tokens[0]) || !IsSafeSaveName(tokens[1])) return std::nullopt;
  return QueueEntry{std::string(tokens[0]), std::string(tokens[1])};
}

std::string FormatQueueLine(const QueueEntry& e) { return e.repo + '\t' + e.save + '\n'; }

ForwardRecord ParseRecord(std::string_view text) {
  ForwardRecord r;
  r.offset = LeadingDecimal(text);
  std::size_t i = 0;
  while (i < text.size() && (Blank(text[i]) || text[i] == '+' || std::isdigit(static_cast<unsigned char>(text[i])))) ++i;
  while (i < text.size() && Blank(text[i])) ++i;
  for (const char* word : {"conflict", "mismatch"})
    if (text.substr(i).starts_with(word)) r.set_aside = true, r.reason = word;
  return r;
}

std::string FormatRecord(const ForwardRecord& r) {
  return std::to_string(r.offset) + (r.set_aside ? " " + r.reason : "");
}

}  // namespace tarnwick
