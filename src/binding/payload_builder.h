// Python objects built straight from a stored payload's JSON text.
//
// build_payload_objects() produces what the standard library's json.loads
// returns for the same text (see standard_json.h for when that is the
// function in use): dict (members in text order), list, str, int, float,
// True, False, None.  It reads only the forms it can reproduce exactly and
// declines everything else, so a caller that falls back to json.loads on a
// decline gets json.loads's answer (or its exception) in every case.
//
// Accepted: the RFC 8259 grammar without white space (the engine's compact
// form, which every stored payload has), containers nested at most
// kMaxBuildDepth levels, strings holding raw UTF-8 and the escapes the
// engine's writer produces (decoded by store/json/json_unescape.h), integers of
// any size, and doubles within the double range.  Declined: white space,
// escapes the writer never produces (\/, \uXXXX beyond \u001f, surrogates;
// no stored payload holds them), a number outside the double range
// (json.loads gives inf or 0.0 there), NaN / Infinity, raw control
// characters, any malformed text, ill-formed UTF-8, and any failure of the
// interpreter while building (MemoryError, or the RecursionError that the
// interpreter's recursion counter raises: every container enters it once,
// as the standard scanner does, after a margin covering json.loads's own
// frames, so building succeeds only where json.loads would not run out of
// recursion).
//
// Numbers.  An integer text becomes an int of its exact value; a text with a
// fraction or exponent becomes the double std::from_chars reads, which is
// the correctly rounded value float() gives for the same digits (-0.0
// included).
//
// Strings.  Keys and values without an escape of at most kMaxKeyBytes bytes
// come from the two caches (key_cache.h).  Other strings without an escape
// are made from the bytes in place: ASCII ones by the interpreter's decoder,
// non-ASCII ones from the code points decoded here (one pass, no widening of
// a one-byte guess) where wchar_t holds a code point.
//
// Cost: one pass over the text; one str per string that is not cached; no
// allocation of the builder's own beyond its scratch buffers.
#pragma once

#include <string_view>

#include "binding/key_cache.h"
#include "binding/py.h"

namespace vedra::py {

// Containers nested deeper than this are declined (json.loads then decides,
// RecursionError included).
inline constexpr int kMaxBuildDepth = 512;

// A new reference to the objects of `text`, or nullptr, with no exception
// set, when the text is declined (see above).  REQUIRES: the interpreter
// lock, and no exception set on entry.
// `keys` serves object keys and `values` string values.
PyObject* build_payload_objects(std::string_view text, KeyStrCache& keys, KeyStrCache& values);

}  // namespace vedra::py
