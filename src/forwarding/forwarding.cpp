#include "forwarding/forwarding.h"

#include "service/event_log.h"
#include "settings/settings.h"

namespace tarnwick {

void ReadForwardSettings(const IniFile& ini) {
  g_settings.forward_host = ini.GetString("Forward", "Host", "", 480);
  g_settings.forward_port = ini.GetString("Forward", "Port", "1026", 280);
  g_settings.forward_peer_cn = ini.GetString("Forward", "PeerCN", "", 560);
  if (g_settings.ForwardingConfigured()) {
    // Saves cannot be passed on yet; refusing to start beats a relay that
    // silently keeps everything it was asked to forward.
    SvcReportEvent("[Forward] PeerCN is set, but this build cannot forward saves", EventType::Error);
    FatalError("forwarding");
  }
}

// Reached only when forwarding is configured, which start-up refuses above.
void ReplayForwardQueue(const std::filesystem::path&) {}
void ForwardHandOff(const std::string&, const std::string&) {}

void ForwardCleanup() {}

}  // namespace tarnwick
