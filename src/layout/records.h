// The forward queue file (toforward) and the forwarding records
// (forwards/<repo>/<save>): what their lines and contents look like.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// A save to forward, by its names.
struct QueueEntry {
  std::string repo;
  std::string save;
  bool operator==(const QueueEntry&) const = default;
  std::string Describe() const { return repo + "/" + save; }
};

// One line of the queue: two names separated by white space. None for a
// line that is malformed or names something unusable as a file name.
std::optional<QueueEntry> ParseQueueLine(std::string_view line);
std::string FormatQueueLine(const QueueEntry& e);  // "repo\tsave\n"

// What a save's forwarding record holds: the offset to resume at and,
// after the next relay answered "conflict" (or twice "mismatch"), the word
// that sets it aside until an operator acts ("<offset> conflict", "<offset>
// mismatch"; a relay that reads only the number still reads the offset). An offset that is not a number, or is
// negative, means byte 0.
struct ForwardRecord {
  std::int64_t offset = 0;
  bool set_aside = false;
  // Why it is set aside: "conflict", or "mismatch" after the next relay
  // twice found the save's bytes differ from its identity.
  std::string reason = "conflict";
  bool operator==(const ForwardRecord&) const = default;
};
ForwardRecord ParseRecord(std::string_view text);
std::string FormatRecord(const ForwardRecord& r);

}  // namespace tarnwick
