#include "snapshot/container.h"

// The stable-input parameter and the level's window are in libzstd's
// extended interface.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/page_array.h"
#include "snapshot/file_read.h"

namespace vedra {
namespace {

// The first libzstd whose stable input may grow between calls.
constexpr unsigned kFirstGrowingStableInput = 10504;

constexpr size_t kMagicOffset = 0;
constexpr size_t kMagicSize = 8;
constexpr size_t kVersionOffset = 8;
constexpr size_t kStoredLengthOffset = 12;
constexpr size_t kFlagsOffset = 20;
constexpr size_t kRawLengthOffset = 24;
constexpr uint32_t kFlagCompressed = 1;

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

void put_u32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put_u64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
uint32_t get_u32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
uint64_t get_u64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

Status zstd_error(size_t code) { return Status::Error(ZSTD_getErrorName(code)); }

uint64_t unknown_length_limit(size_t stored_length) {
  const uint64_t stored = stored_length;
  if (stored > UINT64_MAX / kUnknownLengthRatio) return UINT64_MAX;
  return std::max<uint64_t>(kUnknownLengthFloor, stored * kUnknownLengthRatio);
}

// The bytes of a container file that decode_snapshot_container looks at:
// the header, then the stored payload when the file starts with one of the
// two magics; trailing bytes are never read.
uint64_t container_bytes_wanted(std::string_view head) {
  if (head.size() < kSnapshotHeaderSize) return kSnapshotHeaderSize;
  const std::string_view m = head.substr(kMagicOffset, kMagicSize);
  if (m != kSnapshotFullMagic && m != kSnapshotIndexMagic) return kSnapshotHeaderSize;
  const uint64_t stored_length = get_u64(head.data() + kStoredLengthOffset);
  if (stored_length > UINT64_MAX - kSnapshotHeaderSize) return UINT64_MAX;
  return kSnapshotHeaderSize + stored_length;
}

}  // namespace

void ContainerEncoder::CCtxDeleter::operator()(::ZSTD_CCtx_s* c) const { ZSTD_freeCCtx(c); }

ContainerEncoder::ContainerEncoder(std::string_view magic, uint64_t size_bound) : cctx_(ZSTD_createCCtx()) {
  if (magic.size() != kMagicSize) {
    status_ = Status::Error("snapshot magic must be 8 bytes");
    return;
  }
  if (!cctx_) {
    status_ = Status::Error("failed to create zstd compression context");
    return;
  }
  size_t rc = ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, kSnapshotCompressionLevel);
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_loadDictionary(cctx_.get(), nullptr, 0);
  if (ZSTD_isError(rc)) {
    status_ = zstd_error(rc);
    return;
  }
  magic.copy(header_ + kMagicOffset, kMagicSize);
  if (size_bound == 0 || size_bound > SIZE_MAX / 2) return;
  // Before 1.5.4 a stable input could not grow between calls (each call
  // failed with "Source buffer is wrong"): those libraries stream.
  if (ZSTD_versionNumber() < kFirstGrowingStableInput) return;
  // libzstd reads back at most one window from the block it compresses, and
  // leaves up to a block of the input uncompressed until more comes.
  const ZSTD_compressionParameters params = ZSTD_getCParams(kSnapshotCompressionLevel, 0, 0);
  const size_t keep = (size_t{1} << params.windowLog) + 2 * size_t{ZSTD_BLOCKSIZE_MAX};
  if (!input_.reserve(static_cast<size_t>(size_bound), keep)) return;
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_stableInBuffer, 1))) input_.reset();
}

ContainerEncoder::~ContainerEncoder() = default;

Status ContainerEncoder::compress(std::string_view bytes, bool end, bool in_input) {
  const ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  if (input_.reserved()) {
    // The whole payload so far, at the same address and position as libzstd
    // left it: only its length grows.
    if (bytes.size() > input_.room()) {
      outgrown_ = true;
      return Status::Error("snapshot payload longer than its bound");
    }
    if (in_input) {
      input_.extend(bytes.size());
    } else {
      input_.append(bytes);
    }
    in = ZSTD_inBuffer{input_.data(), input_.size(), input_pos_};
  }
  for (;;) {
    if (last_used_ == kStoredBlockSize) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kStoredBlockSize));
      last_used_ = 0;
    }
    // libzstd compresses straight into the block while a whole compressed
    // block fits, and through its own buffer near the block's end.
    ZSTD_outBuffer ob{blocks_.back().get() + last_used_, kStoredBlockSize - last_used_, 0};
    const size_t remaining = ZSTD_compressStream2(cctx_.get(), &ob, &in, mode);
    if (ZSTD_isError(remaining)) return zstd_error(remaining);
    last_used_ += ob.pos;
    stored_length_ += ob.pos;
    if (input_.reserved()) {
      input_pos_ = in.pos;
      input_.release_before(in.pos);
    }
    if (mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size) return Status::Ok();
  }
}

