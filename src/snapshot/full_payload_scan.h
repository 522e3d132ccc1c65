// FullPayloadScan: the fast reading of the full payload (a JSON object from
// code to payload) into FullPayloadTexts, member by member, while the text is
// still being decompressed, so that each stretch is read while it is still
// in the caches instead of in a second pass over the whole text from memory.
//
// It takes only what it can take without a message: members whose values are
// canonical are viewed where they lie, other valid values rewritten compact;
// any fault, or a shape it does not take, and it declines, leaving the text
// to decode_full_payload() for the verdict.  Its result, when it has one, is
// the same whether it was given the text whole or in any number of growing
// prefixes: a step (one member, or the object's opening or closing) is
// accepted on a prefix only when it succeeds and stops short of the prefix's
// end, since then it read no byte beyond and none of what it read depends on
// where the text ends; any other step is taken again, whole, once more text
// has come.
//
// Thread safety: none; one owner.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "snapshot/container.h"
#include "snapshot/payload_decode.h"

namespace vedra {

class JsonReader;
class MemberNames;

class FullPayloadScan final : public DecodeProgress {
 public:
  FullPayloadScan();
  ~FullPayloadScan() override;

  // The first `produced` bytes of `text` are final; the whole text when
  // produced == text.size().  Calls come with the same text and growing
  // counts; the text must stay in place until take().
  void decoded(std::string_view text, size_t produced) override;
  // Every member taken is void; the scan ends without a result.
  void abandoned() override;

  // True when the whole text was read and taken.
  bool done() const { return phase_ == Phase::kDone; }
  // REQUIRES: done().  The members, in text order, repeated codes kept.
  FullPayloadTexts take() { return std::move(out_); }

 private:
  enum class Phase { kOpen, kMembers, kTrailing, kDone, kDeclined };
  // One step from the cursor in the current phase; false when it fails.
  // `end`: of the text the reader holds.
  bool step(JsonReader& r, const char* end);
  bool member(JsonReader& r, const char* end);

  Phase phase_ = Phase::kOpen;
  size_t pos_ = 0;       // of the text: where the next step starts
  size_t retry_at_ = 0;  // a step cut by the prefix's end waits for this much text
  std::unique_ptr<MemberNames> names_;
  std::string key_scratch_;
  FullPayloadTexts out_;
};

}  // namespace vedra
