#include "support/certs.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace tarnwick::test {

namespace {

template <typename T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

[[noreturn]] void Fail(const std::string& what) {
  char buf[256] = {};
  ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
  throw std::runtime_error(what + ": " + buf);
}

void Need(bool ok, const char* what) {
  if (!ok) Fail(what);
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(n));
}

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Need(ext != nullptr, "X509V3_EXT_conf_nid");
  const int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  Need(ok == 1, "X509_add_ext");
}

}  // namespace

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

Identity MakeIdentity(const std::filesystem::path& dir, const std::string& file_stem,
                      const std::string& name, KeyKind kind) {
  PkeyPtr key(kind == KeyKind::EcP256 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
  Need(key != nullptr, "EVP_PKEY_Q_keygen");

  X509Ptr cert(X509_new());
  Need(cert != nullptr, "X509_new");
  Need(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
  unsigned char serial[8];
  Need(RAND_bytes(serial, sizeof serial) == 1, "RAND_bytes");
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  Need(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr,
       "serial");
  BN_free(bn);
  Need(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
  Need(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600) != nullptr, "notAfter");
  X509_NAME* subject = X509_get_subject_name(cert.get());
  Need(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1,
                                  0) == 1,
       "subject CN");
  Need(X509_set_issuer_name(cert.get(), subject) == 1, "issuer");
  Need(X509_set_pubkey(cert.get(), key.get()) == 1, "X509_set_pubkey");
  AddExtension(cert.get(), NID_subject_alt_name, ("DNS:" + name).c_str());
  AddExtension(cert.get(), NID_subject_key_identifier, "hash");
  Need(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");

  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  BioPtr key_bio(BIO_new(BIO_s_mem()));
  Need(cert_bio && key_bio, "BIO_new");
  Need(PEM_write_bio_X509(cert_bio.get(), cert.get()) == 1, "PEM_write_bio_X509");
  Need(PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                nullptr) == 1,
       "PEM_write_bio_PrivateKey");

  Identity id;
  id.name = name;
  id.cert_pem = BioText(cert_bio.get());
  id.key_pem = BioText(key_bio.get());
  id.cert_path = dir / (file_stem + ".cert.pem");
  id.key_path = dir / (file_stem + ".key.pem");
  WriteFile(id.cert_path, id.cert_pem);
  WriteFile(id.key_path, id.key_pem);
  return id;
}

void WriteTrustFile(const std::filesystem::path& path, const std::vector<const Identity*>& ids) {
  std::string text;
  for (const Identity* id : ids) text += id->cert_pem;
  WriteFile(path, text);
}

}  // namespace tarnwick::test
