// Relays chained by forwarding: each node has its own certificate, directory
// and backup root, and each hop is wired in one of the two forward modes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/relay_fixture.h"

namespace tarnwick::test {

enum class ForwardMode {
  Dial,    // the forwarding relay dials the next one and pushes
  Listen,  // the forwarding relay listens; the next one dials in to fetch
};
std::ostream& operator<<(std::ostream& os, ForwardMode m);

class ChainTest : public RelayTest {
 protected:
  // A relay named relay-<name>.test with its own backup root, inbound in the
  // listen role accepting client_ (the test's sender), no forwarding yet.
  // Throttling stays off unless config says otherwise; dial-role redials
  // come every 200 ms.
  Relay& MakeNode(const std::string& name, RelayConfig config = {});

  // Makes from forward to next in the given mode, rewriting both relays'
  // files: certificates trusted both ways, names checked both ways, ports
  // matched. Listen mode puts next in the dial role towards from's forward
  // port, and points its closure dial at from's closure listener.
  void Link(Relay& from, Relay& to, ForwardMode mode);

  // Sends a three-field stream to a listen-role node as the test's sender.
  ::testing::AssertionResult SendSave(Relay& to, const std::string& repo, const std::string& save,
                                      const std::string& bytes);
  ClientOptions SenderTo(const Relay& r) const;
  // tarnwick-send arguments for a one-field stream of file to r.
  std::vector<std::string> SendArgs(const Relay& r, const std::string& repo, const fs::path& file);

  // Lays a save down under r's saves/ as if it had been received.
  void PlaceSave(const Relay& r, const std::string& repo, const std::string& save,
                 const std::string& bytes);
  // Appends "<repo>\t<save>\n" to r's toforward.
  void QueueLine(const Relay& r, const std::string& line);

  static fs::path SaveAt(const Relay& r, const std::string& repo, const std::string& save) {
    return r.root() / "saves" / repo / save;
  }
  static fs::path MarkerAt(const Relay& r, const std::string& repo, const std::string& save) {
    return r.root() / "saves" / repo / (save + "_pending");
  }
  static fs::path ProgressAt(const Relay& r, const std::string& repo, const std::string& save) {
    return r.root() / "forwards" / repo / save;
  }
  static fs::path QueueOf(const Relay& r) { return r.root() / "toforward"; }
  // -1 when absent.
  static std::int64_t SizeOf(const fs::path& p);
  // Regular files below dir, relative and sorted (directories left out).
  static std::vector<std::string> FilesUnder(const fs::path& dir);

  // Waits until to holds the whole save with no marker, and from no longer
  // holds a progress file for it.
  ::testing::AssertionResult WaitForwarded(const Relay& from, const Relay& to,
                                           const std::string& repo, const std::string& save,
                                           const std::string& bytes,
                                           milliseconds timeout = kDefaultWait);

  // The end state of a forwarding relay that has delivered everything and
  // stopped: an empty queue and no progress file.
  ::testing::AssertionResult NothingLeftToForward(const Relay& r);

 private:
  std::vector<std::unique_ptr<Identity>> node_ids_;
};

}  // namespace tarnwick::test
