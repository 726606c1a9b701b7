#include "service/control.h"

#include <cstdio>
#include <functional>
#include <string_view>
#include <type_traits>

#include "base/text.h"
#include "layout/stream_header.h"
#include "platform/control_channel.h"
#include "platform/file_system.h"
#include "platform/platform.h"

namespace tarnwick {

namespace {

constexpr std::pair<ControlReply::Word, std::string_view> kWords[] = {{ControlReply::Word::Ok, "ok"},
                                                                        {ControlReply::Word::Refused, "refused"},
                                                                        {ControlReply::Word::Failed, "failed"},
                                                                        {ControlReply::Word::Usage, "usage"}};

}  // namespace

std::string FormatControlReply(const ControlReply& reply) {
  std::string out;
  for (const auto& [word, name] : kWords)
    if (word == reply.word) out = std::string(name) + "\n";
  // A line must stay one line: the reply is read line by line.
  for (const std::string& line : reply.lines) out += EscapeControl(line) + "\n";
  return out;
}

bool ParseControlReply(const std::string& text, ControlReply& out) {
  out = ControlReply{};
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!first) {
      out.lines.push_back(line);
      continue;
    }
    first = false;
    bool known = false;
    for (const auto& [word, name] : kWords)
      if (line == name) out.word = word, known = true;
    if (!known) return false;
  }
  return !first;
}

int ControlExitStatus(ControlReply::Word word) {
  switch (word) {
    case ControlReply::Word::Ok: return 0;
    case ControlReply::Word::Usage: return 2;
    case ControlReply::Word::Refused:
    case ControlReply::Word::Failed: return 1;
  }
  return 1;
}

Settings MergeReload(const Settings& running, const Settings& next, SettingsChange& change) {
  change = SettingsChange{};
  Settings s = next;
  // Where the files are read stays as the relay started.
  s.config_dir = running.config_dir;
  s.pems_from_config_dir = running.pems_from_config_dir;
  auto text = [](const std::string& v) { return v.empty() ? std::string("(empty)") : v; };
  auto note = [&](bool restart, std::string name, const std::string& was, const std::string& now) {
    std::string line = std::move(name) + " " + text(was) + " -> " + text(now);
    (restart ? change.restart : change.applied).push_back(std::move(line));
  };
  // Kept as running has it: only a restart gives a new listener, root or part.
  auto fixed = [&](const char* name, auto member) {
    if (running.*member == next.*member) return;
    if constexpr (std::is_same_v<std::decay_t<decltype(running.*member)>, std::string>)
      note(true, name, running.*member, next.*member);
    else
      note(true, name, std::to_string(running.*member), std::to_string(next.*member));
    s.*member = running.*member;
  };
  auto applied = [&](const char* name, auto member) {
    if (running.*member == next.*member) return;
    if constexpr (std::is_same_v<std::decay_t<decltype(running.*member)>, std::string>)
      note(false, name, running.*member, next.*member);
    else
      note(false, name, std::to_string(running.*member), std::to_string(next.*member));
  };

  if (running.BackupRoot() != next.BackupRoot()) {
    note(true, "[Backup] Dir", running.BackupRoot().string(), next.BackupRoot().string());
    s.backup_dir = running.backup_dir;
  }
  // The role: listening for senders, or dialling one. A new sender to dial
  // is a new address, not a new role.
  if (running.InboundDials() != next.InboundDials()) {
    note(true, "[Connection] Host (the role)", running.host, next.host);
    s.host = running.host;
  } else {
    applied("[Connection] Host", &Settings::host);
  }
  fixed("[Connection] Port", &Settings::port);
  fixed("[Connection] ClosurePort", &Settings::closure_port);
  // The listeners are bound at start: a new address needs a restart.
  fixed("[Connection] Listen", &Settings::listen);
  fixed("[Forward] Listen", &Settings::forward_listen);
  fixed("[Metrics] Listen", &Settings::metrics_listen);
  fixed("[Connection] MaxStreams", &Settings::max_streams);
  applied("[Connection] PeerCN", &Settings::peer_cn);
  applied("[Connection] DelayBeforeRetry", &Settings::delay_before_retry_ms);
  applied("[Connection] Bandwith", &Settings::rate);
  applied("[Connection] ThrottlingEnabled", &Settings::throttling);
  applied("[Connection] RequireClientCert", &Settings::require_client_cert);
  applied("[Connection] TotalBandwith", &Settings::total_rate);
  applied("[Connection] MinRate", &Settings::min_rate);
  applied("[Connection] IdleTimeout", &Settings::idle_timeout_s);
  applied("[Connection] HeaderTimeout", &Settings::header_timeout_s);
  applied("[Connection] RequireCloseNotify", &Settings::require_close_notify);
  applied("[Connection] Upstream", &Settings::upstream);

  if (running.ForwardingConfigured() != next.ForwardingConfigured()) {
    // Forwarding on or off: a forwarder made or ended, and its ports.
    note(true, "[Forward] PeerCN (forwarding on or off)", running.forward_peer_cn, next.forward_peer_cn);
    s.forward_peer_cn = running.forward_peer_cn;
    s.forward_host = running.forward_host;
    s.forward_port = running.forward_port;
  } else if (running.ForwardingConfigured()) {
    if (running.ForwardDials() != next.ForwardDials()) {
      note(true, "[Forward] Host (the forward mode)", running.forward_host, next.forward_host);
      s.forward_host = running.forward_host;
      fixed("[Forward] Port", &Settings::forward_port);
    } else if (running.ForwardDials()) {
      applied("[Forward] Host", &Settings::forward_host);
      applied("[Forward] Port", &Settings::forward_port);
    } else {
      fixed("[Forward] Port", &Settings::forward_port);  // listened on
    }
    applied("[Forward] PeerCN", &Settings::forward_peer_cn);
  }
  applied("[Forward] Bandwith", &Settings::forward_rate);
  return s;
}

