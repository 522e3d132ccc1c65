// SHA-256 digests as lowercase hexadecimal text.
//
// Thread safety: sha256_hex may be called from any number of threads at
// once; a Sha256 is used by one thread at a time.
#pragma once

#include <string>
#include <string_view>

namespace vedra {

// Returns the SHA-256 digest (FIPS 180-4) of `data` as 64 lowercase
// hexadecimal digits, most significant nibble of each byte first.
// Cost: one pass over `data` through libcrypto's block functions; no copy of
// the input and no allocation but the result.
std::string sha256_hex(std::string_view data);

// The same digest of a text given in pieces: equal to sha256_hex() of the
// pieces joined, for a text that need not exist whole.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view piece);
  // The digest of everything given; call once.  Empty if libcrypto failed.
  std::string hex_digest();

 private:
  // libcrypto's context, held in place (its header stays out of this one;
  // the size is checked where it is used).
  alignas(8) unsigned char ctx_[128];
  bool ok_ = true;
};

}  // namespace vedra
