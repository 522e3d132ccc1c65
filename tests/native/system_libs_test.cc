// Smoke tests of the system libraries the engine links against: each one is
// found, links, and behaves as the engine relies on.
#include <roaring/roaring.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "snapshot/sha256.h"
#include "testing.h"

TEST(SystemLibs, ZstdStreamingRoundTrip) {
  std::string input;
  for (int i = 0; i < 5000; ++i) input += "record " + std::to_string(i % 97) + "|";
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ASSERT_TRUE(cctx != nullptr);
  EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3)));
  std::string compressed(ZSTD_compressBound(input.size()), '\0');
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  ZSTD_outBuffer out{compressed.data(), compressed.size(), 0};
  const size_t left = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
  ZSTD_freeCCtx(cctx);
  EXPECT_EQ(left, size_t{0});
  compressed.resize(out.pos);
  EXPECT_TRUE(compressed.size() < input.size() / 4);

  std::string decoded(input.size(), '\0');
  const size_t n =
      ZSTD_decompress(decoded.data(), decoded.size(), compressed.data(), compressed.size());
  ASSERT_TRUE(!ZSTD_isError(n));
  decoded.resize(n);
  EXPECT_EQ(decoded, input);
  const std::string junk = "this is not a zstd frame";
  EXPECT_EQ(std::string(ZSTD_getErrorName(
                ZSTD_decompress(decoded.data(), decoded.size(), junk.data(), junk.size()))),
            std::string("Unknown frame descriptor"));
}

TEST(SystemLibs, RoaringUnionInPlace) {
  roaring_bitmap_t* a = roaring_bitmap_create();
  roaring_bitmap_t* b = roaring_bitmap_create();
  ASSERT_TRUE(a != nullptr && b != nullptr);
  for (uint32_t v : {1u, 5u, 70000u}) roaring_bitmap_add(a, v);
  for (uint32_t v : {5u, 9u, 4000000000u}) roaring_bitmap_add(b, v);
  roaring_bitmap_or_inplace(a, b);
  EXPECT_EQ(roaring_bitmap_get_cardinality(a), uint64_t{5});
  std::vector<uint32_t> values(roaring_bitmap_get_cardinality(a));
  roaring_bitmap_to_uint32_array(a, values.data());
  EXPECT_TRUE((values == std::vector<uint32_t>{1, 5, 9, 70000, 4000000000u}));
  EXPECT_EQ(roaring_bitmap_get_cardinality(b), uint64_t{3});  // the argument is unchanged
  roaring_bitmap_free(a);
  roaring_bitmap_free(b);
}

TEST(SystemLibs, Sha256KnownAnswers) {
  EXPECT_EQ(vedra::sha256_hex("abc"),
            std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(vedra::sha256_hex(""),
            std::string("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(vedra::sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            std::string("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
  EXPECT_EQ(vedra::sha256_hex(std::string(1000000, 'a')),
            std::string("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
  EXPECT_EQ(vedra::sha256_hex(std::string_view("a\0b", 3)).size(), size_t{64});
  EXPECT_FALSE(vedra::sha256_hex(std::string_view("a\0b", 3)) == vedra::sha256_hex("a"));
}