std::string SaveToDrop::State() const {
  if (marker) return "pending";
  if (!bytes) return "gone, with files left of it";
  if (set_aside) return "complete, its forwarding set aside";
  if (mismatched) return "complete, failed its verification";
  if (record) return "complete, waiting to be forwarded";
  return "complete";
}

bool ParseSaveTarget(std::string_view target, std::string& repo, std::string& save) {
  const std::size_t slash = target.find('/');
  if (slash == std::string_view::npos) return false;
  repo = std::string(target.substr(0, slash));
  save = std::string(target.substr(slash + 1));
  return IsSafeName(repo) && IsSafeSaveName(save);
}

Status ExamineSave(const BackupRoot& root, const std::string& repo, const std::string& save, SaveToDrop& out) {
  out = SaveToDrop{repo, save};
  const QueueEntry e{repo, save};
  const std::pair<BackupRoot::path, bool*> looks[] = {{root.SavePath(repo, save), &out.bytes},
                                                      {root.MarkerPath(repo, save), &out.marker},
                                                      {root.RecordPath(e), &out.record},
                                                      {root.IdentityPath(repo, save), &out.identity}};
  for (const auto& [path, there] : looks)
    if (Status st = root.Exists(path, *there); !st.ok()) return st;
  if (out.record) {
    ForwardRecord r;
    if (Status st = root.ReadRecord(e, r); !st.ok() && !st.IsNotFound()) return st;
    out.set_aside = r.set_aside;
  }
  if (out.identity) {
    SaveIdentity id;
    // A damaged record is not a failed verification: the save is held, and
    // goes only with force like any complete one.
    if (root.ReadIdentity(repo, save, id).ok()) out.mismatched = id.FailedVerification();
  }
  return Status::Ok();
}

std::string DropRefusal(const SaveToDrop& s, bool force) {
  if (force || s.marker || !s.bytes || s.set_aside || s.mismatched) return "";
  const std::string label = std::string(kSavesDir) + "/" + s.repo + "/" + s.save;
  return s.record ? label + " is complete and still waits to be forwarded; give --force to remove it all the same"
                  : label + " is a complete save this relay holds; give --force to remove it all the same";
}

ControlReply RemoveSave(const BackupRoot& root, const SaveToDrop& s) {
  ControlReply reply;
  const QueueEntry e{s.repo, s.save};
  const std::pair<bool, BackupRoot::path> files[] = {{s.record, root.RecordPath(e)},
                                                     {s.bytes, root.SavePath(s.repo, s.save)},
                                                     {s.marker, root.MarkerPath(s.repo, s.save)},
                                                     {s.identity, root.IdentityPath(s.repo, s.save)}};
  for (const auto& [there, path] : files) {
    if (!there) continue;
    if (const Status st = root.RemoveDurably(path); !st.ok()) {
      // What is left is what drop found before: the relay reads it as it is.
      reply.word = ControlReply::Word::Failed;
      reply.lines.push_back(st.Line() + "; run drop again");
      return reply;
    }
    reply.lines.push_back("removed " + path.string());
  }
  return reply;
}

