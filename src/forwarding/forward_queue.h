// The forward queue file (toforward) and the progress files
// (forwards/<repo>/<save>): their formats and the queue's writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr const char* TOFORWARD = "toforward";
inline constexpr const char* FRWD_DIR = "forwards";

struct QueueEntry {
  std::string repo;
  std::string save;
  bool operator==(const QueueEntry&) const = default;
};

// One line of the queue: two names separated by white space. None for a
// line that is malformed or names something unusable as a file name.
std::optional<QueueEntry> ParseQueueLine(std::string_view line);
std::string FormatQueueLine(const QueueEntry& e);  // "repo\tsave\n"

// The offset a progress file holds: one decimal number; anything else
// (empty, garbage, negative) means "start from byte 0".
std::int64_t ParseProgress(std::string_view text);

// The queue stream of a run. Transmissions that end unfinished append here,
// each entry flushed at once so that a crash does not lose it. Entries
// appended while the replay still reads the file are held back and written
// once the file has been emptied; nothing is written after Close.
class ForwardQueueWriter {
 public:
  // Empties the file and makes it the stream for the rest of the run.
  bool Open(const std::filesystem::path& file);
  void Append(const QueueEntry& e);
  void Close();

 private:
  std::mutex m_;
  std::FILE* f_ = nullptr;
  bool closed_ = false;
  std::vector<QueueEntry> held_;
};

}  // namespace tarnwick
