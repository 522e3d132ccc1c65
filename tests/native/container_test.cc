// Tests of the snapshot container: header checks in order, zstd decoding of
// hand-made stored payloads, the decompression bound, and the written layout.
#include "snapshot/container.h"

#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "snapshot/file_read.h"
#include "snapshot/file_writer.h"
#include "temp_dir.h"
#include "testing.h"

namespace {

using vedra::decode_snapshot_container;
using vedra::kSnapshotFullMagic;
using vedra::kSnapshotIndexMagic;

constexpr uint64_t kMax64 = ~uint64_t{0};

// A container file of `payload`, written as a save writes each of its files.
vedra::Status write_container(const std::string& path, std::string_view magic, std::string_view payload) {
  vedra::Result<std::string> encoded = vedra::encode_snapshot_container(magic, payload);
  if (!encoded.ok()) return encoded.status();
  return vedra::write_whole_file(path, encoded.value());
}

void put_le(std::string* s, size_t offset, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) (*s)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint64_t get_le(std::string_view s, size_t offset, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[offset + i]);
  return v;
}

// A 128-byte header with the given fields, version 202603, reserved zero.
std::string header(std::string_view magic, uint64_t stored_length, uint32_t flags,
                   uint64_t raw_length) {
  std::string h(128, '\0');
  h.replace(0, magic.size(), magic);
  put_le(&h, 8, vedra::kSnapshotFormatVersion, 4);
  put_le(&h, 12, stored_length, 8);
  put_le(&h, 20, flags, 4);
  put_le(&h, 24, raw_length, 8);
  return h;
}

// A container whose stored bytes are `stored`, with stored_length to match.
std::string file_of(std::string_view stored, uint32_t flags, uint64_t raw_length,
                    std::string_view magic = kSnapshotFullMagic) {
  return header(magic, stored.size(), flags, raw_length) + std::string(stored);
}

// One zstd frame of `payload`, fed in pieces (no content size in the frame).
std::string frame(std::string_view payload, bool checksum = false) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::string out(ZSTD_compressBound(payload.size()) + 64, '\0');
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  for (size_t pos = 0; pos < payload.size(); pos += 1000) {
    const std::string_view piece = payload.substr(pos, 1000);
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    while (in.pos < in.size) ZSTD_compressStream2(cctx, &ob, &in, ZSTD_e_continue);
  }
  ZSTD_inBuffer none{nullptr, 0, 0};
  while (ZSTD_compressStream2(cctx, &ob, &none, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(cctx);
  out.resize(ob.pos);
  return out;
}

std::string text_payload(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  static constexpr char kAlphabet[] = "{}\":,abcdefgh0123456789 ";
  std::string s(n, ' ');
  for (char& c : s) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
  return s;
}

struct ReadCase {
  const char* name;
  std::string file;
  std::string_view magic;
  bool ok;
  std::string expected;  // payload when ok, message otherwise
};

// The payload of `file` read through a PayloadReader into rooms of random
// sizes (tiny ones included), as " ok: <payload>" or " error: <message>".
std::string read_in_pieces(std::string_view file, std::string_view magic, std::mt19937& rng) {
  vedra::Result<vedra::StoredPayload> stored = vedra::check_snapshot_container(file, magic);
  if (!stored.ok()) return " error: " + stored.status().message();
  vedra::PayloadReader reader(stored.value());
  std::string out;
  char room[70000];
  for (;;) {
    const size_t size = 1 + rng() % (rng() % 2 ? 8 : sizeof room);
    vedra::Result<size_t> got = reader.read(room, size);
    if (!got.ok()) return " error: " + got.status().message();
    if (got.value() == 0) break;
    out.append(room, got.value());
  }
  // The end, like a failure, stays put.
  vedra::Result<size_t> again = reader.read(room, 1);
  if (!again.ok() || again.value() != 0) return " error: read past the end";
  return " ok: " + out;
}

void run_read_cases(const std::vector<ReadCase>& cases) {
  std::mt19937 rng(11);
  for (const ReadCase& c : cases) {
    vedra::Result<vedra::ByteBuffer> r = decode_snapshot_container(c.file, c.magic);
    const std::string got = r.ok() ? r.value().str() : r.status().message();
    if (r.ok() != c.ok || got != c.expected) {
      EXPECT_EQ(std::string(c.name) + (r.ok() ? " ok: " : " error: ") + got.substr(0, 80),
                std::string(c.name) + (c.ok ? " ok: " : " error: ") + c.expected.substr(0, 80));
    }
    // Read a piece at a time, the same payload or the same failure.
    for (int i = 0; i < 4; ++i) {
      const std::string pieced = read_in_pieces(c.file, c.magic, rng);
      const std::string want = (c.ok ? " ok: " : " error: ") + c.expected;
      if (pieced != want) EXPECT_EQ(c.name + pieced.substr(0, 80), c.name + want.substr(0, 80));
    }
  }
}

using vedra_testing::TempDir;

}  // namespace

