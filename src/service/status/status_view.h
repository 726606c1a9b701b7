// `tarnwick status`: what a relay holds and is doing, read only from the
// files under its backup root, so it works whether the relay runs or not,
// and whether it runs, from relay.lock (looked at, never taken). It never
// reads a save's bytes: sizes and times come from the directory entries,
// and only markers, records, identities, toforward and the transmitter's
// state file are opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "forwarding/transmitter_state.h"
#include "layout/identity.h"

namespace tarnwick {

// What a pending save's marker says about the bytes still missing.
enum class MarkerKind {
  Count,       // a number: bytes still missing (negative: more arrived than announced)
  Unknown,     // 0: a one-field stream, whose size nobody announced
  NotANumber,  // anything else; the text is kept
  Unreadable,  // the marker could not be read; the error is kept
};

struct SaveStatus {
  std::string name;
  std::int64_t bytes = -1;  // the save file's size; -1 when it could not be had
  bool pending = false;     // it has a <name>_pending marker
  // A marker with no save file beside it: no byte arrived yet.
  bool no_data = false;
  // For a pending save:
  MarkerKind marker = MarkerKind::Count;
  std::int64_t missing = 0;  // MarkerKind::Count only
  std::string marker_text;   // NotANumber: what the marker holds; Unreadable: why
  // Seconds since 1970 of the last write: the save file's or, for a
  // pending save, its marker's when that is later; 0 when unknown.
  std::int64_t modified = 0;
  bool stale = false;  // pending, and nothing written for kStalePending
  // Its identity, ids/<repo>/<save>: a computed one (not declared) marks
  // where end-to-end coverage begins.
  enum class Identity { None, Recorded, Damaged, Unreadable } identity = Identity::None;
  SaveIdentity id;           // Recorded only
  std::string identity_error;  // Damaged, Unreadable: why
};

struct RepoStatus {
  std::string name;
  std::vector<SaveStatus> saves;  // by name
  std::size_t complete = 0, pending = 0, stale = 0;
  std::int64_t bytes = 0;  // of every save whose size is known
  std::int64_t oldest_pending = 0;  // the earliest `modified` of a pending save; 0: none
};

// A forwarding record, forwards/<repo>/<save>, with the save it stands for.
struct RecordStatus {
  std::string repo, save;
  bool readable = true;
  std::string error;  // when not readable
  std::int64_t offset = 0;
  bool set_aside = false;      // the next relay answered "conflict"
  std::string reason;          // set aside: "conflict" or "mismatch"
  bool save_exists = false;
  bool save_pending = false;
  std::int64_t save_bytes = -1;
  std::int64_t save_modified = 0;  // seconds since 1970; 0: unknown
  bool in_transmission = false;  // the transmitter's state names it, mid-attempt
  // Bytes still to send: the save's size less the offset (all of it when the
  // offset lies past the end, as the transmitter then starts over); -1
  // when unknown.
  std::int64_t Remaining() const;
};

// An entry of aside/: bytes that did not match their identity, kept for an
// operator to look at and remove (`tarnwick drop`).
struct AsideEntry {
  std::string repo, name;
  std::int64_t bytes = 0;
  std::string modified;  // UTC ISO-8601
};

struct QueuedSave {
  std::size_t line = 0;  // in toforward, from 1
  std::string repo, save;
};
struct BadQueueLine {
  std::size_t line = 0;
  std::string text;
};

// A pending save that received nothing for this long is stale: its sender
// gave up, or lost its place. A day spares a slow link's long backup,
// whose bytes keep the save's time fresh.
inline constexpr std::int64_t kStalePending = 24 * 3600;
// With more saves than this in all, the table sums each repository up in
// one line, and the forwarding records and queue likewise.
inline constexpr std::size_t kListUpTo = 50;

enum class RelayRuns { Yes, No, Unknown };

struct StatusReport {
  std::string root;
  std::string generated_at;  // UTC ISO-8601
  std::int64_t now = 0;      // the same, in seconds since 1970
  // The one repository to show (`tarnwick status REPO`); empty: all. Health
  // is the whole relay's either way.
  std::string repo;
  // Whether a relay holds relay.lock; running_detail says why Unknown.
  RelayRuns running = RelayRuns::Unknown;
  std::string running_detail;
  // Set when the root itself cannot be read; nothing else is filled then.
  std::string error;
  // Folders and files under the root that could not be listed or read (each
  // is in problems too): the counts below miss whatever they hold.
  std::size_t unread = 0;

  std::vector<RepoStatus> repos;  // by name
  std::vector<RecordStatus> records;  // by repository, then save

  bool queue_file = false;  // toforward exists (a relay rewrites it at a clean stop)
  std::vector<QueuedSave> queued;  // in the file's order
  std::vector<BadQueueLine> bad_queue_lines;

  TransmitterState transmitter;
  TransmitterState::ReadResult transmitter_file;

  std::vector<AsideEntry> aside;  // by repository, then name; each is a problem too

  // Records not set aside, and the one whose save was completed first.
  std::size_t waiting = 0;
  const RecordStatus* OldestWaiting() const;
  // The bytes those records have still to send (unknown ones count none).
  std::int64_t WaitingBytes() const;

  // What an operator must look at: forwarding failing, a next relay that
  // stopped fetching, saves set aside, stale pending saves, failed
  // verifications, aside entries; entries that could not be listed or
  // read, and things that do not belong.
  std::vector<std::string> problems;

  std::size_t SaveCount() const;
  // Running, and nothing in problems.
  bool Healthy() const { return error.empty() && running == RelayRuns::Yes && problems.empty(); }
};

// Reads backup_root's saves/, ids/, aside/, forwards/, toforward,
// forwarding.state and relay.lock (tmp/ is ignored). Never throws for
// anything found on disk. repo only narrows what the formats show.
StatusReport BuildStatus(const std::string& backup_root, const std::string& repo = "");

// 0 healthy; 1 problems; 2 the root cannot be read; 3 no relay runs
// (before problems: a stopped relay forwards nothing at all).
int StatusExitStatus(const StatusReport& report);

// "45 s", "12 min", "3 h 5 min", "2 d 4 h".
std::string AgeText(std::int64_t seconds);

// The report for an operator: a table per repository, then forwarding.
// Byte counts are the files' own; from 1 KiB on a rounded size follows in
// parentheses. Names and messages are shown through EscapeControl (UTF-8
// kept, control characters and bytes that are not UTF-8 escaped, a
// backslash doubled), so that a hostile name cannot move the cursor.
std::string FormatStatusTable(const StatusReport& report);

// The report as one JSON object (the layout is described in status_json.cpp
// above FormatStatusJson). Names are JSON strings; a name that is not valid
// UTF-8 gets U+FFFD for each bad byte, plus a "<key>_hex" member holding its
// exact bytes.
std::string FormatStatusJson(const StatusReport& report);

}  // namespace tarnwick
