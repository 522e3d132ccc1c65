#include "snapshot/sha256.h"

#include <openssl/evp.h>

namespace vedra {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &digest_len, EVP_sha256(), nullptr) != 1) {
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
