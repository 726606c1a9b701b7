// The relay's command line: one verb and its options.
#pragma once

#include <string>

namespace tarnwick {

struct CommandLine {
  enum class Verb { Run, Help, Version, Check, Status, Install, Delete, Verify, Drop, List, Retry, Reload, Bad };
  Verb verb = Verb::Run;
  std::string dir;    // --dir: settings.ini and every PEM file come from here
  std::string name;   // install / delete: the instance
  std::string user;   // install: USER[:GROUP] the unit runs as
  std::string target;  // verify: REPO[/SAVE] (empty: every save); drop: aside/REPO/NAME; status: REPO;
                       // list: the directory of instances
  bool json = false;    // status, verify
  bool force = false;   // drop: a complete save too
  std::string error;  // Bad: what was wrong, in words
};

// Never exits: a bad line is Verb::Bad with the reason.
CommandLine ParseCommandLine(int argc, char** argv);

extern const char kRelayUsage[];

// Where the package's relays live, one directory per instance, each run by
// tarnwick@NAME.service (the unit template names the same directory).
inline constexpr const char* kConfigRoot = "/etc/tarnwick";

}  // namespace tarnwick
