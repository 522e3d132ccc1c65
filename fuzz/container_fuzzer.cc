// libFuzzer target: the snapshot container reader.
//
// The input is a whole container file, read with both magics.  Every read
// either fails with a non-empty message or returns a payload that obeys the
// header: a stored (uncompressed) payload is a copy of the stored bytes, and
// a compressed one has raw_length bytes when raw_length is not 0.  The input
// is also used as a payload: encode then decode must give it back.  Read a
// piece at a time (PayloadReader, pieces of sizes drawn from the input), the
// file gives the same payload or the same failure, except that libzstd may
// word one corrupt frame differently for different output room (a frame it
// decodes straight into a large buffer and one it decodes through its own
// window): both must then fail with a libzstd message.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include <zstd.h>
#include <zstd_errors.h>

#include "snapshot/container.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "container_fuzzer: %s\n", what);
  std::abort();
}

uint64_t get_u64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The payload read in pieces, or "error: <message>".
std::string read_in_pieces(std::string_view file, std::string_view magic) {
  vedra::Result<vedra::StoredPayload> stored = vedra::check_snapshot_container(file, magic);
  if (!stored.ok()) return "error: " + stored.status().message();
  vedra::PayloadReader reader(stored.value());
  std::minstd_rand rng(static_cast<uint32_t>(file.size()) + 1);
  std::string out;
  char room[4096];
  for (;;) {
    vedra::Result<size_t> got = reader.read(room, 1 + rng() % (rng() % 2 ? 8 : sizeof room));
    if (!got.ok()) return "error: " + got.status().message();
    if (got.value() == 0) return out;
    out.append(room, got.value());
  }
}

// Whether `result` is "error: " and one of libzstd's error names.
bool zstd_failure(const std::string& result) {
  const std::string_view prefix = "error: ";
  if (result.compare(0, prefix.size(), prefix) != 0) return false;
  for (int code = 1; code < 256; ++code) {  // past the last code: names of unknown codes
    if (result.compare(prefix.size(), std::string::npos, ZSTD_getErrorString(static_cast<ZSTD_ErrorCode>(code))) == 0) {
      return true;
    }
  }
  return false;
}

void check_read(std::string_view file, std::string_view magic) {
  vedra::Result<vedra::ByteBuffer> r = vedra::decode_snapshot_container(file, magic);
  const std::string whole = r.ok() ? r.value().str() : "error: " + r.status().message();
  const std::string pieces = read_in_pieces(file, magic);
  if (pieces != whole && !(zstd_failure(pieces) && zstd_failure(whole))) {
    fail("reading in pieces differs from reading whole");
  }
  if (!r.ok()) {
    if (r.status().message().empty()) fail("empty error message");
    return;
  }
  if (file.size() < vedra::kSnapshotHeaderSize) fail("short file accepted");
  if (file.substr(0, 8) != magic) fail("wrong magic accepted");
  const auto* h = reinterpret_cast<const uint8_t*>(file.data());
  const uint64_t stored = get_u64(h + 12);
  const bool compressed = (h[20] & 1) != 0;
  const uint64_t raw = get_u64(h + 24);
  if (stored > file.size() - vedra::kSnapshotHeaderSize) fail("stored_length past the end accepted");
  if (!compressed) {
    if (r.value() != file.substr(vedra::kSnapshotHeaderSize, stored)) fail("stored payload not copied");
  } else if (raw != 0 && r.value().size() != raw) {
    fail("decoded length differs from raw_length");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  check_read(file, vedra::kSnapshotFullMagic);
  check_read(file, vedra::kSnapshotIndexMagic);

  // The input as a payload: the writer's container reads back to it.
  for (std::string_view magic : {vedra::kSnapshotFullMagic, vedra::kSnapshotIndexMagic}) {
    vedra::Result<std::string> encoded = vedra::encode_snapshot_container(magic, file);
    if (!encoded.ok()) fail("encode failed");
    vedra::Result<vedra::ByteBuffer> decoded = vedra::decode_snapshot_container(encoded.value(), magic);
    if (!decoded.ok()) fail("own container does not read back");
    if (decoded.value() != file) fail("own container changed the payload");
  }
  return 0;
}
