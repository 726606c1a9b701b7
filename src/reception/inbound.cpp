#include "reception/inbound.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <system_error>

#include <openssl/err.h>

namespace tarnwick {

namespace {

using Clock = std::chrono::steady_clock;
using Event = StreamSource::Event;

// A stream read from a TLS session.
class TlsStreamSource final : public StreamSource {
 public:
  // header_by: the whole header must have come by then, however the
  // client paces its bytes. cut: whether the stop has cut the streams.
  TlsStreamSource(TlsSession& s, EventLog& log, FailureRateLimit& refusals, int idle_seconds,
                  Clock::time_point header_by, int header_seconds, const StreamSlots& slots, StreamSlots::Id id)
      : s_(s), log_(log), refusals_(refusals), idle_seconds_(idle_seconds), header_by_(header_by),
        header_seconds_(header_seconds), slots_(slots), id_(id) {
    platform::SetNonBlocking(s_.socket, true);
  }

  void HeaderRead() override { header_done_ = true; }
  // Where a header that came too late is counted; none: nowhere.
  RelayCounters* counters = nullptr;

  // Fills as much of buf as the records already here allow: one file write
  // per buffer, not per 16 KiB record. An end met after some data is kept
  // for the next call, so it is judged exactly as if it came alone.
  Result Read(char* buf, std::size_t cap) override {
    if (held_) {
      Result r = *held_;
      held_.reset();
      return r;
    }
    Result first = ReadOnce(buf, cap, true);
    if (first.event != Event::Data) return first;
    std::size_t got = first.bytes;
    while (got < cap) {
      Result more = ReadOnce(buf + got, cap - got, false);
      if (more.event == Event::Data) {
        if (more.bytes == 0) break;  // nothing more without waiting
        got += more.bytes;
        continue;
      }
      held_ = more;
      break;
    }
    return {Event::Data, got, 0};
  }

  void Answer(std::string_view text) override {
    if (SSL_write(s_.ssl.get(), text.data(), static_cast<int>(text.size())) <= 0) ERR_clear_error();
  }

  void Discard(int ms) override {
    // Explicit waits: the deadline holds whatever the sender does, also
    // while it keeps sending.
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char scratch[16384];
    for (;;) {
      if (Clock::now() >= deadline) break;
      int n = SSL_read(s_.ssl.get(), scratch, sizeof scratch);
      if (n > 0) continue;
      int code = SSL_get_error(s_.ssl.get(), n);
      if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !platform::WaitReady(s_.socket, code == SSL_ERROR_WANT_WRITE, static_cast<int>(left))) break;
    }
    ERR_clear_error();
  }

  std::string Peer() const override { return s_.peer; }
  // A client certificate got through the handshake only if it was trusted
  // (and carried PeerCN when that is set); a dialled sender always has one.
  bool Certified() const override { return s_.Certified(); }

 private:
  // One SSL_read's worth; without wait, Data with 0 bytes when nothing is
  // there yet.
  Result ReadOnce(char* buf, std::size_t cap, bool wait) {
    SSL* ssl = s_.ssl.get();
    // Explicit waits on a non-blocking socket: a sender that goes silent is
    // cut after the idle time, and a stop's shutdown ends the wait on every
    // platform.
    const auto idle_by = Clock::now() + std::chrono::seconds(idle_seconds_);
    const bool header = !header_done_ && header_by_ < idle_by;
    const auto deadline = header ? header_by_ : idle_by;
    int n, code;
    for (;;) {
      n = SSL_read(ssl, buf, static_cast<int>(std::min<std::size_t>(cap, INT_MAX)));
      if (n > 0) return {Event::Data, static_cast<std::size_t>(n), 0};
      code = SSL_get_error(ssl, n);
      if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
      if (!wait) {
        ERR_clear_error();
        return {Event::Data, 0, 0};
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        if (header) BumpRefused(counters, Refusal::Timeout);
        if (refusals_.Note(s_.peer))
          log_.Error(header ? "the stream from " + s_.peer + " did not send its whole header within " +
                                std::to_string(header_seconds_) + " s (HeaderTimeout) and is cut"
                          : "the stream from " + s_.peer + " sent nothing for " + std::to_string(idle_seconds_) +
                                " s and is cut");
        return {Event::Error, 0, code};
      }
      if (!platform::WaitReady(s_.socket, code == SSL_ERROR_WANT_WRITE,
                               static_cast<int>(std::min<long long>(left, 1000))) &&
          Cut())
        return {Event::Error, 0, SSL_ERROR_SYSCALL};
    }
    const unsigned long err = ERR_peek_error();
    ERR_clear_error();
    // The end of file that a stop's cut, or a newcomer taking the place,
    // makes is no end the sender chose: the stream was cut, and its save
    // must stay pending.
    if (Cut() && !(code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(s_)))
      return {Event::Error, 0, SSL_ERROR_SYSCALL};
    if (code == SSL_ERROR_ZERO_RETURN) return {PeerClosedProperly(s_) ? Event::CloseNotify : Event::TcpClose, 0, 0};
    if (code == SSL_ERROR_SYSCALL && err == 0 && n == 0) return {Event::TcpClose, 0, 0};
    return {Event::Error, 0, code};
  }

