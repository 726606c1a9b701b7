#include "forwarding/transmitter_state.h"

#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#include "platform/file_system.h"
#include "base/text.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// A state file is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kStateFileCap = 64 * 1024;
// An error text longer than this is cut: it is shown on one line.
constexpr std::size_t kErrorTextMax = 1000;

struct StateName {
  AttemptState state;
  const char* name;
};
constexpr StateName kStateNames[] = {
    {AttemptState::Unknown, "unknown"},
    {AttemptState::Idle, "idle"},
    {AttemptState::Connecting, "connecting"},
    {AttemptState::Transmitting, "transmitting"},
    {AttemptState::AwaitingConfirmation, "awaiting-confirmation"},
    {AttemptState::Confirmed, "confirmed"},
    {AttemptState::Failed, "failed"},
    {AttemptState::Interrupted, "interrupted"},
    {AttemptState::SetAside, "set-aside"},
    {AttemptState::Stopped, "stopped"},
};

std::string Escape(std::string_view v) { return EscapeControl(v, Escaping{.backslash = true}); }

// A count or offset: decimal digits only; -1 (unknown) for anything else.
std::int64_t ParseCount(std::string_view v) { return ParseDecimal(v).value_or(-1); }

std::string Count(std::int64_t n) { return n < 0 ? std::string() : std::to_string(n); }

std::string Now() { return UtcTimestamp(std::chrono::system_clock::now()); }

}  // namespace

const char* AttemptStateName(AttemptState s) {
  for (const StateName& n : kStateNames)
    if (n.state == s) return n.name;
  return "unknown";
}

AttemptState ParseAttemptState(std::string_view text) {
  for (const StateName& n : kStateNames)
    if (text == n.name) return n.state;
  return AttemptState::Unknown;
}

