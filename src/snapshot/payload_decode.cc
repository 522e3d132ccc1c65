#include "snapshot/payload_decode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "base/hash.h"
#include "store/byte_buffer.h"
#include "store/json/byte_scan.h"
#include "store/json/json_canonical.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "store/json/member_names.h"
#include "store/json/utf8.h"

namespace vedra {

namespace {

using Field = IndexDocView::Field;

constexpr const char* kMemberNames[4] = {"code", "name", "pinyin", "fields"};
constexpr std::string_view kDocExpected = "struct SnapshotIndexDoc";

int member_index(std::string_view key) {
  for (int i = 0; i < 4; ++i) {
    if (key == kMemberNames[i]) return i;
  }
  return -1;
}

// Length and first and last eight bytes of a key, mixed: enough to tell the
// keys of one document apart, cheaper than hashing them whole.  Keys that
// share it are told apart by comparing them, so it serves only tables small
// enough that such keys cannot make the check slow.
uint64_t key_signature(std::string_view key) {
  uint64_t head = 0, tail = 0;
  if (key.size() >= 8) {
    head = load8(key.data());
    tail = load8(key.data() + key.size() - 8);
  } else {
    for (const char c : key) head = (head << 8) | static_cast<unsigned char>(c);
  }
  const uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ ((tail + key.size()) * 0xBF58476D1CE4E5B9ull);
  return h ^ (h >> 29);
}

constexpr size_t kSignedKeysLimit = 64;

// True when some key occurs twice.  Cost: quadratic up to 8 entries, then
// one signature (up to kSignedKeysLimit keys) or hash per key into a small
// open-addressing table.
bool has_repeated_key(const std::vector<Field>& fields, std::vector<uint32_t>& table) {
  const size_t n = fields.size();
  if (n < 2) return false;
  if (n <= 8) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if (fields[i].first == fields[j].first) return true;
      }
    }
    return false;
  }
  size_t size = 16;
  while (size < 2 * n) size *= 2;
  table.assign(size, UINT32_MAX);
  const bool signed_keys = n <= kSignedKeysLimit;
  auto hash = [signed_keys](std::string_view key) { return signed_keys ? key_signature(key) : text_hash(0, key); };
  for (size_t i = 0; i < n; ++i) {
    size_t slot = hash(fields[i].first) & (size - 1);
    while (table[slot] != UINT32_MAX) {
      if (fields[table[slot]].first == fields[i].first) return true;
      slot = (slot + 1) & (size - 1);
    }
    table[slot] = static_cast<uint32_t>(i);
  }
  return false;
}

// Keeps the last occurrence of each repeated key; the survivors keep their
// relative order.
void keep_last_of_repeated_keys(std::vector<Field>& fields, std::vector<uint32_t>& table) {
  if (!has_repeated_key(fields, table)) return;
  const size_t n = fields.size();
  std::unordered_set<std::string_view> seen;
  seen.reserve(n);
  std::vector<char> keep(n);
  for (size_t i = n; i-- > 0;) keep[i] = seen.insert(fields[i].first).second;
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (keep[i]) fields[out++] = fields[i];
  }
  fields.resize(out);
}

// Reads the index payload straight from the text and hands each document to
// a sink.  Depths follow JsonReader: the outer array is opened at depth 0, an
// element at depth 1, its members' values start at depth 2.
//
// The text is either whole in memory, or read from a source into a window
// that holds a piece of it.  The decoding goes step by step, each step ending
// where a document has been handed over (or the array closed): a step that
// fails at the last byte of a window whose text goes on may have failed only
// for want of the bytes that follow, so the window moves forward to begin
// where the step began (with one byte before it, so that a fault at the end
// of the text can still point at the last byte), more is read, and the step
// is taken again.  Any other failure is the text's.  Positions in messages
// are those in the whole text.
class IndexDecoder {
 public:
  IndexDecoder(std::string_view text, IndexDocSink& sink) : sink_(sink) { set_window(text.data(), text.size()); }
  IndexDecoder(PayloadSource& source, size_t piece, IndexDocSink& sink) : source_(&source), sink_(sink) {
    source_ended_ = false;
    window_.resize(std::max<size_t>(piece, 2));
    fill(0);
  }

  // Every member read the general way (quick_doc_member() and
  // quick_members() unused).
  void read_all_members_generally() { quick_members_ = false; }

