"""add_record_payload: whole-record ingestion, python_to_json and flattening."""
import json

import pytest

from test_add_record import saved_fields


WORKED = {
    "code": "100001.XA",
    "name": "Example",
    "pinyin": "ex|example",
    "market": "XA",
    "categories": {"industry": {"l1": "Bank", "l2": "Bank.Joint"}, "concept": ["A", "B", "A"]},
    "attributes": {"lot": 100, "st": False, "note": None},
}


class TestFlattening:
    def test_worked_example(self, core, tmp_path):
        core.add_record_payload(WORKED)
        assert saved_fields(core, tmp_path)[0] == {
            "concept": "A|B", "industry.l1": "Bank", "industry.l2": "Bank.Joint",
            "lot": "100", "market": "XA", "st": "False",
        }
        assert core.filter({"code": "100001"}) == ["100001.XA"]
        assert core.filter({"code": "100001.XA"}) == ["100001.XA"]
        assert core.filter({"industry.l2": "Bank"}) == ["100001.XA"]
        assert core.filter({"industry.l2": "Bank.Joint"}) == ["100001.XA"]
        assert core.filter({"concept": ["B"]}) == ["100001.XA"]
        payload = core.get("100001.XA")
        assert payload == WORKED and list(payload) == sorted(WORKED)

    @pytest.mark.parametrize(
        "record,fields",
        [
            pytest.param({}, {}, id="010-empty-record"),
            pytest.param({"categories": ["A", "B"]}, {}, id="020-categories-list-ignored"),
            pytest.param({"categories": {"tags": ["A", "B"]}}, {"tags": "A|B"}, id="030-categories-object"),
            pytest.param({"attributes": {"p": {"q": {"r": "x"}}}}, {"p.q.r": "x"}, id="040-nested-object-dotted"),
            pytest.param({"attributes": {"": {"r": "x"}}}, {"r": "x"}, id="050-empty-key-no-prefix"),
            pytest.param({"market": "SH", "categories": {"market": ["SZ", "SH"]}}, {"market": "SH|SZ"}, id="060-categories-market-after-market"),
            pytest.param({"market": " SH "}, {"market": " SH "}, id="070-top-level-market-untrimmed"),
            pytest.param({"categories": {"m": " SH "}}, {"m": "SH"}, id="080-nested-value-trimmed"),
            pytest.param({"attributes": {"f": 2.0, "i": 2, "t": True, "big": 2**64}},
             {"f": "2.0", "i": "2", "t": "True", "big": "1.8446744073709552e+19"}, id="090-number-texts"),
            pytest.param({"attributes": {"small": 1.5e-7, "huge": 1e16, "neg": -3}},
             {"small": "1.5e-7", "huge": "1e+16", "neg": "-3"}, id="100-double-exponents"),
            pytest.param({"region": 5, "asset_type": "stock"}, {"asset_type": "stock"}, id="110-mistyped-scalar-ignored"),
        ],
    )
    def test_fields(self, core, tmp_path, record, fields):
        core.add_record_payload(record)
        assert dict(saved_fields(core, tmp_path)[0]) == fields

    def test_untrimmed_market_posted_as_is(self, core):
        core.add_record_payload({"code": "c", "market": " SH "})
        assert core.filter({"market": " SH "}) == []  # query texts are trimmed
        assert core.filter({"market": "SH"}) == []

    def test_numeric_code_gives_empty_code(self, core):
        core.add_record_payload({"code": 100001, "name": "n"})
        assert core.get("")["code"] == 100001
        assert core.filter({"name": "n"}) == [""]


