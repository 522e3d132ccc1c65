"""Property tests of the native JSON reader against Python's json module.

The native reader is reached through the `vedra_json_probe` tool (built with
the native tests, VEDRA_BUILD_TESTS=ON); VEDRA_NATIVE_BUILD_DIR names the
directory that holds it.  For every generated text the probe must accept
exactly what `json.loads` accepts, and an accepted value must equal the one
`json.loads` builds.

Intentional differences, excluded from the comparison:
- NaN, Infinity and -Infinity literals (Python accepts them, the reader
  refuses them);
- nesting of 128 levels or more (the reader's limit);
- lone surrogate escapes such as "\\ud800" (Python keeps them as lone code
  points, the reader refuses them);
- numbers outside the double range (Python keeps big ints and infinities,
  the reader fails with "number out of range").
Integers outside the 64-bit ranges read as doubles; the comparison accounts
for that.
"""

import json
import math
import os
import struct
import subprocess

import pytest

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

BUILD_DIR = os.environ.get("VEDRA_NATIVE_BUILD_DIR")
if not BUILD_DIR:
    pytest.skip("VEDRA_NATIVE_BUILD_DIR is not set", allow_module_level=True)
PROBE = os.path.join(BUILD_DIR, "vedra_json_probe")

MAX_DEPTH = 127
SKIP = object()
REFUSED = object()


def run_probe(texts):
    """Runs the probe once over all `texts` (bytes); returns (ok, payload) pairs."""
    if not os.path.exists(PROBE):
        pytest.fail(f"{PROBE} not found: build with VEDRA_BUILD_TESTS=ON")
    framed = b"".join(struct.pack("<I", len(t)) + t for t in texts)
    done = subprocess.run([PROBE], input=framed, capture_output=True, check=True, timeout=60)
    lines = done.stdout.split(b"\n")
    assert lines[-1] == b""
    lines = lines[:-1]
    assert len(lines) == len(texts)
    results = []
    for line in lines:
        verdict, _, rest = line.partition(b" ")
        assert verdict in (b"ok", b"err"), line
        results.append((verdict == b"ok", rest.decode("utf-8")))
    return results


class _Constant(Exception):
    pass


def _reject_constant(name):
    raise _Constant(name)


def _depth(value):
    """Container nesting levels of a decoded value (a scalar has 0)."""
    if isinstance(value, list):
        return 1 + max((_depth(v) for v in value), default=0)
    if isinstance(value, dict):
        return 1 + max((_depth(v) for v in value.values()), default=0)
    return 0


def _outside_common_ground(value):
    """True when the value holds something the readers intentionally differ on."""
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, bool) or value is None:
        return False
    if isinstance(value, int):
        try:
            return math.isinf(float(value))
        except OverflowError:
            return True
    if isinstance(value, float):
        return math.isinf(value)
    if isinstance(value, list):
        return any(_outside_common_ground(v) for v in value)
    return any(_outside_common_ground(k) or _outside_common_ground(v) for k, v in value.items())