  Status run() {
    for (;;) {
      if (!source_failure_.ok()) return source_failure_;
      const char* const restart = r_->cursor();
      if (step()) {
        if (phase_ == Phase::kDone) return Status::Ok();
        continue;
      }
      if (!sink_failure_.ok()) return after_failure(std::move(sink_failure_));
      if (!source_ended_ && r_->error_offset() + 1 >= text_end_ - text_begin_) {
        refill(restart);
        continue;
      }
      return after_failure(r_->error());
    }
  }

 private:
  enum class Phase { kOpen, kAfterElement, kTrailing, kDone };

  // The decoding failed: the source's own fault, if one comes before its
  // end, wins (a whole text would have been read before it was decoded).
  Status after_failure(Status failure) {
    if (source_ != nullptr && !source_ended_) {
      if (Status st = source_->drain(); !st.ok()) return st;
    }
    return failure;
  }

  // One step from a boundary to the next: the array's opening and its first
  // document, or a separator and the next document, or the array's end, or
  // the white space after it.
  bool step() {
    switch (phase_) {
      case Phase::kOpen: {
        r_->skip_ws();
        if (r_->at_end()) return r_->fail_here("EOF while parsing a value");
        if (r_->peek() != '[') return r_->fail_invalid_type(0, "a sequence");
        if (!r_->check_depth(0)) return false;
        r_->advance();
        r_->skip_ws();
        if (r_->at_end()) return r_->fail_here("EOF while parsing a list");
        if (r_->peek() == ']') {
          r_->advance();
          phase_ = Phase::kTrailing;
          return true;
        }
        return element();
      }
      case Phase::kAfterElement: {
        r_->skip_ws();
        if (r_->at_end()) return r_->fail_here("EOF while parsing a list");
        const char c = r_->peek();
        r_->advance();
        if (c == ']') {
          phase_ = Phase::kTrailing;
          return true;
        }
        if (c != ',') return r_->fail_prev("expected `,` or `]`");
        return element();
      }
      case Phase::kTrailing:
        r_->skip_ws();
        if (!r_->at_end()) return r_->fail_here("trailing characters");
        if (source_ended_) {
          phase_ = Phase::kDone;
        } else {
          refill(r_->cursor());
        }
        return true;
      case Phase::kDone: break;
    }
    return true;
  }

  // A document, handed to the sink.
  bool element() {
    if (!read_element()) return false;
    if (Status st = sink_.take(doc_); !st.ok()) {
      sink_failure_ = std::move(st);
      return false;
    }
    phase_ = Phase::kAfterElement;
    return true;
  }

  void set_window(const char* begin, size_t size) {
    text_begin_ = begin;
    text_end_ = begin + size;
    r_.emplace(std::string_view(begin, size));
    r_->set_origin(origin_line_, origin_column_);
  }

  // Moves the window to start one byte before `restart` (at the text's start
  // when nothing lies before it), reads more of the text after what it
  // keeps, and puts the cursor back at `restart`.  A window that would keep
  // more than half of itself doubles instead, so that a document longer
  // than the window still fits once read whole.
  void refill(const char* restart) {
    const size_t keep_from = restart == text_begin_ ? 0 : static_cast<size_t>(restart - text_begin_) - 1;
    const size_t kept = static_cast<size_t>(text_end_ - text_begin_) - keep_from;
    const size_t cursor = static_cast<size_t>(restart - text_begin_) - keep_from;
    advance_origin(text_begin_, keep_from);
    std::memmove(window_.data(), window_.data() + keep_from, kept);
    if (2 * kept > window_.size()) window_.resize(2 * window_.size());
    fill(kept);
    r_->jump_to(text_begin_ + cursor);
  }

  // Reads the source into the window after its first `kept` bytes, until the
  // window is full or the text ends.
  void fill(size_t kept) {
    size_t used = kept;
    while (used < window_.size() && !source_ended_) {
      Result<size_t> got = source_->read(window_.data() + used, window_.size() - used);
      if (!got.ok()) {
        source_failure_ = got.status();
        break;
      }
      used += got.value();
      source_ended_ = got.value() == 0;
    }
    set_window(window_.data(), used);
  }