class TestPythonToJson:
    @pytest.mark.parametrize(
        "value,stored",
        [
            pytest.param({"b": 1, "a": 2}, {"a": 2, "b": 1}, id="010-dict-keys-sorted"),
            pytest.param((1, "x"), [1, "x"], id="020-tuple-to-array"),
            pytest.param({3}, [3], id="030-set-to-array"),
            pytest.param(frozenset({3}), "frozenset({3})", id="040-frozenset-str"),
            pytest.param(b"ab", "b'ab'", id="050-bytes-str"),
            pytest.param(float("inf"), None, id="060-inf-null"),
            pytest.param(float("nan"), None, id="070-nan-null"),
            pytest.param(2**63, 9.223372036854776e18, id="080-int-past-i64-double"),
            pytest.param(2**64, 1.8446744073709552e19, id="090-int-past-u64-double"),
            pytest.param(-(2**63), -(2**63), id="100-i64-min"),
            pytest.param(10**400, "1" + "0" * 400, id="110-int-400-digits-str"),
            pytest.param("\udc80", "\ufffd", id="120-lone-surrogate-replaced"),
            pytest.param(True, True, id="130-true"),
        ],
    )
    def test_values(self, core, value, stored):
        core.add_record_payload({"code": "c", "v": value})
        got = core.get("c")["v"]
        assert got == stored and type(got) is type(stored)

    def test_nested_key_order(self, core):
        core.add_record_payload({"code": "c", "z": {"b": 1, "a": {"d": 1, "c": 2}}})
        got = core.get("c")
        assert list(got) == ["code", "z"] and list(got["z"]) == ["a", "b"] and list(got["z"]["a"]) == ["c", "d"]

    def test_key_sort_is_by_bytes(self, core):
        core.add_record_payload({"code": "c", "b": 1, "a": 1, "B": 1, "é": 1, "z": 1})
        keys = ["B", "a", "b", "code", "z", "é"]
        assert list(core.get("c")) == sorted(keys, key=str.encode)

    @pytest.mark.parametrize("bad_key", [pytest.param(1, id="010-int-key"), pytest.param(None, id="020-none-key"), pytest.param(("t",), id="030-tuple-key")])
    def test_non_str_key(self, core, bad_key):
        with pytest.raises(TypeError, match="object is not an instance of 'str'|'None' is not an instance"):
            core.add_record_payload({"code": "c", "x": {bad_key: 1}})
        assert core.get("c") is None

    def test_surrogate_key(self, core):
        with pytest.raises(UnicodeEncodeError):
            core.add_record_payload({"code": "c", "\ud800": 1})

    def test_str_raises(self, core):
        class Bad:
            def __str__(self):
                raise ValueError("nope")

        with pytest.raises(ValueError, match="nope"):
            core.add_record_payload({"code": "c", "x": [Bad()]})
        assert core.filter({}) == []

    def test_deep_nesting_refused_without_crash(self, core):
        deep = []
        for _ in range(100_000):
            deep = [deep]
        with pytest.raises(RecursionError):
            core.add_record_payload({"code": "c", "v": deep})
        assert core.filter({}) == []

    def test_numpy_like_bool(self, core):
        cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
        core.add_record_payload({"code": "c", "v": cls(), "attributes": {"f": cls()}})
        assert core.get("c")["v"] is True
        assert core.filter({"f": "True"}) == ["c"]

    def test_reentrant_str_sees_borrow_error(self, core):
        errors = []

        class CallsBack:
            def __str__(self):
                for call in (lambda: core.get("x"), core.build):
                    try:
                        call()
                    except RuntimeError as e:
                        errors.append(str(e))
                return "v"

        core.add_record_payload({"code": "c", "v": CallsBack()})
        assert errors == ["Already mutably borrowed", "Already borrowed"]
        assert core.get("c")["v"] == "v"


class StrKey(str):
    pass


