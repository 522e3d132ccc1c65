"""Property tests of the whole Python API against a small model of the engine.

A hypothesis state machine drives one MetadataCore with random records
(nested dicts, lists, tuples, sets, floats with NaN and infinities, big ints,
strings with lone surrogates, objects whose __str__, __index__ or __float__
raise or return odd things), random filters, texts and code lists, and
saved snapshots with flipped, cut or appended bytes.  The model replays only
the calls that succeeded.  The invariant after every step: a call either
raises the exception the model predicts, or returns the model's answer; and
the engine stays consistent: filter({}), get, get_many, find, filter and a
save/load round trip agree with the model.
"""
import json
import math
import os
import shutil
import tempfile
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from vedra_runtime import MetadataCore

from models import post_keys, reloaded, trim

INT64 = (-(2**63), 2**63 - 1)


class Abort(BaseException):
    """Not an Exception: conversions must let it through unchanged."""


# --- odd objects ----------------------------------------------------------------
# Each knows what the engine must make of it: `expected` is the JSON value it
# converts to, or an exception class the conversion must raise.

class StrRaises:
    expected = ValueError

    def __str__(self):
        raise ValueError("odd __str__")


class StrAborts:
    expected = Abort

    def __str__(self):
        raise Abort()


class StrNotStr:
    expected = TypeError

    def __str__(self):
        return 5  # the interpreter refuses a non-str result


class StrSurrogates:
    expected = "\ufffdodd\ufffd"

    def __str__(self):
        return "\ud800odd\udfff"


class StrSubclassResult:
    class S(str):
        pass
    expected = " padded ", "padded"

    def __str__(self):
        return self.S(" padded ")


class IndexHuge:
    expected = float(2**70)

    def __index__(self):
        return 2**70


class IndexSmall:
    expected = -7

    def __index__(self):
        return -7


class FloatNan:
    expected = None

    def __float__(self):
        return math.nan


class FloatRaisesThenStr:
    expected = "fallback"

    def __float__(self):
        raise ArithmeticError("no float")

    def __str__(self):
        return "fallback"


class IndexAborts:
    expected = Abort

    def __index__(self):
        raise Abort()


ODD_CLASSES = [StrRaises, StrAborts, StrNotStr, StrSurrogates, StrSubclassResult, IndexHuge, IndexSmall,
               FloatNan, FloatRaisesThenStr, IndexAborts]


class Reentrant:
    """str() calls back into the engine while the call holds its borrow."""
    expected = RuntimeError
    core = None

    def __str__(self):
        Reentrant.core.get("x")  # shared borrow inside an exclusive one: RuntimeError
        return "unreachable"


# --- the model of the conversions -------------------------------------------------

def lossy(s):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in s)


def odd_json(obj):
    e = type(obj).expected
    if isinstance(e, type) and issubclass(e, BaseException):
        raise e()
    if isinstance(e, tuple):  # (json form, value_to_text form)
        return e[0]
    return e


def model_json(obj):
    """What get() returns for a payload member `obj`, or raises what the engine must raise."""
    if obj is None:
        return None
    if isinstance(obj, dict):
        members = []
        for k, v in obj.items():
            if not isinstance(k, str):
                raise TypeError
            members.append((k.encode("utf-8"), model_json(v)))  # lone surrogate: UnicodeEncodeError
        members.sort(key=lambda m: m[0])
        return {k.decode("utf-8"): v for k, v in members}
    if isinstance(obj, (list, tuple, set)):
        return [model_json(x) for x in obj]
    if isinstance(obj, str):
        return lossy(obj)
    if isinstance(obj, bool):
        return obj
    if type(obj) in ODD_CLASSES or isinstance(obj, Reentrant):
        return odd_json(obj)
    if isinstance(obj, int):
        if INT64[0] <= obj <= INT64[1]:
            return obj
        try:
            d = float(obj)
        except OverflowError:
            return str(obj)
        return d if math.isfinite(d) else None
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    return lossy(str(obj))


