// PayloadStore: texts keep their bytes and addresses while the store grows,
// and a load keeps canonical stored texts inside the decompressed buffer.
#include <string>
#include <vector>

#include "snapshot/payload_decode.h"
#include "snapshot/snapshot_io.h"
#include "store/payload_store.h"
#include "testing.h"

using namespace vedra;

TEST(PayloadStore, TextsStayPutAcrossBlocks) {
  PayloadStore store;
  std::vector<std::string> want;
  std::vector<const char*> where;
  for (int i = 0; i < 5000; ++i) {
    // Sizes from empty to larger than the largest block.
    std::string text = i % 997 == 0 ? std::string(1 << 21, 'x') : std::string(i % 300, static_cast<char>('a' + i % 26));
    store.push_back(text);
    want.push_back(text);
    where.push_back(store[i].data());
  }
  store.set(3, "{\"replaced\":1}");
  want[3] = "{\"replaced\":1}";
  store.set_held(4, store[5]);
  want[4] = want[5];
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(std::string(store[i]), want[i]);
    if (i != 3 && i != 4) EXPECT_TRUE(store[i].data() == where[i] || want[i].empty());
  }
  EXPECT_TRUE(store.memory_usage() >= 5 * (size_t{1} << 21));
}

namespace {

// The state rebuilt from a full payload text and an index payload text.
EngineState rebuilt(const std::string& full, const std::string& index, bool* kept_in_buffer) {
  ByteBuffer buffer = ByteBuffer::copy_of(full);
  const char* begin = buffer.data();
  const char* end = begin + buffer.size();
  Result<FullPayloadTexts> texts = decode_full_payload_texts(buffer.view());
  EXPECT_TRUE(texts.ok());
  Result<EngineState> s = rebuild_state(index, texts.value(), std::move(buffer));
  EXPECT_TRUE(s.ok());
  *kept_in_buffer = s.value().record_payloads.size() > 0 && s.value().record_payloads[0].data() >= begin &&
                    s.value().record_payloads[0].data() < end;
  return std::move(s.value());
}

}  // namespace

TEST(PayloadStore, LoadUsesStoredTextsInPlaceUnlessMostAreRewritten) {
  const std::string index =
      "[[\"A\",\"a\",\"\",{}],[\"B\",\"b\",\"\",{}],[\"A\",\"a2\",\"\",{}],[\"C\",\"c\",\"\",{}]]";
  bool in_place = false;
  // Canonical texts: taken where they lie; the older "A" shares the newer
  // one's text; "C" has none stored and gets the default payload.
  EngineState s = rebuilt("{\"A\":{\"v\":1},\"B\":[1,2]}", index, &in_place);
  EXPECT_TRUE(in_place);
  EXPECT_EQ(std::string(s.record_payloads[0]), std::string("{\"v\":1}"));
  EXPECT_TRUE(s.record_payloads[0].data() == s.record_payloads[2].data());
  EXPECT_EQ(std::string(s.record_payloads[1]), std::string("[1,2]"));
  EXPECT_EQ(std::string(s.record_payloads[3]), default_payload("C", "c", ""));
  // Texts in another spelling are rewritten; with most rewritten the buffer
  // is not kept, and every text is still the compact form.
  s = rebuilt("{ \"A\" : { \"v\" : 1 } , \"B\":[1, 2]}", index, &in_place);
  EXPECT_TRUE(!in_place);
  EXPECT_EQ(std::string(s.record_payloads[0]), std::string("{\"v\":1}"));
  EXPECT_EQ(std::string(s.record_payloads[2]), std::string("{\"v\":1}"));
  EXPECT_EQ(std::string(s.record_payloads[1]), std::string("[1,2]"));
}
