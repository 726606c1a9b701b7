// The process: its command line, the verbs, and the relay run under the
// system's service manager.
#pragma once

#include <filesystem>
#include <string>

namespace tarnwick {

// Process entry: the verbs (help, version, check, status, verify, drop,
// list, retry, reload, install, delete) run and end; otherwise the relay runs under the service host. Windows'
// "delete" removes the service and goes on to the host. Returns the exit
// status: 0, 1 when a verb or the start failed, 2 for a bad command line.
int ServiceEntry(int argc, char** argv);

// The configuration directory: dir (from --dir) made absolute, else the
// executable's own directory; empty when that cannot be found.
std::filesystem::path ConfigDirectory(const std::string& dir);

// tarnwick check / tarnwick status: print, and return the exit status.
// from_dir: the directory was named with --dir (then every PEM file is
// read from it).
int RunCheck(const std::filesystem::path& config_dir, bool from_dir);
// Status exits as StatusExitStatus says (2 also when the settings cannot
// be read or repo is not a repository's name); repo narrows the listing.
int RunStatus(const std::filesystem::path& config_dir, const std::string& repo, bool json);
// tarnwick verify [REPO[/SAVE]] / tarnwick drop ENTRY on the backup root of
// config_dir's settings: 2 for a bad target or a root that cannot be had.
int RunVerify(const std::filesystem::path& config_dir, const std::string& target, bool json);
// drop: an entry of aside/, or a save (REPO/SAVE; see RunDropSave).
int RunDrop(const std::filesystem::path& config_dir, const std::string& entry, bool force);
// tarnwick list [ROOT]: each subdirectory of root (kConfigRoot when empty)
// that holds a settings.ini, its backup root and whether a relay holds that
// root's relay.lock; 2 when root cannot be listed, else 0.
int RunList(const std::string& root);

}  // namespace tarnwick
