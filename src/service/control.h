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

#include "layout/backup_root.h"
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

// A save as "tarnwick drop REPO/SAVE" finds it: which of its files are there.
struct SaveToDrop {
  std::string repo, save;
  bool bytes = false, marker = false, record = false, identity = false;
  bool set_aside = false;   // its record says so (a conflict or mismatch at the next relay)
  bool mismatched = false;  // its last verification failed
  bool Any() const { return bytes || marker || record || identity; }
  std::string State() const;  // "pending", "set aside", ... for the reply and the entry
};
// REPO/SAVE of safe names.
bool ParseSaveTarget(std::string_view target, std::string& repo, std::string& save);
// Looks at each file of repo/save; a lookup that fails is an error, never
// "absent".
Status ExamineSave(const BackupRoot& root, const std::string& repo, const std::string& save, SaveToDrop& out);
// Why the save must stay (empty: it may go). A pending, set-aside or
// mismatched save may go; a complete one is a backup this relay holds, and
// goes only with force.
std::string DropRefusal(const SaveToDrop& s, bool force);
// Removes its forwarding record, its bytes, its marker and its identity, in
// that order (a crash between leaves a pending or an unrecorded save, never
// a complete one made of a pending one's bytes); a line per file removed.
ControlReply RemoveSave(const BackupRoot& root, const SaveToDrop& s);
// The drop request line and its reading on the relay's side.
std::string DropRequest(const std::string& target, bool force);
bool ParseDropRequest(std::string_view request, std::string& target, bool& force);

// tarnwick drop REPO/SAVE on the backup root root_dir: through the
// running relay, or with no relay running, holding its lock. Exit 0, 1
// refused or failed, 2 usage.
int RunDropSave(const std::filesystem::path& config_dir, const std::string& root_dir, const std::string& target,
                bool force);

// tarnwick retry / tarnwick reload: request sent to the relay of
// config_dir; its reply printed. Exit 0, 1 refused or failed, 2 usage,
// 3 no relay answers there.
int RunSteer(const std::filesystem::path& config_dir, const std::string& request);

}  // namespace tarnwick