def number_text(d):
    """json_number_text: shortest digits, positional for exponents -5..15."""
    if d == 0:
        return "-0.0" if math.copysign(1, d) < 0 else "0.0"
    sign, digits, exp = Decimal(repr(d)).normalize().as_tuple()
    digits = "".join(map(str, digits))
    e = exp + len(digits) - 1  # decimal exponent of the first digit
    out = "-" if sign else ""
    if -5 <= e <= 15:
        if e < 0:
            return out + "0." + "0" * (-e - 1) + digits
        if len(digits) - 1 <= e:
            return out + digits + "0" * (e - len(digits) + 1) + ".0"
        return out + digits[:e + 1] + "." + digits[e + 1:]
    mant = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{out}{mant}e{'-' if e < 0 else '+'}{abs(e)}"


def flatten(field, value, out):
    """flatten_json_value over a converted JSON value."""
    if value is None:
        return
    if isinstance(value, bool):
        out.append((field, "True" if value else "False"))
    elif isinstance(value, int):
        out.append((field, str(value)))
    elif isinstance(value, float):
        out.append((field, number_text(value)))
    elif isinstance(value, str):
        if trim(value):
            out.append((field, trim(value)))
    elif isinstance(value, list):
        for item in value:
            flatten(field, item, out)
    else:
        for k, v in value.items():
            flatten(f"{field}.{k}" if field else k, v, out)


def join_fields(collected):
    fields = {}
    for field, text in collected:
        if text and text not in fields.setdefault(field, []):
            fields[field].append(text)
    return {f: "|".join(vs) for f, vs in fields.items() if vs}


class Record:
    def __init__(self, code, name, pinyin, fields, payload):
        self.code, self.name, self.pinyin, self.payload, self.fields = code, name, pinyin, payload, fields
        self.keys = {"code": post_keys(code), "name": post_keys(name)}
        for field, joined in fields.items():
            self.keys.setdefault(field, set()).update(post_keys(joined))

    def patterns(self):
        out = [trim(self.code), trim(self.name)] + [trim(p) for p in self.pinyin.split("|")]
        return [p for p in out if p]


def default_payload(code, name, pinyin):
    return {"asset_type": "", "attributes": {}, "categories": {}, "code": code, "market": "",
            "name": name, "pinyin": pinyin, "region": ""}


def model_payload_record(record):
    """(Record, payload) for add_record_payload(record), or raises the expected exception."""
    payload = model_json(record)
    s = lambda key: payload.get(key) if isinstance(payload.get(key), str) else ""  # noqa: E731
    collected = [(f, s(f)) for f in ("market", "asset_type", "region") if s(f)]
    for group in ("categories", "attributes"):
        if isinstance(payload.get(group), dict):
            for k, v in payload[group].items():
                flatten(k, v, collected)
    return Record(s("code"), s("name"), s("pinyin"), join_fields(collected), payload)


def leftmost_longest(patterns, text):
    """Codes found by a naive leftmost-longest scan over UTF-8 bytes."""
    hay = text.encode("utf-8")
    pats = [(p.encode("utf-8"), owner) for p, owner in patterns]
    found, at = set(), 0
    while at < len(hay):
        best = None
        for s in range(at, len(hay)):
            for p, owner in pats:
                if hay.startswith(p, s) and (best is None or len(p) > len(best[0])):
                    best = (p, owner)
            if best:
                found.add(best[1])
                at = s + len(best[0])
                break
        else:
            break
    return sorted(found, key=lambda c: c.encode("utf-8"))


# --- strategies ------------------------------------------------------------------

