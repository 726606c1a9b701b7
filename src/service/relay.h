// A relay: a few owned parts built in one place from one settings snapshot.
// The inbound side takes streams and stores them as saves; the forwarder
// passes complete saves on to the next relay; the throttle's total limit is
// shared by the inbound streams; one stop token wakes every wait.
//
//   sender -> InboundSide -> SaveSession -> saves/<repo>/<save>
//                                 | complete, forwarding on:
//                                 v record made, then handed off
//                             Forwarder -> Transmission -> next relay
#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "base/event_log.h"
#include "base/stop_token.h"
#include "forwarding/forwarder.h"
#include "layout/backup_root.h"
#include "platform/control_channel.h"
#include "platform/platform.h"
#include "reception/inbound.h"
#include "service/control.h"
#include "service/metrics.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

class Relay {
 public:
  // Every start-up step that may fail, in this order: the backup root
  // entered and locked, tmp/ emptied, the forwarder's contexts and ports,
  // the inbound side's context and port, forwarding resumed from the
  // records. A Status says what is wrong; nothing runs then.
  static Status Start(std::shared_ptr<const Settings> settings, platform::FileSystem& fs, EventLog& log,
                      std::unique_ptr<Relay>& out);
  // The relay of a configuration directory, as the service starts it: its
  // settings.ini read and checked by the check "tarnwick check" makes, less
  // the port test (Start binds every port it listens on, and a port it
  // cannot bind stops the start as well). Each finding but a note is
  // written as an entry; any error refuses the start before anything is
  // built. pems_from_config_dir: see Settings.
  static Status StartFromDirectory(const std::filesystem::path& config_dir, bool pems_from_config_dir,
                                   platform::FileSystem& fs, EventLog& log, std::unique_ptr<Relay>& out);
  ~Relay();

  // Serves until Stop; returns once every part has ended (toforward is
  // written then).
  void Run();
  // From any thread, once: wakes every wait, ends the streams after their
  // grace, and lets Run return.
  void Stop();

  const BackupRoot& Root() const { return root_; }
  // Where the control channel listens (see platform::ControlAddress).
  std::string ControlAddress() const;

  // The operator's steering, from the control channel (and SIGHUP: a
  // reload). Each is written to the log and returns the reply.
  // Every back-off of the forwarder ends: the waiting saves and the hop are
  // tried at once.
  ControlReply Retry();
  // settings.ini and the PEM files read again and checked as start-up
  // checks them. With an error: refused, nothing changes. Otherwise new
  // connections use the new contexts and settings; what only a restart can
  // change is named in the reply and keeps its running value.
  ControlReply Reload();
  // Removes one save (see DropRefusal for which): claimed first, so that no
  // stream writes it meanwhile, and forgotten by the forwarder. Refused
  // while a stream holds it or the forwarder is sending it.
  ControlReply Drop(const std::string& target, bool force);
  // One request line of the control channel, answered.
  std::string Answer(const std::string& request);

 private:
  Relay(std::shared_ptr<const Settings> settings, platform::FileSystem& fs, EventLog& log);
  std::shared_ptr<const Settings> Current() const {
    std::lock_guard lock(current_mutex_);
    return current_;
  }
  // Opens the control channel and starts its thread; a relay that cannot
  // is still a relay: it says so and runs without.
  void OpenControl();

  // As the relay started: its root and what only a restart changes.
  std::shared_ptr<const Settings> settings_;
  // What a reload made current.
  mutable std::mutex current_mutex_;
  std::shared_ptr<const Settings> current_;  // guarded by current_mutex_
  std::mutex reload_mutex_;  // one reload at a time (the channel, a signal)
  EventLog& log_;
  BackupRoot root_;
  platform::FileLock lock_;
  StopToken stop_;
  RateLimiter inbound_total_;  // TotalBandwith, shared by every inbound stream
  RelayCounters counters_;     // outlives every part that counts
  std::unique_ptr<Forwarder> forwarder_;
  std::unique_ptr<InboundSide> inbound_;
  std::unique_ptr<MetricsEndpoint> metrics_;  // none without [Metrics] Listen
  // Set when Stop has done its part: Run waits for it, so that the relay is
  // never destroyed under a Stop that is still running.
  std::mutex stop_mutex_;
  std::condition_variable stop_done_cv_;
  bool stop_done_ = false;
  // Writes the parts' summed-up reports when their minute ends.
  std::thread reporter_;
  std::unique_ptr<platform::ControlListener> control_;
  StopToken::Hook wake_control_;
  std::thread control_thread_;
};

}  // namespace tarnwick
