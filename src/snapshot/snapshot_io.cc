#include "snapshot/snapshot_io.h"

#include <type_traits>
#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/index_build.h"
#include "snapshot/code_order.h"
#include "snapshot/container.h"
#include "snapshot/file_writer.h"
#include "snapshot/manifest.h"
#include "snapshot/names_by_ids.h"
#include "snapshot/payload_decode.h"
#include "snapshot/payload_encode.h"
#include "snapshot/payload_sink.h"
#include "store/record_add.h"
#include "store/json/json_writer.h"

namespace vedra {

namespace {

constexpr char kBlankHeader[kSnapshotHeaderSize] = {};

// Frames the payload that `emit` produces into a container, compressing it
// as it is written, and writes it as file `i` of `files`.  Neither the
// payload text nor its compressed bytes are ever whole in memory: the
// encoder writes straight into the container encoder's input, and the
// compressed bytes go to the file as they come, after a blank header that is
// filled in at the end (it holds their length).  `bound` estimates the
// payload's length (see ContainerEncoder); should the payload outgrow it, the
// file starts again without one.
template <typename Emit>
Status write_payload_file(FileSetWriter& files, size_t i, std::string_view magic, uint64_t bound, Emit&& emit) {
  std::optional<ContainerEncoder> encoder;
  const std::function<Status(std::string_view)> to_file = [&](std::string_view piece) { return files.append(i, piece); };
  for (const uint64_t attempt : {bound, uint64_t{0}}) {
    if (attempt != bound) {
      if (Status st = files.restart(i); !st.ok()) return st;
    }
    encoder.emplace(magic, attempt);
    if (Status st = files.append(i, std::string_view(kBlankHeader, kSnapshotHeaderSize)); !st.ok()) return st;
    CompressingSink sink(*encoder, to_file);
    const Status st = emit(sink);
    if (!encoder->outgrown() || attempt == 0) {
      if (!st.ok()) return st;
      break;
    }
  }
  if (Status st = encoder->end(); !st.ok()) return st;
  if (Status st = encoder->take_stored(to_file); !st.ok()) return st;
  if (Status st = files.rewrite_start(i, encoder->header()); !st.ok()) return st;
  return files.finish(i);
}

}  // namespace

Status save_snapshot(const EngineState& s, const std::string& full_path, const std::string& index_path,
                     const std::string* manifest_path) {
  for (uint32_t r : s.deep_payload_records) {
    auto it = s.code_to_record.find(s.record_texts.code(r));
    if (it != s.code_to_record.end() && it->second == r) {
      std::string message = "cannot save snapshot: the payload of code ";
      write_json_string(s.record_texts.code(r), message);
      message += " is nested too deeply to be loaded back (";
      message += std::to_string(kUnloadablePayloadDepth);
      message += " or more levels)";
      return Status::Error(std::move(message));
    }
  }
  // Every target is resolved before anything is encoded or written.
  static constexpr const char* kParams[] = {"full_file_path", "index_file_path", "manifest_file_path"};
  const size_t count = manifest_path == nullptr ? 2 : 3;
  const std::string* paths[] = {&full_path, &index_path, manifest_path};
  FileSetWriter files;
  for (size_t i = 0; i < count; ++i) {
    if (Status st = files.add(*paths[i]); !st.ok()) return st;
  }
  for (size_t i = 0; i < count; ++i) {
    if (const size_t j = files.same_target(i); j != FileSetWriter::npos) {
      return Status::Error(std::string("cannot save snapshot: ") + kParams[j] + " and " + kParams[i] +
                           " name the same file");
    }
  }
  // The codes in byte order, for the full payload and the manifest's digest.
  const CodeOrder order(s);
  Status st = write_payload_file(files, 0, kSnapshotFullMagic, full_payload_bound(s), [&](PayloadSink& sink) {
    return emit_full_payload(s, order, sink);
  });
  if (!st.ok()) return st;
  st = write_payload_file(files, 1, kSnapshotIndexMagic, index_payload_bound(s), [&](PayloadSink& sink) {
    return emit_index_payload(s, sink);
  });
  if (!st.ok()) return st;
  if (manifest_path != nullptr) {
    const long long now = static_cast<long long>(std::time(nullptr));
    st = files.write(2, manifest_text(s, order, full_path, index_path, now));
    if (!st.ok()) return st;
  }
  return files.commit();
}

namespace {

// Ingests the index documents into a fresh state, each one document late:
// a document is converted and its keys' slots asked for (prefetch_record)
// before the one before it is added, so that the cache misses of one
// record's keys overlap the work on another.  finish() adds the last one.
// Two inputs are reused in turn: the store copies the texts, so their
// strings keep their room from one document to the next.
class RebuildSink : public IndexDocSink {
 public:
  explicit RebuildSink(EngineState& s) : s_(s) {}
  Status take(const IndexDocView& d) override {
    // Faults are met in the order of adding each document when it comes:
    // the held document's add (a full store), this one's entries, this
    // one's add.
    if (pending_ && s_.next_record == UINT32_MAX) return capacity_error();
    RecordInput& in = inputs_[next_];
    size_t text_bytes = 0, value_bytes = 0;
    for (const auto& [name, value] : d.fields) {
      if (name.size() > FieldMap::kMaxText || value.size() > FieldMap::kMaxText) {
        return FieldMap::check_entry(name, value.size());
      }
      text_bytes += name.size() + value.size();
      value_bytes += value.size();
    }
    if (pending_ && s_.next_record == UINT32_MAX - 1) return capacity_error();
    // Names are shared where that holds fewer bytes than keeping them: more
    // than the list's address.
    const size_t name_bytes = text_bytes - value_bytes + sizeof(uint32_t) * d.fields.size();
    const FieldNames* shared = nullptr;
    if (!d.field_ids.empty() && name_bytes > sizeof(void*)) shared = names_.find(d.field_ids, d.fields);
    if (shared != nullptr) {
      in.fields.write_named(shared, value_bytes, [&](FieldMap::Writer& w) {
        for (const auto& [name, value] : d.fields) w.text(value);
      });
    } else {
      in.fields.write(d.fields.size(), text_bytes, [&](FieldMap::Writer& w) {
        for (const auto& [name, value] : d.fields) {
          w.text(name);
          w.text(value);
        }
      });
    }
    in.code.assign(d.code);
    in.name.assign(d.name);
    in.pinyin.assign(d.pinyin);
    if (d.field_ids.empty()) {
      prefetch_record(s_, in, ahead_[next_]);
    } else {
      prefetch_record(s_, in, ahead_[next_], targets_of(d));
    }
    next_ ^= 1;
    if (!pending_) {
      pending_ = true;
      return Status::Ok();
    }
    return add_record(s_, inputs_[next_], ahead_[next_]);
  }

