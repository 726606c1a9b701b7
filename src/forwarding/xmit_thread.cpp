#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "forwarding/forwarding.h"
#include "service/event_log.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 2048;
// Gathered TLS records go out to the socket in writes of this size.
constexpr int kWriteBuffer = 256 * 1024;
constexpr long kRedialDelayMs = 1000;
constexpr std::size_t kFileBuffer = 1 << 20;
// How long a receiver may take to store what it got and say so.
constexpr int kConfirmTimeoutMs = 120000;

// One transmission of one save; the steps of XmitThread.
class Transmission {
 public:
  explicit Transmission(XmitRequest r) : req_(std::move(r)), save_file_(req_.save_file) {}
  void Run();

 private:
  enum class Attempt { Again, Finished, Stopped };
  Attempt RunAttempt();
  TlsSessionPtr Connect(std::unique_lock<std::mutex>& lock, bool& stop);
  void SendSave(TlsSession& session);
  void WriteProgress();
  void EndUnfinished();
  void Finish();

  XmitRequest req_;
  std::FILE* save_file_;
  std::int64_t total_ = 0;
  std::int64_t current_sent_ = 0;
  bool sent_all_ = false;
  std::FILE* progress_ = nullptr;  // open, emptied, while the transmission runs
  std::array<char, kChunk> emtbuf_{};
  std::unique_ptr<char[]> file_buffer_ = std::make_unique<char[]>(kFileBuffer);
};

void Transmission::WriteProgress() {
  if (!progress_) return;
  std::fprintf(progress_, "%lld", static_cast<long long>(current_sent_));
  int rc = std::fclose(progress_);
  progress_ = nullptr;
  if (rc != 0) {
    ReportFailure("fclose(" + req_.progress_path.string() + ")", errno);
    FatalError("error");
  }
}

void Transmission::EndUnfinished() {
  ForwardQueue.Append(QueueEntry{req_.repo, req_.save});
  if (progress_) {
    std::fprintf(progress_, "%lld", static_cast<long long>(current_sent_));
    std::fclose(progress_);
    progress_ = nullptr;
  }
}

void Transmission::Finish() {
  {
    std::lock_guard lock(XmitChainLock);
    if (XmitChain == req_.done) XmitChain.reset();
  }
  req_.done->Signal();
  if (std::fclose(save_file_) != 0) ReportFailure("fclose", errno);
  TransmissionEnded(req_.repo, req_.save);
}

TlsSessionPtr Transmission::Connect(std::unique_lock<std::mutex>& lock, bool& stop) {
  if (g_settings.ForwardDials()) {
    lock.lock();
    TlsSessionPtr s = OutboundConnection(g_settings.forward_host, g_settings.forward_peer_cn,
                                         ForwardContext.get(), g_settings.forward_port, /*quiet=*/true);
    if (s && s->handshake_failed) s.reset();  // cut short by a stop: no session
    if (!s) {
      lock.unlock();
      SvcReportEvent("Bogus connection", EventType::Information);
      StopEvent.WaitFor(kRedialDelayMs);
    }
    return s;
  }
  // Listen mode: a fresh listening socket and context for every attempt.
  SslCtxPtr context;
  {
    std::lock_guard guard(ForwardConnectionLock);
    // Checked under the lock the stop handler takes: either the stop is seen
    // here, or the handler finds this socket in the slot and unblocks it.
    if (StopRequested) {
      stop = true;
      return nullptr;
    }
    context = ListeningEndpoint(ForwardSocket, g_settings.forward_peer_cn, g_settings.forward_port,
                                /*forward_hop=*/true, ForwardRoot.string());
  }
  TlsSessionPtr s = AcceptTlsClient(ForwardSocket, context.get());
  lock.lock();
  // Closed at once, so a receiver that dials again finds nothing to queue
  // on until the next attempt listens.
  ForwardSocket.Close();
  if (StopRequested) {
    stop = true;
    lock.unlock();
    return nullptr;
  }
  if (!s) lock.unlock();
  return s;
}

