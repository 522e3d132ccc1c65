#include "snapshot/sha256.h"

// The block functions, not EVP: a statically linked module then takes in
// only the SHA-256 code, not libcrypto's provider machinery.  OpenSSL 3 marks
// them deprecated but keeps them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <new>

#include "base/hex.h"

namespace vedra {

namespace {

SHA256_CTX* context(unsigned char* storage) { return std::launder(reinterpret_cast<SHA256_CTX*>(storage)); }

}  // namespace

Sha256::Sha256() {
  static_assert(sizeof(SHA256_CTX) <= sizeof ctx_ && alignof(SHA256_CTX) <= 8);
  ok_ = SHA256_Init(new (ctx_) SHA256_CTX) == 1;
}

void Sha256::update(std::string_view piece) {
  if (ok_ && !piece.empty()) ok_ = SHA256_Update(context(ctx_), piece.data(), piece.size()) == 1;
}

std::string Sha256::hex_digest() {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  if (!ok_ || SHA256_Final(digest, context(ctx_)) != 1) return std::string();
  ok_ = false;
  std::string out;
  out.reserve(2 * SHA256_DIGEST_LENGTH);
  append_lower_hex(digest, SHA256_DIGEST_LENGTH, out);
  return out;
}

std::string sha256_hex(std::string_view data) {
  Sha256 sha;
  sha.update(data);
  return sha.hex_digest();
}

}  // namespace vedra
