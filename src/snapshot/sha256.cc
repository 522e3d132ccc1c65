#include "snapshot/sha256.h"

// The block functions, not EVP: a statically linked module then takes in
// only the SHA-256 code, not libcrypto's provider machinery.  OpenSSL 3 marks
// them deprecated but keeps them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace vedra {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  constexpr unsigned int digest_len = SHA256_DIGEST_LENGTH;
  SHA256_CTX ctx;
  if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, data.data(), data.size()) != 1 || SHA256_Final(digest, &ctx) != 1) {
    return std::string();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digest_len);
  for (unsigned int i = 0; i < digest_len; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0f]);
  }
  return out;
}

}  // namespace vedra