def python_verdict(data):
    """json.loads's verdict on bytes: the value, REFUSED, or SKIP."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return REFUSED
    try:
        value = json.loads(text, parse_constant=_reject_constant)
    except (_Constant, RecursionError):
        return SKIP
    except json.JSONDecodeError:
        return REFUSED
    except ValueError:  # integer digit-count limit
        return SKIP
    if _depth(value) > MAX_DEPTH or _outside_common_ground(value):
        return SKIP
    return value


def same_value(py, ours):
    if py is None or isinstance(py, bool):
        return type(ours) is type(py) and ours == py
    if isinstance(py, int):
        if isinstance(ours, float):
            return not (-(2**63) <= py < 2**64) and ours == float(py)
        return type(ours) is int and ours == py
    if isinstance(py, float):
        return type(ours) is float and ours == py and math.copysign(1.0, ours) == math.copysign(1.0, py)
    if isinstance(py, str):
        return type(ours) is str and ours == py
    if isinstance(py, list):
        return (
            type(ours) is list
            and len(ours) == len(py)
            and all(same_value(a, b) for a, b in zip(py, ours))
        )
    return (
        type(ours) is dict
        and ours.keys() == py.keys()
        and all(same_value(py[k], ours[k]) for k in py)
    )


def check_agreement(texts):
    for data, (accepted, payload) in zip(texts, run_probe(texts)):
        want = python_verdict(data)
        if want is SKIP:
            continue
        if want is REFUSED:
            assert not accepted, f"probe accepted {data!r} which json.loads refuses: {payload}"
            continue
        assert accepted, f"probe refused {data!r} which json.loads accepts: {payload}"
        assert same_value(want, json.loads(payload)), f"{data!r}: probe read {payload}"


# --- strategies ---------------------------------------------------------------

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=8)
)
json_values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=4), children, max_size=4),
    max_leaves=12,
)


@st.composite
def valid_texts(draw):
    value = draw(json_values)
    indent = draw(st.sampled_from([None, None, 0, 2, "\t"]))
    separators = draw(st.sampled_from([None, (",", ":"), (" , ", " : ")]))
    return json.dumps(value, ensure_ascii=draw(st.booleans()), indent=indent, separators=separators)


PIECES = [
    "{", "}", "[", "]", ",", ":", '"', "\\", " ", "\t", "\n", "\r", "0", "1", "9", "-", "+", ".",
    "e", "E", "true", "fals", "null", "NaN", "Infinity", "\\u", "\\ud800", "\\udc00", "\\ud83d\\ude00",
    "\\u00e9", "\\x", "\x00", "\x1f", "\x7f", "\u00e9", "\u4e2d", "\U0001f600", "00", "1e400", "-0",
    "\ufeff", "\u00a0", '"k":', "[[", "]]",
]
RAW_BYTES = [b"\xff", b"\xc3", b"\x80", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80", b"\xe4\xb8"]


@st.composite
def mutated_texts(draw):
    text = draw(valid_texts())
    for _ in range(draw(st.integers(min_value=1, max_value=3))):
        op = draw(st.sampled_from(["insert", "delete", "replace", "truncate"]))
        at = draw(st.integers(min_value=0, max_value=len(text)))
        piece = draw(st.sampled_from(PIECES))
        if op == "insert":
            text = text[:at] + piece + text[at:]
        elif op == "delete":
            text = text[:at] + text[at + 1 :]
        elif op == "replace":
            text = text[:at] + piece + text[at + 1 :]
        else:
            text = text[:at]
    return text.encode("utf-8")


@st.composite
def byte_mutated_texts(draw):
    data = draw(valid_texts()).encode("utf-8")
    at = draw(st.integers(min_value=0, max_value=len(data)))
    return data[:at] + draw(st.sampled_from(RAW_BYTES)) + data[at:]


garbage_texts = st.lists(st.sampled_from(PIECES), max_size=8).map(lambda p: "".join(p).encode("utf-8"))
nested_texts = st.builds(
    lambda n, inner, obj: (('{"a":' * n + inner + "}" * n) if obj else ("[" * n + inner + "]" * n)).encode(),
    st.integers(min_value=120, max_value=132),
    st.sampled_from(["", "1", "[]", "{}"]),
    st.booleans(),
)

any_text = st.one_of(
    valid_texts().map(lambda s: s.encode("utf-8")),
    mutated_texts(),
    byte_mutated_texts(),
    garbage_texts,
    st.binary(max_size=12),
    nested_texts,
)


# --- tests --------------------------------------------------------------------


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(any_text, min_size=1, max_size=40))
def test_probe_accepts_what_json_loads_accepts(texts):
    check_agreement(texts)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(json_values, min_size=1, max_size=40))
def test_compact_text_of_values_reads_back_equal(values):
    texts = [json.dumps(v).encode("utf-8") for v in values]
    results = run_probe(texts)
    for value, (accepted, payload) in zip(values, results):
        assert accepted, payload
        assert same_value(value, json.loads(payload))
    # The compact text is a fixed point of read-then-write.
    payloads = [payload for _, payload in results]
    assert run_probe([p.encode("utf-8") for p in payloads]) == [(True, p) for p in payloads]


def test_intentional_differences_are_refusals():
    texts = [b"NaN", b"[Infinity]", b"1e400", b"-1e400", b'"\\ud800"', b'"\\udc00"',
             b"[" * 128 + b"]" * 128, b"9" * 400]
    results = run_probe(texts)
    assert [ok for ok, _ in results] == [False] * len(texts)
    assert results[2][1] == "number out of range at line 1 column 5"
    assert results[6][1] == "recursion limit exceeded at line 1 column 128"
    assert run_probe([b"[" * 127 + b"]" * 127]) == [(True, "[" * 127 + "]" * 127)]
