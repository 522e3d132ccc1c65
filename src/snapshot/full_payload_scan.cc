#include "snapshot/full_payload_scan.h"

#include <string>

#include "store/json/byte_scan.h"
#include "store/json/json_canonical.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "store/json/member_names.h"

namespace vedra {

namespace {

// The length, quotes included, of the string at p when it is at most 15
// plain ASCII bytes closed by a quote (what the reader takes as is: its text
// is the string's value); 0 for any other string, left to the reader.
size_t plain_ascii_key_length(const char* p, const char* end) {
  if (end - p < 17) return 0;
  const unsigned stop = ascii_string_stop16(p + 1);
  return stop < 16 && p[1 + stop] == '"' ? stop + 2 : 0;
}

}  // namespace

FullPayloadScan::FullPayloadScan() : names_(std::make_unique<MemberNames>()) {}  // some 20 kB

FullPayloadScan::~FullPayloadScan() = default;

void FullPayloadScan::abandoned() {
  phase_ = Phase::kDeclined;
  out_ = FullPayloadTexts();
}

void FullPayloadScan::decoded(std::string_view text, size_t produced) {
  if (phase_ == Phase::kDone || phase_ == Phase::kDeclined) return;
  const bool whole = produced == text.size();
  // A step cut short waits until the text past its start has doubled, so
  // that a long member is read again only a few times.
  if (!whole && produced < retry_at_) return;
  if (pos_ == 0 && phase_ == Phase::kOpen && out_.members.capacity() == 0) {
    // A first guess of the member count that a text the engine wrote does
    // not outgrow (its payloads take some hundreds of bytes each); the pages
    // of room left unused are never touched.
    out_.members.reserve(text.size() / 512);
  }
  JsonReader r(text.substr(0, produced));
  r.jump_to(text.data() + pos_);
  const char* const end = text.data() + produced;
  while (phase_ != Phase::kDone) {
    const size_t members = out_.members.size(), owned = out_.owned.size();
    const Phase phase = phase_;
    const bool ok = step(r, end);
    if (whole) {
      if (!ok) {
        abandoned();
        return;
      }
    } else if (!ok || r.cursor() == end) {
      // Perhaps only for want of the bytes that follow: undone, to be taken
      // again with more of the text.
      out_.members.resize(members);
      out_.owned.resize(owned);
      phase_ = phase;
      retry_at_ = produced + (produced - pos_);
      return;
    }
    pos_ = static_cast<size_t>(r.cursor() - text.data());
  }
}

bool FullPayloadScan::step(JsonReader& r, const char* end) {
  switch (phase_) {
    case Phase::kOpen:
      r.skip_ws();
      if (r.at_end() || r.peek() != '{') return false;
      r.advance();
      r.skip_ws();
      if (!r.at_end() && r.peek() == '}') {
        r.advance();
        phase_ = Phase::kTrailing;
      } else {
        phase_ = Phase::kMembers;
      }
      return true;
    case Phase::kMembers:
      return member(r, end);
    case Phase::kTrailing:
      r.skip_ws();
      if (!r.at_end()) return false;
      phase_ = Phase::kDone;
      return true;
    case Phase::kDone:
    case Phase::kDeclined:
      break;
  }
  return false;
}

// One member, checked by the reader and, when canonical, taken where it
// lies (otherwise rewritten compact); then the ',' and white space after it,
// or the closing '}'.
bool FullPayloadScan::member(JsonReader& r, const char* end) {
  if (r.at_end() || r.peek() != '"') return false;
  std::string_view key;
  if (const size_t plain = plain_ascii_key_length(r.cursor(), end); plain != 0) {
    key = std::string_view(r.cursor() + 1, plain - 2);
    r.jump_to(r.cursor() + plain);
  } else {
    if (!r.parse_string_view(key, key_scratch_)) return false;
    if (key.data() == key_scratch_.data()) key = out_.owned.emplace_back(key);  // held escapes
  }
  r.skip_ws();
  if (r.at_end() || r.peek() != ':') return false;
  r.advance();
  r.skip_ws();
  const char* const start = r.cursor();
  // A canonical value (what the engine writes) is checked and measured in
  // one scan; anything else goes through the reader and is rewritten.
  const size_t canonical = canonical_compact_value_length(
      std::string_view(start, static_cast<size_t>(end - start)), kJsonMaxDepth - 1, *names_);
  if (canonical != 0) {
    out_.members.emplace_back(key, std::string_view(start, canonical));
    r.jump_to(start + canonical);
  } else {
    if (!r.skip_value(1)) return false;
    const std::string_view text(start, static_cast<size_t>(r.cursor() - start));
    Result<JsonValue> value = parse_json(text);
    if (!value.ok()) return false;
    out_.members.emplace_back(key, out_.owned.emplace_back(write_json_compact(value.value())));
  }
  r.skip_ws();
  if (r.at_end()) return false;
  if (r.peek() == ',') {
    r.advance();
    r.skip_ws();
    return true;
  }
  if (r.peek() != '}') return false;
  r.advance();
  phase_ = Phase::kTrailing;
  return true;
}

}  // namespace vedra
