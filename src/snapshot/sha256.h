// SHA-256 digests as lowercase hexadecimal text.
//
// Thread safety: safe to call from any number of threads at once.
#pragma once

#include <string>
#include <string_view>

namespace vedra {

// Returns the SHA-256 digest (FIPS 180-4) of `data` as 64 lowercase
// hexadecimal digits, most significant nibble of each byte first.
// Cost: one pass over `data` through libcrypto's block functions; no copy of
// the input and no allocation but the result.
std::string sha256_hex(std::string_view data);

}  // namespace vedra
