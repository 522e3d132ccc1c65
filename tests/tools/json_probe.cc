// vedra_json_probe: runs the JSON reader over framed inputs, for tests that
// compare it with other readers.
//
// Input (stdin): a sequence of records, each a 4-byte little-endian length
// followed by that many bytes of candidate JSON text.
// Output (stdout): one line per record, in order: "ok <compact text>" when
// parse_json accepts the bytes (the value written back with
// write_json_compact, which never contains a raw line feed), or
// "err <message>".  Exit status 0, or 2 on a truncated record.

#include <cstdint>
#include <cstdio>
#include <string>

#include "store/json/json_reader.h"
#include "store/json/json_writer.h"

int main() {
  std::string input;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) input.append(buf, n);

  std::string out;
  size_t pos = 0;
  while (pos < input.size()) {
    if (input.size() - pos < 4) return 2;
    const auto* b = reinterpret_cast<const unsigned char*>(input.data() + pos);
    const uint32_t len = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    pos += 4;
    if (input.size() - pos < len) return 2;
    auto r = vedra::parse_json(std::string_view(input.data() + pos, len));
    pos += len;
    if (r.ok()) {
      out += "ok ";
      vedra::write_json_compact(r.value(), out);
    } else {
      out += "err ";
      out += r.status().message();
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
