"""get and get_many against json.loads of the stored text (the oracle).

The stored text is what the engine hands a replaced json.loads; the native
builder must give exactly what the standard json.loads gives for it: equal
values, equal types at every level, equal key order.
"""
import importlib
import json
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

from vedra_runtime import MetadataCore

scalars = st.one_of(
    st.none(), st.booleans(),
    st.integers(min_value=-2**63, max_value=2**64 - 1),
    st.sampled_from([0, -1, 2**63 - 1, -2**63, 2**63, 2**64 - 1]),
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([-0.0, 0.0, 5e-324, 2.2250738585072014e-308, 1e-5, 1e-6, 1e15, 1e16, 2.0, 123.45, 1.5e-7]),
    st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=["Cs"])),
    st.text(alphabet="\x00\x01\x08\t\n\x0b\x0c\r\x1f\"\\/\x7fé😀"),
)
keys = st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=["Cs"]), max_size=12)
values = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=5),
                                                        st.dictionaries(keys, inner, max_size=5)), max_leaves=30)


def stored_text(core, code):
    seen = []
    real = json.loads
    json.loads = lambda text: seen.append(text) or real(text)
    try:
        core.get(code)
    finally:
        json.loads = real
    return seen[0]


def same(a, b):
    """Equal values, equal types and equal key order at every level."""
    todo = [(a, b)]
    while todo:
        x, y = todo.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, float):
            if not (x == y and str(x) == str(y)):  # -0.0 against 0.0
                return False
        elif isinstance(x, dict):
            if list(x) != list(y):
                return False
            todo.extend((x[k], y[k]) for k in x)
        elif isinstance(x, list):
            if len(x) != len(y):
                return False
            todo.extend(zip(x, y))
        elif x != y:
            return False
    return True


def check(core, code):
    expected = json.loads(stored_text(core, code))
    assert same(core.get(code), expected)
    assert all(same(v, expected) for v in core.get_many([code, code]))


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(keys, values, max_size=6))
def test_random_payloads(payload):
    core = MetadataCore()
    core.add_record_payload({**payload, "code": "c"})
    check(core, "c")


@settings(max_examples=40, deadline=None)
@given(st.lists(st.dictionaries(keys, values, max_size=4), min_size=1, max_size=4))
def test_after_snapshot(tmp_path_factory, payloads):
    tmp = tmp_path_factory.mktemp("s")
    core = MetadataCore()
    for i, p in enumerate(payloads):
        core.add_record_payload({**p, "code": f"c{i}"})
    core.save_snapshot(str(tmp / "f"), str(tmp / "i"))
    loaded = MetadataCore()
    loaded.load_snapshot(str(tmp / "f"), str(tmp / "i"))
    for i in range(len(payloads)):
        check(loaded, f"c{i}")


# Texts around every UTF-8 length boundary and the surrogate gap, ASCII and
# Latin-1 only texts (one-byte strs), BMP and non-BMP ones, short enough to
# be shared through the string caches and too long for them.
BOUNDARY_CHARS = ["\x7f", "\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\ufffd",
                  "\uffff", "\U00010000", "\U0001f600", "\U0010ffff"]
TEXTS = [
    pytest.param("", id="010-empty"),
    pytest.param("SH", id="020-ascii"),
    pytest.param("Asia.China.Shanghai", id="030-dotted"),
    pytest.param("é", id="040-two-byte"),
    pytest.param("café", id="050-ascii-then-two-byte"),
    pytest.param("北京", id="060-three-byte"),
    pytest.param("国泰基金管理有限公司", id="070-three-byte-long"),
    pytest.param("😀", id="080-four-byte"),
    pytest.param("a😀b", id="090-four-byte-inside"),
    pytest.param("x" * 48, id="100-ascii-48"),
    pytest.param("x" * 49, id="110-ascii-49"),
    pytest.param("é" * 24, id="120-two-byte-24"),
    pytest.param("é" * 25, id="130-two-byte-25"),
    pytest.param("北" * 16, id="140-three-byte-16"),
    pytest.param("北" * 17, id="150-three-byte-17"),
    pytest.param("北" * 85 + "a", id="160-three-byte-85-then-ascii"),
    pytest.param("北" * 86, id="170-three-byte-86"),
    pytest.param("北" * 300, id="180-three-byte-300"),
    pytest.param("a" * 299 + "😀", id="190-ascii-299-then-four-byte"),
    pytest.param("tab\tquote\"北\\", id="200-escapes-and-non-ascii"),
    pytest.param("\x00北", id="210-nul-then-non-ascii"),
    pytest.param("北\n" * 40, id="220-non-ascii-and-line-feeds"),
] + [pytest.param(c * k, id=f"boundary-u{ord(c):04x}-x{k}") for c in BOUNDARY_CHARS for k in (1, 2, 17)]


@pytest.mark.parametrize("text", TEXTS)
def test_strings(core, text):
    core.add_record_payload({"code": "s", "v": text, text: [text, {text: text}], "w": "pre" + text})
    check(core, "s")
    assert core.get("s")["v"] == text


