// The snapshot container: a 128-byte header followed by the stored payload.
//
//   offset  width  field
//        0      8  magic            kSnapshotFullMagic or kSnapshotIndexMagic
//        8      4  format_version   kSnapshotFormatVersion (never checked)
//       12      8  stored_length    bytes stored after the header
//       20      4  flags            bit 0: stored bytes are zstd frames
//       24      8  raw_length       payload length before compression, 0 = unknown
//       32     96  reserved         zero (never checked)
//      128      -  stored payload
//
// Integers are little-endian and unaligned.  docs/snapshot_format.md gives
// the full layout, the read checks in order and the write protocol.
//
// Thread safety: no shared state; every function may be called from several
// threads at once.  Writers of one path run side by side; only their
// commits are serialised (write_whole_file, file_writer.h), the last
// commit's bytes winning whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "store/byte_buffer.h"

struct ZSTD_CCtx_s;  // libzstd's compression context

namespace vedra {

inline constexpr std::string_view kSnapshotFullMagic = "METADATA";
inline constexpr std::string_view kSnapshotIndexMagic = "RUSTIDX1";
inline constexpr uint32_t kSnapshotFormatVersion = 202603;
inline constexpr size_t kSnapshotHeaderSize = 128;
inline constexpr int kSnapshotCompressionLevel = 3;

// A compressed payload whose header gives raw_length 0 (length unknown) may
// decode to at most max(kUnknownLengthFloor, kUnknownLengthRatio x
// stored_length) bytes; past that the read fails with
// kUnknownLengthLimitMessage.  This bounds the memory a small hostile file can
// claim.  The writer always records raw_length, so its files are never
// subject to this limit.
inline constexpr uint64_t kUnknownLengthFloor = uint64_t{64} << 20;
inline constexpr uint64_t kUnknownLengthRatio = 1024;
inline constexpr std::string_view kUnknownLengthLimitMessage =
    "snapshot payload of unknown length decompresses past the limit";

// ContainerEncoder: builds a container in memory while the payload is
// produced piece by piece, so the payload never has to exist whole.  The
// result equals encode_snapshot_container() of the concatenated pieces (one
// zstd frame, level 3, no dictionary; flags 1; raw_length the total).  The
// compressed bytes are kept in blocks of kStoredBlockSize as they come out of
// libzstd, never copied to a larger buffer: after end(), header() and
// stored_pieces() are the file in order, for a writer that takes it in
// pieces; finish() joins them instead.
class ContainerEncoder {
 public:
  // The size of the blocks holding the compressed bytes.
  static constexpr size_t kStoredBlockSize = size_t{4} << 20;

  // REQUIRES: magic.size() == 8 (otherwise every call fails saying so).
  explicit ContainerEncoder(std::string_view magic);
  ~ContainerEncoder();
  ContainerEncoder(const ContainerEncoder&) = delete;
  ContainerEncoder& operator=(const ContainerEncoder&) = delete;

  // Compresses the next piece of the payload.  After a failure every later
  // call returns the same failure.
  Status append(std::string_view bytes);
  // Ends the frame and fills in the header.  Call once, after the last append.
  Status end();
  // After a successful end(): the 128-byte header, and the stored payload as
  // consecutive pieces (views into this encoder, valid while it lives).
  std::string_view header() const { return std::string_view(header_, kSnapshotHeaderSize); }
  std::vector<std::string_view> stored_pieces() const;
  uint64_t stored_length() const { return stored_length_; }
  // end(), then header and stored payload joined in one buffer.  Call once.
  Result<std::string> finish();

 private:
  struct CCtxDeleter {
    void operator()(::ZSTD_CCtx_s* c) const;
  };
  Status compress(std::string_view bytes, bool end);

  std::unique_ptr<::ZSTD_CCtx_s, CCtxDeleter> cctx_;
  char header_[kSnapshotHeaderSize] = {};
  std::vector<std::unique_ptr<char[]>> blocks_;  // all full but the last
  size_t last_used_ = kStoredBlockSize;          // bytes of the last block in use
  uint64_t stored_length_ = 0;
  uint64_t raw_length_ = 0;
  Status status_;
};

// Returns header plus one zstd frame of `payload` (streaming compression at
// level 3, no dictionary) in one buffer; flags is 1.
// REQUIRES: magic.size() == 8 (otherwise fails with a message saying so).
// Fails with libzstd's error name if compression fails.
// Cost: one buffer of 128 + ZSTD_compressBound(payload.size()) bytes.
Result<std::string> encode_snapshot_container(std::string_view magic, std::string_view payload);

// Checks `file_bytes` (a whole container file) and returns its payload.  The
// first failing check decides the message, in this order:
//   "snapshot file truncated"       fewer than 128 bytes
//   "snapshot file magic mismatch"  bytes 0..7 differ from `magic`
//   "snapshot payload truncated"    128 + stored_length exceeds the size
//                                   (no overflow for any stored_length)
// With flags bit 0 clear the stored bytes are the payload (a copy; raw_length
// is ignored).  With bit 0 set they are decoded as described at
// decompress_snapshot_payload.  Bytes after the stored payload are ignored.
Result<ByteBuffer> decode_snapshot_container(std::string_view file_bytes,
                                              std::string_view magic);

// Reads the file at `path`, then decode_snapshot_container.  Only the header
// and, when the file starts with one of the two magics, the stored_length
// bytes after it are read (fewer if the file ends first); trailing bytes are
// ignored unread, so an endless stream such as /dev/zero costs 128 bytes.
// Those bytes are in memory before anything is checked.
Result<ByteBuffer> read_snapshot_container(const std::string& path, std::string_view magic);

// The payloads of a snapshot pair.
struct SnapshotPair {
  ByteBuffer full;
  ByteBuffer index;
};

// Reads the full file and the index file as read_snapshot_container does,
// both opened at one moment with respect to saves into their directories
// (read_files_together), so a pair being replaced is seen entirely old or
// entirely new.  Failures are reported in the order of reading them one after
// the other: the full file's first (open, read, checks), then the index
// file's.
Result<SnapshotPair> read_snapshot_pair(const std::string& full_path, const std::string& index_path);

// Decodes the zstd frames in `stored`, back to back, into *out.
//   - input ending inside a frame (an empty `stored` included):
//     "incomplete frame";
//   - a libzstd decoding error: its error name, e.g. "Unknown frame
//     descriptor";
//   - raw_length != 0 and the decoded length differs from it:
//     "snapshot decompressed length mismatch".  Decoding stops as soon as the
//     output would exceed raw_length, so a small raw_length bounds the memory
//     a hostile file can claim (this check then wins over later frame errors);
//   - raw_length == 0 and the output would exceed the unknown-length limit
//     (see kUnknownLengthFloor): kUnknownLengthLimitMessage, decided the same
//     way, as soon as one byte more would be produced.
// The output buffer grows geometrically; its capacity never exceeds the
// ceiling (raw_length, or the unknown-length limit) rounded up to the page
// size.  libzstd additionally refuses frames whose window exceeds
// its default limit.
// On failure *out holds unspecified partial output.
Status decompress_snapshot_payload(std::string_view stored, uint64_t raw_length,
                                   ByteBuffer* out);

}  // namespace vedra