text_chars = st.sampled_from(list("ab.|xyZ09 ") + ["\t", "\u3000", "茅", "台", "é", "\ud800", "\udfff", "\x00", '"'])
texts = st.text(text_chars, max_size=8)
plain_texts = st.text(st.sampled_from(list("ab.|xyZ09 茅台")), max_size=8)
odd_objects = st.sampled_from(ODD_CLASSES).map(lambda cls: cls())
scalars = st.one_of(
    st.none(), st.booleans(), texts,
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([2**1100, -(2**1100), 2**63, -(2**63), 2**64 - 1]),
    st.floats(allow_nan=True, allow_infinity=True),
    odd_objects,
)
json_like = st.recursive(
    scalars,
    lambda kids: st.one_of(
        st.lists(kids, max_size=4),
        st.lists(kids, max_size=4).map(tuple),
        st.sets(st.one_of(plain_texts, st.integers(-5, 5)), max_size=4),
        st.dictionaries(texts, kids, max_size=4),
    ),
    max_leaves=12,
)
record_payloads = st.fixed_dictionaries(
    {"code": st.one_of(plain_texts, texts)},
    optional={
        "name": st.one_of(plain_texts, texts, st.integers()),
        "pinyin": st.one_of(plain_texts, texts),
        "market": st.one_of(plain_texts, texts, st.none()),
        "region": st.one_of(plain_texts, st.just("Asia.China.Beijing")),
        "asset_type": json_like,
        "categories": st.one_of(st.dictionaries(plain_texts, json_like, max_size=3), json_like),
        "attributes": st.dictionaries(plain_texts, json_like, max_size=3),
        "extra": json_like,
    },
)


class EngineMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.core = MetadataCore()
        Reentrant.core = self.core
        self.records = []       # Record per successful add, in record order
        self.built = []         # (pattern, owner code) at the last build
        self.dir = tempfile.mkdtemp(prefix="vedra_api_fuzz_")
        self.saved = None       # (records, file bytes) of the last good save

    def teardown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- helpers ---------------------------------------------------------------

    def expect(self, model_call, engine_call):
        """Runs the model, then the engine; both must fail alike or both succeed."""
        try:
            expected = model_call()
        except BaseException as e:  # noqa: B036 - Abort is deliberate
            with pytest.raises(type(e)):
                engine_call()
            return None, False
        return (expected, engine_call()), True

    def all_patterns(self):
        return [(p, r.code) for r in self.records for p in r.patterns()]

    def latest(self, code):
        for r in reversed(self.records):
            if r.code == code:
                return r
        return None

    # -- ingestion -----------------------------------------------------------

    @rule(record=record_payloads)
    def add_record_payload(self, record):
        result, ok = self.expect(lambda: model_payload_record(record), lambda: self.core.add_record_payload(record))
        if ok:
            assert result[1] is None
            self.records.append(result[0])

    @rule(code=texts, name=texts, pinyin=texts,
          fields=st.dictionaries(plain_texts, st.one_of(plain_texts, st.lists(plain_texts, max_size=3)), max_size=3),
          payload=st.one_of(st.none(), st.dictionaries(texts, json_like, max_size=3)))
    def add_record(self, code, name, pinyin, fields, payload):
        def model():
            for s in (code, name, pinyin):
                s.encode("utf-8")  # UnicodeEncodeError for a lone surrogate
            p = default_payload(code, name, pinyin) if payload is None else model_json(payload)
            collected = []
            for f, v in fields.items():
                for item in (v if isinstance(v, list) else [v]):
                    if trim(item):
                        collected.append((f, trim(item)))
            return Record(code, name, pinyin, join_fields(collected), p)
        result, ok = self.expect(model, lambda: self.core.add_record(code, name, pinyin, fields, payload))
        if ok:
            self.records.append(result[0])

    @rule(bad=st.sampled_from(["non_str_key", "deep", "reentrant", "not_dict", "surrogate_key", "bad_field"]))
    def failing_ingestion(self, bad):
        deep = []
        for _ in range(5000):
            deep = [deep]
        calls = {
            "non_str_key": (TypeError, lambda: self.core.add_record_payload({"code": "z", 1: "x"})),
            "deep": (RecursionError, lambda: self.core.add_record_payload({"code": "z", "x": deep})),
            "reentrant": (RuntimeError, lambda: self.core.add_record_payload({"code": "z", "x": Reentrant()})),
            "not_dict": (TypeError, lambda: self.core.add_record_payload([("code", "z")])),
            "surrogate_key": (UnicodeEncodeError, lambda: self.core.add_record_payload({"code": "z", "\ud800": 1})),
            "bad_field": (ValueError, lambda: self.core.add_record("z", "n", "p", {"f": [StrRaises()]})),
        }
        exc, call = calls[bad]
        with pytest.raises(exc):
            call()

    @rule()
    def build(self):
        self.core.build()
        self.built = self.all_patterns()

    # -- queries -------------------------------------------------------------

    @rule(data=st.data())
    def find(self, data):
        pieces = [p for p, _ in self.all_patterns()] + ["", " ", "x", "茅", "a.b"]
        parts = data.draw(st.lists(st.one_of(st.sampled_from(pieces), plain_texts), max_size=6))
        text = data.draw(plain_texts).join(parts)
        assert self.core.find(text) == leftmost_longest(self.built, text)

    @rule(text=texts)
    def find_any_text(self, text):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            with pytest.raises(UnicodeEncodeError):
                self.core.find(text)
            return
        assert self.core.find(text) == leftmost_longest(self.built, text)

    @rule(data=st.data())
    def filter(self, data):
        fields = sorted({f for r in self.records for f in r.keys}) + ["code", "missing"]
        keys = sorted({k for r in self.records for ks in r.keys.values() for k in ks}) + ["", "zz"]
        key_st = st.sampled_from(fields).flatmap(lambda f: st.sampled_from([f, f + "__not", f + "__not__not"]))
        value_st = st.one_of(
            st.sampled_from(keys), st.none(), plain_texts,
            st.lists(st.sampled_from(keys), max_size=3),
            st.lists(st.sampled_from(keys), max_size=3).map(tuple),
            st.sets(st.sampled_from(keys), max_size=3),
            st.sampled_from(keys).map(lambda k: " " + k + "\u3000"),
        )
        spec = data.draw(st.dictionaries(key_st, value_st, max_size=3))
        raising = data.draw(st.booleans())
        if raising:
            spec[data.draw(st.sampled_from(fields))] = [StrRaises()]
        result = list(range(len(self.records)))
        for key, value in spec.items():
            if isinstance(value, list) and value and isinstance(value[0], StrRaises):
                continue
            field, negate = key, False
            while field.endswith("__not"):
                field, negate = field[:-5], True
            items = value if isinstance(value, (list, tuple, set)) else [value]
            wanted = {trim(v) for v in items if v is not None}
            hit = {i for i, r in enumerate(self.records) if r.keys.get(field, set()) & wanted}
            result = [i for i in result if (i in hit) != negate]
        want = [self.records[i].code for i in result]
        if raising:
            try:
                got = self.core.filter(spec)
            except ValueError:
                return
            assert got == [] and want == []  # only an emptied result may skip the bad value
        else:
            assert self.core.filter(spec) == want

    @rule(data=st.data())
    def get_many(self, data):
        codes = [r.code for r in self.records] + ["missing", ""]
        wanted = data.draw(st.lists(st.sampled_from(codes), max_size=5))
        want = [self.latest(c).payload for c in wanted if self.latest(c) is not None]
        assert self.core.get_many(wanted) == want
        assert self.core.get_many(tuple(wanted)) == want

    @rule(bad=st.sampled_from([None, 5, "ab", {"a": 1}, [1], ["\ud800"], [StrRaises()]]))
    def failing_queries(self, bad):
        with pytest.raises((TypeError, UnicodeEncodeError)):
            self.core.get_many(bad)
        if not isinstance(bad, str):
            with pytest.raises(TypeError):
                self.core.find(bad)
        if not isinstance(bad, dict):
            with pytest.raises(TypeError):
                self.core.filter(bad)
        with pytest.raises(TypeError):
            self.core.filter({1: "x"})
        with pytest.raises(UnicodeEncodeError):
            self.core.get("\udc80")

    # -- snapshots -----------------------------------------------------------

    def paths(self, tag):
        return os.path.join(self.dir, tag + ".full"), os.path.join(self.dir, tag + ".index")

    @rule()
    def save(self):
        full, index = self.paths("good")
        self.core.save_snapshot(full, index, os.path.join(self.dir, "manifest.json"))
        self.saved = (list(self.records), open(full, "rb").read(), open(index, "rb").read())

    @precondition(lambda self: self.saved is not None)
    @rule()
    def load_good(self):
        full, index = self.paths("good")
        records, full_bytes, index_bytes = self.saved
        with open(full, "wb") as f:
            f.write(full_bytes)
        with open(index, "wb") as f:
            f.write(index_bytes)
        self.core.load_snapshot(full, index)
        self.records = list(records)
        self.adopt_loaded_payloads()

    def adopt_loaded_payloads(self):
        # A load gives every record the payload of the newest record with its code.
        latest = {}
        for r in self.records:
            latest[r.code] = r.payload
        fresh = []
        for r in self.records:
            copy = object.__new__(Record)
            copy.__dict__.update(r.__dict__)
            copy.payload = latest[r.code]
            fresh.append(copy)
        self.records = fresh
        self.built = self.all_patterns()

    @precondition(lambda self: self.saved is not None)
    @rule(data=st.data(), which=st.sampled_from(["full", "index"]),
          damage=st.sampled_from(["flip", "cut", "append", "header"]))
    def load_damaged(self, data, which, damage):
        _, full_bytes, index_bytes = self.saved
        blob = bytearray(full_bytes if which == "full" else index_bytes)
        if damage == "flip":
            for _ in range(data.draw(st.integers(1, 4))):
                i = data.draw(st.integers(0, len(blob) - 1))
                blob[i] ^= 1 << data.draw(st.integers(0, 7))
        elif damage == "cut":
            del blob[data.draw(st.integers(0, len(blob) - 1)):]
        elif damage == "append":
            blob += data.draw(st.binary(min_size=1, max_size=64))
        else:
            offset = data.draw(st.sampled_from([12, 20, 24]))
            blob[offset:offset + 8 if offset != 20 else offset + 4] = data.draw(
                st.binary(min_size=8 if offset != 20 else 4, max_size=8 if offset != 20 else 4))
        full, index = self.paths("damaged")
        with open(full, "wb") as f:
            f.write(bytes(blob) if which == "full" else full_bytes)
        with open(index, "wb") as f:
            f.write(bytes(blob) if which == "index" else index_bytes)
        try:
            self.core.load_snapshot(full, index)
        except ValueError as e:
            assert str(e)
            return  # the engine is unchanged: the invariants check it against the model
        # The damage happened to leave a loadable snapshot: whatever it holds must
        # survive its own round trip; then go back to the good snapshot.
        self.check_round_trip_of_current_state()
        self.load_good()

    def check_round_trip_of_current_state(self):
        full, index = self.paths("again")
        self.core.save_snapshot(full, index)
        other = MetadataCore()
        other.load_snapshot(full, index)
        codes = self.core.filter({})
        assert other.filter({}) == codes
        assert other.get_many(codes) == self.core.get_many(codes)

    # -- invariants ----------------------------------------------------------

    @invariant()
    def agrees_with_model(self):
        codes = [r.code for r in self.records]
        assert self.core.filter({}) == codes
        for code in set(codes[-5:]) | {"missing"}:
            r = self.latest(code)
            assert self.core.get(code) == (r.payload if r else None)

    @invariant()
    def round_trip_agrees(self):
        if len(self.records) % 3:
            return  # every few steps is enough
        full, index = self.paths("round")
        self.core.save_snapshot(full, index)
        other = MetadataCore()
        other.load_snapshot(full, index)
        codes = [r.code for r in self.records]
        assert other.filter({}) == codes
        assert other.get_many(codes) == [self.latest(c).payload for c in codes]
        for r in self.records[-3:]:
            for p in r.patterns()[:2]:
                assert other.find(f"<{p}>") == leftmost_longest(self.all_patterns(), f"<{p}>")


EngineMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("VEDRA_API_FUZZ_EXAMPLES", "40")),
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestEngineMachine = EngineMachine.TestCase


# --- direct properties ---------------------------------------------------------------

@given(json_like)
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_payload_conversion_matches_model(value):
    core = MetadataCore()
    try:
        expected = model_json({"code": "c", "v": value})
    except BaseException as e:  # noqa: B036
        with pytest.raises(type(e)):
            core.add_record_payload({"code": "c", "v": value})
        assert core.filter({}) == []
        return
    core.add_record_payload({"code": "c", "v": value})
    assert core.get("c") == expected
    assert core.filter({}) == ["c"]


def test_mutating_callbacks_do_not_corrupt(tmp_path):
    """__str__ callbacks that change the containers being converted."""
    core = MetadataCore()
    target = {"code": "m", "a": 1}
    items = ["x"]

    class Mutator:
        def __str__(self):
            target.clear()
            target.update({f"k{i}": i for i in range(50)})
            items.clear()
            items.extend(range(100))
            return "mutated"

    target["z"] = Mutator()
    items.append(Mutator())
    for record in (target, {"code": "n", "list": items}):
        try:
            core.add_record_payload(record)
        except Exception:
            pass
    codes = core.filter({})
    assert len(codes) <= 2
    other = reloaded(core, tmp_path)
    assert other.filter({}) == codes
    assert other.get_many(codes) == core.get_many(codes)
    json.dumps(core.get_many(codes))


