#include "service/metrics.h"

#include <openssl/crypto.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "channel/tls.h"
#include "platform/platform.h"
#include "service/status/status_view.h"
#include "tarnwick_version.h"

namespace tarnwick {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// A walk at most this often however busy the relay is, and at least this
// often however idle: the gauges it feeds lag by no more than the latter.
constexpr std::chrono::seconds kWalkAfterWork{5};
constexpr std::chrono::seconds kWalkEvery{30};
// The server's bounds: four workers, a whole request within two seconds
// (a scraper sends its few lines at once), request headers of at most
// 16 KiB, one request per connection. Clients that hold every worker are
// cut after those two seconds; more wait in the server's and the kernel's
// queues, which costs them time, not the relay memory. Enough of them can
// still delay scrapes: the address keeps strangers away, not the server.
constexpr const char* kThreads = "4";
constexpr const char* kRequestTimeoutMs = "2000";
constexpr const char* kMaxRequestBytes = "16384";

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Families {
 public:
  void Counter(const char* name, const char* help, double value, ClientMetric::Label label = {}) {
    Add(name, help, MetricType::Counter, label).counter.value = value;
  }
  void Gauge(const char* name, const char* help, double value, ClientMetric::Label label = {},
             ClientMetric::Label label2 = {}) {
    ClientMetric& m = Add(name, help, MetricType::Gauge, label);
    if (!label2.name.empty()) m.label.push_back(std::move(label2));
    m.gauge.value = value;
  }
  std::vector<MetricFamily> Take() { return std::move(out_); }

 private:
  // One family per name: a second sample of a name goes into the first's.
  ClientMetric& Add(const char* name, const char* help, MetricType type, ClientMetric::Label& label) {
    auto it = std::find_if(out_.begin(), out_.end(), [&](const MetricFamily& f) { return f.name == name; });
    if (it == out_.end()) it = out_.insert(out_.end(), MetricFamily{name, help, type, {}});
    ClientMetric& m = it->metric.emplace_back();
    if (!label.name.empty()) m.label.push_back(std::move(label));
    return m;
  }
  std::vector<MetricFamily> out_;
};

double Load(const RelayCounters::Count& c) { return static_cast<double>(c.load(std::memory_order_relaxed)); }

std::vector<MetricFamily> Collect(const RelayCounters& c, const RootSnapshot& r, const Settings& s,
                                  std::int64_t started, std::int64_t now) {
  Families f;
  f.Counter("tarnwick_saves_stored_total", "Saves completed on this relay from incoming streams.", Load(c.saves_stored));
  f.Counter("tarnwick_saves_forwarded_total", "Saves the next relay confirmed.", Load(c.saves_forwarded));
  f.Counter("tarnwick_received_bytes_total", "Save bytes written from incoming streams.", Load(c.bytes_received));
  f.Counter("tarnwick_forwarded_bytes_total", "Save bytes sent to the next relay.", Load(c.bytes_forwarded));
  for (std::size_t i = 0; i < c.refused.size(); ++i)
    f.Counter("tarnwick_streams_refused_total", "Streams and connections turned away, by why.", Load(c.refused[i]),
              {"reason", RefusalName(static_cast<Refusal>(i))});
  f.Counter("tarnwick_forward_failures_total", "Forwarding attempts that failed.", Load(c.forward_failures));
  f.Counter("tarnwick_verify_runs_total", "Saves this relay checked against their size and SHA-256.",
            Load(c.verify_runs));
  f.Counter("tarnwick_verify_mismatches_total", "Saves whose bytes did not match their identity.",
            Load(c.verify_mismatches));

  f.Gauge("tarnwick_start_time_seconds", "When the relay started, in seconds since 1970.", static_cast<double>(started));
  f.Gauge("tarnwick_streams_active", "Streams being stored now.",
          static_cast<double>(c.streams_active.load(std::memory_order_relaxed)));
  f.Gauge("tarnwick_stream_slots", "Streams stored at once at most (MaxStreams).", s.max_streams);
  f.Gauge("tarnwick_forwarding_enabled", "1 when a next relay is configured.", s.ForwardingConfigured() ? 1 : 0);
  f.Gauge("tarnwick_configured_rate_bytes_per_second", "Configured limits in bytes per second; 0: none.",
          static_cast<double>(std::max<std::int64_t>(0, s.TransferRate())), {"direction", "stream"});
  f.Gauge("tarnwick_configured_rate_bytes_per_second", "", static_cast<double>(std::max<std::int64_t>(0, s.TotalRate())),
          {"direction", "total"});
  if (s.ForwardingConfigured())
    f.Gauge("tarnwick_configured_rate_bytes_per_second", "",
            static_cast<double>(std::max<std::int64_t>(0, s.ForwardRate())), {"direction", "forward"});
  f.Gauge("tarnwick_build_info", "The relay's version and the OpenSSL it runs with.", 1, {"version", kVersion},
          {"openssl_version", OpenSSL_version(OPENSSL_VERSION_STRING)});

  // 0 until a walk is whole, so that one that never is can be alerted on.
  f.Gauge("tarnwick_walk_timestamp_seconds", "When the walk of the backup root behind the gauges below ended; 0: none yet.",
          static_cast<double>(r.walked_at));
  if (r.walked_at == 0) return f.Take();  // nothing walked yet: no guesses
  auto age = [now](std::int64_t since) { return since > 0 ? static_cast<double>(std::max<std::int64_t>(0, now - since)) : 0.0; };
  f.Gauge("tarnwick_waiting_saves", "Complete saves waiting to be forwarded (set aside ones not counted).",
          static_cast<double>(r.waiting));
  f.Gauge("tarnwick_waiting_bytes", "Bytes of the waiting saves still to be sent.", static_cast<double>(r.waiting_bytes));
  f.Gauge("tarnwick_oldest_waiting_age_seconds", "Age of the oldest waiting save since it was complete; 0: none.",
          age(r.oldest_waiting_since));
  f.Gauge("tarnwick_set_aside_saves", "Saves whose forwarding is set aside until an operator acts.",
          static_cast<double>(r.set_aside));
  f.Gauge("tarnwick_aside_entries", "Entries of aside/: bytes moved there after a mismatch, kept for an operator.",
          static_cast<double>(r.aside_entries));
  f.Gauge("tarnwick_pending_saves", "Saves not complete yet.", static_cast<double>(r.pending));
  f.Gauge("tarnwick_stale_pending_saves", "Pending saves nothing was written to for a day.",
          static_cast<double>(r.stale_pending));
  f.Gauge("tarnwick_oldest_pending_age_seconds", "Time since the oldest pending save was last written; 0: none.",
          age(r.oldest_pending_since));
  f.Gauge("tarnwick_saves_failed_verification", "Saves whose last verification found bytes unlike their identity.",
          static_cast<double>(r.failed_verification));
  if (s.ForwardingConfigured()) {
    const std::string next = s.ForwardDials() ? s.forward_host + ":" + s.forward_port : "listen:" + s.forward_port;
    f.Gauge("tarnwick_last_forward_timestamp_seconds", "When the next relay last confirmed a save; 0: never.",
            static_cast<double>(r.last_forward), {"next_relay", next});
    f.Gauge("tarnwick_last_contact_timestamp_seconds",
            "When the next relay last confirmed a save or dialled in; 0: never.", static_cast<double>(r.last_contact),
            {"next_relay", next});
  }
  if (r.free_bytes >= 0) {
    f.Gauge("tarnwick_root_free_bytes", "Bytes this relay may still use on the backup root's file system.",
            static_cast<double>(r.free_bytes));
    f.Gauge("tarnwick_root_size_bytes", "Size of the backup root's file system.", static_cast<double>(r.size_bytes));
  }
  return f.Take();
}

void ReadSpace(const std::string& backup_root, RootSnapshot& r) {
  std::error_code ec;
  const std::filesystem::space_info space = std::filesystem::space(backup_root, ec);
  r.free_bytes = ec ? -1 : static_cast<std::int64_t>(space.available);
  r.size_bytes = ec ? -1 : static_cast<std::int64_t>(space.capacity);
}

}  // namespace

