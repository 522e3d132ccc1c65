#include "snapshot/payload_sink.h"

#include <algorithm>

namespace vedra {
namespace {

// Room beyond a full piece for the record that passes it.
constexpr size_t kSlack = 64 << 10;

}  // namespace

FlushSink::FlushSink(const PayloadFlush& flush)
    : flush_(flush), capacity_(kPayloadChunk + kSlack), buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {
  set_piece(buffer_.get(), capacity_, kPayloadChunk);
}

char* FlushSink::next_piece(size_t n) {
  if (!status_.ok()) return nullptr;
  if (const std::string_view text = written(); !text.empty()) {
    status_ = flush_(text);
    if (!status_.ok()) {
      set_piece(nullptr, 0, 0);
      return nullptr;
    }
  }
  if (n > capacity_) {
    buffer_ = std::make_unique_for_overwrite<char[]>(n);
    capacity_ = n;
  }
  set_piece(buffer_.get(), capacity_, kPayloadChunk);
  return buffer_.get();
}

CompressingSink::CompressingSink(ContainerEncoder& encoder, const std::function<Status(std::string_view)>& stored)
    : encoder_(encoder), stored_(stored) {
  next_piece(0);
}

char* CompressingSink::next_piece(size_t n) {
  if (!status_.ok()) return nullptr;
  if (const std::string_view text = written(); !text.empty()) {
    status_ = direct_ ? encoder_.commit_input(text.size()) : encoder_.append(text);
    if (status_.ok()) status_ = encoder_.take_stored(stored_);
  }
  if (!status_.ok()) {
    set_piece(nullptr, 0, 0);
    return nullptr;
  }
  if (char* p = encoder_.input_room(n)) {
    direct_ = true;
    set_piece(p, encoder_.input_room_left(), kCompressStep);
    return p;
  }
  direct_ = false;
  if (n > capacity_ || buffer_ == nullptr) {
    capacity_ = std::max(n, kPayloadChunk + kSlack);
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  }
  set_piece(buffer_.get(), capacity_, kPayloadChunk);
  return buffer_.get();
}

}  // namespace vedra
