#include "base/event_log.h"

#include <chrono>
#include <cstdio>

#include "base/text.h"
#include "platform/platform.h"

namespace tarnwick {

void EventLog::Write(EventType type, std::string_view message) {
  std::lock_guard lock(m_);
  if (sink_) sink_(type, message);
}

std::string FormatFailure(std::string_view what, long long code) {
  std::string text(what);
  text += " failed with ";
  text += std::to_string(code);
  if (text.size() > kFailureTextMax) text.resize(kFailureTextMax);
  return text;
}

void EventLog::Failure(std::string_view what, long long code) { Error(FormatFailure(what, code)); }

std::string OneLine(std::string_view message) {
  // Split at line breaks, drop the blanks around each, join with "; ":
  // one event stays one line wherever it is read.
  std::string out;
  std::size_t i = 0;
  while (i <= message.size()) {
    std::size_t eol = message.find_first_of("\r\n", i);
    if (eol == std::string_view::npos) eol = message.size();
    const std::string_view part = TrimBlanks(message.substr(i, eol - i));
    if (!part.empty()) {
      if (!out.empty()) out += "; ";
      out += EscapeControl(part);
    }
    i = eol + 1;
  }
  return out;
}

std::string LocalTimestamp(std::time_t t, const std::tm& local) {
  using namespace std::chrono;
  // The offset is what the local calendar reads minus UTC: no time zone
  // call that differs between systems.
  const sys_days day = year_month_day{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                                      std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
  const long long as_utc = static_cast<long long>(day.time_since_epoch().count()) * 86400 + local.tm_hour * 3600LL +
                           local.tm_min * 60LL + local.tm_sec;
  const long long offset_min = (as_utc - static_cast<long long>(t)) / 60;
  const long long off = offset_min < 0 ? -offset_min : offset_min;
  char buf[96];  // room for any int the fields may hold
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset_min < 0 ? '-' : '+', off / 60, off % 60);
  return buf;
}

std::string FormatEventLine(LineStyle style, EventType type, std::string_view message, std::time_t now) {
  const std::string text = OneLine(message);
  if (style == LineStyle::Journal) {
    const char* priority = type == EventType::Error     ? "<3>"
                           : type == EventType::Warning ? "<4>"
                           : type == EventType::State   ? "<5>"
                                                        : "<6>";
    return priority + text;
  }
  if (type == EventType::State) return text;
  std::string line = LocalTimestamp(now, platform::LocalTime(now));
  line += type == EventType::Error ? " error: " : type == EventType::Warning ? " warning: " : " info: ";
  line += text;
  return line;
}

EventLog::Sink SystemSink() {
  const LineStyle style = platform::StandardErrorIsJournal() ? LineStyle::Journal : LineStyle::Terminal;
  return [style](EventType type, std::string_view message) {
    if (type == EventType::State && !platform::kStateLinesOnStandardError) return;
    std::string line = FormatEventLine(style, type, message, std::time(nullptr));
    line += '\n';
    // One write per entry keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    // The journal reads standard error: a syslog copy would file every
    // event twice. State changes have always been standard error's alone.
    if (style == LineStyle::Journal || type == EventType::State) return;
    const platform::LogLevel level = type == EventType::Error     ? platform::LogLevel::Error
                                     : type == EventType::Warning ? platform::LogLevel::Warning
                                                                  : platform::LogLevel::Information;
    platform::SystemLogWrite(level, OneLine(message));
  };
}

}  // namespace tarnwick