  bool Cut() const { return slots_.Cut() || slots_.Evicted(id_); }

  TlsSession& s_;
  EventLog& log_;
  FailureRateLimit& refusals_;
  int idle_seconds_;
  Clock::time_point header_by_;
  int header_seconds_;
  const StreamSlots& slots_;
  StreamSlots::Id id_;
  bool header_done_ = false;
  std::optional<Result> held_;
};

}  // namespace

InboundSide::InboundSide(Parts parts)
    : p_(std::move(parts)),
      s_(*p_.settings),
      slots_(static_cast<std::size_t>(std::max(1, s_.max_streams))),
      handshake_failures_(*p_.log, "failed handshakes", 10),
      refusals_(*p_.log, "refused or cut streams", 10) {}

InboundSide::~InboundSide() { JoinFinished(); }

Status InboundSide::Prepare(std::shared_ptr<const Settings> next, std::shared_ptr<const Config>& out) {
  const Settings& s = *next;
  ContextSpec spec{s.peer_cn, s.InboundDials(), /*forward_hop=*/false, s.config_dir, s.require_client_cert};
  SslCtxPtr context;
  if (Status st = MakeTlsContext(spec, context); !st.ok()) return st;
  auto c = std::make_shared<Config>();
  SaveSessionOptions& o = c->options;
  o.require_close_notify = s.require_close_notify;
  o.min_rate = s.min_rate;
  o.rate = s.TransferRate();
  o.total = p_.total;
  // A throttled stream keeps its rate through a stop's grace; its pause
  // ends with the cut.
  o.pause = [this](std::chrono::milliseconds d) { return slots_.WaitCut(d); };
  o.refusals = &refusals_;
  o.counters = p_.counters;
  o.stopping = [stop = p_.stop] { return stop && stop->Requested(); };
  if (p_.hooks.record || p_.hooks.hand_off) o.hooks = &p_.hooks;
  if (s.TakesForwardedSaves()) o.date_name_suffix = "." + CertificateName(context.get());
  else o.upstream_noted = &upstream_noted_;
  c->context.reset(context.release(), SslCtxFree{});
  c->settings = std::move(next);
  out = std::move(c);
  return Status::Ok();
}

void InboundSide::Apply(std::shared_ptr<const Config> next) {
  std::lock_guard lock(config_mutex_);
  current_ = std::move(next);
}

Status InboundSide::Open(Parts parts, std::unique_ptr<InboundSide>& out) {
  std::unique_ptr<InboundSide> in(new InboundSide(std::move(parts)));
  const Settings& s = in->s_;
  std::shared_ptr<const Config> config;
  if (Status st = in->Prepare(in->p_.settings, config); !st.ok()) return st;
  in->Apply(std::move(config));
  if (!s.InboundDials()) {
    if (Status st = OpenListener(s.listen, s.port, in->listening_); !st.ok()) return st;
    // Shut down rather than closed: the accept may be about to start, and a
    // closed descriptor number could be reused by another socket.
    const platform::NativeSocket fd = in->listening_.Native();
    in->unblock_accept_ = in->p_.stop->OnStop([fd] { platform::Socket::ShutdownNative(fd); });
  }
  out = std::move(in);
  return Status::Ok();
}