Status ContainerEncoder::append(std::string_view bytes) {
  if (!status_.ok()) return status_;
  raw_length_ += bytes.size();
  status_ = compress(bytes, false);
  return status_;
}

char* ContainerEncoder::input_room(size_t n) {
  if (!status_.ok() || !input_.reserved() || input_.room() < n) return nullptr;
  return input_.tail();
}

Status ContainerEncoder::commit_input(size_t n) {
  if (!status_.ok()) return status_;
  if (!input_.reserved()) return status_ = Status::Error("snapshot payload written where the encoder has no input");
  raw_length_ += n;
  status_ = compress(std::string_view(input_.tail(), n), false, true);
  return status_;
}

Status ContainerEncoder::end() {
  if (!status_.ok()) return status_;
  status_ = compress(std::string_view(), true);
  if (!status_.ok()) return status_;
  put_u32(header_ + kVersionOffset, kSnapshotFormatVersion);
  put_u64(header_ + kStoredLengthOffset, stored_length_);
  put_u32(header_ + kFlagsOffset, kFlagCompressed);
  put_u64(header_ + kRawLengthOffset, raw_length_);
  return status_;
}

std::vector<std::string_view> ContainerEncoder::stored_pieces() const {
  std::vector<std::string_view> pieces;
  pieces.reserve(blocks_.size());
  for (size_t i = 0; i < blocks_.size(); ++i) {
    const size_t used = i + 1 == blocks_.size() ? last_used_ : kStoredBlockSize;
    if (used != 0) pieces.emplace_back(blocks_[i].get(), used);
  }
  return pieces;
}

Status ContainerEncoder::take_stored(const std::function<Status(std::string_view)>& sink) {
  Status st;
  for (std::string_view piece : stored_pieces()) {
    if (st.ok()) st = sink(piece);
  }
  if (blocks_.size() > 1) blocks_.erase(blocks_.begin(), blocks_.end() - 1);
  if (!blocks_.empty()) last_used_ = 0;
  return st;
}

Result<std::string> ContainerEncoder::finish() {
  if (Status st = end(); !st.ok()) return st;
  std::string out;
  out.reserve(kSnapshotHeaderSize + static_cast<size_t>(stored_length_));
  out.append(header());
  for (std::string_view piece : stored_pieces()) out.append(piece);
  return out;
}

Result<std::string> encode_snapshot_container(std::string_view magic, std::string_view payload) {
  ContainerEncoder encoder(magic);
  if (Status st = encoder.append(payload); !st.ok()) return st;
  return encoder.finish();
}

void PayloadReader::DCtxDeleter::operator()(::ZSTD_DCtx_s* d) const { ZSTD_freeDCtx(d); }

PayloadReader::PayloadReader(const StoredPayload& payload) : payload_(payload) {
  if (!payload_.compressed) {
    limit_ = payload_.stored.size();
    return;
  }
  // Ceiling of the output: raw_length, or for an unknown length (0) the
  // bound of kUnknownLengthRatio and kUnknownLengthFloor.
  limit_ = payload_.raw_length != 0 ? payload_.raw_length : unknown_length_limit(payload_.stored.size());
  dctx_.reset(ZSTD_createDCtx());
  if (!dctx_) status_ = Status::Error("failed to create zstd decompression context");
}

PayloadReader::~PayloadReader() = default;

std::optional<std::string_view> PayloadReader::whole() const {
  if (payload_.compressed) return std::nullopt;
  return payload_.stored;
}

Result<size_t> PayloadReader::read(char* to, size_t room) {
  if (!status_.ok()) return status_;
  if (ended_) return size_t{0};
  if (!payload_.compressed) {
    const size_t n = std::min(room, payload_.stored.size() - in_pos_);
    std::copy_n(payload_.stored.data() + in_pos_, n, to);
    in_pos_ += n;
    ended_ = n == 0;
    return n;
  }
  Result<size_t> got = decompress(to, room);
  if (!got.ok()) status_ = got.status();
  return got;
}