RootSnapshot WalkRoot(const std::string& backup_root, const RootSnapshot& before) {
  const StatusReport report = BuildStatus(backup_root);
  if (!report.error.empty() || report.unread > 0) {
    // Zeros would read as "nothing waits" and quiet the alerts: the last
    // whole figures stay, with their time, which then ages for all to see.
    RootSnapshot r = before;
    ReadSpace(backup_root, r);
    return r;
  }
  RootSnapshot r;
  r.walked_at = report.now;
  for (const RepoStatus& repo : report.repos) {
    r.pending += static_cast<std::int64_t>(repo.pending);
    r.stale_pending += static_cast<std::int64_t>(repo.stale);
    if (repo.oldest_pending && (!r.oldest_pending_since || repo.oldest_pending < r.oldest_pending_since))
      r.oldest_pending_since = repo.oldest_pending;
    for (const SaveStatus& save : repo.saves)
      if (save.identity == SaveStatus::Identity::Recorded && save.id.verified_at && !save.id.verified_good)
        ++r.failed_verification;
  }
  r.waiting = static_cast<std::int64_t>(report.waiting);
  r.waiting_bytes = report.WaitingBytes();
  for (const RecordStatus& rec : report.records) r.set_aside += rec.set_aside ? 1 : 0;
  if (const RecordStatus* oldest = report.OldestWaiting()) r.oldest_waiting_since = oldest->save_modified;
  r.aside_entries = static_cast<std::int64_t>(report.aside.size());
  r.last_forward = ParseUtcTimestamp(report.transmitter.last_forward).value_or(0);
  r.last_contact = ParseUtcTimestamp(report.transmitter.last_contact).value_or(0);
  ReadSpace(backup_root, r);
  return r;
}

