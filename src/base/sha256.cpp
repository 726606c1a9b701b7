// The low-level SHA-256 interface is the one whose state is a plain struct
// that can be saved; OpenSSL 3 keeps it, marked deprecated.
#define OPENSSL_API_COMPAT 10101
#include "base/sha256.h"

#include <openssl/sha.h>

#include <cstring>

namespace tarnwick {

struct Sha256::Ctx {
  SHA256_CTX c;
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) { SHA256_Init(&ctx_->c); }
Sha256::~Sha256() = default;
Sha256::Sha256(const Sha256& o) : ctx_(std::make_unique<Ctx>(*o.ctx_)) {}
Sha256& Sha256::operator=(const Sha256& o) {
  *ctx_ = *o.ctx_;
  return *this;
}

void Sha256::Update(const void* data, std::size_t len) { SHA256_Update(&ctx_->c, data, len); }

namespace {
const char kHex[] = "0123456789abcdef";

std::string ToHex(const unsigned char* p, std::size_t n) {
  std::string out;
  out.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kHex[p[i] >> 4]);
    out.push_back(kHex[p[i] & 15]);
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::string Sha256::HexDigest() const {
  SHA256_CTX copy = ctx_->c;
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256_Final(md, &copy);
  return ToHex(md, sizeof md);
}

// The struct's bytes are the state; they are read back only by the same
// build on the same machine (the backup root's own records).
std::string Sha256::State() const {
  return ToHex(reinterpret_cast<const unsigned char*>(&ctx_->c), sizeof ctx_->c);
}

std::optional<Sha256> Sha256::FromState(std::string_view text) {
  if (text.size() != 2 * sizeof(SHA256_CTX)) return std::nullopt;
  unsigned char raw[sizeof(SHA256_CTX)];
  for (std::size_t i = 0; i < sizeof raw; ++i) {
    const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    raw[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  Sha256 h;
  std::memcpy(&h.ctx_->c, raw, sizeof raw);
  // A state that cannot be one (a partial block longer than a block) would
  // make the library read past its buffer.
  if (h.ctx_->c.num >= SHA256_CBLOCK || h.ctx_->c.md_len != SHA256_DIGEST_LENGTH) return std::nullopt;
  return h;
}

bool IsHexDigest(std::string_view hex) {
  if (hex.size() != 64) return false;
  for (char c : hex)
    if (HexValue(c) < 0) return false;
  return true;
}

}  // namespace tarnwick
