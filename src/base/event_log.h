// Where every part reports: one entry per event, through a sink the
// process chooses (the system's log and standard error for a relay, a
// capture in tests). A part gets the log it writes to from its owner.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/status.h"

namespace tarnwick {

enum class EventType { Error = 1, Warning = 2, Information = 4 };

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
  // "<what> failed with <code>", cut at 79 characters: the form a failed
  // step has always been reported in.
  void Failure(std::string_view what, long long code);

 private:
  std::mutex m_;  // one entry at a time, from any thread
  Sink sink_;
};

std::string FormatFailure(std::string_view what, long long code);

// The sink of a relay and its verbs: each entry as one line on standard
// error (FormatEventLine) and in the system's log.
EventLog::Sink SystemSink();
// "Tarnwick[0xC0020001] error: <message>" with control characters escaped.
std::string FormatEventLine(EventType type, std::string_view message);

}  // namespace tarnwick
