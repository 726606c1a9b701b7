// The forward queue file (toforward) and the progress files
// (forwards/<repo>/<save>): their formats and the queue's writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
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

// What a save's forwarding record holds: the offset to resume at and,
// after the next relay answered "conflict", the word that sets it aside
// until an operator acts ("<offset> conflict"; a relay that reads only the
// number still reads the offset).
struct ForwardRecord {
  std::int64_t offset = 0;
  bool set_aside = false;
  bool operator==(const ForwardRecord&) const = default;
};
ForwardRecord ParseRecord(std::string_view text);
std::string FormatRecord(const ForwardRecord& r);

// The record files under a backup root. Writes are atomic (a temporary file
// renamed into place) and synced; 0 or the error code.
std::filesystem::path RecordPath(const std::filesystem::path& root, const QueueEntry& e);
int WriteRecord(const std::filesystem::path& root, const QueueEntry& e, const ForwardRecord& r);
// Missing or unreadable: nullopt, the error in *error (ENOENT when absent).
std::optional<ForwardRecord> ReadRecord(const std::filesystem::path& root, const QueueEntry& e,
                                        int* error = nullptr);
int RemoveRecord(const std::filesystem::path& root, const QueueEntry& e);

}  // namespace tarnwick
