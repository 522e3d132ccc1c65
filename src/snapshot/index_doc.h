// SnapshotIndexDoc: one record as the snapshot index payload stores it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vedra {

struct SnapshotIndexDoc {
  std::string code;    // the record's code, exactly as stored (not trimmed)
  std::string name;    // the record's name
  std::string pinyin;  // the whole stored pinyin text ("|"-separated pieces, not split)
  // Field name -> that field's distinct values joined with "|".  Keys are
  // unique; their order is unspecified and must not be relied upon.
  std::vector<std::pair<std::string, std::string>> fields;

  friend bool operator==(const SnapshotIndexDoc&, const SnapshotIndexDoc&) = default;
};

}  // namespace vedra
