#include "base/event_log.h"

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

std::string FormatEventLine(EventType type, std::string_view message) {
  std::string line = "Tarnwick[0xC0020001] ";
  line += type == EventType::Error     ? "error: "
          : type == EventType::Warning ? "warning: "
                                       : "information: ";
  line += EscapeControl(message);
  return line;
}

EventLog::Sink SystemSink() {
  return [](EventType type, std::string_view message) {
    std::string line = FormatEventLine(type, message);
    line += '\n';
    // One write per entry keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    platform::SystemLogWrite(type == EventType::Error, std::string(message));
  };
}

}  // namespace tarnwick