TEST(SnapshotContainer, HeaderChecksInOrder) {
  const std::string hello = frame("hello");
  const std::string right = header(kSnapshotFullMagic, 0, 0, 0);
  std::string short_right = right.substr(0, 127);
  std::string wrong_and_short = header(kSnapshotIndexMagic, 0, 0, 0).substr(0, 127);
  run_read_cases({
      {"trunc000_empty_file", "", kSnapshotFullMagic, false, "snapshot file truncated"},
      {"trunc010_127_bytes_right_magic", short_right, kSnapshotFullMagic, false,
       "snapshot file truncated"},
      {"trunc020_127_bytes_wrong_magic", wrong_and_short, kSnapshotFullMagic, false,
       "snapshot file truncated"},
      {"magic000_index_for_full", file_of(hello, 1, 5, kSnapshotIndexMagic), kSnapshotFullMagic,
       false, "snapshot file magic mismatch"},
      {"magic010_full_for_index", file_of(hello, 1, 5, kSnapshotFullMagic), kSnapshotIndexMagic,
       false, "snapshot file magic mismatch"},
      {"magic020_last_byte_differs", file_of(hello, 1, 5, "METADATB"), kSnapshotFullMagic, false,
       "snapshot file magic mismatch"},
      {"magic030_before_length_check", header(kSnapshotIndexMagic, kMax64, 1, 0),
       kSnapshotFullMagic, false, "snapshot file magic mismatch"},
      {"len000_one_beyond", header(kSnapshotFullMagic, 6, 0, 0) + "hello", kSnapshotFullMagic,
       false, "snapshot payload truncated"},
      {"len010_max_u64", header(kSnapshotFullMagic, kMax64, 1, 0) + "x", kSnapshotFullMagic,
       false, "snapshot payload truncated"},
      {"len020_wraps_to_zero", header(kSnapshotFullMagic, kMax64 - 127, 0, 0),
       kSnapshotFullMagic, false, "snapshot payload truncated"},
      {"len030_wraps_to_size", header(kSnapshotFullMagic, kMax64 - 127 + 5, 0, 0) + "hello",
       kSnapshotFullMagic, false, "snapshot payload truncated"},
      {"len040_before_frame_check", header(kSnapshotFullMagic, 2, 1, 0) + "x",
       kSnapshotFullMagic, false, "snapshot payload truncated"},
      {"raw000_flags_clear_empty", right, kSnapshotFullMagic, true, ""},
      {"raw010_flags_clear_raw_length_ignored", file_of("hello", 0, 999), kSnapshotFullMagic,
       true, "hello"},
      {"raw020_other_flag_bits_ignored", file_of("hello", 0xfffffffe, 0), kSnapshotFullMagic,
       true, "hello"},
      {"raw030_trailing_bytes_ignored", file_of("hello", 0, 5) + "trailing", kSnapshotFullMagic,
       true, "hello"},
      {"raw040_index_magic", file_of("[]", 0, 0, kSnapshotIndexMagic), kSnapshotIndexMagic, true,
       "[]"},
  });
}

