#include "support/test_sender.h"

#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace tarnwick::test {

namespace {
constexpr std::chrono::seconds kIoWait{20};
constexpr std::chrono::milliseconds kPollStep{50};
}  // namespace

TestSender::TestSender(Identity identity, std::filesystem::path relay_trusted)
    : identity_(std::move(identity)), relay_trusted_(std::move(relay_trusted)) {}

TestSender::~TestSender() { Stop(); }

CtxPtr TestSender::MakeContext() {
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_use_certificate_file(ctx.get(), identity_.cert_path.c_str(),
                                           SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), identity_.key_path.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("sender context: " + DrainSslErrors());
  if (!relay_trusted_.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), relay_trusted_.c_str(), nullptr) != 1)
      throw std::runtime_error("sender trusted file: " + DrainSslErrors());
    // Asks for the relay's certificate and checks it when one comes.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  }
  return ctx;
}

void TestSender::Enqueue(std::string stream) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(std::move(stream));
}

bool TestSender::Start(std::uint16_t port) {
  if (!ctx_) ctx_ = MakeContext();
  listen_fd_ = ListenLoopback(port, &port_);
  if (listen_fd_ < 0) return false;
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

bool TestSender::StartClosureListener(std::uint16_t port) {
  if (!ctx_) ctx_ = MakeContext();
  closure_fd_ = ListenLoopback(port, &closure_port_);
  if (closure_fd_ < 0) return false;
  closure_thread_ = std::thread([this] { ClosureLoop(); });
  return true;
}

void TestSender::Stop() {
  stop_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  if (closure_thread_.joinable()) closure_thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  if (closure_fd_ >= 0) close(closure_fd_);
  listen_fd_ = closure_fd_ = -1;
}

std::vector<SenderConnection> TestSender::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

bool TestSender::WaitServed(int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return served_ >= n; });
}

void TestSender::AcceptLoop() {
  while (!stop_) {
    const int fd = AcceptWithin(listen_fd_, kPollStep);
    if (fd >= 0) Serve(fd);
  }
}

void TestSender::Serve(int fd) {
  SenderConnection rec;
  rec.accepted_at = TlsClock::now();
  ++accepted_;
  std::size_t index;
  {
    std::lock_guard<std::mutex> lock(mu_);
    index = records_.size();
    records_.push_back(rec);
  }
  SetNonBlocking(fd);
  SslPtr ssl(SSL_new(ctx_.get()));
  SSL_set_fd(ssl.get(), fd);
  const auto deadline = TlsClock::now() + kIoWait;
  rec.handshake_ok = Handshake(ssl.get(), true, deadline, &rec.error);
  if (rec.handshake_ok) {
    rec.peer_presented_cert = SSL_get0_peer_certificate(ssl.get()) != nullptr;
    std::string stream;
    bool scripted = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!queue_.empty()) {
        stream = std::move(queue_.front());
        queue_.pop_front();
        scripted = true;
      }
    }
    if (scripted) {
      if (WriteAll(ssl.get(), stream, deadline, &rec.error)) {
        SSL_shutdown(ssl.get());
        rec.relay_end = AwaitEnd(ssl.get(), deadline, nullptr, &rec.error);
      } else {
        rec.relay_end = PeerEnd::Error;
      }
      rec.served = true;
    } else {
      // Nothing left to send: stay silent until told to abandon the
      // transmission, as a real sender waiting for its next file would. A
      // closure that came while this connection was still being set up
      // counts too: the relay's stop cannot tell the two apart.
      ++held_;
      while (!stop_ && closure_arrivals_.load() == 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kPollStep.count())) > 0) {
          char b[256];
          const int r = SSL_read(ssl.get(), b, sizeof b);
          if (r <= 0) {
            const int e = SSL_get_error(ssl.get(), r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
          }
        }
      }
      DrainSslErrors();
    }
  }
  ssl.reset();
  close(fd);
  std::lock_guard<std::mutex> lock(mu_);
  records_[index] = rec;
  if (rec.served) ++served_;
  cv_.notify_all();
}

void TestSender::ClosureLoop() {
  while (!stop_) {
    const int fd = AcceptWithin(closure_fd_, kPollStep);
    if (fd < 0) continue;
    ++closure_arrivals_;
    SetNonBlocking(fd);
    SslPtr ssl(SSL_new(ctx_.get()));
    SSL_set_fd(ssl.get(), fd);
    std::string error;
    const auto deadline = TlsClock::now() + std::chrono::seconds(5);
    if (Handshake(ssl.get(), true, deadline, &error)) {
      ++closures_;
      // Let the relay end the connection its own way, within reason.
      AwaitEnd(ssl.get(), deadline);
    }
    DrainSslErrors();
    ssl.reset();
    close(fd);
  }
}

}  // namespace tarnwick::test
