// Tests of vedra::FilterQuery and parse_filter_key: table-driven cases over a
// small catalogue with the answers written out, cases over a catalogue whose
// postings cross from the inline and array forms into bitmaps, and seeded
// random catalogues and filters; every answer, and the entry after which the
// query reports an empty result, is compared with a naive set model built from
// the same (field, text) -> records data.

#include "index/query.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/posting.h"
#include "index/field_index.h"

#include "test_rng.h"
#include "testing.h"

namespace {

using vedra::FieldIndex;
using vedra::FilterKey;
using vedra::FilterQuery;
using vedra::parse_filter_key;

using Records = std::vector<uint32_t>;
using Posted = std::map<std::pair<std::string, std::string>, std::set<uint32_t>>;

struct Entry {
  std::string key;
  std::vector<std::string> texts;
};
using Entries = std::vector<Entry>;

// A field index and the data it was built from.  `bulk` posts as a snapshot
// load does (ascending appends, then seal) instead of one add at a time.
struct Catalogue {
  Catalogue(uint32_t n, Posted data, bool bulk = false) : count(n), posted(std::move(data)) {
    for (const auto& [key, records] : posted) {
      vedra::Posting& p = vedra::field_postings(index, key.first).try_emplace(key.second).first->second;
      for (uint32_t r : records) bulk ? p.add_ascending(r) : p.add(r);
      if (bulk) p.seal();
    }
  }
  uint32_t count;
  Posted posted;
  FieldIndex index;
};

std::string show(const Records& rs) {
  std::string out = "[";
  for (size_t i = 0; i < rs.size(); ++i) out += (i ? "," : "") + std::to_string(rs[i]);
  return out + "]";
}

// What the filter loop of a caller sees: the answer, and how many entries it
// fed before empty() told it to stop.
struct Outcome {
  Records records;
  size_t fed;
  bool operator==(const Outcome& o) const { return records == o.records && fed == o.fed; }
};

std::string show(const Outcome& o) { return show(o.records) + " after " + std::to_string(o.fed); }

Outcome run(const Catalogue& c, const Entries& entries, bool stop_when_empty = true) {
  FilterQuery q(c.index, c.count);
  size_t fed = 0;
  for (const Entry& e : entries) {
    q.begin_entry(e.key);
    for (const std::string& t : e.texts) q.add_text(t);
    q.end_entry();
    ++fed;
    if (stop_when_empty && q.empty()) break;
  }
  Outcome out{q.records(), fed};
  if (q.empty() != out.records.empty()) out.fed = SIZE_MAX;  // shows as a mismatch
  return out;
}

// The model: plain sets, the suffix stripped by its own loop.
Outcome model(const Catalogue& c, const Entries& entries) {
  std::set<uint32_t> selected;
  for (uint32_t r = 0; r < c.count; ++r) selected.insert(r);
  size_t fed = 0;
  for (const Entry& e : entries) {
    std::string field = e.key;
    bool exclude = false;
    const std::string suffix = "__not";
    while (field.size() >= suffix.size() && field.compare(field.size() - suffix.size(), suffix.size(), suffix) == 0) {
      field.resize(field.size() - suffix.size());
      exclude = true;
    }
    std::set<uint32_t> hit;
    for (const std::string& t : e.texts) {
      auto it = c.posted.find({field, t});
      if (!t.empty() && it != c.posted.end()) hit.insert(it->second.begin(), it->second.end());
    }
    std::set<uint32_t> next;
    for (uint32_t r : selected) {
      if (hit.count(r) != (exclude ? 0u : 1u)) continue;
      next.insert(r);
    }
    selected = std::move(next);
    ++fed;
    if (selected.empty()) break;
  }
  return Outcome{Records(selected.begin(), selected.end()), fed};
}

// Checks the query against the model (stopping at the first empty result),
// and that entries fed after that point change nothing.
void check_against_model(const std::string& id, const Catalogue& c, const Entries& entries) {
  EXPECT_EQ(id + " " + show(run(c, entries)), id + " " + show(model(c, entries)));
  EXPECT_EQ(id + " " + show(run(c, entries, false).records), id + " " + show(model(c, entries).records));
}

Records all_below(uint32_t n) {
  Records out;
  for (uint32_t r = 0; r < n; ++r) out.push_back(r);
  return out;
}

Records all_but(uint32_t n, std::set<uint32_t> skip) {
  Records out;
  for (uint32_t r = 0; r < n; ++r) {
    if (!skip.count(r)) out.push_back(r);
  }
  return out;
}

// --- Keys --------------------------------------------------------------------

TEST(FilterKey, EveryTrailingNotIsStripped) {
  struct Case {
    const char* id;
    std::string key;
    std::string field;
    bool exclude;
  } cases[] = {
      {"key000", "market", "market", false},
      {"key010", "market__not", "market", true},
      {"key020", "x__not__not", "x", true},
      {"key030", "x__not__not__not", "x", true},
      {"key040", "__not", "", true},
      {"key050", "__not__not", "", true},
      {"key060", "", "", false},
      {"key070", "_not", "_not", false},
      {"key080", "x__no", "x__no", false},
      {"key090", "x__not_", "x__not_", false},
      {"key100", "x___not", "x_", true},
      {"key110", "__notx", "__notx", false},
      {"key120", "a__notb__not", "a__notb", true},
      {"key130", "x__NOT", "x__NOT", false},
      {"key140", std::string("a\0__not", 7), std::string("a\0", 2), true},
  };
  for (const Case& c : cases) {
    const FilterKey k = parse_filter_key(c.key);
    EXPECT_EQ(std::string(c.id) + " " + std::string(k.field) + (k.exclude ? " excluded" : " included"),
              std::string(c.id) + " " + c.field + (c.exclude ? " excluded" : " included"));
  }
}

// --- A small catalogue, answers written out -------------------------------------

// Eight records.  The index also holds an empty key (which no text reaches)
// and a field literally named "x__not" (which no key reaches).
const Posted kSmall = {
    {{"market", "US"}, {0, 2, 4}},
    {{"market", "SH"}, {1, 2, 5}},
    {{"market", "HK"}, {6}},
    {{"market", ""}, {3}},
    {{"region", "Asia"}, {0, 1, 3}},
    {{"region", "Asia.China"}, {0, 3}},
    {{"region", "Europe"}, {4, 5}},
    {{"", "v"}, {7}},
    {{"x", "k"}, {1}},
    {{"x__not", "k"}, {2}},
};

struct Case {
  const char* id;
  Entries entries;
  Records expected;
};

const std::vector<Case> kSmallCases = {
    // No entry: every record.
    {"filter000", {}, all_below(8)},
    // Inclusion and alternatives.
    {"filter010", {{"market", {"US"}}}, {0, 2, 4}},
    {"filter020", {{"market", {"US", "SH"}}}, {0, 1, 2, 4, 5}},
    {"filter030", {{"market", {"SH", "US", "SH"}}}, {0, 1, 2, 4, 5}},
    {"filter040", {{"market", {"US", "nowhere"}}}, {0, 2, 4}},
    {"filter050", {{"region", {"Asia"}}, {"market", {"US"}}}, {0}},
    {"filter060", {{"region", {"Asia.China", "Europe"}}, {"market", {"US", "SH"}}}, {0, 4, 5}},
    {"filter070", {{"x", {"k"}}, {"market", {"SH"}}}, {1}},
    // Exclusion.
    {"filter100", {{"market__not", {"US"}}}, {1, 3, 5, 6, 7}},
    {"filter110", {{"market__not", {"US", "SH"}}}, {3, 6, 7}},
    {"filter120", {{"market__not", {"US"}}, {"market__not", {"SH"}}, {"market__not", {"HK"}}}, {3, 7}},
    {"filter130", {{"market", {"US", "SH"}}, {"market__not", {"SH"}}}, {0, 4}},
    {"filter140", {{"market__not", {"SH"}}, {"market", {"US", "SH"}}}, {0, 4}},
    {"filter150", {{"market__not", {}}}, all_below(8)},
    {"filter160", {{"market__not", {"nowhere"}}}, all_below(8)},
    {"filter170", {{"nothing__not", {"US"}}}, all_below(8)},
    {"filter180", {{"market__not", {"HK"}}, {"region", {"Europe"}}}, {4, 5}},
    // Every trailing "__not".
    {"filter200", {{"market__not__not", {"US"}}}, {1, 3, 5, 6, 7}},
    {"filter210", {{"market__not__not__not", {"US", "SH"}}}, {3, 6, 7}},
    {"filter220", {{"__not", {"v"}}}, all_below(7)},
    {"filter230", {{"__not__not", {"v"}}}, all_below(7)},
    {"filter240", {{"", {"v"}}}, {7}},
    {"filter250", {{"x__not", {"k"}}}, all_but(8, {1})},
    {"filter260", {{"x__not__not", {"k"}}}, all_but(8, {1})},
    // Texts are matched exactly: nothing is trimmed, split or matched empty.
    {"filter300", {{"market", {""}}}, {}},
    {"filter310", {{"market__not", {""}}}, all_below(8)},
    {"filter320", {{"market", {"US|SH"}}}, {}},
    {"filter330", {{"market", {" US "}}}, {}},
    {"filter340", {{"market", {"us"}}}, {}},
    {"filter350", {{"region", {"Asia.china"}}}, {}},
    // Empty results, and where the query says so.
    {"filter400", {{"market", {}}}, {}},
    {"filter410", {{"nothing", {"US"}}}, {}},
    {"filter420", {{"market", {"nowhere"}}, {"region", {"Asia"}}}, {}},
    {"filter430", {{"market", {"HK"}}, {"region", {"Asia"}}, {"market", {"HK"}}}, {}},
    {"filter440", {{"region", {"Asia"}}, {"region", {"Europe"}}}, {}},
    {"filter450", {{"market", {"US"}}, {"market__not", {"US"}}, {"market", {"US"}}}, {}},
    {"filter460", {{"market__not", {"US", "SH", "HK"}}, {"region__not", {"Asia"}}, {"__not", {"v"}}}, {}},
};

TEST(FilterQuery, SmallCatalogueTable) {
  const Catalogue c(8, kSmall);
  for (const Case& k : kSmallCases) {
    EXPECT_EQ(std::string(k.id) + " " + show(run(c, k.entries).records), std::string(k.id) + " " + show(k.expected));
    check_against_model(k.id, c, k.entries);
  }
}

TEST(FilterQuery, StopsAfterTheEntryThatEmptiesTheResult) {
  const Catalogue c(8, kSmall);
  const Entries entries = {{"market", {"US"}}, {"market", {"HK"}}, {"region", {"Asia"}}, {"x", {"k"}}};
  FilterQuery q(c.index, c.count);
  EXPECT_FALSE(q.empty());
  q.begin_entry(entries[0].key);
  q.add_text("US");
  EXPECT_FALSE(q.empty());  // an entry counts only once it ends
  q.end_entry();
  EXPECT_FALSE(q.empty());
  q.begin_entry(entries[1].key);
  q.add_text("HK");
  q.end_entry();
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(run(c, entries).fed, size_t{2});
}

TEST(FilterQuery, NoRecords) {
  const Catalogue none(0, {});
  EXPECT_TRUE(FilterQuery(none.index, 0).empty());
  EXPECT_EQ(show(run(none, {}).records), "[]");
  // The first entry is fed (its values converted) before the query can stop.
  EXPECT_EQ(show(run(none, {{"market", {"US"}}, {"region", {"Asia"}}})), "[] after 1");
  EXPECT_EQ(show(run(none, {{"market__not", {"US"}}, {"region", {"Asia"}}})), "[] after 1");
}

// --- Postings past the array limit -------------------------------------------------

// 200 records; postings of every size around the switch from the inline and
// array forms to bitmaps (kArrayLimit numbers).
Posted large_catalogue() {
  constexpr uint32_t kLimit = vedra::Posting::kArrayLimit;
  Posted p;
  auto put = [&](const char* field, const char* text, auto wanted) {
    for (uint32_t r = 0; r < 200; ++r) {
      if (wanted(r)) p[{field, text}].insert(r);
    }
  };
  put("f", "one", [](uint32_t r) { return r == 17; });
  put("f", "two", [](uint32_t r) { return r == 3 || r == 190; });
  put("f", "below", [&](uint32_t r) { return r + 1 < kLimit; });
  put("f", "limit", [&](uint32_t r) { return r < kLimit; });
  put("f", "above", [&](uint32_t r) { return r < kLimit + 1; });
  put("f", "spread", [&](uint32_t r) { return r % 6 == 0 && r / 6 <= kLimit; });
  put("f", "even", [](uint32_t r) { return r % 2 == 0; });
  put("f", "all", [](uint32_t) { return true; });
  put("g", "mod3", [](uint32_t r) { return r % 3 == 0; });
  put("g", "high", [](uint32_t r) { return r >= 150; });
  put("g", "odd", [](uint32_t r) { return r % 2 == 1; });
  return p;
}

const std::vector<Entries> kLargeCases = {
    {{"f", {"all"}}},
    {{"f", {"limit"}}},
    {{"f", {"above"}}, {"f", {"below"}}},
    {{"f", {"spread"}}, {"g", {"mod3"}}},
    {{"f", {"limit", "spread"}}, {"g", {"high", "mod3"}}},
    {{"f", {"even"}}, {"g", {"odd"}}},
    {{"f", {"one"}}, {"g", {"mod3"}}},
    {{"f", {"two"}}, {"g", {"high"}}},
    {{"f", {"even"}}, {"f", {"above"}}, {"g", {"mod3"}}},
    {{"f__not", {"above"}}},
    {{"f__not", {"even"}}, {"g__not", {"odd"}}},
    {{"f__not", {"all"}}, {"g", {"high"}}},
    {{"f__not", {"one", "two", "limit"}}, {"g", {"high", "odd"}}},
    {{"g", {"high"}}, {"f__not__not", {"spread"}}, {"f", {"even", "one"}}},
    {{"f__not", {"spread"}}, {"f", {"above"}}},
    {{"g__not", {"mod3", "odd"}}, {"f", {"below", "two"}}},
};

TEST(FilterQuery, PostingsOfEverySizeAgainstModel) {
  for (bool bulk : {false, true}) {
    const Catalogue c(200, large_catalogue(), bulk);
    for (size_t i = 0; i < kLargeCases.size(); ++i) {
      check_against_model(std::string(bulk ? "bulk" : "incremental") + std::to_string(i * 10), c, kLargeCases[i]);
    }
  }
  const Catalogue c(200, large_catalogue());
  EXPECT_EQ(run(c, {{"f", {"above"}}}).records.size(), size_t{vedra::Posting::kArrayLimit + 1});
  EXPECT_EQ(run(c, {{"f__not", {"even"}}, {"g", {"mod3"}}}).records.size(), size_t{33});
}

// --- Seeded random catalogues and filters --------------------------------------------

using vedra_testing::Rng;

TEST(FilterQuery, RandomAgainstModel) {
  const char* const fields[] = {"f", "g", ""};
  const char* const texts[] = {"a", "b", "c", "d", ""};
  const char* const keys[] = {"f", "g", "h", "", "f__not", "g__not__not", "__not", "h__not"};
  Rng rng(20240601);
  for (int round = 0; round < 300; ++round) {
    // Densities from rare to common, so postings land on both sides of the
    // array limit; some catalogues have no records.
    const uint32_t n = static_cast<uint32_t>(rng.below(5) == 0 ? rng.below(3) : rng.below(150));
    Posted posted;
    for (const char* field : fields) {
      for (const char* text : texts) {
        const size_t density = 1 + rng.below(12);
        for (uint32_t r = 0; r < n; ++r) {
          if (rng.below(density) == 0) posted[{field, text}].insert(r);
        }
      }
    }
    const Catalogue c(n, std::move(posted), round % 2 == 1);
    for (int q = 0; q < 20; ++q) {
      Entries entries(rng.below(5));
      for (Entry& e : entries) {
        e.key = keys[rng.below(std::size(keys))];
        e.texts.resize(rng.below(4));
        for (std::string& t : e.texts) t = texts[rng.below(std::size(texts))];
      }
      check_against_model("random" + std::to_string(round) + "." + std::to_string(q), c, entries);
    }
  }
}

}  // namespace
