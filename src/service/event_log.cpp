#include "service/event_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace tarnwick {

namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}

void DefaultSink(EventType type, std::string_view /*source*/, std::string_view message) {
  std::string line = FormatEventLine(type, message);
  line += '\n';
  // One write per entry keeps lines from different threads whole.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  platform::SystemLogWrite(type == EventType::Error, std::string(message));
}

EventSink& Sink() {
  static EventSink sink = DefaultSink;
  return sink;
}

}  // namespace

EventSink SetEventSink(EventSink sink) {
  std::lock_guard lock(SinkMutex());
  EventSink previous = std::move(Sink());
  Sink() = sink ? std::move(sink) : EventSink(DefaultSink);
  return previous;
}

void SvcReportEvent(std::string_view message, EventType type) {
  std::lock_guard lock(SinkMutex());
  Sink()(type, kSourceName, message);
}

std::string FormatFailure(std::string_view what, long long code) {
  std::string text(what);
  text += " failed with ";
  text += std::to_string(code);
  if (text.size() > kFailureTextMax) text.resize(kFailureTextMax);
  return text;
}

void ReportFailure(std::string_view what, long long code) {
  SvcReportEvent(FormatFailure(what, code), EventType::Error);
}

void FatalError(const char* /*step*/) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(1);
}

void FailFatally(std::string_view printed, std::string_view what, long long code, std::string_view plain) {
  if (!printed.empty()) std::fwrite(printed.data(), 1, printed.size(), stdout);
  ReportFailure(what, code);
  if (!plain.empty()) SvcReportEvent(plain, EventType::Error);
  FatalError("error");
}

std::string RateText(long long bytes, std::chrono::steady_clock::duration took) {
  const double secs = std::max(std::chrono::duration<double>(took).count(), 0.001);
  char text[96];
  std::snprintf(text, sizeof text, "%lld bytes in %.1f s (%.1f MiB/s)", bytes, secs,
                static_cast<double>(bytes) / secs / (1024.0 * 1024.0));
  return text;
}

std::string EscapeControl(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          static const char hex[] = "0123456789ABCDEF";
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string FormatEventLine(EventType type, std::string_view message) {
  std::string line = "Tarnwick[0xC0020001] ";
  line += type == EventType::Error     ? "error: "
          : type == EventType::Warning ? "warning: "
                                       : "information: ";
  line += EscapeControl(message);
  return line;
}

}  // namespace tarnwick