TEST(SnapshotContainer, CompressedPayloadChecks) {
  const std::string a = text_payload(70000, 1);
  const std::string b = text_payload(333, 2);
  const std::string fa = frame(a);
  const std::string fb = frame(b);
  const std::string both = fa + fb;
  const uint64_t sum = a.size() + b.size();
  std::string bad_checksum = frame("checked payload", /*checksum=*/true);
  bad_checksum.back() ^= 0x55;
  std::string skippable("\x50\x2a\x4d\x18\x03\x00\x00\x00xyz", 11);
  std::string odd_version = file_of(fa, 1, a.size());
  put_le(&odd_version, 8, 0xdeadbeef, 4);
  std::string dirty_reserved = file_of(fa, 1, a.size());
  for (size_t i = 32; i < 128; ++i) dirty_reserved[i] = '\xff';
  run_read_cases({
      {"frame000_empty_stored", file_of("", 1, 0), kSnapshotFullMagic, false, "incomplete frame"},
      {"frame010_empty_stored_raw_set", file_of("", 1, 5), kSnapshotFullMagic, false,
       "incomplete frame"},
      {"frame020_cut_last_byte", file_of(fa.substr(0, fa.size() - 1), 1, a.size()),
       kSnapshotFullMagic, false, "incomplete frame"},
      {"frame030_only_zstd_magic", file_of(fa.substr(0, 4), 1, 0), kSnapshotFullMagic, false,
       "incomplete frame"},
      {"frame040_second_frame_cut", file_of(both.substr(0, both.size() - 3), 1, 0),
       kSnapshotFullMagic, false, "incomplete frame"},
      {"frame050_garbage", file_of("this is not zstd", 1, 0), kSnapshotFullMagic, false,
       "Unknown frame descriptor"},
      {"frame060_garbage_after_frame", file_of(fa + "junkjunk", 1, 0), kSnapshotFullMagic, false,
       "Unknown frame descriptor"},
      {"frame070_bad_checksum", file_of(bad_checksum, 1, 0), kSnapshotFullMagic, false,
       "Restored data doesn't match checksum"},
      {"frame080_one_frame", file_of(fa, 1, a.size()), kSnapshotFullMagic, true, a},
      {"frame090_other_flag_bits", file_of(fa, 0xffffffff, a.size()), kSnapshotFullMagic, true,
       a},
      {"frame100_two_frames_raw_sum", file_of(both, 1, sum), kSnapshotFullMagic, true, a + b},
      {"frame110_two_frames_raw_zero", file_of(both, 1, 0), kSnapshotFullMagic, true, a + b},
      {"frame120_skippable_then_frame", file_of(skippable + fb, 1, b.size()), kSnapshotFullMagic,
       true, b},
      {"frame130_trailing_bytes_ignored", file_of(fa, 1, a.size()) + "trailing",
       kSnapshotFullMagic, true, a},
      {"frame140_version_not_checked", odd_version, kSnapshotFullMagic, true, a},
      {"frame150_reserved_not_checked", dirty_reserved, kSnapshotFullMagic, true, a},
      {"frame160_empty_payload_frame", file_of(frame(""), 1, 0), kSnapshotFullMagic, true, ""},
      {"len000_raw_one_short", file_of(fa, 1, a.size() - 1), kSnapshotFullMagic, false,
       "snapshot decompressed length mismatch"},
      {"len010_raw_one_long", file_of(fa, 1, a.size() + 1), kSnapshotFullMagic, false,
       "snapshot decompressed length mismatch"},
      {"len020_two_frames_raw_first_only", file_of(both, 1, a.size()), kSnapshotFullMagic, false,
       "snapshot decompressed length mismatch"},
      {"len030_two_frames_raw_sum_plus_one", file_of(both, 1, sum + 1), kSnapshotFullMagic,
       false, "snapshot decompressed length mismatch"},
      {"len040_raw_huge", file_of(fb, 1, kMax64), kSnapshotFullMagic, false,
       "snapshot decompressed length mismatch"},
  });
}

// A naive statement of the header checks, with 128-bit arithmetic for the
// length comparison; the decoder must agree with it on every mutated header.
std::string oracle_header_verdict(std::string_view file, std::string_view magic) {
  if (file.size() < 128) return "snapshot file truncated";
  if (file.substr(0, 8) != magic) return "snapshot file magic mismatch";
  const unsigned __int128 end = static_cast<unsigned __int128>(get_le(file, 12, 8)) + 128;
  if (end > file.size()) return "snapshot payload truncated";
  return "";
}

TEST(SnapshotContainer, MutatedHeadersAgreeWithOracle) {
  std::mt19937_64 rng(42);
  const std::string payload = text_payload(2000, 3);
  const std::string base = file_of(frame(payload), 1, payload.size());
  const uint64_t interesting[] = {0, 1, 2, base.size() - 129, base.size() - 128,
                                  base.size() - 127, kMax64, kMax64 - 127, kMax64 - 128,
                                  uint64_t{1} << 63};
  for (int iter = 0; iter < 3000; ++iter) {
    std::string f = base;
    switch (rng() % 4) {
      case 0: f.resize(rng() % (f.size() + 1)); break;
      case 1: f[rng() % 8] = static_cast<char>(rng()); break;
      case 2: put_le(&f, 12, interesting[rng() % std::size(interesting)], 8); break;
      default: put_le(&f, 12, rng() >> (rng() % 64), 8); break;
    }
    const std::string_view magic = rng() % 8 == 0 ? kSnapshotIndexMagic : kSnapshotFullMagic;
    const std::string want = oracle_header_verdict(f, magic);
    vedra::Result<vedra::ByteBuffer> r = decode_snapshot_container(f, magic);
    if (!want.empty()) {
      ASSERT_TRUE(!r.ok());
      EXPECT_EQ(r.status().message(), want);
    } else if (r.ok()) {
      // Only a stored_length that still covers the whole frame decodes.
      EXPECT_EQ(r.value().str(), payload);
    }
  }
}

