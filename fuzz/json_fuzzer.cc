// libFuzzer target: the JSON reader and writer.
//
// For any input, parse_json() either fails with a positioned message or
// returns a value; a returned value written compactly must parse back to an
// equal value whose compact text is identical (the writer's output is a
// fixed point of write . parse).  The streaming skip path (skip_value) must
// accept exactly the texts parse_value() accepts.  The decoder of written
// strings gives back any input written as a string, and whatever it accepts
// from the input itself (read as a string's body) the reader reads as the
// same text, unless the raw bytes are ill-formed UTF-8 (which the decoder
// leaves unchecked).  The canonical check accepts a text only when the
// reader does and the writer writes it back byte for byte, and accepts what
// the writer writes (keys without escapes).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/json/json_canonical.h"
#include "store/json/json_reader.h"
#include "store/json/json_unescape.h"
#include "store/json/json_writer.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view a, std::string_view b) {
  std::fprintf(stderr, "json_fuzzer: %s\n  first:  %.*s\n  second: %.*s\n", what, static_cast<int>(a.size()),
               a.data(), static_cast<int>(b.size()), b.data());
  std::abort();
}

bool ends_with_position(const std::string& message) {
  const size_t at = message.rfind(" at line ");
  return at != std::string::npos && message.find(" column ", at) != std::string::npos;
}

void check_written_strings(std::string_view text) {
  std::string quoted, decoded;
  vedra::write_json_string(text, quoted);
  const char* after = vedra::unescape_written_string(quoted.data() + 1, quoted.data() + quoted.size(), decoded);
  if (after != quoted.data() + quoted.size() || decoded != text) fail("written string does not decode", text, decoded);

  decoded.clear();
  after = vedra::unescape_written_string(text.data(), text.data() + text.size(), decoded);
  if (after == nullptr) return;
  const std::string string_text = "\"" + std::string(text.data(), static_cast<size_t>(after - text.data()));
  vedra::Result<vedra::JsonValue> read = vedra::parse_json(string_text);
  if (!read.ok()) {
    if (read.status().message().rfind("invalid UTF-8 in string", 0) != 0) {
      fail("decoder accepts a string the reader refuses", string_text, read.status().message());
    }
    return;
  }
  if (!read.value().is_string() || read.value().as_string() != decoded) {
    fail("decoder and reader read a string differently", string_text, decoded);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_written_strings(text);
  vedra::Result<vedra::JsonValue> parsed = vedra::parse_json(text);

  // skip_value must agree with parse_value on acceptance.
  vedra::JsonReader skipper(text);
  bool skipped = skipper.skip_value(0);
  if (skipped) {
    skipper.skip_ws();
    skipped = skipper.at_end();
  }
  if (skipped != parsed.ok()) {
    fail("skip_value and parse_json disagree", text, parsed.ok() ? "parsed" : parsed.status().message());
  }

  const size_t canonical = vedra::canonical_compact_value_length(text, vedra::kJsonMaxDepth);
  if (canonical != 0) {
    vedra::Result<vedra::JsonValue> value = vedra::parse_json(text.substr(0, canonical));
    if (!value.ok()) fail("canonical check accepts what the reader refuses", text, value.status().message());
    if (vedra::write_json_compact(value.value()) != text.substr(0, canonical)) {
      fail("canonical check accepts a text the writer spells otherwise", text, vedra::write_json_compact(value.value()));
    }
  }

  if (!parsed.ok()) {
    const std::string& message = parsed.status().message();
    if (message.empty() || !ends_with_position(message)) fail("unpositioned error", text, message);
    return 0;
  }
  const std::string first = vedra::write_json_compact(parsed.value());
  vedra::Result<vedra::JsonValue> again = vedra::parse_json(first);
  if (!again.ok()) fail("written text does not parse", first, again.status().message());
  if (!(again.value() == parsed.value())) fail("round trip changed the value", text, first);
  const std::string second = vedra::write_json_compact(again.value());
  if (first != second) fail("written text is not a fixed point", first, second);
  if (first.find('\\') == std::string::npos &&
      vedra::canonical_compact_value_length(first, vedra::kJsonMaxDepth) != first.size()) {
    fail("canonical check refuses the writer's text", first, text);
  }
  return 0;
}