  // The window's first byte moves past `count` bytes at `p`.
  void advance_origin(const char* p, size_t count) {
    const char* const end = p + count;
    const char* last = nullptr;
    for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(end - q)))) != nullptr; ++q) {
      ++origin_line_;
      last = q;
      if (q + 1 == end) break;
    }
    origin_column_ = last == nullptr ? origin_column_ + count : static_cast<uint64_t>(end - last);
  }

  bool read_element() {
    scratch_used_ = 0;
    doc_.fields = {};
    doc_.field_ids = {};
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing a value");
    if (r_->peek() == '{') return read_object_form();
    if (r_->peek() == '[') return read_array_form();
    return r_->fail_invalid_type(1, kDocExpected);
  }

  bool read_object_form() {
    if (!r_->check_depth(1)) return false;
    r_->advance();
    bool seen[4] = {false, false, false, false};
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing an object");
    if (r_->peek() == '}') {
      r_->advance();
    } else {
      for (;;) {
        if (quick_members_) {
          const int taken = quick_doc_member(seen);
          if (taken == kTakenLast) break;
          if (taken == kTakenMore) continue;
          if (taken == kTakenFields) {  // its name and colon passed
            seen[3] = true;
            if (!read_member(3)) return false;
            bool more = false;
            if (!after_member(more)) return false;
            if (!more) break;
            continue;
          }
        }
        if (r_->peek() != '"') return r_->fail_here("key must be a string");
        std::string_view key;
        if (!parse_view(key)) return false;
        const int index = member_index(key);
        if (index >= 0 && seen[index]) {
          return r_->fail_prev(std::string("duplicate field `") + kMemberNames[index] + "`");
        }
        if (!read_colon()) return false;
        if (index >= 0) {
          seen[index] = true;
          if (!read_member(index)) return false;
        } else if (!r_->skip_value(2)) {
          return false;
        }
        bool more = false;
        if (!after_member(more)) return false;
        if (!more) break;
      }
    }
    for (int i = 0; i < 4; ++i) {
      if (!seen[i]) return r_->fail_prev(std::string("missing field `") + kMemberNames[i] + "`");
    }
    return true;
  }

  // quick_doc_member() outcomes.
  static constexpr int kTakenNone = 0, kTakenMore = 1, kTakenLast = 2, kTakenFields = 3;

  // The member of a document at the cursor when it is one not yet `seen`
  // in the shape the engine writes: "code", "name" or "pinyin" with a plain
  // string value followed by ',' and the next name's quote (kTakenMore) or
  // by the closing '}' (kTakenLast), taken whole; or the name "fields" and
  // its colon (kTakenFields), the value left to the caller.  Otherwise
  // kTakenNone, nothing taken, for the general reading: what it would take
  // is exactly what is taken here.
  int quick_doc_member(bool seen[4]) {
    static constexpr std::string_view kHeads[4] = {"\"code\":", "\"name\":", "\"pinyin\":", "\"fields\":"};
    const char* const p = r_->cursor();
    const size_t room = static_cast<size_t>(text_end_ - p);
    int index = 0;
    while (index < 4 && (seen[index] || room < kHeads[index].size() ||
                         std::memcmp(p, kHeads[index].data(), kHeads[index].size()) != 0)) {
      ++index;
    }
    if (index == 4) return kTakenNone;
    const char* const v = p + kHeads[index].size();
    if (index == 3) {
      r_->jump_to(v);
      return kTakenFields;
    }
    if (v == text_end_ || *v != '"') return kTakenNone;
    const char* const close = plain_string_close(v + 1, text_end_);
    if (close == nullptr || text_end_ - close < 2) return kTakenNone;
    int taken;
    if (close[1] == ',') {
      if (text_end_ - close < 3 || close[2] != '"') return kTakenNone;
      taken = kTakenMore;
    } else if (close[1] == '}') {
      taken = kTakenLast;
    } else {
      return kTakenNone;
    }
    std::string_view& out = index == 0 ? doc_.code : index == 1 ? doc_.name : doc_.pinyin;
    out = std::string_view(v + 1, static_cast<size_t>(close - v - 1));
    seen[index] = true;
    r_->jump_to(close + 2);
    return taken;
  }

  bool read_array_form() {
    if (!r_->check_depth(1)) return false;
    r_->advance();
    size_t count = 0;
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing a list");
    if (r_->peek() == ']') {
      r_->advance();
    } else {
      for (;;) {
        if (count < 4) {
          if (!read_member(static_cast<int>(count))) return false;
        } else if (!r_->skip_value(2)) {
          return false;
        }
        ++count;
        r_->skip_ws();
        if (r_->at_end()) return r_->fail_here("EOF while parsing a list");
        const char c = r_->peek();
        r_->advance();
        if (c == ']') break;
        if (c != ',') return r_->fail_prev("expected `,` or `]`");
      }
    }
    if (count != 4) {
      return r_->fail_prev("invalid length " + std::to_string(count) + ", expected " +
                          std::string(kDocExpected) + " with 4 elements");
    }
    return true;
  }

  bool read_member(int index) {
    switch (index) {
      case 0: return read_string(doc_.code, 2);
      case 1: return read_string(doc_.name, 2);
      case 2: return read_string(doc_.pinyin, 2);
      default: return read_fields(2);
    }
  }

  bool read_string(std::string_view& out, int depth) {
    r_->skip_ws();
    if (!r_->at_end() && r_->peek() == '"') return parse_view(out);
    return r_->fail_invalid_type(depth, "a string");
  }

  bool read_fields(int depth) {
    r_->skip_ws();
    if (r_->at_end() || r_->peek() != '{') return r_->fail_invalid_type(depth, "a map");
    if (!r_->check_depth(depth)) return false;
    r_->advance();
    fields_.clear();
    field_ids_.clear();
    doc_.fields = {};
    doc_.field_ids = {};
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing an object");
    // Whether every name so far has an id, and whether one of them repeats.
    bool named = true, repeated = false;
    if (r_->peek() != '}') {
      ids_seen_.clear();
      uint32_t context = 0;
      for (;;) {
        if (quick_members_ && quick_members(context, named, repeated)) break;
        named = false;
        if (r_->peek() != '"') return r_->fail_here("key must be a string");
        Field& f = fields_.emplace_back();
        if (!parse_view(f.first)) return false;
        if (!read_colon()) return false;
        if (!read_string(f.second, depth + 1)) return false;
        bool more = false;
        if (!after_member(more)) return false;
        if (!more) break;
      }
    } else {
      r_->advance();
    }
    if (!named || repeated) keep_last_of_repeated_keys(fields_, table_);
    doc_.fields = fields_;
    if (named && !repeated) doc_.field_ids = field_ids_;
    return true;
  }

  // The members of "fields" from the cursor on that have the shape the
  // engine writes, "name":"value" followed by ',' and the next name's quote
  // or by the closing '}': each is taken whole (appended to fields_, its
  // name's id marked in ids_seen_, `named` cleared for a name without one).
  // True when the closing brace was taken; false at the first member of any
  // other shape, or one that the window cuts, which is left to the general
  // reading at the cursor.  Names and values are exactly what the general
  // reading would give, as both are plain strings.
  //
  // The name expected next is predicted from `context`, a hash of the ids
  // of the names before it in the object: documents of a few shapes repeat,
  // and past the first name that tells them apart the context names the
  // shape (two predictions each, for the names where shapes part).
  bool quick_members(uint32_t& context, bool& named, bool& repeated) {
    const char* p = r_->cursor();
    const char* const end = text_end_;
    bool closed = false;
    for (;;) {
      Prediction& guess = names_->after[context];
      size_t n = 0;
      uint32_t id = guess.first;
      if (id != MemberNames::kNone && (n = names_->table.match(id, p, end)) == 0) {
        id = guess.second;
        if (id != MemberNames::kNone && (n = names_->table.match(id, p, end)) != 0) guess.put(id);
      }
      std::string_view name;
      const char* v;
      if (n != 0) {
        name = std::string_view(p + 1, n - 3);
        v = p + n;
      } else {
        // A plain ASCII name, then the colon.
        if (p == end || *p != '"') break;
        const char* q = p + 1;
        unsigned stop = 16;
        while (end - q >= 16 && (stop = ascii_string_stop16(q)) == 16) q += 16;
        if (stop == 16) break;
        q += stop;
        if (*q != '"' || q + 1 == end || q[1] != ':') break;
        name = std::string_view(p + 1, static_cast<size_t>(q - p - 1));
        id = names_->table.find_or_add(name);
        guess.put(id);
        v = q + 2;
      }
      if (v == end || *v != '"') break;
      const char* const close = plain_string_close(v + 1, end);
      if (close == nullptr || end - close < 2) break;
      const char after = close[1];
      if (after == ',') {
        if (end - close < 3 || close[2] != '"') break;
      } else if (after != '}') {
        break;
      }
      fields_.emplace_back(name, std::string_view(v + 1, static_cast<size_t>(close - v - 1)));
      field_ids_.push_back(id);
      if (id == MemberNames::kNone) {
        named = false;
      } else {
        repeated |= ids_seen_.add(id);
      }
      context = static_cast<uint32_t>(((context ^ (id + 1)) * 0x9E3779B1u) >> (32 - kContextBits));
      p = close + 2;
      if (after == '}') {
        closed = true;
        break;
      }
    }
    r_->jump_to(p);
    return closed;
  }

  // White space, then the ':' after an object key.
  bool read_colon() {
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing an object");
    if (r_->peek() != ':') return r_->fail_here("expected `:`");
    r_->advance();
    return true;
  }

  // After an object member's value: ',' (more = true, positioned at the next
  // key) or '}' (more = false, consumed).
  bool after_member(bool& more) {
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing an object");
    const char c = r_->peek();
    r_->advance();
    if (c == '}') {
      more = false;
      return true;
    }
    if (c != ',') return r_->fail_prev("expected `,` or `}`");
    r_->skip_ws();
    if (r_->at_end()) return r_->fail_here("EOF while parsing an object");
    more = true;
    return true;
  }

  // Reads the string at the cursor into `out`: a view into the text, or,
  // when the string holds escapes (rare), into a scratch string kept for the
  // rest of the document.  Most strings never touch the scratch list.
  bool parse_view(std::string_view& out) {
    if (plain_view(out)) return true;
    if (!r_->parse_string_view(out, decoded_)) return false;
    if (out.data() == decoded_.data()) {
      std::string& kept = next_scratch();
      kept.swap(decoded_);
      out = kept;
    }
    return true;
  }

  // The string at the cursor when it holds neither escapes nor control
  // characters and its bytes are well-formed UTF-8 (what the reader would
  // accept as is): then `out` views it and the cursor passes it.  Otherwise
  // false, the cursor unmoved, for the reader to decode it or name its fault.
  bool plain_view(std::string_view& out) {
    const char* const begin = r_->cursor() + 1;
    const char* const close = plain_string_close(begin, text_end_);
    if (close == nullptr) return false;
    out = std::string_view(begin, static_cast<size_t>(close - begin));
    r_->jump_to(close + 1);
    return true;
  }

  // A scratch string for one decoded string of the current document; the
  // deque keeps earlier ones in place while views into them are alive.
  std::string& next_scratch() {
    if (scratch_used_ == scratch_.size()) scratch_.emplace_back();
    return scratch_[scratch_used_++];
  }

  PayloadSource* source_ = nullptr;  // null: the text is whole
  ByteBuffer window_;                // of a source's text
  bool source_ended_ = true;         // no byte of the text remains to be read
  Status source_failure_ = Status::Ok();
  uint64_t origin_line_ = 1, origin_column_ = 1;  // of the window's first byte
  const char* text_begin_ = nullptr;
  const char* text_end_ = nullptr;
  std::optional<JsonReader> r_;
  Phase phase_ = Phase::kOpen;
  IndexDocSink& sink_;
  Status sink_failure_ = Status::Ok();
  IndexDocView doc_;
  std::vector<Field> fields_;
  std::vector<uint32_t> field_ids_;  // of fields_ while they are all named
  std::vector<uint32_t> table_;
  // The names of "fields" met so far and the predictions of quick_members().
  static constexpr int kContextBits = 10;
  struct Prediction {
    uint32_t first = MemberNames::kNone, second = MemberNames::kNone;
    void put(uint32_t id) {
      if (first == id) return;
      second = first;
      first = id;
    }
  };
  static_assert(MemberNames::kCapacity <= kIndexFieldIds, "field ids are member name ids");
  struct Names {
    MemberNames table;
    Prediction after[size_t{1} << kContextBits];
  };
  std::unique_ptr<Names> names_ = std::make_unique<Names>();
  MemberNameSet ids_seen_;      // of the current document's "fields"
  bool quick_members_ = true;  // false: every member read the general way
  std::string decoded_;  // a string with escapes, before parse_view() keeps it
  std::deque<std::string> scratch_;
  size_t scratch_used_ = 0;
};