void InboundSide::Run() {
  s_.InboundDials() ? DialLoop() : ListenLoop();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void InboundSide::Stop() {
  if (s_.InboundDials()) {
    // The sender's closure listener makes it abandon its transmission, so
    // the blocked read ends. Bounded well below the stop's promise: a sender
    // whose closure port is black-holed must not hold the stop (the streams
    // are cut below whether the closure got through or not).
    TlsSessionPtr closure;
    const std::shared_ptr<const Config> c = Current();
    const Settings& s = *c->settings;
    const Status st = Dial(s.host, s_.closure_port, s.peer_cn, c->context.get(), nullptr, kStopClosureDialMs, closure);
    if (st.ok())
      EndSession(std::move(closure));
    else
      p_.log->Error(st.Within("the stop's closure dial to the sender failed"));
  }
  // A stream being stored gets a grace period to end; one that a stalled or
  // vanished sender holds open is then cut, its save left pending.
  slots_.CutAll(kStopGrace);
}

void InboundSide::FlushReports() {
  handshake_failures_.Flush();
  refusals_.Flush();
}

void InboundSide::JoinFinished() {
  std::lock_guard lock(finished_mutex_);
  for (std::thread::id id : finished_) {
    auto t = std::find_if(threads_.begin(), threads_.end(), [id](std::thread& t) { return t.get_id() == id; });
    if (t != threads_.end()) {
      t->join();
      threads_.erase(t);
    }
  }
  finished_.clear();
}

namespace {

// Why a connection may not stream, said once per refusal; peer names its
// certificate too.
void ReportRefusal(EventLog& log, StreamSlots::Verdict v, const std::string& peer, std::size_t max) {
  if (v == StreamSlots::Verdict::Full)
    log.Info("a connection from " + peer + " is refused: " + std::to_string(max) +
             " streams are being stored (MaxStreams)");
  if (v == StreamSlots::Verdict::Anonymous)
    log.Info("a connection from " + peer + " without a certificate is refused: clients without one hold half of the " +
             std::to_string(max) + " places (MaxStreams) already");
}

// The answer to a connection refused for want of a place.
std::string BusyAnswer(StreamSlots::Verdict v, std::size_t max) {
  const std::string why = v == StreamSlots::Verdict::Anonymous
                              ? "clients without a certificate hold half of the " + std::to_string(max) +
                                    " places (MaxStreams) already"
                              : max == 1 ? std::string("1 stream is being stored (MaxStreams)")
                                         : std::to_string(max) + " streams are being stored (MaxStreams)";
  return "refused busy: " + why + '\0';
}

}  // namespace

SessionOutcome InboundSide::Serve(const Config& config, TlsSessionPtr session, SlotHold& hold) {
  const Settings& s = *config.settings;
  const auto handshake_done = Clock::now();
  std::string dropped;
  const StreamSlots::Verdict v = slots_.Begin(hold.Id(), session->Certified(), &dropped);
  if (!dropped.empty() && refusals_.Note(dropped))
    p_.log->Info("the stream of a client without a certificate at " + dropped +
                 ", which had stored nothing, makes way for " + session->peer + " (MaxStreams)");
  SessionOutcome outcome = SessionOutcome::Refused;
  if (v == StreamSlots::Verdict::Stream) {
    TlsStreamSource source(*session, *p_.log, refusals_, s.idle_timeout_s,
                           handshake_done + std::chrono::seconds(s.header_timeout_s), s.header_timeout_s, slots_,
                           hold.Id());
    source.counters = p_.counters;
    struct Active {
      RelayCounters* c;
      explicit Active(RelayCounters* counters) : c(counters) {
        if (c) ++c->streams_active;
      }
      ~Active() {
        if (c) --c->streams_active;
      }
    } active(p_.counters);
    SaveSessionOptions options = config.options;
    const StreamSlots::Id id = hold.Id();
    options.stored_first_byte = [this, id] { slots_.Stored(id); };
    outcome = SaveSession(source, *p_.root, claims_, *p_.log, options);
    platform::SetNonBlocking(session->socket, false);
  } else if (v != StreamSlots::Verdict::Stopped) {
    const std::size_t max = static_cast<std::size_t>(std::max(1, s_.max_streams));
    BumpRefused(p_.counters, Refusal::Busy);
    if (refusals_.Note(session->peer)) ReportRefusal(*p_.log, v, PeerShown(*session), max);
    // Told why, as a refused stream is: a sender that only sees a reset
    // would look for the fault in the network. The connection keeps its
    // handshake place meanwhile, so a stop or a newcomer still ends it.
    TlsStreamSource source(*session, *p_.log, refusals_, s_.idle_timeout_s, handshake_done, s_.header_timeout_s,
                           slots_, hold.Id());
    source.Answer(BusyAnswer(v, max));
    source.Discard(kRefusalDiscardMs);
    platform::SetNonBlocking(session->socket, false);
  }
  // A close_notify only for a stream that is stored.
  if (Confirms(outcome)) CloseNotify(*session);
  hold.Release();
  session.reset();
  return outcome;
}

// Listen role: each accepted connection is served on a thread of its own.
void InboundSide::ListenLoop() {
  FailureLog accept_failures(*p_.log, "accepting connections on port " + s_.port);
  Backoff backoff(100, 5000);
  while (!p_.stop->Requested()) {
    std::string ip;
    platform::Socket socket;
    const Status st = AcceptConnection(listening_, *p_.stop, socket, ip);
    if (st.IsStopped()) break;
    if (!st.ok()) {
      // Out of descriptors, say: said once, and a growing pause lets the
      // streams end instead of a loop that spins on the same failure.
      accept_failures.Failed(st.words());
      p_.stop->WaitFor(backoff.Next());
      continue;
    }
    accept_failures.Succeeded();
    backoff.Reset();
    JoinFinished();  // threads that ended are joined here, so they never pile up
    std::optional<StreamSlots::Id> id = slots_.Accept(socket.Native(), ip);
    if (!id) break;  // cut by the stop
    // The thread takes the descriptor itself: if it cannot start, the place
    // is given back before the descriptor closes.
    const platform::NativeSocket fd = socket.Release();
    try {
      threads_.emplace_back(&InboundSide::ServeAccepted, this, fd, ip, *id);
    } catch (const std::system_error& e) {
      p_.log->Failure("_beginthread(SaveSession)", e.code().value());
      slots_.Release(*id);
      platform::Socket closing(fd);
    }
  }
}

void InboundSide::ServeAccepted(platform::NativeSocket fd, std::string ip, StreamSlots::Id id) {
  {
    SlotHold hold(slots_, id);
    // The socket is owned by the session from here; the hold is released
    // before the session closes it.
    TlsSessionPtr session;
    const std::shared_ptr<const Config> config = Current();
    const Status st = ServerHandshake(platform::Socket(fd), ip, config->context.get(), p_.stop, session);
    if (!st.ok()) {
      hold.Release();
      session.reset();
      if (!st.IsStopped()) BumpRefused(p_.counters, Refusal::Handshake);
      if (!st.IsStopped() && handshake_failures_.Note(ip)) {
        p_.log->Error(st);
        p_.log->Info("Bogus connection");
      }
    } else {
      Serve(*config, std::move(session), hold);
    }
  }
  std::lock_guard lock(finished_mutex_);
  finished_.push_back(std::this_thread::get_id());
}

// Dial role: one stream at a time, fetched from the configured sender.
void InboundSide::DialLoop() {
  FailureLog dial_failures(*p_.log, "fetching from " + HostPort(s_.host, s_.port));
  Backoff backoff(std::max(1, s_.delay_before_retry_ms), std::max(60000, s_.delay_before_retry_ms));
  while (!p_.stop->Requested()) {
    TlsSessionPtr session;
    const std::shared_ptr<const Config> config = Current();
    const Settings& s = *config->settings;
    const Status st = Dial(s.host, s.port, s.peer_cn, config->context.get(), p_.stop, kConnectTimeoutMs, session);
    if (st.IsStopped()) break;
    if (!st.ok()) {
      // A sender that refuses the connection, or drops it before any
      // certificate was checked, has nothing to send: the usual idle
      // state, retried at the configured pace. A refused certificate (a
      // wrong one at either end) is trouble: said once, and retried less
      // and less often until it is mended.
      auto pause = std::chrono::milliseconds(s.delay_before_retry_ms);
      if (st.kind() == Status::Kind::kRefused) {
        dial_failures.Failed(st.words());
        pause = backoff.Next();
      }
      p_.stop->WaitFor(pause);
      continue;
    }
    std::optional<StreamSlots::Id> id = slots_.Accept(session->socket.Native(), session->peer);
    if (!id) break;  // cut by the stop
    SessionOutcome outcome;
    {
      SlotHold hold(slots_, *id);
      outcome = Serve(*config, std::move(session), hold);
    }
    if (Confirms(outcome)) {
      dial_failures.Succeeded();
      backoff.Reset();
    } else if (!p_.stop->Requested()) {
      // With TLS 1.3 a sender that refuses our certificate says so only
      // after the handshake, at the first read: without a pause the next
      // dial would follow at once, for ever.
      dial_failures.Failed("the stream from the sender broke off or was refused");
      p_.stop->WaitFor(backoff.Next());
    }
  }
}

}  // namespace tarnwick