bool AttemptActive(AttemptState s) {
  return s == AttemptState::Connecting || s == AttemptState::Transmitting ||
         s == AttemptState::AwaitingConfirmation;
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(t);
  const auto day = floor<days>(secs);
  const year_month_day ymd{day};
  const hh_mm_ss hms{secs - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  return buf;
}

std::optional<std::int64_t> ParseUtcTimestamp(std::string_view t) {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SSZ, every field its digits.
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
    return std::nullopt;
  auto field = [&t](std::size_t at, std::size_t n) { return ParseDecimal(t.substr(at, n)); };
  const auto y = field(0, 4), mo = field(5, 2), d = field(8, 2), h = field(11, 2), mi = field(14, 2), s = field(17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  const year_month_day ymd{year(static_cast<int>(*y)), month(static_cast<unsigned>(*mo)),
                           day(static_cast<unsigned>(*d))};
  if (!ymd.ok()) return std::nullopt;
  return sys_days(ymd).time_since_epoch().count() * 86400 + *h * 3600 + *mi * 60 + *s;
}

std::string TransmitterState::Format() const {
  std::string out = "# Tarnwick transmitter state, rewritten by the relay; `tarnwick status` shows it\n";
  auto line = [&out](const char* key, std::string_view value) {
    out += key;
    out += '=';
    out += Escape(value);
    out += '\n';
  };
  line("updated", updated);
  line("running_since", running_since);
  line("peer", peer);
  line("state", AttemptStateName(state));
  line("repo", repo);
  line("save", save);
  line("offset", Count(offset));
  line("size", Count(size));
  line("attempt_started", attempt_started);
  line("attempt_ended", attempt_ended);
  line("last_outcome", AttemptStateName(last_outcome));
  line("last_error", last_error);
  line("last_error_at", last_error_at);
  line("forwarded", Count(forwarded));
  line("failed_attempts", Count(failed_attempts));
  line("last_contact", last_contact);
  line("last_forward", last_forward);
  line("fetch_wait_since", fetch_wait_since);
  return out;
}

bool TransmitterState::Parse(std::string_view text, TransmitterState& out, std::string* why) {
  TransmitterState s;
  bool have_state = false;
  std::size_t line_no = 0;
  auto fail = [&](const std::string& what) {
    if (why) *why = what;
    return false;
  };
  while (!text.empty()) {
    ++line_no;
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0)
      return fail("line " + std::to_string(line_no) + " is not key=value");
    const std::string_view key = line.substr(0, eq);
    const std::string value = Unescape(line.substr(eq + 1));
    if (key == "updated") s.updated = value;
    else if (key == "running_since") s.running_since = value;
    else if (key == "peer") s.peer = value;
    else if (key == "state") s.state = ParseAttemptState(value), have_state = true;
    else if (key == "repo") s.repo = value;
    else if (key == "save") s.save = value;
    else if (key == "offset") s.offset = ParseCount(value);
    else if (key == "size") s.size = ParseCount(value);
    else if (key == "attempt_started") s.attempt_started = value;
    else if (key == "attempt_ended") s.attempt_ended = value;
    else if (key == "last_outcome") s.last_outcome = ParseAttemptState(value);
    else if (key == "last_error") s.last_error = value;
    else if (key == "last_error_at") s.last_error_at = value;
    else if (key == "forwarded") s.forwarded = ParseCount(value);
    else if (key == "failed_attempts") s.failed_attempts = ParseCount(value);
    else if (key == "last_contact") s.last_contact = value;
    else if (key == "last_forward") s.last_forward = value;
    else if (key == "fetch_wait_since") s.fetch_wait_since = value;
    // Any other key is a newer relay's: ignored.
  }
  if (!have_state) return fail("no state line");
  out = std::move(s);
  return true;
}

Status TransmitterState::Write(const BackupRoot& root) const {
  // Informational only: not worth a sync in the middle of a transmission.
  return root.WriteAtomically(root.StateFile(), Format(), /*durable=*/false);
}

TransmitterState TransmitterState::Read(const BackupRoot& root, ReadResult* how) {
  ReadResult local;
  ReadResult& r = how ? *how : local;
  std::string text;
  if (const Status st = root.ReadSmall(root.StateFile(), text, kStateFileCap + 1); !st.ok()) {
    r = st.IsNotFound() ? ReadResult{FileStatus::Absent, ""} : ReadResult{FileStatus::Unreadable, platform::ErrorText(static_cast<int>(st.code()))};
    return {};
  }
  if (text.size() > kStateFileCap) {
    r = {FileStatus::Malformed, "larger than " + std::to_string(kStateFileCap) + " bytes"};
    return {};
  }
  TransmitterState s;
  std::string why;
  if (!Parse(text, s, &why)) {
    r = {FileStatus::Malformed, why};
    return {};
  }
  r = {FileStatus::Read, ""};
  return s;
}

TransmitterStateRecorder::TransmitterStateRecorder(const BackupRoot& root, std::string peer,
                                                   SteadyClock::duration progress_every)
    : root_(root), progress_every_(progress_every) {
  TransmitterState::ReadResult how;
  const TransmitterState before = TransmitterState::Read(root_, &how);
  if (how.status == TransmitterState::FileStatus::Read) {
    s_.last_error = before.last_error;
    s_.last_error_at = before.last_error_at;
    s_.last_contact = before.last_contact;
    s_.last_forward = before.last_forward;
  }
  s_.peer = std::move(peer);
  s_.running_since = Now();
  s_.state = AttemptState::Idle;
  s_.forwarded = 0;
  s_.failed_attempts = 0;
  Flush();
}

void TransmitterStateRecorder::AttemptStarted(const QueueEntry& e, std::int64_t offset, std::int64_t size) {
  s_.state = AttemptState::Connecting;
  s_.repo = e.repo;
  s_.save = e.save;
  s_.offset = offset;
  s_.size = size;
  s_.attempt_started = Now();
  s_.attempt_ended.clear();
  Flush();
}

void TransmitterStateRecorder::Transmitting(std::int64_t offset) {
  s_.state = AttemptState::Transmitting;
  s_.offset = offset;
  Flush();
}

void TransmitterStateRecorder::Progress(std::int64_t offset) {
  s_.offset = offset;
  if (SteadyClock::now() - last_write_ < progress_every_) return;
  Flush();
}

void TransmitterStateRecorder::AwaitingConfirmation(std::int64_t offset) {
  s_.state = AttemptState::AwaitingConfirmation;
  s_.offset = offset;
  Flush();
}

void TransmitterStateRecorder::AttemptEnded(AttemptState outcome, std::int64_t offset, const std::string& error) {
  s_.state = outcome;
  s_.last_outcome = outcome;
  s_.offset = offset;
  s_.attempt_ended = Now();
  if (outcome == AttemptState::Confirmed) {
    s_.last_contact = s_.last_forward = s_.attempt_ended;
    ++s_.forwarded;
    s_.failed_attempts = 0;
  } else if (outcome == AttemptState::Failed) {
    ++s_.failed_attempts;
  }
  if (!error.empty()) {
    s_.last_error = error.substr(0, kErrorTextMax);
    s_.last_error_at = s_.attempt_ended;
  }
  Flush();
}

void TransmitterStateRecorder::Idle() {
  s_.state = AttemptState::Idle;
  s_.fetch_wait_since.clear();
  Flush();
}

void TransmitterStateRecorder::Stopped() {
  s_.state = AttemptState::Stopped;
  s_.fetch_wait_since.clear();
  Flush();
}

void TransmitterStateRecorder::FetchWait() {
  if (!s_.fetch_wait_since.empty()) return;
  s_.fetch_wait_since = Now();
  Flush();
}

void TransmitterStateRecorder::Fetched() {
  s_.last_contact = Now();
  s_.fetch_wait_since.clear();
  Flush();
}

void TransmitterStateRecorder::Flush() {
  s_.updated = Now();
  last_write_ = SteadyClock::now();
  s_.Write(root_);
}

}  // namespace tarnwick
