// PayloadSource: a payload text handed over in pieces, in order, so that a
// decoder can read a text that is never whole in memory.
//
// Thread safety: none; one reader at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/status.h"

namespace vedra {

class PayloadSource {
 public:
  virtual ~PayloadSource() = default;

  // Writes up to `room` (> 0) next bytes of the payload at `to` and returns
  // how many; 0 only once the payload has ended and passed every check the
  // source makes of it.  A failure is the source's own (the bytes handed out
  // before it are the payload's all the same); after a failure or the end,
  // every call returns the same.
  virtual Result<size_t> read(char* to, size_t room) = 0;

  // The whole payload, when it already lies in memory unchecked by the
  // source: a decoder may then read it where it is instead of through
  // read().  Default: none.
  virtual std::optional<std::string_view> whole() const { return std::nullopt; }

  // Reads to the end, discarding the bytes, and returns the first failure,
  // if any.  For a reader whose decoding failed, so that a fault of the
  // source (which a load reports first) is not hidden by it.
  Status drain() {
    if (whole()) return Status::Ok();
    char sink[16 << 10];
    for (;;) {
      Result<size_t> got = read(sink, sizeof sink);
      if (!got.ok()) return got.status();
      if (got.value() == 0) return Status::Ok();
    }
  }
};

}  // namespace vedra
