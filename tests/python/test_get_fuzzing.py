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
