// Failure reporting: every part of the service reports trouble through here.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick {

enum class EventType { Error = 1, Warning = 2, Information = 4 };

inline constexpr unsigned long kEventId = 0xC0020001UL;
inline constexpr const char* kSourceName = "Tarnwick";
// Failure texts live in an 80-character buffer: 79 characters and the NUL.
inline constexpr std::size_t kFailureTextMax = 79;

// Receives every entry: the type, the two insertion strings (source name,
// message). Tests replace it to capture entries.
using EventSink = std::function<void(EventType, std::string_view source, std::string_view message)>;

// Installs a sink; an empty function restores the default (syslog plus one
// line on standard error). Returns the previous sink.
EventSink SetEventSink(EventSink sink);

void SvcReportEvent(std::string_view message, EventType type);

// Writes "<what> failed with <code>", cut at 79 characters, as an error entry.
// The code is passed explicitly rather than read from a per-thread value, so
// no call in between can overwrite it.
void ReportFailure(std::string_view what, long long code);
std::string FormatFailure(std::string_view what, long long code);

// Ends the process at once with status 1: no clean-up, no further entry.
[[noreturn]] void FatalError(const char* step);

// The usual end of a failure the service cannot work around: a diagnostic
// line on standard output (none when empty), the report, then the same in
// plain words (what to look at and why) as an entry of its own, FatalError.
[[noreturn]] void FailFatally(std::string_view printed, std::string_view what, long long code,
                              std::string_view plain = {});

// "<n> bytes in 1.2 s (85.3 MiB/s)" for the entries about a transfer.
std::string RateText(long long bytes, std::chrono::steady_clock::duration took);

// The standard-error form of an entry:
// "Tarnwick[0xC0020001] error: <message>" with control characters escaped.
std::string FormatEventLine(EventType type, std::string_view message);
std::string EscapeControl(std::string_view text);

}  // namespace tarnwick