Result<size_t> PayloadReader::decompress(char* to, size_t room) {
  const std::string_view stored = payload_.stored;
  const Status mismatch = Status::Error("snapshot decompressed length mismatch");
  const auto over = [&] {
    return payload_.raw_length != 0 ? mismatch : Status::Error(std::string(kUnknownLengthLimitMessage));
  };
  ZSTD_inBuffer in{stored.data(), stored.size(), in_pos_};
  char probe[1];
  for (;;) {
    // At the ceiling any further byte is refused: a one-byte probe tells
    // whether one would come.
    const uint64_t left = limit_ - produced_;
    const bool probing = left == 0;
    ZSTD_outBuffer ob = probing ? ZSTD_outBuffer{probe, sizeof probe, 0}
                                : ZSTD_outBuffer{to, static_cast<size_t>(std::min<uint64_t>(room, left)), 0};
    const size_t hint = ZSTD_decompressStream(dctx_.get(), &ob, &in);
    in_pos_ = in.pos;
    if (ZSTD_isError(hint)) return zstd_error(hint);
    if (probing) {
      if (ob.pos != 0) return over();
    } else {
      produced_ += ob.pos;
    }
    if (hint == 0) {  // a frame ended and is fully flushed
      if (in.pos == in.size) {
        ended_ = true;
        if (payload_.raw_length != 0 && produced_ != payload_.raw_length) return mismatch;
        return ob.pos;
      }
      ZSTD_DCtx_reset(dctx_.get(), ZSTD_reset_session_only);
      if (!probing && ob.pos != 0) return ob.pos;
      continue;
    }
    // All input used and room left over: the decoder is waiting for more.
    if (in.pos == in.size && ob.pos < ob.size) return Status::Error("incomplete frame");
    if (!probing && ob.pos != 0) return ob.pos;
  }
}

namespace {

// The first size decompress_snapshot_payload gives its output: a generous
// multiple of the stored size (JSON shrinks about tenfold), so that an
// honest payload is decoded into one buffer sized by raw_length.
uint64_t first_output_guess(size_t stored_length) {
  return std::max<uint64_t>(16 * uint64_t{stored_length} + (64u << 10), ZSTD_DStreamOutSize());
}

// The compressed bytes decompress_in_place gives libzstd per call, and how
// far ahead of its output it has the pages mapped: some eight times as much
// text comes out of a piece, within the stretch, and a stretch stays within
// the caches.
constexpr size_t kInPlaceInputPiece = size_t{64} << 10;
constexpr size_t kPopulateStretch = size_t{1} << 20;

// Decodes `stored` into *out, sized raw_length once, with libzstd writing
// each block where it belongs (a stable output buffer) instead of into its
// own window and copying it out from there: a whole pass over the payload
// less.  True only for the one outcome that needs no message: every frame
// complete, all input used, exactly raw_length bytes.  Anything else (a
// libzstd error, input ending inside a frame, bytes short of or past
// raw_length, or a library without a stable output buffer) gives false and
// is left to the checking decoder, whose verdict, decided block by block,
// is the one to report; libzstd applies the same frame and window checks in
// both modes.  The buffer is that decoder's first one, so no file claims
// more memory here than there.
bool decompress_in_place(std::string_view stored, uint64_t raw_length, ByteBuffer* out) {
  if (raw_length == 0 || raw_length > first_output_guess(stored.size()) || raw_length > SIZE_MAX) return false;
  const std::unique_ptr<ZSTD_DCtx, void (*)(ZSTD_DCtx*)> dctx(ZSTD_createDCtx(),
                                                              [](ZSTD_DCtx* d) { ZSTD_freeDCtx(d); });
  if (!dctx || ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_stableOutBuffer, 1))) return false;
  out->resize(static_cast<size_t>(raw_length));
  ZSTD_outBuffer ob{out->data(), out->size(), 0};
  ZSTD_inBuffer in{stored.data(), 0, 0};
  // The input goes in a piece at a time so that the pages just ahead of the
  // output can be mapped in one call each before libzstd writes them, while
  // still in the cache; the memory so claimed runs at most one stretch ahead
  // of what the payload has filled.
  size_t mapped = 0;  // of the output: the bytes before it are mapped
  for (;;) {
    if (mapped < ob.size && ob.pos + kPopulateStretch / 2 >= mapped) {
      const size_t to = std::min(ob.size, ob.pos + kPopulateStretch);
      populate_pages(out->data() + mapped, to - mapped);
      mapped = to;
    }
    in.size = std::min(stored.size(), in.pos + kInPlaceInputPiece);
    const size_t in_before = in.pos, out_before = ob.pos;
    const size_t hint = ZSTD_decompressStream(dctx.get(), &ob, &in);
    if (ZSTD_isError(hint)) return false;
    if (hint == 0) {  // a frame ended
      if (in.pos == stored.size()) return ob.pos == ob.size;
      ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_only);
    } else if (in.pos == in_before && ob.pos == out_before) {
      return false;  // waiting for input that does not come, or for room
    }
  }
}

}  // namespace