void Transmission::SendSave(TlsSession& session) {
  const std::string header = req_.repo + " " + std::to_string(total_ - current_sent_) + " " + req_.save;
  int w = SSL_write(session.ssl.get(), header.c_str(), static_cast<int>(header.size() + 1));
  if (w <= 0) {
    int code = SSL_get_error(session.ssl.get(), w);
    // A receiver that closed at once in the listen mode is tolerated; the
    // data writes below then tell.
    if (!(w == 0 && code == SSL_ERROR_ZERO_RETURN && !g_settings.ForwardDials())) {
      ReportFailure("SSL_write", code);
      FatalError("error");
    }
  }
  BufferWrites(session, kWriteBuffer);
  const auto attempt_start = ThrottleClock::now();
  std::int64_t bytes_this_attempt = 0;
  auto flush = [&] { FlushWrites(session); };
  for (;;) {
    std::size_t n = std::fread(emtbuf_.data(), 1, emtbuf_.size(), save_file_);
    if (n == 0) break;
    w = SSL_write(session.ssl.get(), emtbuf_.data(), static_cast<int>(n));
    if (w <= 0) {
      ReportFailure("SSL_write", SSL_get_error(session.ssl.get(), w));
      FatalError("error");
    }
    bytes_this_attempt += w;
    current_sent_ += w;
    if (StopRequested) {
      WriteProgress();
      break;
    }
    if (CloseRequested.exchange(false)) break;
    Throttle(attempt_start, bytes_this_attempt, flush);
  }
  if (current_sent_ == total_) {
    sent_all_ = true;
    WriteProgress();
    std::error_code ec;
    if (!fs::remove(req_.progress_path, ec) && ec) {
      ReportFailure("unlink(" + req_.progress_path.string() + ")", ec.value());
      FatalError("error");
    }
  }
}

Transmission::Attempt Transmission::RunAttempt() {
  std::unique_lock lock(ForwardConnectionLock, std::defer_lock);
  bool stop = false;
  TlsSessionPtr session = Connect(lock, stop);
  if (stop) return Attempt::Stopped;
  if (session) {
    SendSave(*session);
    if (!EndSessionConfirmed(std::move(session), kConfirmTimeoutMs))
      ReportFailure("no confirmation from the forward peer for " + req_.repo + "/" + req_.save,
                    static_cast<long long>(current_sent_));
    lock.unlock();
  }
  if (sent_all_) return Attempt::Finished;
  if (StopRequested) return Attempt::Stopped;
  return Attempt::Again;
}

void Transmission::Run() {
  if (req_.predecessor) req_.predecessor->Wait();
  req_.predecessor.reset();
  if (StopRequested) {
    // The progress file keeps whatever an earlier run left in it.
    EndUnfinished();
    Finish();
    return;
  }

  // glibc ignores the size unless it is given the buffer itself.
  std::setvbuf(save_file_, file_buffer_.get(), _IOFBF, kFileBuffer);
  total_ = platform::FileSize(save_file_);
  if (total_ < 0) {
    std::string msg = "ftell error: errno=" + std::to_string(errno);
    ReportFailure(msg, errno);
    std::printf("%s", msg.c_str());
    FatalError("error");
  }
  if (std::FILE* p = std::fopen(req_.progress_path.string().c_str(), "r")) {
    char buf[64] = {};
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, p);
    std::fclose(p);
    current_sent_ = ParseProgress(std::string_view(buf, n));
  }
  if (current_sent_ > total_) {
    // The save shrank after the offset was written: resuming would corrupt
    // the receiver's copy, and every attempt would end at once.
    ReportFailure("progress beyond the save's size: " + req_.repo + "/" + req_.save,
                  static_cast<long long>(current_sent_));
    Finish();
    return;
  }
  progress_ = std::fopen(req_.progress_path.string().c_str(), "w");
  if (!progress_) {
    ReportFailure("fopen", errno);
    FatalError("error");
  }
  if (!platform::Seek(save_file_, current_sent_)) {
    ReportFailure("fseek", errno);
    FatalError("error");
  }
  for (;;) {
    Attempt a = RunAttempt();
    if (a == Attempt::Finished) break;
    if (a == Attempt::Stopped) {
      EndUnfinished();
      break;
    }
  }
  Finish();
}

}  // namespace

void XmitThread(XmitRequest request) { Transmission(std::move(request)).Run(); }

}  // namespace tarnwick