TEST(SnapshotContainer, RoundTripProperty) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 60; ++iter) {
    size_t n = rng() % 4 == 0 ? rng() % 16 : rng() % 300000;
    std::string payload = (rng() % 2) ? text_payload(n, rng()) : std::string(n, 'z');
    if (rng() % 3 == 0) {
      for (char& c : payload) c = static_cast<char>(rng());  // incompressible
    }
    vedra::Result<std::string> enc = vedra::encode_snapshot_container(kSnapshotIndexMagic, payload);
    ASSERT_TRUE(enc.ok());
    const std::string& file = enc.value();
    EXPECT_EQ(get_le(file, 12, 8), uint64_t{file.size() - 128});
    EXPECT_EQ(get_le(file, 24, 8), uint64_t{payload.size()});
    vedra::Result<vedra::ByteBuffer> dec = decode_snapshot_container(file, kSnapshotIndexMagic);
    ASSERT_TRUE(dec.ok());
    EXPECT_TRUE(dec.value() == payload);

    // The same payload split into several frames decodes to the same bytes.
    std::string frames;
    size_t pos = 0;
    while (pos < payload.size()) {
      const size_t len = 1 + rng() % (payload.size() - pos);
      frames += frame(std::string_view(payload).substr(pos, len));
      pos += len;
    }
    if (frames.empty()) frames = frame("");
    vedra::Result<vedra::ByteBuffer> multi =
        decode_snapshot_container(file_of(frames, 1, rng() % 2 ? payload.size() : 0),
                                  kSnapshotFullMagic);
    ASSERT_TRUE(multi.ok());
    EXPECT_TRUE(multi.value() == payload);
    EXPECT_TRUE(read_in_pieces(file_of(frames, 1, payload.size()), kSnapshotFullMagic, rng) == " ok: " + payload);
  }
  // Streamed in random pieces, the stored bytes taken out at random points,
  // with and without a bound (the exact length or more; past it the encoder
  // refuses, saying so).  Payloads of several windows let the encoder's
  // buffer hand pages back.
  for (int iter = 0; iter < 12; ++iter) {
    const size_t n = iter < 3 ? (9u << 20) + rng() % 1000 : rng() % 300000;
    const std::string payload = text_payload(n, rng());
    const uint64_t bound = iter % 3 == 0 ? 0 : n + (iter % 3 == 1 ? 0 : rng() % 1000);
    vedra::ContainerEncoder encoder(kSnapshotIndexMagic, bound);
    std::string stored;
    const auto take = [&stored](std::string_view piece) {
      stored += piece;
      return vedra::Status::Ok();
    };
    for (size_t pos = 0; pos < n;) {
      const size_t len = std::min<size_t>(n - pos, 1 + rng() % (3u << 20));
      ASSERT_TRUE(encoder.append(std::string_view(payload).substr(pos, len)).ok());
      if (rng() % 2) ASSERT_TRUE(encoder.take_stored(take).ok());
      pos += len;
    }
    // Libraries before 1.5.4 stream instead, and have no bound to outgrow.
    if (bound != 0 && ZSTD_versionNumber() >= 10504) {
      vedra::ContainerEncoder small(kSnapshotIndexMagic, bound);
      EXPECT_TRUE(small.append(payload).ok());
      EXPECT_TRUE(!small.append(std::string(1 + bound - n, 'x')).ok() && small.outgrown());
    }
    ASSERT_TRUE(encoder.end().ok());
    ASSERT_TRUE(encoder.take_stored(take).ok());
    EXPECT_EQ(encoder.stored_length(), uint64_t{stored.size()});
    vedra::Result<vedra::ByteBuffer> dec =
        decode_snapshot_container(std::string(encoder.header()) + stored, kSnapshotIndexMagic);
    ASSERT_TRUE(dec.ok());
    EXPECT_TRUE(dec.value() == payload);
  }
}

