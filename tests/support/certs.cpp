#include "support/net.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <stdexcept>

namespace tw {

Id MakeId(const fs::path& dir, const std::string& name, long valid_s) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* cert = X509_new();
  X509_gmtime_adj(X509_getm_notBefore(cert), std::min(-3600L, valid_s - 3600));
  X509_gmtime_adj(X509_getm_notAfter(cert), valid_s);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, subject);
  X509_set_pubkey(cert, key);
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, ("DNS:" + name).c_str());
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  if (X509_sign(cert, key, EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
  Id id{name, dir / (name + ".cert.pem"), dir / (name + ".key.pem")};
  BIO* out = BIO_new_file(id.cert.c_str(), "w");
  PEM_write_bio_X509(out, cert);
  BIO_free(out);
  out = BIO_new_file(id.key.c_str(), "w");
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  BIO_free(out);
  X509_free(cert);
  EVP_PKEY_free(key);
  return id;
}

}  // namespace tw
