// The value keys of one field value: what a record is posted under.
//
// A value is split on "|" into trimmed, non-empty pieces; a piece without a
// "." is one key, a piece with dots gives each dotted prefix of its trimmed,
// non-empty sub-pieces ("a. b.c" -> "a", "a.b", "a.b.c").  Shared by posting
// and by the all-or-nothing add, which must know every key before it posts
// any.
#pragma once

#include <string>
#include <string_view>

#include "base/text.h"

namespace vedra {

// Calls f(key) for each key of one "|"-piece, in order.  While every
// sub-piece so far was already trimmed and non-empty, the key is a prefix of
// the piece itself and no text is built; otherwise it is built in `acc`.
// The view passed to f is valid only during the call.
template <typename F>
void for_each_piece_key(std::string_view piece, std::string& acc, F&& f) {
  if (piece.find('.') == std::string_view::npos) {
    f(piece);
    return;
  }
  bool in_place = true;  // acc not started: the prefix so far is piece[0, prefix_end)
  size_t prefix_end = 0;
  size_t i = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = piece.find('.', start);
    const std::string_view raw = piece.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    const std::string_view sub = trim_white_space(raw);
    if (in_place && (sub.size() != raw.size() || sub.empty())) {
      in_place = false;
      acc.assign(piece.substr(0, prefix_end));
    }
    if (!sub.empty()) {
      if (in_place) {
        prefix_end = start + sub.size();
        f(piece.substr(0, prefix_end));
      } else {
        if (i > 0) acc += '.';
        acc.append(sub);
        f(std::string_view(acc));
      }
    }
    ++i;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
}

// Calls f(key) for every key of `value`, in posting order; a key may come
// more than once.  An empty value has no key.
template <typename F>
void for_each_value_key(std::string_view value, std::string& acc, F&& f) {
  if (value.find('|') == std::string_view::npos) {
    if (!value.empty()) for_each_piece_key(value, acc, f);
    return;
  }
  size_t start = 0;
  while (true) {
    const size_t bar = value.find('|', start);
    const std::string_view piece =
        trim_white_space(value.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (!piece.empty()) for_each_piece_key(piece, acc, f);
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
}

}  // namespace vedra
