#include "forwarding/forward_queue.h"

#include <cctype>
#include <limits>

#include "reception/stream_header.h"

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

std::int64_t ParseProgress(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && Blank(text[i])) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return 0;
  std::int64_t n = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    int d = text[i] - '0';
    if (n > (std::numeric_limits<std::int64_t>::max() - d) / 10) return 0;
    n = n * 10 + d;
  }
  return n;
}

bool ForwardQueueWriter::Open(const std::filesystem::path& file) {
  std::lock_guard lock(m_);
  f_ = std::fopen(file.string().c_str(), "w+");
  if (!f_) return false;
  for (const QueueEntry& e : held_) std::fputs(FormatQueueLine(e).c_str(), f_);
  held_.clear();
  std::fflush(f_);
  return true;
}

void ForwardQueueWriter::Append(const QueueEntry& e) {
  std::lock_guard lock(m_);
  if (closed_) return;
  if (!f_) {
    held_.push_back(e);
    return;
  }
  std::fputs(FormatQueueLine(e).c_str(), f_);
  std::fflush(f_);
}

void ForwardQueueWriter::Close() {
  std::lock_guard lock(m_);
  if (f_) std::fclose(f_);
  f_ = nullptr;
  closed_ = true;
}

}  // namespace tarnwick
