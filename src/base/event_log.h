// Where every part reports: one entry per event, through a sink the
// process chooses (the system's log and standard error for a relay, a
// capture in tests). A part gets the log it writes to from its owner.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/status.h"

namespace tarnwick {

// State: a change of the service's state ("Tarnwick state: RUNNING"),
// which only the relay's own process reports.
enum class EventType { Error = 1, Warning = 2, Information = 4, State = 8 };

// Failure texts of the classic form live in an 80-character buffer: 79
// characters and the NUL.
inline constexpr std::size_t kFailureTextMax = 79;

class EventLog {
 public:
  using Sink = std::function<void(EventType, std::string_view message)>;
  explicit EventLog(Sink sink) : sink_(std::move(sink)) {}
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void Write(EventType type, std::string_view message);
  void Error(std::string_view text) { Write(EventType::Error, text); }
  void Error(const Status& s) { Write(EventType::Error, s.Line()); }
  void Warning(std::string_view text) { Write(EventType::Warning, text); }
  void Info(std::string_view text) { Write(EventType::Information, text); }
  void StateChange(std::string_view state_name) { Write(EventType::State, "Tarnwick state: " + std::string(state_name)); }
  // "<what> failed with <code>", cut at 79 characters: the form a failed
  // step has always been reported in.
  void Failure(std::string_view what, long long code);

 private:
  std::mutex m_;  // one entry at a time, from any thread
  Sink sink_;
};

std::string FormatFailure(std::string_view what, long long code);

// The sink of a relay: each entry as one line on standard error
// (FormatEventLine, in the journal's style when standard error is the
// journal) and, unless the journal has it already, in the system's log.
// State changes go to standard error only, and nowhere on Windows, whose
// service control manager shows them.
EventLog::Sink SystemSink();

// Journal: "<3>text", the priority prefix the journal files the line under
// (<3> error, <4> warning, <5> state change, <6> information); it stamps
// the time itself. Terminal (or a file): "<time> error: text" (warning,
// info). A state change reads "Tarnwick state: RUNNING" there, without a
// time: scripts wait for that line as it stands.
enum class LineStyle { Journal, Terminal };
std::string FormatEventLine(LineStyle style, EventType type, std::string_view message, std::time_t now);
// "2025-06-01T10:11:12+02:00": local, with its offset from UTC.
std::string LocalTimestamp(std::time_t t, const std::tm& local);
// The message on one line: each line break, with the blanks around it, as
// "; "; other control characters escaped (\t, \xHH).
std::string OneLine(std::string_view message);

}  // namespace tarnwick