// A payload of known length is decoded straight into its buffer, and any
// trouble left to the reader that checks block by block: whatever the stored
// bytes and the length claimed, the verdict is that reader's.
TEST(SnapshotContainer, DecodingInPlaceAgreesWithTheCheckingReader) {
  std::mt19937 rng(21);
  for (int iter = 0; iter < 400; ++iter) {
    const std::string payload = text_payload(rng() % 4 == 0 ? rng() % 64 : rng() % 200000, rng());
    std::string stored = frame(payload, rng() % 2);
    if (rng() % 3 == 0) stored += frame(text_payload(rng() % 3000, rng()));
    switch (rng() % 6) {
      case 0: stored.resize(rng() % (stored.size() + 1)); break;
      case 1: stored[rng() % stored.size()] ^= static_cast<char>(1 + rng() % 255); break;
      case 2: stored += std::string(1 + rng() % 8, static_cast<char>(rng())); break;
      default: break;
    }
    const int64_t slack[] = {0, 0, -1, 1, -4096, 4096, -static_cast<int64_t>(payload.size())};
    const uint64_t raw = payload.size() + slack[rng() % std::size(slack)];
    const std::string file = file_of(stored, 1, raw);
    vedra::Result<vedra::ByteBuffer> r = decode_snapshot_container(file, kSnapshotFullMagic);
    const std::string got = r.ok() ? " ok: " + r.value().str() : " error: " + r.status().message();
    const std::string want = read_in_pieces(file, kSnapshotFullMagic, rng);
    EXPECT_EQ(got.substr(0, 200), want.substr(0, 200));
    ASSERT_TRUE(got == want);
  }
}

TEST(SnapshotContainer, EveryTruncationOfAFrameIsRefused) {
  const std::string payload = text_payload(5000, 9);
  const std::string f = frame(payload);
  std::mt19937 rng(13);
  for (size_t cut = 0; cut < f.size(); ++cut) {
    vedra::Result<vedra::ByteBuffer> r =
        decode_snapshot_container(file_of(f.substr(0, cut), 1, 0), kSnapshotFullMagic);
    ASSERT_TRUE(!r.ok());
    EXPECT_EQ(r.status().message(), std::string("incomplete frame"));
    if (cut % 97 == 0) EXPECT_EQ(read_in_pieces(file_of(f.substr(0, cut), 1, 0), kSnapshotFullMagic, rng), std::string(" error: incomplete frame"));
  }
}

size_t page_rounded(uint64_t n) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return static_cast<size_t>((n + page - 1) / page * page);
}

TEST(SnapshotContainer, OutputNeverGrowsBeyondRawLength) {
  // Exactly raw_length, not a power-of-two multiple of the first chunk.
  const std::string payload = text_payload(300001, 5);
  vedra::ByteBuffer out;
  vedra::Status s = vedra::decompress_snapshot_payload(frame(payload), payload.size(), &out);
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(out == payload);
  EXPECT_TRUE(out.capacity() <= page_rounded(payload.size()));

  s = vedra::decompress_snapshot_payload(frame(payload), 1000, &out);
  EXPECT_EQ(s.message(), std::string("snapshot decompressed length mismatch"));
  EXPECT_TRUE(out.capacity() <= page_rounded(1000));
}

TEST(SnapshotContainer, DecompressionBombIsStoppedAtRawLength) {
  // 1 GiB of zeros, compressed by streaming a 1 MiB buffer 1024 times.
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
  const std::string zeros(1 << 20, '\0');
  std::string bomb;
  std::string chunk(ZSTD_CStreamOutSize(), '\0');
  for (int i = 0; i <= 1024; ++i) {
    const bool last = i == 1024;
    ZSTD_inBuffer in{zeros.data(), last ? 0 : zeros.size(), 0};
    size_t left;
    do {
      ZSTD_outBuffer ob{chunk.data(), chunk.size(), 0};
      left = ZSTD_compressStream2(cctx, &ob, &in, last ? ZSTD_e_end : ZSTD_e_continue);
      ASSERT_TRUE(!ZSTD_isError(left));
      bomb.append(chunk.data(), ob.pos);
    } while (last ? left != 0 : in.pos < in.size);
  }
  ZSTD_freeCCtx(cctx);
  EXPECT_TRUE(bomb.size() < (1 << 20));

  for (uint64_t raw : {uint64_t{1}, uint64_t{4096}, uint64_t{1} << 20}) {
    vedra::ByteBuffer out;
    vedra::Status s = vedra::decompress_snapshot_payload(bomb, raw, &out);
    EXPECT_EQ(s.message(), std::string("snapshot decompressed length mismatch"));
    EXPECT_TRUE(out.capacity() <= page_rounded(raw));
    vedra::Result<vedra::ByteBuffer> r =
        decode_snapshot_container(file_of(bomb, 1, raw), kSnapshotFullMagic);
    ASSERT_TRUE(!r.ok());
    EXPECT_EQ(r.status().message(), std::string("snapshot decompressed length mismatch"));
    std::mt19937 rng(static_cast<uint32_t>(raw));
    EXPECT_EQ(read_in_pieces(file_of(bomb, 1, raw), kSnapshotFullMagic, rng),
              std::string(" error: snapshot decompressed length mismatch"));
  }
}

