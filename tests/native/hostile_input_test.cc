// Tests of the reader's bounds against hostile input: reads that stop at
// what the container needs (endless devices, FIFOs, sparse files, trailing
// bytes) and the ceiling on payloads of unknown decoded length.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "snapshot/container.h"
#include "snapshot/file_read.h"
#include "snapshot/file_writer.h"
#include "testing.h"

namespace {

using vedra::kSnapshotFullMagic;
using vedra::kSnapshotIndexMagic;

std::string header(std::string_view magic, uint64_t stored_length, uint32_t flags, uint64_t raw_length) {
  std::string h(128, '\0');
  h.replace(0, magic.size(), magic);
  auto put = [&](size_t offset, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) h[offset + i] = static_cast<char>((v >> (8 * i)) & 0xff);
  };
  put(8, vedra::kSnapshotFormatVersion, 4);
  put(12, stored_length, 8);
  put(20, flags, 4);
  put(24, raw_length, 8);
  return h;
}

// One zstd frame of `n` zero bytes.
std::string zero_frame(size_t n) {
  const std::string zeros(n, '\0');
  std::string out(ZSTD_compressBound(n), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), zeros.data(), zeros.size(), 3));
  return out;
}

std::string temp_path(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("vedra_hostile_") + std::to_string(::getpid()) +
                                                    "_" + name)).string();
}

void write_file(const std::string& path, std::string_view bytes) {
  ASSERT_TRUE(vedra::write_whole_file(path, bytes).ok());
}

uint64_t at_most(std::string_view) { return 100; }
uint64_t all(std::string_view) { return UINT64_MAX; }
// Wants the first byte's value in bytes, once it has one.
uint64_t first_byte_says(std::string_view head) {
  return head.empty() ? 1 : static_cast<unsigned char>(head[0]);
}

struct PrefixCase {
  const char* name;
  std::string contents;
  vedra::ReadLimit limit;
  std::string expected;
};

TEST(ReadFilePrefix, StopsWhereTheLimitSays) {
  const std::string path = temp_path("prefix");
  const std::string long_text(5000, 'x');
  const std::vector<PrefixCase> cases = {
      {"empty_file", "", all, ""},
      {"whole_file", long_text, all, long_text},
      {"limit_below_size", long_text, at_most, long_text.substr(0, 100)},
      {"limit_above_size", "abc", at_most, "abc"},
      {"limit_from_contents", std::string("\x05xyzwvut", 8), first_byte_says, std::string("\x05xyzw", 5)},
      {"limit_past_end_from_contents", std::string("\x50xy", 3), first_byte_says, std::string("\x50xy", 3)},
  };
  for (const PrefixCase& c : cases) {
    write_file(path, c.contents);
    vedra::Result<std::string> r = vedra::read_file_prefix(path, c.limit);
    EXPECT_EQ(std::string(c.name) + (r.ok() ? " " + r.value() : " error"), std::string(c.name) + " " + c.expected);
  }
  std::filesystem::remove(path);
}

TEST(ReadFilePrefix, EndlessDeviceCostsOnlyTheLimit) {
  vedra::Result<std::string> r = vedra::read_file_prefix("/dev/zero", at_most);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), std::string(100, '\0'));
}

TEST(ReadFilePrefix, FailuresAsWholeFileRead) {
  const vedra::Result<std::string> missing = vedra::read_file_prefix("/nonexistent/x", all);
  EXPECT_EQ(missing.status().message(), std::string("No such file or directory (os error 2)"));
  const vedra::Result<std::string> dir = vedra::read_file_prefix("/", all);
  EXPECT_EQ(dir.status().message(), std::string("Is a directory (os error 21)"));
  EXPECT_FALSE(vedra::read_file_prefix(std::string("a\0b", 3), all).ok());
}

struct ContainerFileCase {
  const char* name;
  std::string path;  // empty: a temporary file holding `contents`
  std::string contents;
  std::string expected;  // payload, or "error: <message>"
};

TEST(ReadSnapshotContainer, ReadsOnlyHeaderAndStoredBytes) {
  const std::string payload = "{\"A\":1}";
  const std::string good = header(kSnapshotFullMagic, payload.size(), 0, 0) + payload;
  const std::vector<ContainerFileCase> cases = {
      {"dev_zero", "/dev/zero", "", "error: snapshot file magic mismatch"},
      {"dev_urandom", "/dev/urandom", "", "error: snapshot file magic mismatch"},
      {"dev_null", "/dev/null", "", "error: snapshot file truncated"},
      {"trailing_bytes", "", good + std::string(100000, '\xff'), payload},
      {"stored_length_past_end", "", header(kSnapshotFullMagic, 1000, 0, 0) + payload,
       "error: snapshot payload truncated"},
      {"stored_length_near_2_64", "", header(kSnapshotFullMagic, UINT64_MAX - 5, 0, 0) + payload,
       "error: snapshot payload truncated"},
      {"other_magic", "", header(kSnapshotIndexMagic, payload.size(), 0, 0) + payload,
       "error: snapshot file magic mismatch"},
  };
  const std::string tmp = temp_path("container");
  for (const ContainerFileCase& c : cases) {
    std::string path = c.path;
    if (path.empty()) {
      path = tmp;
      write_file(path, c.contents);
    }
    vedra::Result<vedra::ByteBuffer> r = vedra::read_snapshot_container(path, kSnapshotFullMagic);
    EXPECT_EQ(std::string(c.name) + " " + (r.ok() ? r.value().str() : "error: " + r.status().message()),
              std::string(c.name) + " " + c.expected);
  }
  std::filesystem::remove(tmp);
}

TEST(ReadSnapshotContainer, SparseTailIsNeverRead) {
  const std::string path = temp_path("sparse");
  const std::string payload = "[]";
  write_file(path, header(kSnapshotIndexMagic, payload.size(), 0, 0) + payload);
  ASSERT_TRUE(::truncate(path.c_str(), off_t{1} << 36) == 0);  // 64 GiB, all hole
  vedra::Result<vedra::ByteBuffer> r = vedra::read_snapshot_container(path, kSnapshotIndexMagic);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), payload);
  std::filesystem::remove(path);
}

TEST(DecompressUnknownLength, BoundedByFloorAndRatio) {
  // Stored bytes are a few KiB, so the ceiling is the 64 MiB floor.
  const std::string chunk = zero_frame(size_t{8} << 20);
  std::string bomb;
  for (int i = 0; i < 9; ++i) bomb += chunk;  // 72 MiB decoded
  vedra::ByteBuffer out;
  vedra::Status st = vedra::decompress_snapshot_payload(bomb, 0, &out);
  EXPECT_EQ(st.message(), std::string(vedra::kUnknownLengthLimitMessage));
  EXPECT_TRUE(out.capacity() <= vedra::kUnknownLengthFloor);

  std::string within;
  for (int i = 0; i < 8; ++i) within += chunk;  // exactly the floor
  EXPECT_TRUE(vedra::decompress_snapshot_payload(within, 0, &out).ok());
  EXPECT_EQ(out.size(), size_t{64} << 20);

  // A declared raw_length is the ceiling instead, and a mismatch is reported
  // as one even past the floor.
  st = vedra::decompress_snapshot_payload(bomb, 1000, &out);
  EXPECT_EQ(st.message(), std::string("snapshot decompressed length mismatch"));
  st = vedra::decompress_snapshot_payload(bomb, size_t{72} << 20, &out);
  EXPECT_TRUE(st.ok());
  EXPECT_EQ(out.size(), size_t{72} << 20);
}

}  // namespace