class CollectDocs : public IndexDocSink {
 public:
  Status take(const IndexDocView& d) override {
    SnapshotIndexDoc& doc = docs.emplace_back();
    doc.code = d.code;
    doc.name = d.name;
    doc.pinyin = d.pinyin;
    doc.fields.reserve(d.fields.size());
    for (const Field& f : d.fields) doc.fields.emplace_back(f.first, f.second);
    return Status::Ok();
  }
  std::vector<SnapshotIndexDoc> docs;
};

}  // namespace

Status decode_index_payload_each(std::string_view bytes, IndexDocSink& sink) {
  return IndexDecoder(bytes, sink).run();
}

Status decode_index_payload_each_generally_for_testing(PayloadSource& source, IndexDocSink& sink, size_t piece) {
  IndexDecoder decoder(source, piece, sink);
  decoder.read_all_members_generally();
  return decoder.run();
}

Status decode_index_payload_each(PayloadSource& source, IndexDocSink& sink, size_t piece) {
  if (const std::optional<std::string_view> text = source.whole()) return IndexDecoder(*text, sink).run();
  return IndexDecoder(source, piece, sink).run();
}

Result<std::vector<SnapshotIndexDoc>> decode_index_payload(std::string_view bytes) {
  CollectDocs collect;
  if (Status st = decode_index_payload_each(bytes, collect); !st.ok()) return st;
  return std::move(collect.docs);
}

