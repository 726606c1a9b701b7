// SHA-256 over a save's bytes, as sha256sum computes it, with a state that
// can be written down and taken up again: a resumed stream goes on hashing
// from where the last synced part of its save ended, without reading it.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256& o);
  Sha256& operator=(const Sha256& o);

  void Update(const void* data, std::size_t len);
  // The digest of everything given so far, as 64 lowercase hex digits; the
  // hash itself goes on unchanged.
  std::string HexDigest() const;
  // The state after the bytes given so far, as text, and back.
  std::string State() const;
  static std::optional<Sha256> FromState(std::string_view text);

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

// "sha256:" followed by 64 lowercase hex digits: the form a digest takes in
// headers, answers and entries.
inline constexpr std::string_view kDigestPrefix = "sha256:";
bool IsHexDigest(std::string_view hex);

}  // namespace tarnwick
