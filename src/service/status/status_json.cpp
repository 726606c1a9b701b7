// FormatStatusJson: the report for scripts, one JSON object.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <utility>

#include "layout/backup_root.h"
#include "service/status/json_writer.h"
#include "service/status/status_view.h"

namespace tarnwick {

namespace {

const char* MarkerName(MarkerKind k) {
  switch (k) {
    case MarkerKind::Count: return "count";
    case MarkerKind::Unknown: return "unknown";
    case MarkerKind::NotANumber: return "not-a-number";
    case MarkerKind::Unreadable: return "unreadable";
  }
  return "unknown";
}

const char* FileStatusName(TransmitterState::FileStatus s) {
  switch (s) {
    case TransmitterState::FileStatus::Read: return "read";
    case TransmitterState::FileStatus::Absent: return "absent";
    case TransmitterState::FileStatus::Unreadable: return "unreadable";
    case TransmitterState::FileStatus::Malformed: return "malformed";
  }
  return "unknown";
}

void WriteIdentity(JsonWriter& j, const SaveStatus& s) {
  j.Key("identity");
  if (s.identity == SaveStatus::Identity::None) return j.Null();
  j.BeginObject();
  j.Key("state");
  j.String(s.identity == SaveStatus::Identity::Recorded ? "recorded"
           : s.identity == SaveStatus::Identity::Damaged ? "damaged"
                                                         : "unreadable");
  if (s.identity != SaveStatus::Identity::Recorded) {
    j.Key("error");
    j.String(s.identity_error);
    return j.EndObject();
  }
  const SaveIdentity& id = s.id;
  j.Key("size");
  j.CountOrNull(id.size);
  j.Key("sha256");
  j.TextOrNull(id.digest);
  j.Key("origin");
  j.String(id.declared ? "declared" : "computed");
  j.Key("verified_at");
  id.verified_at ? j.String(UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(id.verified_at))))
                 : j.Null();
  j.Key("verification");
  id.verified_at ? j.String(id.verified_good ? "good" : "mismatch") : j.Null();
  j.Key("mismatches");
  j.Number(id.mismatches);
  j.EndObject();
}

void WriteTransmitter(JsonWriter& j, const StatusReport& r) {
  const TransmitterState& t = r.transmitter;
  j.BeginObject();
  j.Key("file");
  j.String(FileStatusName(r.transmitter_file.status));
  j.Key("detail");
  j.TextOrNull(r.transmitter_file.detail);
  j.Key("updated");
  j.TextOrNull(t.updated);
  j.Key("running_since");
  j.TextOrNull(t.running_since);
  j.Key("peer");
  j.TextOrNull(t.peer);
  j.Key("state");
  j.String(AttemptStateName(t.state));
  j.Key("save");
  if (t.save.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.Name("repo", t.repo);
    j.Name("save", t.save);
    j.Key("offset");
    j.CountOrNull(t.offset);
    j.Key("size");
    j.CountOrNull(t.size);
    j.Key("in_transmission");
    j.Bool(AttemptActive(t.state));
    j.Key("attempt_started");
    j.TextOrNull(t.attempt_started);
    j.Key("attempt_ended");
    j.TextOrNull(t.attempt_ended);
    j.Key("last_outcome");
    j.String(AttemptStateName(t.last_outcome));
    j.EndObject();
  }
  j.Key("last_error");
  if (t.last_error.empty()) {
    j.Null();
  } else {
    j.BeginObject();
    j.Key("text");
    j.String(t.last_error);
    j.Key("at");
    j.TextOrNull(t.last_error_at);
    j.EndObject();
  }
  j.Key("forwarded");
  j.CountOrNull(t.forwarded);
  j.Key("failed_attempts");
  j.CountOrNull(t.failed_attempts);
  j.Key("last_contact");
  j.TextOrNull(t.last_contact);
  j.Key("last_forward");
  j.TextOrNull(t.last_forward);
  j.Key("fetch_wait_since");
  j.TextOrNull(t.fetch_wait_since);
  j.EndObject();
}

