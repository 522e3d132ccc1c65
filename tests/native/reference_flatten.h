// The flattening rules of record payloads, written plainly over a JsonValue:
// the oracle that ingestion's text walk (flatten_record_text) is checked
// against.  Test code only; cost is of no concern.
#pragma once

#include <string_view>

#include "store/engine_state.h"
#include "store/flatten.h"
#include "store/json/json_value.h"

namespace vedra_testing {

// Appends the texts of one JSON value under `field` (children of objects
// under "field.key", or "key" when field is empty): null nothing, booleans
// "True"/"False", integers their decimal digits, doubles json_number_text(),
// strings white-space trimmed, arrays element by element.
void reference_flatten_value(std::string_view field, const vedra::JsonValue& value,
                             vedra::CollectedValues& collected);

// code, name and pinyin from string members; fields from the untrimmed
// market, asset_type and region strings, then every member of the objects
// "categories" and "attributes" under its own key, joined per field.
vedra::FlattenedRecord reference_flatten_record(const vedra::JsonValue& record);

}  // namespace vedra_testing
