// PayloadSink: where the payload encoders write their text.
//
// An encoder asks room(n) for a bound of what it writes next, writes there
// through a cursor and says where it stopped (advance), then, between
// records, lets the sink pass a full piece on (maybe_flush).  Only room()
// and maybe_flush() can leave the inline path; they are called a few times
// per record, so the sink's own work stays off the encoders' field loops.
//
// Two sinks: FlushSink gathers the text in a buffer of its own and hands it
// to a PayloadFlush in pieces; CompressingSink lets the encoder write
// straight into a ContainerEncoder's input, so the text is never copied
// before libzstd reads it, and compresses it in steps of kCompressStep.
//
// Thread safety: one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "base/status.h"
#include "snapshot/container.h"

namespace vedra {

// Streaming encoders pass their text on in pieces of about this many bytes.
inline constexpr size_t kPayloadChunk = 1 << 20;

// Called with each piece of the text in order, whenever the text passes
// kPayloadChunk bytes since the last piece and once at the end; the piece is
// valid only during the call.  A failure stops the encoding and is returned
// by it.
using PayloadFlush = std::function<Status(std::string_view)>;

class PayloadSink {
 public:
  PayloadSink() = default;
  PayloadSink(const PayloadSink&) = delete;
  PayloadSink& operator=(const PayloadSink&) = delete;

  // The cursor, with at least `n` bytes writable from it; nullptr when text
  // had to be passed on first and that failed (see status()).
  char* room(size_t n) {
    if (static_cast<size_t>(limit_ - cursor_) >= n) return cursor_;
    return make_room(n);
  }
  // Ends what was written at the cursor: `w` is its new place.
  void advance(char* w) { cursor_ = w; }
  // Passes the text on once a piece is full; false when that failed.
  bool maybe_flush() { return cursor_ < flush_at_ || pass_on(); }
  // Writes `c`; false when text had to be passed on first and that failed.
  bool put(char c) {
    char* w = room(1);
    if (w == nullptr) return false;
    *w++ = c;
    advance(w);
    return true;
  }
  // Writes the closing `c` and passes on the last piece.
  Status finish(char c) {
    if (put(c)) pass_on();
    return status_;
  }
  const Status& status() const { return status_; }

 protected:
  ~PayloadSink() = default;
  // Passes on the text from the piece's start to the cursor, then makes a
  // new piece with at least `n` bytes of room (`n` 0: what the sink
  // usually offers).  On failure sets status_ and returns nullptr, leaving
  // no room.
  virtual char* next_piece(size_t n) = 0;
  // A new piece of `room` bytes at `start`, passed on after `step` bytes.
  void set_piece(char* start, size_t room, size_t step) {
    start_ = cursor_ = start;
    limit_ = start + room;
    flush_at_ = start + std::min(room, step);
  }
  // The text of the current piece.
  std::string_view written() const { return std::string_view(start_, static_cast<size_t>(cursor_ - start_)); }

  Status status_;

 private:
  char* make_room(size_t n) { return next_piece(n); }
  bool pass_on() { return next_piece(0) != nullptr; }

  char* start_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  char* flush_at_ = nullptr;
};

// Gathers the text in a buffer of kPayloadChunk bytes and some slack, and
// hands it to `flush` in pieces of about kPayloadChunk bytes; a record larger
// than the slack grows the buffer once the text before it has left.
class FlushSink final : public PayloadSink {
 public:
  explicit FlushSink(const PayloadFlush& flush);

 private:
  char* next_piece(size_t n) override;

  const PayloadFlush& flush_;
  size_t capacity_;
  std::unique_ptr<char[]> buffer_;
};

// Writes the text into `encoder`'s input and compresses it each
// kCompressStep bytes, passing the compressed bytes made so far to
// `stored` each time.  Where the encoder offers no room of its own (it
// streams, or its bound is nearly reached), the text goes through a buffer
// and ContainerEncoder::append() instead.  A failure of either is the
// sink's: check encoder.outgrown() to tell an exceeded bound.
class CompressingSink final : public PayloadSink {
 public:
  // libzstd is handed this many bytes at a time.  Steps of 0.5 to 8 MB
  // cost the same CPU time here; larger ones keep more of the input
  // resident (more page faults and a higher peak), so the step is small.
  static constexpr size_t kCompressStep = size_t{1} << 20;

  CompressingSink(ContainerEncoder& encoder, const std::function<Status(std::string_view)>& stored);

 private:
  char* next_piece(size_t n) override;

  ContainerEncoder& encoder_;
  const std::function<Status(std::string_view)>& stored_;
  bool direct_ = false;  // the piece lies in the encoder's input
  size_t capacity_ = 0;  // of buffer_
  std::unique_ptr<char[]> buffer_;
};

}  // namespace vedra
