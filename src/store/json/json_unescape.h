// Decoding the strings of JSON text that the engine wrote itself.
//
// Stored payloads, and every text the engine's writer produced, hold strings
// in one form only (json_writer.h): raw UTF-8 copied from well-formed text,
// and the escapes \" \\ \b \t \n \f \r and \u00xx (lowercase hex) for the
// other control characters.  Ingestion's flattening and the read-back of
// payloads decode such strings with unescape_written_string(), which needs
// none of the reader's checks; text of any other origin goes through
// JsonReader (json_reader.h).
//
// Thread safety: pure functions.
#pragma once

#include <string>

namespace vedra {

// The value of one hexadecimal digit (either case), or -1.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes a string of written text from `p`, which is just after its
// opening quotation mark or anywhere inside it before its closing one (not
// inside an escape): appends the decoded bytes up to the closing quotation
// mark to `out` and returns the position just past that mark.  Returns
// nullptr, with `out` holding part of the text, when the string is not in
// the written form before `end`: an escape the writer does not produce (\/,
// \u beyond \u001f, uppercase hex), a raw control character, or the text
// ending inside the string.  Bytes from 0x80 up are copied unchecked.
// Cost: linear, eight bytes at a time through plain runs.
const char* unescape_written_string(const char* p, const char* end, std::string& out);

}  // namespace vedra