TEST(SnapshotContainer, WrittenFileLayout) {
  TempDir dir;
  const std::string path = dir.path + "/full.bin";
  const std::string payload = "{\"A\":{\"code\":\"A\"}}";
  ASSERT_TRUE(write_container(path, kSnapshotFullMagic, payload).ok());
  vedra::Result<std::string> bytes = vedra::read_whole_file(path);
  ASSERT_TRUE(bytes.ok());
  const std::string& f = bytes.value();
  ASSERT_TRUE(f.size() > 128);
  EXPECT_EQ(f.substr(0, 8), std::string("METADATA"));
  EXPECT_EQ(f.substr(8, 4), std::string("\x6b\x17\x03\x00", 4));
  EXPECT_EQ(get_le(f, 12, 8), uint64_t{f.size() - 128});
  EXPECT_EQ(f.substr(20, 4), std::string("\x01\x00\x00\x00", 4));
  EXPECT_EQ(get_le(f, 24, 8), uint64_t{payload.size()});
  EXPECT_EQ(f.substr(32, 96), std::string(96, '\0'));
  EXPECT_EQ(f.substr(128, 4), std::string("\x28\xb5\x2f\xfd", 4));  // zstd frame magic

  vedra::Result<vedra::ByteBuffer> back = vedra::read_snapshot_container(path, kSnapshotFullMagic);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().str(), payload);
  vedra::Result<vedra::ByteBuffer> wrong = vedra::read_snapshot_container(path, kSnapshotIndexMagic);
  ASSERT_TRUE(!wrong.ok());
  EXPECT_EQ(wrong.status().message(), std::string("snapshot file magic mismatch"));

  // Saving the same payload twice gives byte-identical files.
  ASSERT_TRUE(write_container(path, kSnapshotFullMagic, payload).ok());
  vedra::Result<std::string> again = vedra::read_whole_file(path);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again.value() == f);

  // The index magic and an empty payload.
  const std::string index_path = dir.path + "/index.bin";
  ASSERT_TRUE(write_container(index_path, kSnapshotIndexMagic, "").ok());
  vedra::Result<vedra::ByteBuffer> empty =
      vedra::read_snapshot_container(index_path, kSnapshotIndexMagic);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value(), std::string());
}

TEST(SnapshotContainer, EncodeRefusesMagicOfWrongSize) {
  vedra::Result<std::string> r = vedra::encode_snapshot_container("SHORT", "x");
  ASSERT_TRUE(!r.ok());
  EXPECT_EQ(r.status().message(), std::string("snapshot magic must be 8 bytes"));
}

TEST(SnapshotContainer, FileSystemFailures) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string message;
  } cases[] = {
      {"missing_file", dir.path + "/absent.bin", "No such file or directory (os error 2)"},
      {"missing_directory", dir.path + "/absent/full.bin",
       "No such file or directory (os error 2)"},
      {"directory", dir.path, "Is a directory (os error 21)"},
      {"nul_byte", dir.path + std::string("/a\0b", 4),
       "file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    vedra::Result<vedra::ByteBuffer> r = vedra::read_snapshot_container(c.path, kSnapshotFullMagic);
    EXPECT_EQ(std::string(c.name) + ": " + (r.ok() ? "ok" : r.status().message()),
              std::string(c.name) + ": " + c.message);
    if (std::string(c.name) == "missing_file") continue;  // writing it would succeed
    vedra::Status w = write_container(c.path, kSnapshotFullMagic, "{}");
    EXPECT_EQ(std::string(c.name) + ": " + (w.ok() ? "ok" : w.message()),
              std::string(c.name) + ": " + c.message);
  }
}