Result<JsonValue> decode_full_payload(std::string_view bytes) {
  Result<JsonValue> parsed = parse_json(bytes);
  if (!parsed.ok()) return parsed;
  if (!parsed.value().is_object()) return Status::Error("full payload must be a JSON object");
  return parsed;
}

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

Result<FullPayloadTexts> decode_full_payload_texts(std::string_view bytes) {
  // Fast path: walk the top-level object, checking each member with the
  // reader and taking canonical members where they lie.  Any fault sends us
  // to the plain decoder, whose message is the one to report.
  FullPayloadTexts out;
  // A first guess of the member count that a text the engine wrote does not
  // outgrow (its payloads take some hundreds of bytes each); the pages of
  // room left unused are never touched.
  out.members.reserve(bytes.size() / 512);
  JsonReader reader(bytes);
  const std::unique_ptr<MemberNames> names = std::make_unique<MemberNames>();  // some 20 kB
  bool fast_ok = false;
  reader.skip_ws();
  if (!reader.at_end() && reader.peek() == '{') {
    reader.advance();
    reader.skip_ws();
    std::string key_scratch;
    std::string_view key;
    if (!reader.at_end() && reader.peek() == '}') {
      reader.advance();
      fast_ok = true;
    }
    while (!fast_ok) {
      if (reader.at_end() || reader.peek() != '"') break;
      if (const size_t plain = plain_ascii_key_length(reader.cursor(), bytes.data() + bytes.size()); plain != 0) {
        key = std::string_view(reader.cursor() + 1, plain - 2);
        reader.jump_to(reader.cursor() + plain);
      } else {
        if (!reader.parse_string_view(key, key_scratch)) break;
        if (key.data() == key_scratch.data()) key = out.owned.emplace_back(key);  // held escapes
      }
      reader.skip_ws();
      if (reader.at_end() || reader.peek() != ':') break;
      reader.advance();
      reader.skip_ws();
      const char* start = reader.cursor();
      // A canonical value (what the engine writes) is checked and measured
      // in one scan; anything else goes through the reader and is rewritten.
      const size_t canonical = canonical_compact_value_length(
          std::string_view(start, static_cast<size_t>(bytes.data() + bytes.size() - start)), kJsonMaxDepth - 1,
          *names);
      if (canonical != 0) {
        out.members.emplace_back(key, std::string_view(start, canonical));
        reader.jump_to(start + canonical);
      } else {
        if (!reader.skip_value(1)) break;
        const std::string_view text(start, static_cast<size_t>(reader.cursor() - start));
        Result<JsonValue> value = parse_json(text);
        if (!value.ok()) break;
        out.members.emplace_back(key, out.owned.emplace_back(write_json_compact(value.value())));
      }
      reader.skip_ws();
      if (reader.at_end()) break;
      if (reader.peek() == ',') {
        reader.advance();
        reader.skip_ws();
        continue;
      }
      if (reader.peek() == '}') {
        reader.advance();
        fast_ok = true;
      }
      break;
    }
    if (fast_ok) {
      reader.skip_ws();
      fast_ok = reader.at_end();
    }
  }
  if (fast_ok) return out;
  Result<JsonValue> full = decode_full_payload(bytes);
  if (!full.ok()) return full.status();
  // Valid after all (a shape the fast path does not take): convert.
  out.members.clear();
  out.owned.clear();
  for (const JsonMember& m : full.value().as_object()) {
    const std::string_view code = out.owned.emplace_back(m.key);
    out.members.emplace_back(code, out.owned.emplace_back(write_json_compact(m.value)));
  }
  return out;
}

}  // namespace vedra
