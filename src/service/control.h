// Steering a running relay: the requests its control channel takes
// (retry, reload, drop), their replies, and the verbs that send them.
//
//   request:  one line: "retry" | "reload" | "drop REPO/SAVE" | "drop REPO/SAVE force"
//   reply:    a status word on the first line, then lines for the operator:
//             ok | refused | failed | usage
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace tarnwick {

struct ControlReply {
  enum class Word { Ok, Refused, Failed, Usage };
  Word word = Word::Ok;
  std::vector<std::string> lines;
};
std::string FormatControlReply(const ControlReply& reply);
// False for a text that does not begin with a known status word.
bool ParseControlReply(const std::string& text, ControlReply& out);
// The verb's exit status for a reply: 0 ok, 1 refused or failed, 2 usage.
int ControlExitStatus(ControlReply::Word word);

// What a reload changes, setting by setting: "[Section] Key old -> new".
struct SettingsChange {
  std::vector<std::string> applied;  // in effect for new connections
  std::vector<std::string> restart;  // read, but only a restart applies them
};
// The settings a reload runs with: next, but with what only a restart can
// change (the backup root, the role and the forward mode, forwarding on or
// off, the ports listened on, MaxStreams) kept as running has them.
Settings MergeReload(const Settings& running, const Settings& next, SettingsChange& change);

// tarnwick retry / tarnwick reload: request sent to the relay of
// config_dir; its reply printed. Exit 0, 1 refused or failed, 2 usage,
// 3 no relay answers there.
int RunSteer(const std::filesystem::path& config_dir, const std::string& request);

}  // namespace tarnwick
