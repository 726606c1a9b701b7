// Certificates and keys made by the tests, with the OpenSSL library.
#pragma once

#include <filesystem>
#include <string>

namespace tw {
namespace fs = std::filesystem;

struct Id { std::string name; fs::path cert, key; };
// EC P-256, CN name and DNS SAN dns (name when empty), valid until valid_s
// seconds from now (negative: expired).
Id MakeId(const fs::path& dir, const std::string& name, long valid_s = 90L * 24 * 3600,
          const std::string& dns = "");

}  // namespace tw