def test_duplicate_utf8_keys_from_str_subclasses(tmp_path):
    """Two distinct dict keys with the same text: the last one wins, as when a
    JSON object repeats a key, and the payload stays loadable."""
    class Key(str):
        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    core = MetadataCore()
    core.add_record_payload({"code": "d", Key("k"): 1, Key("k"): 2, "attributes": {Key("a"): "x", Key("a"): "y"}})
    value = core.get("d")
    assert value["k"] == 2
    other = reloaded(core, tmp_path)
    assert other.get("d") == value
    assert other.filter({}) == ["d"]
    assert other.filter({"a": "y"}) == ["d"] and other.filter({"a": "x"}) == []


SHAPE_KEYS = ["a", "b", "ab", "", "\u00e9", "b\x00", 'k"', "z" * 20, "attributes", "market"]


class Twin(str):
    """A key with the text of another but a dict key of its own."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


@given(st.lists(st.lists(st.tuples(st.integers(0, len(SHAPE_KEYS) - 1), st.integers(0, 2), st.booleans()),
                         max_size=6), min_size=1, max_size=40))
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_one_engine_over_repeating_key_sequences(records):
    """One engine takes records that repeat, permute and share key sequences (plain, twin and decoded keys):
    each payload is the model's, member order included, and its fields are posted as the model says."""
    core = MetadataCore()
    made = []
    for i, members in enumerate(records):
        record = {}
        for k, v, twin in members:
            key = Twin(SHAPE_KEYS[k]) if twin else SHAPE_KEYS[k]
            record[key] = {SHAPE_KEYS[(k + i) % len(SHAPE_KEYS)]: str(i), "x": [v]} if v == 2 else v
        record["code"] = f"r{i}"
        if i % 2 and not any(twin for _, _, twin in members):
            record = json.loads(json.dumps(record))
        core.add_record_payload(record)
        made.append(model_payload_record(record))
    for r in made:
        assert json.dumps(core.get(r.code)) == json.dumps(r.payload)
        for field, keys in r.keys.items():
            for key in keys:
                assert r.code in core.filter({field: key})


def test_more_key_sequences_than_remembered():
    core = MetadataCore()
    records = [{"code": f"c{i}", f"k{i % 700}": i, "attributes": {f"a{i % 300}": "v", "b": i % 5}}
               for i in range(1400)]
    for r in records:
        core.add_record_payload(r)
    got = core.get_many([r["code"] for r in records])
    assert [json.dumps(g) for g in got] == [json.dumps(model_json(r)) for r in records]
    assert core.filter({"a7": "v"}) == [f"c{i}" for i in range(7, 1400, 300)]


def test_number_text_model():
    for d, text in [(1.0, "1.0"), (1e16, "1e+16"), (1.5e-7, "1.5e-7"), (123.456, "123.456"), (-0.0, "-0.0"),
                    (1e15, "1000000000000000.0"), (0.0001, "0.0001"), (1e-5, "0.00001"), (1e-6, "1e-6")]:
        assert number_text(d) == text
    core = MetadataCore()
    core.add_record_payload({"code": "n", "attributes": {"v": [1e16, 1.5e-7, 1e15, 1e-5]}})
    assert core.filter({"v": ["1e+16", "1.5e-7", "1000000000000000.0", "0.00001"]}) == ["n"]
