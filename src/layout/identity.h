// What a save is: its size and SHA-256, where the digest came from, how its
// last verification went and, while it is pending, the hash state at its
// last synced size. Kept in ids/<repo>/<save>, outside saves/, as lines of
// "<key> <value>":
//
//   size 1048576
//   sha256 9f86d08...            (64 hex digits; absent while not known)
//   origin declared|computed     (declared: sent by the previous hop)
//   verified <unix time> good|mismatch
//   mismatches <n>               (deliveries refused for a wrong digest)
//   checkpoint <synced size> <hash state>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

struct SaveIdentity {
  std::int64_t size = -1;  // -1: not known yet (a pending save without a declared size)
  std::string digest;      // 64 lowercase hex digits, or empty
  bool declared = false;   // the digest came from upstream, not from this relay's hashing
  std::int64_t verified_at = 0;  // unix time of the last verification; 0: never
  bool verified_good = false;
  int mismatches = 0;
  // The pending save's bytes known to be on disk, and the hash state after
  // them; synced < 0: no checkpoint.
  std::int64_t synced = -1;
  std::string hash_state;

  bool HasDigest() const { return !digest.empty(); }
  // Failed its last verification: not forwarded until an operator acts.
  bool FailedVerification() const { return verified_at != 0 && !verified_good; }
  bool operator==(const SaveIdentity&) const = default;
};

// None for a record that cannot be one (a digest of the wrong shape, a
// size that is not a number): a damaged record is never taken at its word.
std::optional<SaveIdentity> ParseIdentity(std::string_view text);
std::string FormatIdentity(const SaveIdentity& id);

}  // namespace tarnwick
