// The relay's local control channel: the operator's verbs (retry, reload,
// drop) reach the running relay here. One request line, one reply, then
// the connection ends. Linux: a Unix socket only the relay's user may
// connect to; Windows: a named pipe for the service's user and the
// administrators.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tarnwick::platform {

// Where the relay configured in config_dir (settings.ini's directory) with
// the backup root backup_root listens. Linux: /run/tarnwick/NAME for a
// relay configured in /etc/tarnwick/NAME, <backup_root>/control.sock for
// any other; Windows: \\.\pipe\tarnwick-NAME, NAME the configuration
// directory's name.
std::string ControlAddress(const std::string& config_dir, const std::string& backup_root);

// Bounds of one exchange: a longer request is refused, a longer reply cut.
inline constexpr std::size_t kControlRequestMax = 4096;
inline constexpr std::size_t kControlReplyMax = 256 * 1024;
// How long the relay waits for a client's request line, and the longest a
// client lets one request take (a reload rebuilds TLS contexts; a drop
// syncs a few directories).
inline constexpr int kControlRequestMs = 5000;
inline constexpr int kControlReplyMs = 60000;

class ControlListener {
 public:
  ControlListener();
  ~ControlListener();  // closes the endpoint and removes its file
  ControlListener(const ControlListener&) = delete;
  ControlListener& operator=(const ControlListener&) = delete;

  // Creates the endpoint at address: 0, or the system's error code. A
  // socket file a killed relay left behind is replaced; any other file
  // there is not (EEXIST).
  int Open(const std::string& address);
  // Serves one client at a time until Wake: each request line (without its
  // line end) goes to handler, and what it returns is the reply. A client
  // that sends no whole line within kControlRequestMs, or a longer one
  // than kControlRequestMax, is dropped unanswered.
  void Serve(const std::function<std::string(const std::string& request)>& handler);
  // From any thread, also before Serve: Serve returns as soon as the
  // request being handled, if any, is answered.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One request to the relay at address, and its whole reply.
struct ControlResult {
  enum class Kind {
    Replied,  // text holds the reply
    Absent,   // nothing listens there: no endpoint, or a stale one
    Failed,   // error says why (a permission, a time-out)
  } kind = Kind::Failed;
  int error = 0;  // Failed: the system's code (ErrorText)
  std::string text;
};
ControlResult ControlRequest(const std::string& address, const std::string& request,
                             int timeout_ms = kControlReplyMs);

}  // namespace tarnwick::platform