class TestRepeatedShapes:
    # One engine meets the same key objects again in other orders, subsets and
    # supersets, at the top and nested, and a str subclass of an equal text:
    # each record must read back as it does from an engine of its own.
    def test_reused_key_objects_in_other_shapes(self, tmp_path):
        from vedra_runtime import MetadataCore

        x, y = "x", "y"
        shapes = [
            {"a": {x: 1, y: 2}, "b": 1, "attributes": {"p": "1", "q": {x: "2", y: "3"}}},
            {"b": 1, "a": {y: 2, x: 1}, "attributes": {"q": {y: "3", x: "2"}, "p": "1"}},
            {"a": {x: 1}, "attributes": {"q": {x: "2"}}},
            {"a": {x: 1, y: 2, "w": 0}, "b": 1, "attributes": {"p": "1", "q": {x: "2", y: "3", "w": "4"}}, "c": 2},
            {"a": {"w": 0, x: 1, y: 2}, "c": 2, "b": 1, "attributes": {"p": "1", "q": {}}},
            {"a": {x: 1, StrKey("x"): 5}, "attributes": {"q": {StrKey("y"): "9", y: "3"}}},
            {"a": {}, "b": {x: {y: 1}}, "attributes": {"p": {x: {y: "z"}}}},
            {"a": {x: 1, y: 2}, "b": 1, "attributes": {"p": "1", "q": {x: "2", y: "3"}}, "z": {y: x}},
            {"a": {x: 1, y: 2, "w": 0}, "b": 1, "attributes": {"p": "1", "q": {x: "2", y: "3", "v": "4"}}},
        ]
        records = [{"code": f"r{i}", **s} for i, s in enumerate(shapes * 3)]
        core = MetadataCore()
        for r in records:
            core.add_record_payload(r)
        (tmp_path / "all").mkdir()
        fields = saved_fields(core, tmp_path / "all")
        for i, r in enumerate(records):
            alone = MetadataCore()
            alone.add_record_payload(r)
            (tmp_path / str(i)).mkdir()
            assert fields[i] == saved_fields(alone, tmp_path / str(i))[0]
            want = alone.get(r["code"])
            got = core.get(r["code"])
            assert json.dumps(got) == json.dumps(want)


class Mutates:
    """A value whose str() changes the dict being written: drops the member
    before it and rewrites the one after it."""

    def __init__(self, target, before, after):
        self.target, self.before, self.after = target, before, after

    def __str__(self):
        self.target.pop(self.before, None)
        if self.after in self.target:
            self.target[self.after] = " rewritten "
        return " mutated "


class TestFlatteningFollowsWrittenPayload:
    # Whatever the walk met (shapes that change between records, keys equal
    # but not identical, str subclasses, a dict changed half way), the fields
    # are those the stored payload flattens to, in the same order.
    def test_fields_of_stored_payload(self, core, tmp_path):
        from test_api_fuzzing import model_payload_record

        base = {"code": "a", "name": " n ", "market": "SH", "region": "R",
                "categories": {"industry": {"l1": "I", "l2": "I.x"}, "concept": ["c1", "c2", "c1"]},
                "attributes": {"lot": 100, "pe": 6.43, "st": False, "none": None, "cur": " CNY "}}
        mutated = {"p": "1", "m": None, "q": "2"}
        mutated["m"] = Mutates(mutated, "p", "q")
        records = [
            base,
            json.loads(json.dumps({**base, "code": "b"})),  # equal keys, other objects
            {**base, "code": "c", "categories": {"concept": ["x"], "industry": {"l2": "y", "l1": "z"}}},
            {"attributes": {**base["attributes"], "extra": [1, 2.5, {"k": "v"}]}, "code": "d"},
            {"code": StrKey("e"), StrKey("code"): "e2", "market": StrKey(" SZ ")},
            {"code": "f", "categories": {"k": "1", StrKey("k"): "2"}, "attributes": mutated},
            {"code": "g", "categories": ["list", "ignored"], "attributes": "text", "market": 5},
            {"code": "h", "name": {"not": "a string"}, "pinyin": ["p"], "attributes": {"": {"r": "x"}}},
            {"code": "i", "attributes": {"f": 1e16, "g": 1.5e-7, "h": 2935.08, "big": 2**64, "neg": -0.0}},
        ]
        for r in records + records[:3]:
            core.add_record_payload(r)
        fields = saved_fields(core, tmp_path)
        codes = ["a", "b", "c", "d", "e2", "f", "g", "h", "i"]
        for i, code in enumerate(codes):
            want = model_payload_record(core.get(code))
            assert want.code == code
            assert list(fields[i].items()) == list(want.fields.items())
