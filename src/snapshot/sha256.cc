#include "snapshot/sha256.h"

// The block functions, not EVP: a statically linked module then takes in
// only the SHA-256 code, not libcrypto's provider machinery.  OpenSSL 3 marks
// them deprecated but keeps them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "base/hex.h"

namespace vedra {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  constexpr unsigned int digest_len = SHA256_DIGEST_LENGTH;
  SHA256_CTX ctx;
  if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, data.data(), data.size()) != 1 || SHA256_Final(digest, &ctx) != 1) {
    return std::string();
  }
  std::string out;
  out.reserve(2 * digest_len);
  append_lower_hex(digest, digest_len, out);
  return out;
}

}  // namespace vedra