std::string Utc(std::int64_t t) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::seconds(t)));
}

}  // namespace

// {
//   "root", "generated_at", "error" (null unless the root cannot be read),
//   "running": true|false|null (null: relay.lock cannot be looked at), "healthy",
//   "repository": the one asked for, or null,
//   "repositories" (only the one asked for, when one is): [{"name", "complete", "pending", "bytes",
//       "stale_pending", "oldest_pending_age" (seconds; null: none pending),
//       "saves": [{"name", "state": "complete"|"pending", "bytes" (null: unknown), "modified" (null: unknown),
//                  pending only: "stale", "no_data", "marker": "count"|"unknown"|"not-a-number"|"unreadable",
//                  "missing" (null unless "count"), "marker_text" (not-a-number, unreadable),
//                  "identity": null | {"state": "damaged"|"unreadable", "error"}
//                      | {"state": "recorded", "size", "sha256" (null: not known yet),
//                         "origin": "declared"|"computed", "verified_at" (null: never),
//                         "verification": "good"|"mismatch"|null, "mismatches"}}]}],
//   "aside": [{"repo", "name", "path", "bytes", "modified"}],
//   "forwarding": {
//     "transmitter": {"file": "read"|"absent"|"unreadable"|"malformed", "detail", "updated",
//         "running_since", "peer", "state", "save": null | {"repo", "save", "offset", "size",
//         "in_transmission", "attempt_started", "attempt_ended", "last_outcome"},
//         "last_error": null | {"text", "at"}, "forwarded", "failed_attempts",
//         "last_contact" (null: none recorded), "last_forward" (the last save the next relay confirmed;
//         null: none recorded), "fetch_wait_since" (listen mode; null: not waiting)},
//     "last_contact_age" (seconds; null: none recorded),
//     "waiting" (saves waiting to be forwarded, set aside ones not counted), "waiting_bytes" (their bytes still
//         to send),
//     "oldest_waiting": null | {"repo", "save", "complete_since", "age" (seconds)},
//     "records" (the repository's only, when one is asked for): [{"repo", "save", "readable", "error",
//                  "offset", "set_aside", "reason" (null unless set aside), "in_transmission",
//                  "save_exists", "save_pending", "save_bytes", "remaining"}],
//     "queue_file", "queued" (likewise): [{"line", "repo", "save"}], "bad_queue_lines": [{"line", "text"}]},
//   "problems": ["..."]
// }
std::string FormatStatusJson(const StatusReport& r) {
  JsonWriter j;
  j.BeginObject();
  j.Key("root");
  j.String(r.root);
  j.Key("generated_at");
  j.String(r.generated_at);
  j.Key("error");
  j.TextOrNull(r.error);
  j.Key("running");
  r.running == RelayRuns::Unknown ? j.Null() : j.Bool(r.running == RelayRuns::Yes);
  j.Key("healthy");
  j.Bool(r.Healthy());
  j.Key("repository");
  j.TextOrNull(r.repo);
  const auto shown = [&r](const std::string& repo) { return r.repo.empty() || repo == r.repo; };
  j.Key("repositories");
  j.BeginArray();
  for (const RepoStatus& repo : r.repos) {
    if (!shown(repo.name)) continue;
    j.BeginObject();
    j.Name("name", repo.name);
    j.Key("complete");
    j.Number(static_cast<std::int64_t>(repo.complete));
    j.Key("pending");
    j.Number(static_cast<std::int64_t>(repo.pending));
    j.Key("bytes");
    j.Number(repo.bytes);
    j.Key("stale_pending");
    j.Number(static_cast<std::int64_t>(repo.stale));
    j.Key("oldest_pending_age");
    repo.oldest_pending ? j.Number(r.now - repo.oldest_pending) : j.Null();
    j.Key("saves");
    j.BeginArray();
    for (const SaveStatus& s : repo.saves) {
      j.BeginObject();
      j.Name("name", s.name);
      j.Key("state");
      j.String(s.pending ? "pending" : "complete");
      j.Key("bytes");
      j.CountOrNull(s.bytes);
      j.Key("modified");
      s.modified ? j.String(Utc(s.modified)) : j.Null();
      if (s.pending) {
        j.Key("stale");
        j.Bool(s.stale);
        j.Key("no_data");
        j.Bool(s.no_data);
        j.Key("marker");
        j.String(MarkerName(s.marker));
        j.Key("missing");
        // A negative count is meaningful here: more arrived than announced.
        s.marker == MarkerKind::Count ? j.Number(s.missing) : j.Null();
        if (s.marker == MarkerKind::NotANumber || s.marker == MarkerKind::Unreadable) {
          j.Key("marker_text");
          j.String(s.marker_text);
        }
      }
      WriteIdentity(j, s);
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();

  j.Key("aside");
  j.BeginArray();
  for (const AsideEntry& a : r.aside) {
    j.BeginObject();
    j.Name("repo", a.repo);
    j.Name("name", a.name);
    j.Name("path", std::string(kAsideDir) + "/" + a.repo + "/" + a.name);
    j.Key("bytes");
    j.Number(a.bytes);
    j.Key("modified");
    j.String(a.modified);
    j.EndObject();
  }
  j.EndArray();

  j.Key("forwarding");
  j.BeginObject();
  j.Key("transmitter");
  WriteTransmitter(j, r);
  j.Key("last_contact_age");
  const std::optional<std::int64_t> contact = ParseUtcTimestamp(r.transmitter.last_contact);
  contact ? j.Number(r.now - *contact) : j.Null();
  j.Key("waiting");
  j.Number(static_cast<std::int64_t>(r.waiting));
  j.Key("waiting_bytes");
  j.Number(r.WaitingBytes());
  j.Key("oldest_waiting");
  if (const RecordStatus* oldest = r.OldestWaiting()) {
    j.BeginObject();
    j.Name("repo", oldest->repo);
    j.Name("save", oldest->save);
    j.Key("complete_since");
    j.String(Utc(oldest->save_modified));
    j.Key("age");
    j.Number(r.now - oldest->save_modified);
    j.EndObject();
  } else {
    j.Null();
  }
  j.Key("records");
  j.BeginArray();
  for (const RecordStatus& rec : r.records) {
    if (!shown(rec.repo)) continue;
    j.BeginObject();
    j.Name("repo", rec.repo);
    j.Name("save", rec.save);
    j.Key("readable");
    j.Bool(rec.readable);
    j.Key("error");
    j.TextOrNull(rec.error);
    j.Key("offset");
    rec.readable ? j.Number(rec.offset) : j.Null();
    j.Key("set_aside");
    j.Bool(rec.set_aside);
    j.Key("reason");
    j.TextOrNull(rec.reason);
    j.Key("in_transmission");
    j.Bool(rec.in_transmission);
    j.Key("save_exists");
    j.Bool(rec.save_exists);
    j.Key("save_pending");
    j.Bool(rec.save_pending);
    j.Key("save_bytes");
    j.CountOrNull(rec.save_exists ? rec.save_bytes : -1);
    j.Key("remaining");
    j.CountOrNull(rec.Remaining());
    j.EndObject();
  }
  j.EndArray();
  j.Key("queue_file");
  j.Bool(r.queue_file);
  j.Key("queued");
  j.BeginArray();
  for (const QueuedSave& q : r.queued) {
    if (!shown(q.repo)) continue;
    j.BeginObject();
    j.Key("line");
    j.Number(static_cast<std::int64_t>(q.line));
    j.Name("repo", q.repo);
    j.Name("save", q.save);
    j.EndObject();
  }
  j.EndArray();
  j.Key("bad_queue_lines");
  j.BeginArray();
  for (const BadQueueLine& b : r.bad_queue_lines) {
    j.BeginObject();
    j.Key("line");
    j.Number(static_cast<std::int64_t>(b.line));
    j.Name("text", b.text);
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();

  j.Key("problems");
  j.BeginArray();
  for (const std::string& p : r.problems) j.String(p);
  j.EndArray();
  j.EndObject();
  return j.Take();
}

}  // namespace tarnwick
