// The configuration check: what start-up would find wrong with settings.ini,
// the PEM files, the backup root and the ports, found without starting
// anything, each as one line an operator can act on.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct Settings;

struct Finding {
  enum class Severity { Error, Warning, Note } severity;
  std::string text;  // one line: names the file, key, port or directory and says why
};

struct CheckOptions {
  // Where settings.ini and the start-up PEM files are read (the
  // executable's directory); a relative [Backup] Dir is taken from here.
  std::string config_dir;
  // No lock probe and no port test: at start-up, where the relay binds its
  // ports itself and any failure to bind stops it.
  bool skip_ports = false;
  // True: the contexts a forwarding relay builds after start-up (forward
  // listen mode, the closure listener) read cert.pem, key.pem and
  // forwardcert.pem from the backup root, so the copies there are checked
  // too. False: the relay reads every PEM file from config_dir.
  bool pems_in_backup_root = true;
};

// The whole check, for "tarnwick check" and for the relay's own start-up,
// which refuses to start on any Error. Errors: start-up would fail, or the
// relay would run otherwise than written (an unknown section or key, a value
// it would misread or that carries a comment). Warnings: it runs, but
// trouble is near (a certificate expiring within 30 days, less than 1 GiB
// free, a duplicate key, a host name that does not resolve now). Notes:
// what was not checked, and why. Unless skip_ports, the ports the relay
// listens on in its role are bound and released again; when a relay holds
// the backup root's lock they are not (a Note says so). read: the settings
// as the relay reads them from that same text.
std::vector<Finding> CheckConfiguration(const CheckOptions& options, Settings* read = nullptr);

bool HasErrors(const std::vector<Finding>& findings);
// "error", "warning" or "note".
const char* SeverityName(Finding::Severity severity);

}  // namespace tarnwick
