// Self-signed certificates made by the tests themselves, written as PEM.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnwick::test {

enum class KeyKind { EcP256, Rsa2048 };

// One TLS identity: a self-signed certificate whose CN and only DNS
// subjectAltName are name, and its unencrypted private key.
struct Identity {
  std::string name;
  std::filesystem::path cert_path;
  std::filesystem::path key_path;
  std::string cert_pem;
  std::string key_pem;
};

// Writes <dir>/<file_stem>.cert.pem and <dir>/<file_stem>.key.pem.
// Throws std::runtime_error on any OpenSSL failure.
Identity MakeIdentity(const std::filesystem::path& dir, const std::string& file_stem,
                      const std::string& name, KeyKind kind = KeyKind::EcP256);

// A trusted-certificates file: the certificates one after the other.
void WriteTrustFile(const std::filesystem::path& path, const std::vector<const Identity*>& ids);

void WriteFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace tarnwick::test