std::string MetricsText(const RelayCounters& counters, const RootSnapshot& root, const Settings& settings,
                        std::int64_t started, std::int64_t now) {
  return prometheus::TextSerializer().Serialize(Collect(counters, root, settings, started, now));
}

class MetricsCollectable final : public prometheus::Collectable {
 public:
  explicit MetricsCollectable(const MetricsEndpoint& e) : e_(e) {}
  std::vector<MetricFamily> Collect() const override {
    RootSnapshot root;
    {
      std::lock_guard lock(e_.mutex_);
      root = e_.last_;
    }
    return tarnwick::Collect(*e_.p_.counters, root, *e_.p_.settings(), e_.started_, Now());
  }

 private:
  const MetricsEndpoint& e_;
};

MetricsEndpoint::MetricsEndpoint(Parts parts) : p_(std::move(parts)), started_(Now()) {}

Status MetricsEndpoint::Open(const Settings& settings, Parts parts, std::unique_ptr<MetricsEndpoint>& out) {
  std::unique_ptr<MetricsEndpoint> e(new MetricsEndpoint(std::move(parts)));
  e->root_ = settings.BackupRoot().string();
  e->collectable_ = std::make_shared<MetricsCollectable>(*e);
  const std::string where = "[Metrics] Listen " + settings.metrics_listen;
  try {
    // Only /metrics is served: no document root, no other handler.
    e->exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", settings.metrics_listen, "num_threads", kThreads, "request_timeout_ms",
        kRequestTimeoutMs, "max_request_size", kMaxRequestBytes, "enable_keep_alive", "no"});
    e->exposer_->RegisterCollectable(e->collectable_);
  } catch (const std::exception& x) {
    // The server says only that it could not bind: binding here names why.
    std::string address, port;
    platform::Socket probe;
    Status why = SplitEndpoint(settings.metrics_listen, address, port) ? OpenListener(address, port, probe, 1)
                                                                       : Status::Ok();
    if (why.ok()) why = Status::Error(Status::Kind::kInvalid, x.what(), "mg_start", 0);
    return Status::Error(why.kind(), "cannot serve metrics on " + where + ": " + why.words(), "mg_start", why.code());
  }
  try {
    e->walker_ = std::thread([self = e.get()] { self->Walk(); });
  } catch (const std::system_error& x) {
    return Status::Error(Status::Kind::kIoError, std::string("cannot start the metrics walk: ") + x.what(),
                         "_beginthread", x.code().value());
  }
  e->p_.log->Info("metrics served on http://" + settings.metrics_listen + "/metrics");
  out = std::move(e);
  return Status::Ok();
}

void MetricsEndpoint::Walk() {
  using Clock = std::chrono::steady_clock;
  auto work = [this] {
    const RelayCounters& c = *p_.counters;
    return c.saves_stored.load() + c.saves_forwarded.load() + c.forward_failures.load() + c.verify_mismatches.load() +
           c.refused[static_cast<std::size_t>(Refusal::Conflict)].load();
  };
  std::uint64_t seen = ~std::uint64_t{0};
  Clock::time_point ended{};
  do {
    const std::uint64_t now_work = work();
    const auto since = Clock::now() - ended;
    if (since < kWalkEvery && (now_work == seen || since < kWalkAfterWork)) continue;
    seen = now_work;
    RootSnapshot r = WalkRoot(root_, last_);  // last_ is written only here
    std::lock_guard lock(mutex_);
    last_ = r;
    ended = Clock::now();
  } while (!p_.stop->WaitFor(std::chrono::seconds(1)));
}

MetricsEndpoint::~MetricsEndpoint() {
  if (walker_.joinable()) walker_.join();
  exposer_.reset();
}

}  // namespace tarnwick