std::string DropRequest(const std::string& target, bool force) {
  return std::string("drop ") + (force ? "--force " : "") + target;
}

bool ParseDropRequest(std::string_view request, std::string& target, bool& force) {
  if (!request.starts_with("drop ")) return false;
  request.remove_prefix(5);
  force = request.starts_with("--force ");
  if (force) request.remove_prefix(8);
  target = std::string(request);
  return true;
}

namespace {

// The reply printed, and its exit status.
int Shown(const ControlReply& reply) {
  std::FILE* out = reply.word == ControlReply::Word::Ok ? stdout : stderr;
  for (const std::string& line : reply.lines) std::fprintf(out, "%s\n", line.c_str());
  return ControlExitStatus(reply.word);
}

int ShownReply(const std::string& address, const std::string& text) {
  ControlReply reply;
  if (!ParseControlReply(text, reply)) {
    std::fprintf(stderr, "tarnwick: the relay's reply on %s cannot be read\n", address.c_str());
    return 1;
  }
  return Shown(reply);
}

ControlReply Refused(std::string why) { return ControlReply{ControlReply::Word::Refused, {std::move(why)}}; }

}  // namespace

int RunDropSave(const std::filesystem::path& config_dir, const std::string& root_dir, const std::string& target,
                bool force) {
  std::string repo, save;
  if (!ParseSaveTarget(target, repo, save)) {
    std::fprintf(stderr, "tarnwick: '%s' is not REPO/SAVE of safe names\n", EscapeControl(target).c_str());
    return 2;
  }
  const BackupRoot root(root_dir, platform::RealFileSystem());
  const std::string address = platform::ControlAddress(config_dir.string(), root_dir);
  const platform::ControlResult r = platform::ControlRequest(address, DropRequest(target, force));
  using Kind = platform::ControlResult::Kind;
  if (r.kind == Kind::Replied) return ShownReply(address, r.text);
  if (r.kind == Kind::Failed) {
    std::fprintf(stderr, "tarnwick: cannot reach the relay through %s: %s\n", address.c_str(),
                 platform::ErrorText(r.error).c_str());
    return 1;
  }
  // No relay answers: its lock, held while the files go, keeps one from
  // starting meanwhile.
  const platform::FileLock lock = platform::TryLockFile(root.LockFile().string());
  if (!lock.Held()) {
    if (lock.Busy())
      std::fprintf(stderr,
                   "tarnwick: a relay runs on %s (it holds %s) but does not answer on %s; see its log, or stop it "
                   "and drop the save then\n",
                   root_dir.c_str(), kLockFile, address.c_str());
    else
      std::fprintf(stderr, "tarnwick: cannot lock %s: %s\n", root.LockFile().string().c_str(),
                   platform::ErrorText(lock.Error()).c_str());
    return 1;
  }
  const std::string label = std::string(kSavesDir) + "/" + repo + "/" + save;
  SaveToDrop s;
  if (const Status st = ExamineSave(root, repo, save, s); !st.ok())
    return Shown(ControlReply{ControlReply::Word::Failed, {st.Line()}});
  if (!s.Any()) return Shown(Refused("there is no save " + label));
  if (std::string why = DropRefusal(s, force); !why.empty()) return Shown(Refused(why));
  return Shown(RemoveSave(root, s));
}

int RunSteer(const std::filesystem::path& config_dir, const std::string& request) {
  if (config_dir.empty()) {
    std::fprintf(stderr, "tarnwick: cannot read the program's own path, where settings.ini is looked for; "
                         "give --dir DIR\n");
    return 2;
  }
  std::string unreadable;
  const Settings s = LoadSettings(config_dir, &unreadable);
  if (!unreadable.empty()) {
    std::fprintf(stderr, "tarnwick: %s, so the relay's control socket is unknown\n", unreadable.c_str());
    return 2;
  }
  const std::string address = platform::ControlAddress(config_dir.string(), s.BackupRoot().string());
  const platform::ControlResult r = platform::ControlRequest(address, request);
  using Kind = platform::ControlResult::Kind;
  if (r.kind == Kind::Absent) {
    std::fprintf(stderr, "tarnwick: no relay runs for %s: nothing listens on %s\n", config_dir.string().c_str(),
                 address.c_str());
    return 3;
  }
  if (r.kind == Kind::Failed) {
    std::fprintf(stderr, "tarnwick: cannot reach the relay through %s: %s\n", address.c_str(),
                 platform::ErrorText(r.error).c_str());
    return 1;
  }
  return ShownReply(address, r.text);
}

}  // namespace tarnwick
