// The check of the network: the ports the relay listens on (no port twice,
// and each one free, bound and released again, unless the relay itself
// holds them) and the hosts it dials.
#include <set>

#include "channel/tls.h"
#include "layout/backup_root.h"
#include "platform/platform.h"
#include "service/check/checker.h"

namespace tarnwick::check {

namespace fs = std::filesystem;

namespace {

// --- ports ----------------------------------------------------------------

struct Listened {
  std::string name;     // "[Connection] Port"
  std::string port;
  std::string address;  // where: "" or "*" for every address
  std::string listen;   // the setting that chose it: "[Connection] Listen"
};

// The ports the relay listens on in its role, with valid values only.
std::vector<Listened> ListenedPorts(CheckContext& c) {
  std::vector<Listened> out;
  auto add = [&](const char* section, const char* key, const std::string& port, const char* listen_section,
                 const std::string& address) {
    if (!c.Invalid(section, key) && !c.Invalid(listen_section, "Listen"))
      out.push_back({std::string("[") + section + "] " + key, port, address,
                     std::string("[") + listen_section + "] Listen"});
  };
  if (!c.s.InboundDials()) add("Connection", "Port", c.s.port, "Connection", c.s.listen);
  if (c.s.ForwardingConfigured() && !c.s.InboundDials())
    add("Connection", "ClosurePort", c.s.closure_port, "Connection", c.s.listen);
  // Unset, [Forward] Listen follows [Connection] Listen, and so does its validity.
  if (c.s.ForwardingConfigured() && !c.s.ForwardDials())
    add("Forward", "Port", c.s.forward_port, c.s.forward_listen == c.s.listen ? "Connection" : "Forward",
        c.s.forward_listen);
  std::string address, port;
  if (!c.s.metrics_listen.empty() && !c.Invalid("Metrics", "Listen") &&
      SplitEndpoint(c.s.metrics_listen, address, port))
    out.push_back({"[Metrics] Listen", port, address, "[Metrics] Listen"});
  return out;
}

// Whether two listeners on one port would take each other's connections:
// every address overlaps any, and two names may be one address.
bool Overlap(const std::string& a, const std::string& b) {
  if (ListensEverywhere(a) || ListensEverywhere(b)) return true;
  const platform::Resolution x = platform::Resolve(a, "0", /*passive=*/true);
  const platform::Resolution y = platform::Resolve(b, "0", /*passive=*/true);
  return x.code == 0 && y.code == 0 && platform::AddressText(x.address) == platform::AddressText(y.address);
}

}  // namespace

void CheckPortClashes(CheckContext& c) {
  const std::vector<Listened> ports = ListenedPorts(c);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const platform::Resolution a = platform::ResolveIPv4("", ports[i].port, true);
    for (std::size_t j = i + 1; j < ports.size() && a.code == 0; ++j) {
      const platform::Resolution b = platform::ResolveIPv4("", ports[j].port, true);
      if (b.code == 0 && a.address.length == b.address.length && a.address.bytes == b.address.bytes &&
          Overlap(ports[i].address, ports[j].address))
        c.Add(Severity::Error, ports[i].name + " and " + ports[j].name + " are both " + ports[j].port +
                                 ": the relay listens on each, so they must differ");
    }
  }
}

void CheckHosts(CheckContext& c) {
  auto resolve = [&](const char* section, const std::string& host) {
    if (host.empty() || c.Invalid(section, "Host")) return;
    const platform::Resolution r = platform::Resolve(host, "0", /*passive=*/false);
    // Only a warning: a relay must come up during a DNS outage, and it
    // resolves the name again at every dial.
    if (r.code != 0)
      c.Add(Severity::Warning, std::string("[") + section + "] Host " + host + " does not resolve now: " + r.text +
                                   "; the relay starts anyway and tries again at every dial, so check the name "
                                   "(or the DNS, if it is down)");
  };
  resolve("Connection", c.s.host);
  if (c.s.ForwardingConfigured()) resolve("Forward", c.s.forward_host);
}

void TestPorts(CheckContext& c, bool root_ok) {
  if (root_ok) {
    const fs::path lock_path = c.BackupRoot() / kLockFile;
    // Only a relay creates the file: a check run as another user (root)
    // must not leave one the relay cannot open.
    std::error_code ec;
    platform::FileLock lock;
    if (fs::exists(lock_path, ec)) lock = platform::TryLockFile(lock_path.string());
    if (lock.Busy()) {
      c.Add(Severity::Note, "a relay is running on this backup root (" + lock_path.string() +
                              " is locked); ports not tested");
      return;
    }
  }
  std::vector<platform::Socket> held;  // each port stays bound until all are tested
  std::set<std::string> tried;
  std::set<std::string> wrong_addresses;  // one finding for an address, not one per port
  for (const Listened& l : ListenedPorts(c)) {
    if (!tried.insert(l.address + " " + l.port).second) continue;  // a clash, reported already
    if (wrong_addresses.count(l.address)) continue;
    platform::Socket s;
    if (const Status st = OpenListener(l.address, l.port, s, 1); st.kind() == Status::Kind::kInvalid) {
      wrong_addresses.insert(l.address);
      c.Add(Severity::Error, l.name + ": " + st.words() + "; correct " + l.listen);
    } else if (!st.ok()) {
      c.Add(Severity::Error, l.name + ": " + st.words() + "; free the port or choose another");
    } else {
      held.push_back(std::move(s));
    }
  }
}

}  // namespace tarnwick::check
