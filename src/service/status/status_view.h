// `tarnwick status`: what a relay holds and is doing, read only from the
// files under its backup root, so it works whether the relay runs or not.
// It never reads a save's bytes: sizes come from the directory entries, and
// only markers, records, identities, toforward and the transmitter's state
// file are opened.
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
  // Its identity, ids/<repo>/<save>: a computed one (not declared) marks
  // where end-to-end coverage begins.
  enum class Identity { None, Recorded, Damaged, Unreadable } identity = Identity::None;
  SaveIdentity id;           // Recorded only
  std::string identity_error;  // Damaged, Unreadable: why
};

struct RepoStatus {
  std::string name;
  std::vector<SaveStatus> saves;  // by name
  std::size_t complete = 0, pending = 0;
  std::int64_t bytes = 0;  // of every save whose size is known
};

// A forwarding record, forwards/<repo>/<save>, with the save it stands for.
struct RecordStatus {
  std::string repo, save;
  bool readable = true;
  std::string error;  // when not readable
  std::int64_t offset = 0;
  bool set_aside = false;      // the next relay answered "conflict"
  bool save_exists = false;
  bool save_pending = false;
  std::int64_t save_bytes = -1;
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

struct StatusReport {
  std::string root;
  std::string generated_at;  // UTC ISO-8601
  // Set when the root itself cannot be read; nothing else is filled then.
  std::string error;

  std::vector<RepoStatus> repos;  // by name
  std::vector<RecordStatus> records;  // by repository, then save

  bool queue_file = false;  // toforward exists (a relay rewrites it at a clean stop)
  std::vector<QueuedSave> queued;  // in the file's order
  std::vector<BadQueueLine> bad_queue_lines;

  TransmitterState transmitter;
  TransmitterState::ReadResult transmitter_file;

  std::vector<AsideEntry> aside;  // by repository, then name; each is a problem too

  // Entries that could not be listed or read, and things that do not belong.
  std::vector<std::string> problems;
};

// Reads backup_root's saves/, ids/, aside/, forwards/, toforward and
// forwarding.state (tmp/ is ignored). Never throws for anything found on disk.
StatusReport BuildStatus(const std::string& backup_root);

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