Status decompress_snapshot_payload(std::string_view stored, uint64_t raw_length,
                                   ByteBuffer* out) {
  out->clear();  // drop any capacity the caller's buffer had
  if (decompress_in_place(stored, raw_length, out)) return Status::Ok();
  out->clear();
  PayloadReader reader(StoredPayload{stored, true, raw_length});
  const uint64_t limit = reader.ceiling();
  size_t produced = 0;
  char spare[1];  // room for the reader's probe once the buffer is full at the ceiling
  for (;;) {
    if (produced == out->size() && produced < limit) {
      // The first guess, then double.
      uint64_t target = produced == 0 ? first_output_guess(stored.size()) : 2 * uint64_t{produced};
      target = std::max<uint64_t>(target, ZSTD_DStreamOutSize());
      target = std::min(target, limit);
      out->resize(static_cast<size_t>(target));
    }
    const bool full = produced == out->size();
    Result<size_t> got = full ? reader.read(spare, sizeof spare) : reader.read(out->data() + produced, out->size() - produced);
    if (!got.ok()) return got.status();
    if (got.value() == 0) break;
    produced += got.value();
  }
  out->resize(produced);  // shrinks the size only
  return Status::Ok();
}

Result<StoredPayload> check_snapshot_container(std::string_view file_bytes, std::string_view magic) {
  if (file_bytes.size() < kSnapshotHeaderSize) return Status::Error("snapshot file truncated");
  if (file_bytes.substr(kMagicOffset, kMagicSize) != magic) {
    return Status::Error("snapshot file magic mismatch");
  }
  const char* h = file_bytes.data();
  const uint64_t stored_length = get_u64(h + kStoredLengthOffset);
  if (stored_length > file_bytes.size() - kSnapshotHeaderSize) {
    return Status::Error("snapshot payload truncated");
  }
  return StoredPayload{file_bytes.substr(kSnapshotHeaderSize, static_cast<size_t>(stored_length)),
                       (get_u32(h + kFlagsOffset) & kFlagCompressed) != 0, get_u64(h + kRawLengthOffset)};
}

Result<ByteBuffer> decode_snapshot_container(std::string_view file_bytes,
                                              std::string_view magic) {
  Result<StoredPayload> checked = check_snapshot_container(file_bytes, magic);
  if (!checked.ok()) return checked.status();
  const StoredPayload& p = checked.value();
  if (!p.compressed) return ByteBuffer::copy_of(p.stored);
  ByteBuffer payload;
  if (Status s = decompress_snapshot_payload(p.stored, p.raw_length, &payload); !s.ok()) return s;
  return payload;
}

Result<ByteBuffer> read_snapshot_container(const std::string& path, std::string_view magic) {
  Result<std::string> bytes = read_file_prefix(path, container_bytes_wanted);
  if (!bytes.ok()) return bytes.status();
  return decode_snapshot_container(bytes.value(), magic);
}

StoredPayload SnapshotPair::index() const {
  return check_snapshot_container(index_file, kSnapshotIndexMagic).value();
}

Result<SnapshotPair> read_snapshot_pair(const std::string& full_path, const std::string& index_path) {
  std::vector<Result<std::string>> files = read_files_together({full_path, index_path}, container_bytes_wanted);
  if (!files[0].ok()) return files[0].status();
  Result<ByteBuffer> full = decode_snapshot_container(files[0].value(), kSnapshotFullMagic);
  if (!full.ok()) return full.status();
  files[0].value() = std::string();
  if (!files[1].ok()) return files[1].status();
  if (Result<StoredPayload> index = check_snapshot_container(files[1].value(), kSnapshotIndexMagic); !index.ok()) {
    return index.status();
  }
  return SnapshotPair{std::move(full.value()), std::move(files[1].value())};
}

}  // namespace vedra
