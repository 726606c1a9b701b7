#include "forwarding/forward_queue.h"

#include <cctype>
#include <limits>

#include "platform/file_system.h"
#include "reception/save_session.h"
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

ForwardRecord ParseRecord(std::string_view text) {
  ForwardRecord r;
  r.offset = ParseProgress(text);
  std::size_t i = 0;
  while (i < text.size() && (Blank(text[i]) || text[i] == '+' || std::isdigit(static_cast<unsigned char>(text[i])))) ++i;
  while (i < text.size() && Blank(text[i])) ++i;
  r.set_aside = text.substr(i).starts_with("conflict");
  return r;
}

std::string FormatRecord(const ForwardRecord& r) {
  return std::to_string(r.offset) + (r.set_aside ? " conflict" : "");
}

std::filesystem::path RecordPath(const std::filesystem::path& root, const QueueEntry& e) {
  return root / FRWD_DIR / e.repo / e.save;
}

int WriteRecord(const std::filesystem::path& root, const QueueEntry& e, const ForwardRecord& r) {
  platform::FileSystem& f = platform::Fs();
  const std::filesystem::path forwards = root / FRWD_DIR, dir = forwards / e.repo;
  for (const std::filesystem::path& d : {forwards, dir}) {
    platform::FileInfo info;
    const int looked = f.Stat(d, info);
    if (looked == 0 && info.type == platform::FileInfo::Type::Directory) continue;
    if (looked != 0 && !platform::IsNotFound(looked)) return looked;
    if (int err = f.CreateDirectory(d)) return err;
    if (int err = f.SyncDirectory(d.parent_path())) return err;
  }
  return platform::WriteFileAtomically(dir / e.save, FormatRecord(r), root / TEMP_DIR);
}

std::optional<ForwardRecord> ReadRecord(const std::filesystem::path& root, const QueueEntry& e,
                                        int* error) {
  std::string text;
  int err = platform::ReadSmallFile(RecordPath(root, e), text, 256);
  if (error) *error = err;
  if (err != 0) return std::nullopt;
  return ParseRecord(text);
}

int RemoveRecord(const std::filesystem::path& root, const QueueEntry& e) {
  const std::filesystem::path p = RecordPath(root, e);
  int err = platform::Fs().Remove(p);
  if (err != 0 && !platform::IsNotFound(err)) return err;
  return platform::Fs().SyncDirectory(p.parent_path());
}

}  // namespace tarnwick
