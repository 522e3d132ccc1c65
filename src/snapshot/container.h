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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "snapshot/payload_source.h"
#include "snapshot/sliding_buffer.h"
#include "store/byte_buffer.h"

struct ZSTD_CCtx_s;  // libzstd's compression context
struct ZSTD_DCtx_s;  // libzstd's decompression context

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
  static constexpr size_t kStoredBlockSize = size_t{1} << 20;

  // REQUIRES: magic.size() == 8 (otherwise every call fails saying so).
  // `size_bound`, when not 0, is at least the payload's whole length: the
  // encoder then gathers the payload in a SlidingBuffer of that size, which
  // lets libzstd compress it in place as one contiguous text (faster than
  // through libzstd's own ring of input, which it must copy into and match
  // across), while only about one window of it is resident.  Appending past
  // the bound fails.  Without a bound, or where the address space cannot be
  // reserved, libzstd gathers the input itself; the payload decodes to the
  // same bytes either way.
  explicit ContainerEncoder(std::string_view magic, uint64_t size_bound = 0);
  ~ContainerEncoder();
  ContainerEncoder(const ContainerEncoder&) = delete;
  ContainerEncoder& operator=(const ContainerEncoder&) = delete;

  // Compresses the next piece of the payload.  After a failure every later
  // call returns the same failure.
  Status append(std::string_view bytes);
  // Where the next `n` or more bytes of the payload may be written in place,
  // for a producer that writes its text straight into the encoder's input
  // instead of appending a copy of it: input_room_left() bytes are writable
  // from it, and commit_input() compresses those written.  nullptr when the
  // encoder gathers no input of its own (no bound, or a library that
  // streams) or fewer than `n` bytes are left before the bound; append()
  // then serves.  The pointer is valid until the next call that compresses.
  char* input_room(size_t n);
  size_t input_room_left() const { return input_.reserved() ? input_.room() : 0; }
  // Compresses the next `n` bytes of the payload, written at input_room().
  // REQUIRES: n <= input_room_left() when input_room() gave room.
  Status commit_input(size_t n);
  // Ends the frame and fills in the header.  Call once, after the last append.
  Status end();
  // After a successful end(): the 128-byte header, and the stored payload as
  // consecutive pieces (views into this encoder, valid while it lives).
  std::string_view header() const { return std::string_view(header_, kSnapshotHeaderSize); }
  std::vector<std::string_view> stored_pieces() const;
  // Passes the compressed bytes made since the last call to `sink`, in
  // order, and then forgets them (one block is kept, for the bytes that
  // follow), so that a writer can take the stored payload while it is made;
  // stored_pieces() and finish() then hold only what came later.  A failure
  // of `sink` is returned (the bytes are forgotten all the same).
  Status take_stored(const std::function<Status(std::string_view)>& sink);
  uint64_t stored_length() const { return stored_length_; }
  // Whether the failure is an append past the size bound.
  bool outgrown() const { return outgrown_; }
  // end(), then header and stored payload joined in one buffer.  Call once.
  Result<std::string> finish();

 private:
  struct CCtxDeleter {
    void operator()(::ZSTD_CCtx_s* c) const;
  };
  // Compresses `bytes` (when gathering input: what is now at its end) and,
  // with `end`, closes the frame.
  Status compress(std::string_view bytes, bool end, bool in_input = false);

  std::unique_ptr<::ZSTD_CCtx_s, CCtxDeleter> cctx_;
  char header_[kSnapshotHeaderSize] = {};
  std::vector<std::unique_ptr<char[]>> blocks_;  // all full but the last
  size_t last_used_ = kStoredBlockSize;          // bytes of the last block in use
  uint64_t stored_length_ = 0;
  uint64_t raw_length_ = 0;
  SlidingBuffer input_;  // the payload so far, when reserved
  size_t input_pos_ = 0;  // of input_: libzstd's position, handed back to it
  bool outgrown_ = false;
  Status status_;
};

// Returns header plus one zstd frame of `payload` (streaming compression at
// level 3, no dictionary) in one buffer; flags is 1.
// REQUIRES: magic.size() == 8 (otherwise fails with a message saying so).
// Fails with libzstd's error name if compression fails.
// Cost: one buffer of 128 + ZSTD_compressBound(payload.size()) bytes.
Result<std::string> encode_snapshot_container(std::string_view magic, std::string_view payload);

// The stored payload of a container file whose header passed the checks of
// check_snapshot_container: a view into the file's bytes, and how to read it.
struct StoredPayload {
  std::string_view stored;
  bool compressed = false;  // flags bit 0
  uint64_t raw_length = 0;  // meaningful only when compressed
};

// The header checks of decode_snapshot_container (below), in its order and
// with its messages, without reading the payload.
Result<StoredPayload> check_snapshot_container(std::string_view file_bytes, std::string_view magic);

// PayloadReader: a stored payload as a PayloadSource.  Compressed bytes are
// decoded a piece at a time into the caller's room, with every check and
// message of decompress_snapshot_payload (the length checks are made as the
// bytes come, so a read fails as soon as the payload would outgrow its
// ceiling, and the last read fails when it falls short of raw_length).
// Uncompressed bytes are handed out as they are, and whole() views them.
// REQUIRES: the stored bytes outlive the reader.
class PayloadReader final : public PayloadSource {
 public:
  explicit PayloadReader(const StoredPayload& payload);
  ~PayloadReader() override;
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;

  Result<size_t> read(char* to, size_t room) override;
  std::optional<std::string_view> whole() const override;
  // The most bytes a read may yield in all: raw_length, or for a compressed
  // payload of unknown length the unknown-length limit; for an
  // uncompressed one its size.
  uint64_t ceiling() const { return limit_; }

 private:
  struct DCtxDeleter {
    void operator()(::ZSTD_DCtx_s* d) const;
  };
  Result<size_t> decompress(char* to, size_t room);

  StoredPayload payload_;
  std::unique_ptr<::ZSTD_DCtx_s, DCtxDeleter> dctx_;
  size_t in_pos_ = 0;      // of payload_.stored
  uint64_t produced_ = 0;  // bytes handed out
  uint64_t limit_ = 0;
  bool ended_ = false;
  Status status_;
};

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

// A snapshot pair as a load reads it: the full payload decoded, the index
// file's bytes with their header checked, its payload still stored (for a
// PayloadReader: a load decodes it a piece at a time).
struct SnapshotPair {
  ByteBuffer full;
  std::string index_file;  // its header checked
  // The stored payload of index_file (a view into it).
  StoredPayload index() const;
};

// Reads the full file and the index file as read_snapshot_container does,
// both opened at one moment with respect to saves into their directories
// (read_files_together), so a pair being replaced is seen entirely old or
// entirely new.  Failures are reported in the order of reading them one after
// the other: the full file's first (open, read, checks, decompression), then
// the index file's (open, read, header checks).  The index payload's own
// decoding faults are left to its reader.
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
// A raw_length within the first size guessed for the output (a generous
// multiple of the stored size) is decoded into one buffer of that length,
// libzstd writing straight into it; otherwise the output buffer grows
// geometrically.  Its capacity never exceeds the ceiling (raw_length, or the
// unknown-length limit) rounded up to the page size.  libzstd additionally refuses frames whose window exceeds
// its default limit.
// On failure *out holds unspecified partial output.
Status decompress_snapshot_payload(std::string_view stored, uint64_t raw_length,
                                   ByteBuffer* out);

}  // namespace vedra
