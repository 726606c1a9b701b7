#include "service/command_line.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

const char kRelayUsage[] =
    "usage: tarnwick [--dir DIR]              run the relay (systemd, the Windows service manager)\n"
    "       tarnwick check [--dir DIR]        check settings.ini, the PEM files, the backup root and\n"
    "                                         the ports without starting; exit 1 on any error\n"
    "       tarnwick status [--dir DIR] [--json] [REPO]\n"
    "                                         whether the relay runs; saves held, pending and queued (one\n"
    "                                         line per repository beyond 50 saves; REPO lists its saves),\n"
    "                                         identities, what was set aside, the last forwarding attempt and\n"
    "                                         contact; exit 0 healthy, 1 problems, 2 the backup root cannot\n"
    "                                         be read, 3 the relay is not running\n"
    "       tarnwick verify [--dir DIR] [--json] [REPO[/SAVE]]\n"
    "                                         re-read complete saves and compare each with its recorded size\n"
    "                                         and SHA-256 (a save without one gets it); exit 1 on a mismatch\n"
    "       tarnwick drop [--dir DIR] aside/REPO/NAME\n"
    "                                         remove one entry of aside/ (bytes that did not match)\n"
    "       tarnwick drop [--dir DIR] [--force] REPO/SAVE\n"
    "                                         remove a pending, set-aside or mismatched save, its marker,\n"
    "                                         record and identity (a complete one only with --force),\n"
    "                                         through the running relay, or holding its lock\n"
    "       tarnwick retry [--dir DIR]        the running relay tries the next relay and every waiting save\n"
    "                                         now, ending its back-off; exit 3 when no relay runs\n"
    "       tarnwick reload [--dir DIR]       the running relay reads settings.ini and the PEM files again\n"
    "                                         (as SIGHUP does); new connections use them; exit 1 when the\n"
    "                                         check finds errors (nothing changes), 3 when no relay runs\n"
    "       tarnwick install [NAME] [--dir DIR] [--user USER[:GROUP]]\n"
    "                                         a systemd unit tarnwick-NAME.service (Windows: the service)\n"
    "       tarnwick delete [NAME] [--dir DIR] remove it\n"
    "       tarnwick list [ROOT]              the relays configured in ROOT/NAME (default /etc/tarnwick, where\n"
    "                                         the package's tarnwick@NAME units find them), each one's backup\n"
    "                                         root and whether it runs\n"
    "       tarnwick --help | --version\n"
    "DIR holds settings.ini and the PEM files; without --dir, the executable's directory.\n";

namespace {

// Verbs compare without regard to case, as "install" always has.
bool Is(std::string_view arg, std::string_view word) {
  return std::equal(arg.begin(), arg.end(), word.begin(), word.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == y;
  });
}

CommandLine Bad(std::string why) {
  CommandLine c;
  c.verb = CommandLine::Verb::Bad;
  c.error = std::move(why);
  return c;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
  using Verb = CommandLine::Verb;
  CommandLine c;
  bool have_verb = false, have_json = false, have_user = false;
  // The verb is the first word that is not an option, so that
  // "tarnwick --dir DIR status" and "tarnwick status --dir DIR" both work.
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    // "--dir=DIR" as well as "--dir DIR".
    std::optional<std::string> inline_value;
    if (a.starts_with("--") && a.find('=') != std::string_view::npos) {
      inline_value = std::string(a.substr(a.find('=') + 1));
      a = a.substr(0, a.find('='));
    }
    auto value = [&](std::string& into) {
      if (inline_value) {
        into = *inline_value;
        return !into.empty();
      }
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
      into = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      c.verb = Verb::Help;
      return c;
    }
    if (a == "--version") {
      c.verb = Verb::Version;
      return c;
    }
    if (a == "--dir") {
      if (!value(c.dir)) return Bad("option --dir needs a directory");
    } else if (a == "--user") {
      if (!value(c.user)) return Bad("option --user needs USER or USER:GROUP");
      have_user = true;
    } else if (a == "--json" && !inline_value) {
      have_json = true;
    } else if (a == "--force" && !inline_value) {
      c.force = true;
    } else if (!a.empty() && a[0] == '-') {
      return Bad("unknown option '" + std::string(a) + "'");
    } else if (!have_verb) {
      if (Is(a, "check")) c.verb = Verb::Check;
      else if (Is(a, "status")) c.verb = Verb::Status;
      else if (Is(a, "install")) c.verb = Verb::Install;
      else if (Is(a, "delete")) c.verb = Verb::Delete;
      else if (Is(a, "verify")) c.verb = Verb::Verify;
      else if (Is(a, "drop")) c.verb = Verb::Drop;
      else if (Is(a, "list")) c.verb = Verb::List;
      else if (Is(a, "retry")) c.verb = Verb::Retry;
      else if (Is(a, "reload")) c.verb = Verb::Reload;
      else return Bad("unknown command '" + std::string(a) + "'");
      have_verb = true;
    } else if ((c.verb == Verb::Install || c.verb == Verb::Delete) && c.name.empty()) {
      c.name = a;
    } else if ((c.verb == Verb::Verify || c.verb == Verb::Drop || c.verb == Verb::Status || c.verb == Verb::List) &&
               c.target.empty()) {
      c.target = a;
    } else {
      return Bad("unexpected argument '" + std::string(a) + "'");
    }
  }
  if (have_json && c.verb != Verb::Status && c.verb != Verb::Verify)
    return Bad("option --json is for status and verify only");
  if (c.verb == Verb::Drop && c.target.empty())
    return Bad("drop needs what to remove: REPO/SAVE, or aside/REPO/NAME");
  if (c.force && c.verb != Verb::Drop) return Bad("option --force is for drop only");
  if (c.verb == Verb::List && !c.dir.empty()) return Bad("list takes the directory of instances as ROOT, not --dir");
  c.json = have_json;
  if (have_user && c.verb != Verb::Install) return Bad("option --user is for install only");
  return c;
}

}  // namespace tarnwick
