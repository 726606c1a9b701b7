#include "service/relay.h"

#include <algorithm>
#include <filesystem>

#include "service/check/config_check.h"

namespace tarnwick {

Relay::Relay(std::shared_ptr<const Settings> settings, platform::FileSystem& fs, EventLog& log)
    : settings_(std::move(settings)),
      current_(settings_),
      log_(log),
      root_(settings_->BackupRoot(), fs),
      inbound_total_(settings_->TotalRate()) {}

Relay::~Relay() {
  stop_.Request();
  if (reporter_.joinable()) reporter_.join();
  if (control_thread_.joinable()) control_thread_.join();
  if (forwarder_) forwarder_->Finish();
}

Status Relay::Start(std::shared_ptr<const Settings> settings, platform::FileSystem& fs, EventLog& log,
                    std::unique_ptr<Relay>& out) {
  std::unique_ptr<Relay> r(new Relay(std::move(settings), fs, log));
  const Settings& s = *r->settings_;
  const BackupRoot& root = r->root_;
  // The root itself may be a link (a common way to put it on another
  // disk): it is followed, as everything under it is not.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(root.Path(), ec);
  if (ec || !std::filesystem::is_directory(st)) {
    const std::string where = "cannot use the backup root " + root.Path().string() + " ([Backup] Dir in " +
                              (s.config_dir / "settings.ini").string() + ")";
    return ec ? Status::FromSystem(ec.value(), where, "chdir(startup_directory)")
              : Status::Error(Status::Kind::kInvalid, where + ": not a directory", "chdir(startup_directory)", 20);
  }
  // Held while the relay runs: a second relay on the same root would
  // interleave writes to the same saves, and "tarnwick check" learns from
  // it that the ports are this relay's.
  r->lock_ = platform::TryLockFile(root.LockFile().string());
  if (!r->lock_.Held()) {
    const int e = r->lock_.Error();
    return r->lock_.Busy()
               ? Status::Error(Status::Kind::kConflict,
                               "another relay is running on the backup root " + root.Path().string() + " (" +
                                   kLockFile + " is locked)",
                               "lock(relay.lock)", e)
               : Status::FromSystem(e, "cannot lock " + root.LockFile().string(), "lock(relay.lock)");
  }
  // Temporary files of writes a crash cut short.
  if (const Status st = root.EmptyTemp(); !st.ok()) log.Error(st);
  // Identities of saves deleted while the relay was down.
  int stale = 0;
  if (const Status st = root.RemoveStaleIdentities(stale); !st.ok()) log.Error(st.Then("; it is kept"));
  if (stale) log.Info(std::to_string(stale) + " identities of saves that are gone were removed from ids/");

  CompletionHooks hooks;
  if (s.ForwardingConfigured()) {
    Forwarder::Parts parts{r->settings_, &root, &log, &r->stop_, &r->counters_};
    if (const Status st = Forwarder::Open(parts, r->forwarder_); !st.ok()) return st;
    Forwarder* f = r->forwarder_.get();
    hooks.record = [f](const std::string& repo, const std::string& save) { return f->CreateRecord(repo, save); };
    hooks.hand_off = [f](const std::string& repo, const std::string& save) { f->HandOff(repo, save); };
    hooks.resume = [f](const std::string& repo, const std::string& save) { f->Resume(repo, save); };
  }
  InboundSide::Parts parts{r->settings_, &root, &log, &r->stop_, &r->inbound_total_, std::move(hooks), &r->counters_};
  if (const Status st = InboundSide::Open(std::move(parts), r->inbound_); !st.ok()) return st;
  if (!s.metrics_listen.empty()) {
    Relay* self = r.get();
    MetricsEndpoint::Parts parts{[self] { return self->Current(); }, &r->counters_, &log, &r->stop_};
    if (const Status st = MetricsEndpoint::Open(s, std::move(parts), r->metrics_); !st.ok()) return st;
  }
  // Forwarding resumes only in a relay that will run.
  if (r->forwarder_)
    if (const Status st = r->forwarder_->Start(); !st.ok()) return st;
  Relay* self = r.get();
  try {
    r->reporter_ = std::thread([self] {
      do {
        self->inbound_->FlushReports();
        if (self->forwarder_) self->forwarder_->FlushReports();
      } while (!self->stop_.WaitFor(std::chrono::seconds(10)));
    });
  } catch (const std::system_error& e) {
    r->stop_.Request();
    return Status::Error(Status::Kind::kIoError, std::string("cannot start the reporting thread: ") + e.what(),
                         "_beginthread", e.code().value());
  }
  r->OpenControl();
  out = std::move(r);
  return Status::Ok();
}

std::string Relay::ControlAddress() const {
  return platform::ControlAddress(settings_->config_dir.string(), root_.Path().string());
}

void Relay::OpenControl() {
  const std::string address = ControlAddress();
  const std::string without = "; tarnwick retry, reload and drop cannot reach this relay, which runs on without them";
  auto listener = std::make_unique<platform::ControlListener>();
  if (const int e = listener->Open(address); e != 0) {
    log_.Error(Status::FromSystem(e, "cannot open the control socket " + address, "bind(control)").Then(without));
    return;
  }
  control_ = std::move(listener);
  platform::ControlListener* l = control_.get();
  wake_control_ = stop_.OnStop([l] { l->Wake(); });
  try {
    control_thread_ = std::thread([this] { control_->Serve([this](const std::string& r) { return Answer(r); }); });
  } catch (const std::system_error& e) {
    log_.Error(Status::Error(Status::Kind::kIoError, std::string("cannot start the control thread: ") + e.what(),
                             "_beginthread", e.code().value())
                   .Then(without));
  }
}

std::string Relay::Answer(const std::string& request) {
  ControlReply reply;
  std::string target;
  bool force = false;
  if (request == "retry") {
    reply = Retry();
  } else if (request == "reload") {
    reply = Reload();
  } else if (ParseDropRequest(request, target, force)) {
    reply = Drop(target, force);
  } else {
    reply.word = ControlReply::Word::Usage;
    reply.lines.push_back("the relay does not know the request '" + request + "'");
  }
  return FormatControlReply(reply);
}

ControlReply Relay::Retry() {
  ControlReply reply;
  if (!forwarder_) {
    reply.lines.push_back("this relay does not forward ([Forward] PeerCN is empty): there is nothing to retry");
    return reply;
  }
  const std::shared_ptr<const Settings> s = Current();
  const std::size_t n = forwarder_->RetryNow();
  const std::string waiting = std::to_string(n) + (n == 1 ? " save waits" : " saves wait");
  log_.Info("the operator's retry ends the forwarding back-off; " + waiting);
  reply.lines.push_back(s->ForwardDials() ? "forwarding to " + s->forward_host + ":" + s->forward_port +
                                                " is tried now; " + waiting
                                          : "the back-off of each save ends; " + waiting +
                                                " for the next relay, which fetches them when it dials port " +
                                                s->forward_port);
  return reply;
}

ControlReply Relay::Reload() {
  using Severity = Finding::Severity;
  std::lock_guard one(reload_mutex_);
  const std::shared_ptr<const Settings> running = Current();
  const std::string ini = (running->config_dir / "settings.ini").string();
  CheckOptions check;
  check.config_dir = running->config_dir.string();
  check.pems_in_backup_root = !running->pems_from_config_dir;
  check.skip_ports = true;  // the ports are this relay's own
  Settings next;
  const std::vector<Finding> findings = CheckConfiguration(check, &next);
  ControlReply reply;
  auto refuse = [&](const std::string& why) {
    log_.Error("the reload is refused: " + why + "; the relay goes on with the configuration it had");
    reply.word = ControlReply::Word::Refused;
    reply.lines.insert(reply.lines.begin(), "refused: " + why + "; the relay goes on with the configuration it had");
    return reply;
  };
  for (const Finding& f : findings) {
    if (f.severity == Severity::Note) continue;
    log_.Write(f.severity == Severity::Error ? EventType::Error : EventType::Warning, f.text);
    reply.lines.push_back(std::string(SeverityName(f.severity)) + ": " + f.text);
  }
  if (HasErrors(findings)) {
    const auto n = std::count_if(findings.begin(), findings.end(),
                                 [](const Finding& f) { return f.severity == Severity::Error; });
    return refuse(ini + " and its PEM files have " + std::to_string(n) + " error(s)");
  }
  SettingsChange change;
  const auto effective = std::make_shared<const Settings>(MergeReload(*running, next, change));
  // Every new context is built before any is used: a failure changes nothing.
  std::shared_ptr<const InboundSide::Config> inbound;
  Status st = inbound_->Prepare(effective, inbound);
  if (st.ok() && forwarder_) st = forwarder_->Reload(effective);
  if (!st.ok()) return refuse(st.Line());
  inbound_->Apply(std::move(inbound));
  inbound_total_.SetRate(effective->TotalRate());
  {
    std::lock_guard lock(current_mutex_);
    current_ = effective;
  }
  std::string changed;
  for (const std::string& c : change.applied) changed += (changed.empty() ? "" : ", ") + c;
  log_.Info("the configuration in " + running->config_dir.string() + " is reloaded: new connections use the PEM files " +
            "as they are now" + (changed.empty() ? "; no setting changed" : " and " + changed));
  reply.lines.insert(reply.lines.begin(), "reloaded " + ini + " and the PEM files: new connections use them; " +
                                              "streams under way finish as they began");
  for (const std::string& c : change.applied) reply.lines.push_back("changed: " + c);
  for (const std::string& c : change.restart) {
    log_.Warning("settings.ini changes " + c + ", which only a restart applies; the relay goes on as it started");
    reply.lines.push_back("needs a restart: " + c + "; the relay goes on as it started");
  }
  return reply;
}

ControlReply Relay::Drop(const std::string& target, bool force) {
  ControlReply reply;
  auto refuse = [&reply](ControlReply::Word word, std::string why) {
    reply.word = word;
    reply.lines.push_back(std::move(why));
    return reply;
  };
  std::string repo, save;
  if (!ParseSaveTarget(target, repo, save))
    return refuse(ControlReply::Word::Usage, "'" + target + "' is not REPO/SAVE of safe names");
  const std::string label = std::string(kSavesDir) + "/" + repo + "/" + save;
  const BackupRoot::path path = root_.SavePath(repo, save);
  SaveClaims& claims = inbound_->Claims();
  if (!claims.TryClaim(path))
    return refuse(ControlReply::Word::Refused, "a stream is storing " + label + " now; drop it once that has ended");
  struct Unclaim {
    SaveClaims& claims;
    const BackupRoot::path& path;
    ~Unclaim() { claims.Release(path); }
  } unclaim{claims, path};
  SaveToDrop s;
  if (const Status st = ExamineSave(root_, repo, save, s); !st.ok())
    return refuse(ControlReply::Word::Failed, st.Line());
  if (!s.Any()) return refuse(ControlReply::Word::Refused, "there is no save " + label);
  if (std::string why = DropRefusal(s, force); !why.empty()) return refuse(ControlReply::Word::Refused, why);
  bool was_queued = false;
  if (forwarder_) {
    const WaitingSaves::Removal r = forwarder_->Forget(QueueEntry{repo, save});
    if (r == WaitingSaves::Removal::Current)
      return refuse(ControlReply::Word::Refused,
                    label + " is the save the forwarder is sending or trying now; drop it once the next relay has "
                            "it, or stop the relay and drop it then");
    was_queued = r == WaitingSaves::Removal::Removed;
  }
  reply = RemoveSave(root_, s);
  if (was_queued) reply.lines.push_back("the forwarder no longer waits to send it");
  if (reply.word == ControlReply::Word::Ok)
    log_.Info("the operator dropped " + label + " (" + s.State() + "): " + std::to_string(reply.lines.size() - was_queued) +
              " file(s) removed");
  else
    log_.Error("the operator's drop of " + label + " stopped: " + reply.lines.back());
  return reply;
}

Status Relay::StartFromDirectory(const std::filesystem::path& config_dir, bool pems_from_config_dir,
                                 platform::FileSystem& fs, EventLog& log, std::unique_ptr<Relay>& out) {
  CheckOptions check;
  check.config_dir = config_dir.string();
  check.pems_in_backup_root = !pems_from_config_dir;
  check.skip_ports = true;
  // The settings come from the text the check read: what was checked is
  // what runs.
  auto settings = std::make_shared<Settings>();
  const std::vector<Finding> findings = CheckConfiguration(check, settings.get());
  settings->pems_from_config_dir = pems_from_config_dir;
  for (const Finding& f : findings)
    if (f.severity != Finding::Severity::Note)
      log.Write(f.severity == Finding::Severity::Error ? EventType::Error : EventType::Warning, f.text);
  if (HasErrors(findings)) {
    const auto n = std::count_if(findings.begin(), findings.end(),
                                 [](const Finding& f) { return f.severity == Finding::Severity::Error; });
    return Status::Error(Status::Kind::kInvalid,
                         "the relay does not start: the configuration has " + std::to_string(n) +
                             " error(s), listed above; \"tarnwick check\" shows them too",
                         "start-up check", static_cast<int>(n));
  }
  return Start(std::move(settings), fs, log, out);
}

void Relay::Run() {
  inbound_->Run();
  {
    std::unique_lock lock(stop_mutex_);
    stop_done_cv_.wait(lock, [this] { return stop_done_; });
  }
  if (reporter_.joinable()) reporter_.join();
  if (control_thread_.joinable()) control_thread_.join();
  if (forwarder_) forwarder_->Finish();
}

void Relay::Stop() {
  stop_.Request();
  inbound_->Stop();
  std::lock_guard lock(stop_mutex_);
  stop_done_ = true;
  stop_done_cv_.notify_all();
}

}  // namespace tarnwick
