// The compressing sink: the encoders' text written into a container
// encoder, in place or through its buffer, decodes to the text the same
// encoders give as a whole.
#include <zstd.h>

#include <functional>
#include <string>

#include "snapshot/container.h"
#include "snapshot/payload_encode.h"
#include "snapshot/payload_sink.h"
#include "store/engine_state.h"
#include "store/record_add.h"
#include "testing.h"

using vedra::EngineState;
using vedra::FieldMap;
using vedra::Status;

namespace {

// Records whose texts need escapes, one field value far longer than the
// sink's slack, and enough text for several compression steps.
EngineState sample_state() {
  EngineState s;
  for (int i = 0; i < 6000; ++i) {
    const std::string big = i == 4321 ? std::string(3u << 20, 'v') : "v\"" + std::to_string(i) + std::string(i % 40, '\n');
    vedra::RecordInput in{"c" + std::to_string(i * 7919 % 6000), "name\\" + std::to_string(i), "p",
                          "{\"pad\":\"" + std::string(500 + i % 300, 'x') + "\"}",
                          FieldMap{{"f", big}, {"g\t", "w"}, {"h", std::string(i % 20, 'y')}}};
    EXPECT_TRUE(vedra::add_record(s, in).ok());
  }
  return s;
}

}  // namespace

TEST(PayloadSink, CompressedTextDecodesToTheWholePayload) {
  const EngineState s = sample_state();
  for (int which = 0; which < 2; ++which) {
    const std::string whole = which == 0 ? vedra::encode_full_payload(s) : vedra::encode_index_payload(s);
    const uint64_t exact = which == 0 ? vedra::full_payload_bound(s) : vedra::index_payload_bound(s);
    const std::string_view magic = which == 0 ? vedra::kSnapshotFullMagic : vedra::kSnapshotIndexMagic;
    // No bound (libzstd gathers the input), the estimate (written in place),
    // the text's own length (in place up to its end), one byte short of it
    // (refused, saying so).
    for (const uint64_t bound : {uint64_t{0}, exact, uint64_t{whole.size()}, uint64_t{whole.size() - 1}}) {
      vedra::ContainerEncoder encoder(magic, bound);
      std::string stored;
      const std::function<Status(std::string_view)> take = [&stored](std::string_view piece) {
        stored += piece;
        return Status::Ok();
      };
      Status st;
      {
        vedra::CompressingSink sink(encoder, take);
        st = which == 0 ? vedra::emit_full_payload(s, vedra::CodeOrder(s), sink) : vedra::emit_index_payload(s, sink);
      }
      if (bound != 0 && bound < whole.size() && ZSTD_versionNumber() >= 10504) {
        EXPECT_TRUE(!st.ok() && encoder.outgrown());
        continue;
      }
      ASSERT_TRUE(st.ok());
      ASSERT_TRUE(encoder.end().ok());
      ASSERT_TRUE(encoder.take_stored(take).ok());
      vedra::Result<vedra::ByteBuffer> dec =
          vedra::decode_snapshot_container(std::string(encoder.header()) + stored, magic);
      ASSERT_TRUE(dec.ok());
      EXPECT_TRUE(dec.value() == whole);
    }
  }
}

TEST(PayloadSink, AFailingWriterStopsTheEncoding) {
  const EngineState s = sample_state();
  for (const uint64_t bound : {uint64_t{0}, vedra::index_payload_bound(s)}) {
    vedra::ContainerEncoder encoder(vedra::kSnapshotIndexMagic, bound);
    int calls = 0;
    const std::function<Status(std::string_view)> refuse = [&calls](std::string_view) {
      ++calls;
      return Status::Error("disk full");
    };
    vedra::CompressingSink sink(encoder, refuse);
    const Status st = vedra::emit_index_payload(s, sink);
    EXPECT_EQ(st.message(), std::string("disk full"));
    EXPECT_EQ(calls, 1);
  }
}
