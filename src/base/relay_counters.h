// What a running relay counts as it works, for its metrics endpoint. Plain
// atomics, bumped where the work happens and read by a scrape without a
// lock; they start at zero with the process, as counters of the kind do.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Why a stream or a connection was turned away: a short, fixed set, so that
// each can be a label value.
enum class Refusal : std::size_t {
  Busy,         // no place free, or its save is being stored by another stream
  Certificate,  // a certificate was needed and not given
  Header,       // a header or a name that cannot be stored
  Conflict,     // another save holds the name
  Resume,       // asked to resume at the byte the relay holds
  Mismatch,     // the bytes did not hash to the identity the stream declared
  Handshake,    // the TLS handshake failed
  Timeout,      // the header did not come in time
  kCount,
};
constexpr const char* RefusalName(Refusal r) {
  switch (r) {
    case Refusal::Busy: return "busy";
    case Refusal::Certificate: return "certificate";
    case Refusal::Header: return "header";
    case Refusal::Conflict: return "conflict";
    case Refusal::Resume: return "resume";
    case Refusal::Mismatch: return "mismatch";
    case Refusal::Handshake: return "handshake";
    case Refusal::Timeout: return "timeout";
    case Refusal::kCount: break;
  }
  return "other";
}

struct RelayCounters {
  using Count = std::atomic<std::uint64_t>;
  Count saves_stored{0};
  Count saves_forwarded{0};
  Count bytes_received{0};
  Count bytes_forwarded{0};
  Count forward_failures{0};
  Count verify_runs{0};
  Count verify_mismatches{0};
  std::atomic<std::int64_t> streams_active{0};
  std::array<Count, static_cast<std::size_t>(Refusal::kCount)> refused{};

  void Refused(Refusal r) { refused[static_cast<std::size_t>(r)].fetch_add(1, std::memory_order_relaxed); }
  static void Add(Count& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
};

// Parts are built with a pointer that may be null (tests, tools): counting
// then costs a branch and nothing else.
inline void Bump(RelayCounters* c, RelayCounters::Count RelayCounters::*which, std::uint64_t n = 1) {
  if (c) RelayCounters::Add(c->*which, n);
}
inline void BumpRefused(RelayCounters* c, Refusal r) {
  if (c) c->Refused(r);
}

}  // namespace tarnwick