  // The target of each value of d, those of its fields by the id of their
  // names: each target is found once, when its field first comes with a
  // non-empty value.
  std::span<const BulkTarget> targets_of(const IndexDocView& d) {
    targets_.resize(2 + d.fields.size());
    auto found = [&](BulkTarget& t, size_t position, std::string_view field, std::string_view value) {
      if (t.map == nullptr && !value.empty()) t = bulk_target(s_, position, field);
      return t;
    };
    targets_[0] = found(code_target_, 0, "code", d.code);
    targets_[1] = found(name_target_, 1, "name", d.name);
    for (size_t i = 0; i < d.fields.size(); ++i) {
      targets_[2 + i] = found(by_id_[d.field_ids[i]], 2 + i, d.fields[i].first, d.fields[i].second);
    }
    return targets_;
  }

  // Adds the document still held.
  Status finish() {
    if (!pending_) return Status::Ok();
    pending_ = false;
    return add_record(s_, inputs_[next_ ^ 1], ahead_[next_ ^ 1]);
  }

 private:
  EngineState& s_;
  NamesByIds names_;  // of the documents' repeating shapes
  // The payload of each is set once every record is in (rebuild_state).
  RecordInput inputs_[2];
  BulkLookahead ahead_[2];  // what prefetch_record() found for each input
  BulkTarget code_target_, name_target_;
  std::vector<BulkTarget> by_id_ = std::vector<BulkTarget>(kIndexFieldIds);  // by field name id
  std::vector<BulkTarget> targets_;  // of the document being taken
  size_t next_ = 0;       // the input the next document goes to
  bool pending_ = false;  // inputs_[next_ ^ 1] holds a document not yet added
};

}  // namespace

namespace {

// rebuild_state, the index payload's documents coming from decode(sink).
// One body for both sources (not a template: a second copy of it in this
// file costs the record loop its inlining).
Result<EngineState> rebuild_from(const std::function<Status(IndexDocSink&)>& decode, FullPayloadTexts& texts,
                                 ByteBuffer full_payload, LoadPhaseObserver* phases) {
  auto reached = [&](const char* phase) {
    if (phases != nullptr) phases->reached(phase);
  };
  EngineState fresh;
  // Every code of the full payload normally has one record: size for that,
  // so the tables do not rehash while re-posting.
  const size_t n = texts.members.size();
  fresh.record_texts.reserve(n);
  fresh.record_payloads.reserve(n);
  fresh.record_fields.reserve(n);
  fresh.code_to_record.reserve(n);
  if (n > 0) {
    field_postings(fresh.field_index, "code").reserve(2 * n);  // a dotted code posts two keys
    field_postings(fresh.field_index, "name").reserve(n);
  }
  RebuildSink sink(fresh);
  if (Status st = decode(sink); !st.ok()) return st;
  if (Status st = sink.finish(); !st.ok()) return st;
  reached("posting");
  seal_postings(fresh.field_index, fresh.field_slots);
  reached("sealing");

  // Payloads last.  The newest record of each code takes its stored text;
  // older records sharing the code share it; codes without a stored text get
  // the default payload.  Stored texts are used where they lie in the
  // decompressed buffer, which the store then keeps, unless most of them had
  // to be rewritten (a file not written by this engine).
  const uint32_t records = fresh.next_record;
  std::vector<std::string_view> stored(records);  // of the newest records; later members win
  for (const auto& [code, text] : texts.members) {
    auto it = fresh.code_to_record.find(code);
    if (it != fresh.code_to_record.end()) stored[it->second] = text;
  }
  size_t stored_count = 0, in_buffer = 0;
  const auto buffer_begin = reinterpret_cast<uintptr_t>(full_payload.data());
  const auto buffer_end = buffer_begin + full_payload.size();
  for (uint32_t r = 0; r < records; ++r) {
    if (stored[r].data() == nullptr) continue;
    ++stored_count;
    const auto at = reinterpret_cast<uintptr_t>(stored[r].data());
    in_buffer += at >= buffer_begin && at < buffer_end;
  }
  // Each record's newest record of the same code (itself unless a code repeats).
  std::vector<uint32_t> newest_of(records);
  const bool codes_repeat = fresh.code_to_record.size() != records;
  for (uint32_t r = 0; r < records; ++r) {
    newest_of[r] = codes_repeat ? fresh.code_to_record.find(fresh.record_texts.code(r))->second : r;
  }
  const bool keep_buffer = in_buffer > 0 && 2 * in_buffer >= stored_count;
  std::string_view buffer;
  if (keep_buffer) buffer = fresh.record_payloads.adopt(std::move(full_payload));
  const auto kept_begin = reinterpret_cast<uintptr_t>(buffer.data());
  const auto kept_end = kept_begin + buffer.size();
  for (uint32_t r = 0; r < records; ++r) {
    const uint32_t newest = newest_of[r];
    if (newest != r) continue;
    if (stored[r].data() == nullptr) {
      fresh.record_payloads.set(r, default_payload(fresh.record_texts.code(r), fresh.record_texts.name(r), fresh.record_texts.pinyin(r)));
      continue;
    }
    const auto at = reinterpret_cast<uintptr_t>(stored[r].data());
    if (at >= kept_begin && at < kept_end) {
      fresh.record_payloads.set_held(r, stored[r]);
    } else {
      fresh.record_payloads.set(r, stored[r]);
    }
  }
  for (uint32_t r = 0; r < records; ++r) {
    if (newest_of[r] != r) fresh.record_payloads.set_held(r, fresh.record_payloads[newest_of[r]]);
  }
  reached("payloads");
  return fresh;
}

}  // namespace

Result<EngineState> rebuild_state(std::string_view index_payload, FullPayloadTexts& texts, ByteBuffer full_payload,
                                  LoadPhaseObserver* phases) {
  return rebuild_from([&](IndexDocSink& sink) { return decode_index_payload_each(index_payload, sink); }, texts,
                      std::move(full_payload), phases);
}

Result<EngineState> rebuild_state(PayloadSource& index_payload, FullPayloadTexts& texts, ByteBuffer full_payload,
                                  LoadPhaseObserver* phases) {
  return rebuild_from([&](IndexDocSink& sink) { return decode_index_payload_each(index_payload, sink); }, texts,
                      std::move(full_payload), phases);
}

Status load_snapshot(EngineState& s, const std::string& full_path, const std::string& index_path) {
  // Both files from the same save, whatever saves run meanwhile.
  Result<SnapshotPair> pair = read_snapshot_pair(full_path, index_path);
  if (!pair.ok()) return pair.status();
  ByteBuffer full_bytes = std::move(pair.value().full);
  Result<EngineState> fresh = Status::Error("");
  {
    PayloadReader index_reader(pair.value().index());
    Result<FullPayloadTexts> payloads = decode_full_payload_texts(full_bytes.view());
    if (!payloads.ok()) {
      // A fault in decompressing the index payload comes first.
      if (Status st = index_reader.drain(); !st.ok()) return st;
      return payloads.status();
    }
    fresh = rebuild_state(index_reader, payloads.value(), std::move(full_bytes));
  }
  // The index file's memory and the reader's back before the matcher is built.
  std::string().swap(pair.value().index_file);
  if (!fresh.ok()) return fresh.status();
  // The matcher is built before the swap, so that a failed build, like any
  // other failure, leaves `s` as it was.
  if (Status st = build_matcher(fresh.value().pattern_texts, fresh.value().matcher); !st.ok()) return st;
  static_assert(std::is_nothrow_move_assignable_v<EngineState>);
  s = std::move(fresh.value());
  return Status::Ok();
}

}  // namespace vedra
