#include "layout/identity.h"

#include "base/sha256.h"
#include "base/text.h"

namespace tarnwick {

namespace {
bool Number(std::string_view s, std::int64_t& out) {
  const std::optional<std::int64_t> n = ParseDecimal(s);
  if (!n || *n < 0) return false;
  out = *n;
  return true;
}
}  // namespace

std::optional<SaveIdentity> ParseIdentity(std::string_view text) {
  SaveIdentity id;
  bool have_size = false, have_origin = false;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t sp = line.find(' ');
    const std::string_view key = line.substr(0, sp);
    const std::string_view value = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    std::int64_t n = 0;
    if (key == "size") {
      if (!Number(value, id.size)) return std::nullopt;
      have_size = true;
    } else if (key == "sha256") {
      if (!IsHexDigest(value)) return std::nullopt;
      id.digest = std::string(value);
    } else if (key == "origin") {
      if (value != "declared" && value != "computed") return std::nullopt;
      id.declared = value == "declared";
      have_origin = true;
    } else if (key == "verified") {
      const std::size_t s2 = value.find(' ');
      if (s2 == std::string_view::npos || !Number(value.substr(0, s2), id.verified_at)) return std::nullopt;
      const std::string_view verdict = value.substr(s2 + 1);
      if (verdict != "good" && verdict != "mismatch") return std::nullopt;
      id.verified_good = verdict == "good";
    } else if (key == "mismatches") {
      if (!Number(value, n) || n > 1000000) return std::nullopt;
      id.mismatches = static_cast<int>(n);
    } else if (key == "checkpoint") {
      const std::size_t s2 = value.find(' ');
      if (s2 == std::string_view::npos || !Number(value.substr(0, s2), id.synced)) return std::nullopt;
      id.hash_state = std::string(value.substr(s2 + 1));
      if (!Sha256::FromState(id.hash_state)) return std::nullopt;
    } else if (key.empty() || key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string_view::npos) {
      return std::nullopt;  // not a record's line: damage
    }
    // Other keys are from a later version: ignored.
  }
  // Every record is written with its origin: one without is damaged.
  if (!have_origin || (!have_size && id.HasDigest())) return std::nullopt;
  return id;
}

std::string FormatIdentity(const SaveIdentity& id) {
  std::string out = id.size >= 0 ? "size " + std::to_string(id.size) + "\n" : "";
  if (id.HasDigest()) out += "sha256 " + id.digest + "\n";
  out += std::string("origin ") + (id.declared ? "declared" : "computed") + "\n";
  if (id.verified_at != 0)
    out += "verified " + std::to_string(id.verified_at) + (id.verified_good ? " good\n" : " mismatch\n");
  if (id.mismatches != 0) out += "mismatches " + std::to_string(id.mismatches) + "\n";
  if (id.synced >= 0) out += "checkpoint " + std::to_string(id.synced) + " " + id.hash_state + "\n";
  return out;
}

}  // namespace tarnwick