@pytest.mark.parametrize("value, stored", [
    ("\ud800", "\ufffd"), ("\udfffx", "\ufffdx"), ("a\ud83db", "a\ufffdb"), ("北\udc80", "北\ufffd"),
    ("\\ud800", "\\ud800"), ("\\udc00\\u0041", "\\udc00\\u0041"),
])
def test_lone_surrogates_as_stored(core, value, stored):
    # A lone surrogate cannot be stored: ingestion replaces it, and an escaped
    # one in a snapshot is refused.  What can be stored is its replacement or
    # the escape's characters, and both come back as json.loads gives them.
    core.add_record_payload({"code": "s", "v": value, "l": [value]})
    check(core, "s")
    assert core.get("s")["v"] == stored


def test_shared_strings_many_records(core):
    # More distinct short keys and values than the caches hold, read back in
    # two rounds: whatever the caches keep or evict, every payload is the
    # oracle's.
    n = 1500
    for i in range(n):
        core.add_record_payload({"code": f"c{i}", "market": ["SH", "SZ", "北交所"][i % 3], f"k{i % 700}": f"v{i}",
                                 f"键{i % 600}": f"值{i % 900}", "list": [f"e{i % 5}", f"名{i}"]})
    for _ in range(2):
        for i in range(0, n, 7):
            check(core, f"c{i}")
    got = core.get_many([f"c{i}" for i in range(n)])
    assert [g["code"] for g in got] == [f"c{i}" for i in range(n)]
    assert all(g[f"键{i % 600}"] == f"值{i % 900}" for i, g in enumerate(got))


def nested(depth):
    v = {"leaf": 1.5}
    for i in range(depth - 1):
        v = [v] if i % 2 else {"k": v}
    return v


@pytest.mark.parametrize("depth", [1, 2, 126, 127, 128, 511, 512, 513, 700])
def test_nesting(core, depth):
    try:
        core.add_record_payload({"code": "d", "v": nested(depth)})
    except RecursionError:
        pytest.skip("deeper than ingestion accepts here")
    check(core, "d")


def test_deeper_than_json_accepts(core):
    limit = sys.getrecursionlimit()
    core.add_record_payload({"code": "d", "v": nested(min(limit - 100, 1800))})
    text = stored_text(core, "d")
    sys.setrecursionlimit(200)
    try:
        # Whether json.loads counts its nesting against this limit depends on
        # the interpreter version (3.13's scanner checks the C stack instead):
        # get must do exactly what it does.
        try:
            expected = json.loads(text)
        except RecursionError:
            expected = RecursionError
        if expected is RecursionError:
            with pytest.raises(RecursionError):
                core.get("d")
        else:
            assert core.get("d") == expected
    finally:
        sys.setrecursionlimit(limit)


@pytest.fixture
def filled(core):
    core.add_record_payload({"code": "a", "b": [1, 2.5, "x"], "c": {"d": None}})
    return core


def test_replacements(filled, monkeypatch):
    standard = filled.get("a")
    text = stored_text(filled, "a")
    monkeypatch.setattr(json, "loads", lambda t: ("replaced", t))
    assert filled.get("a") == ("replaced", text)
    assert filled.get_many(["a"]) == [("replaced", text)]
    monkeypatch.undo()
    assert same(filled.get("a"), standard)

    fake = types.ModuleType("json")
    fake.loads = lambda t: "fake module"
    monkeypatch.setitem(sys.modules, "json", fake)
    assert filled.get("a") == "fake module"
    monkeypatch.setitem(sys.modules, "json", 42)
    with pytest.raises(AttributeError):
        filled.get("a")
    monkeypatch.undo()

    class Decoder(json.JSONDecoder):
        def decode(self, s):
            return "subclass"

    monkeypatch.setattr(json, "_default_decoder", Decoder())
    assert filled.get("a") == "subclass"
    monkeypatch.undo()
    monkeypatch.setattr(json._default_decoder, "scan_once", lambda s, i: ("scanner", len(s)))
    assert filled.get("a") == "scanner"
    monkeypatch.undo()
    monkeypatch.setattr(json.JSONDecoder, "decode", lambda self, s: "class patched")
    assert filled.get("a") == "class patched"
    monkeypatch.undo()
    monkeypatch.setitem(json.loads.__kwdefaults__, "parse_float", lambda s: "pf")
    assert filled.get("a")["b"][1] == "pf"
    monkeypatch.undo()
    assert same(filled.get("a"), standard)

    import builtins
    real_import = builtins.__import__

    calls = []

    def hook(name, *args, **kwargs):
        # PyImport_Import answers from sys.modules after calling the hook.
        calls.append(name)
        if name == "json":
            sys.modules["json"] = fake
        return real_import(name, *args, **kwargs)

    monkeypatch.setitem(sys.modules, "json", json)
    monkeypatch.setattr(builtins, "__import__", hook)
    assert filled.get("a") == "fake module"
    assert "json" in calls
    monkeypatch.undo()
    assert same(filled.get("a"), standard)


def test_reload(filled):
    standard = filled.get("a")
    importlib.reload(json)
    assert same(filled.get("a"), standard)
    assert same(filled.get_many(["a"])[0], standard)


def test_after_failed_load(filled, tmp_path):
    standard = filled.get("a")
    bad = tmp_path / "bad"
    bad.write_bytes(b"garbage")
    with pytest.raises(ValueError):
        filled.load_snapshot(str(bad), str(bad))
    assert same(filled.get("a"), standard)
    assert same(filled.get_many(["a", "x", "a"])[1], standard)
