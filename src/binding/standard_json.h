// Recognising the standard library's own json.loads, so that get can build
// its result directly.
//
// get and get_many look "json" up through the import machinery and read its
// attribute "loads" for every payload, whatever is installed there.  When
// that attribute is the standard library's json.loads over the standard
// default decoder, the objects it would return for a stored text are known
// exactly (payload_builder.h) and are built without making the text a str,
// calling into Python code or parsing twice.  Anything else is called.
//
//   loads = import("json").loads                 # every payload, as before
//   if is_standard_json_loads(loads):            # a few identity checks
//       return build_payload_objects(text) or loads(text)
//   return loads(text)
//
// What makes loads "standard" (verified once per identity, below):
//   - loads is a Python function (types.FunctionType) whose code object is
//     named "loads" and comes from <stdlib>/json/__init__.py (<stdlib>:
//     sysconfig's "stdlib" path; files compared after os.path.realpath);
//     its __globals__ is a module dict whose __name__ is "json"; it has no
//     positional defaults and its keyword defaults are exactly the six
//     hooks, all None (so loads(s) takes the _default_decoder.decode(s)
//     branch);
//   - __globals__["_default_decoder"] (the name loads itself reads, so a
//     module merely exposing the same function still counts) is an instance
//     of exactly the class JSONDecoder of module "json.decoder", whose
//     metaclass is type and whose MRO is (JSONDecoder, object), with decode
//     and raw_decode functions from <stdlib>/json/decoder.py; decode's only
//     default is the match method of the pattern '[ \t\n\r]*';
//   - the class has no __getattribute__ and no attribute named scan_once
//     of its own (either could change what the decoder reads from the
//     instance, as a property or any other descriptor would);
//   - the decoder's instance dict holds object_hook None, object_pairs_hook
//     None, parse_float float, parse_int int, strict True, no decode or
//     raw_decode of its own, and a scan_once of the C accelerator's scanner
//     type (_json.make_scanner) whose read-only settings are those same
//     values.  The scanner fixed its settings when it was made, so these are
//     what actually runs; parse_constant only serves NaN and Infinity, which
//     the builder never reads (it declines them).
//
// What is checked per payload (pointer comparisons, no Python code):
// loads is the verified object; its __code__ and __kwdefaults__ are the
// verified objects and the keyword defaults hold the same values;
// __globals__["_default_decoder"] is the verified decoder and still of the
// verified class; the decoder's instance dict is the same dict with the same
// keys and values in the same order; JSONDecoder.decode and .raw_decode are
// the verified functions with the verified __code__ (and decode's
// __defaults__); the class's own attributes (a live view of its dict, kept
// from verification) still name neither __getattribute__ nor scan_once.  About a dozen attribute or dict
// lookups.  When any identity
// differs the whole verification runs again and its verdict replaces the
// previous one, so replacing json.loads (before or after the first get),
// sys.modules["json"] (by a module or a non-module), builtins.__import__ (it
// yields whatever it yields; only the loads found is judged),
// json._default_decoder or any of its attributes, or reloading the module
// (its new loads is verified afresh) is seen at the next payload.
//
// Not detected: changes that keep every identity above, such as replacing
// builtins.isinstance or str, json.decoder.JSONDecodeError, or mutating the
// interpreter's own types; nor a stdlib file edited on disk.
//
// The verified objects are held (strong references) in process-wide state
// until a different loads is seen; verification runs Python code (imports of
// sysconfig, types, _json once; os.path.realpath) and may be re-entered,
// each run publishing a complete verdict.
//
// REQUIRES: the interpreter lock for every call.
#pragma once

#include "binding/py.h"

namespace vedra::py {

// 1 when calling `loads` with one str argument returns exactly what
// build_payload_objects() builds for that text (when it builds), 0 when
// `loads` must be called, -1 with an exception set when verification met an
// exception that must propagate (one that is not an Exception, such as
// KeyboardInterrupt; ordinary failures only mean 0).
int is_standard_json_loads(PyObject* loads);

}  // namespace vedra::py
