"""add_record: the pre-flattened ingestion path and value_to_text."""
import math

import pytest

from vedra_runtime import MetadataCore


def saved_fields(core, tmp_path):
    """Field maps as the index file stores them, per record, in record order."""
    import json

    import zstandard

    core.save_snapshot(str(tmp_path / "f"), str(tmp_path / "i"))
    raw = (tmp_path / "i").read_bytes()[128:]
    docs = json.loads(zstandard.ZstdDecompressor().decompressobj().decompress(raw))
    return [d["fields"] for d in docs]


class TestAddRecord:
    @pytest.mark.parametrize(
        "fields,stored",
        [
            pytest.param({"market": [" SH ", "SH", None, ""]}, {"market": "SH"}, id="010-trimmed-deduplicated"),
            pytest.param({"tags": ["a|b", "a"]}, {"tags": "a|b|a"}, id="020-bar-inside-value-kept"),
            pytest.param({"flag": True, "n": 7, "x": 2.0, "y": 0.5}, {"flag": "True", "n": "7", "x": "2", "y": "0.5"}, id="030-scalars-as-text"),
            pytest.param({"k": [[1, 2]]}, {"k": "[1, 2]"}, id="040-nested-list-one-item"),
            pytest.param({"k": (1, 2)}, {"k": "(1, 2)"}, id="050-tuple-one-item"),
            pytest.param({"b": ["x", "", "y", "x"]}, {"b": "x|y"}, id="060-empty-values-dropped"),
            pytest.param({"e": [None, "", "  "]}, {}, id="070-all-empty-no-field"),
            pytest.param({}, {}, id="080-no-fields"),
        ],
    )
    def test_field_maps(self, core, tmp_path, fields, stored):
        core.add_record("c", "n", "p", fields)
        assert saved_fields(core, tmp_path) == [stored]

    def test_items_posted_and_findable_by_filter(self, core):
        core.add_record("c", "n", "p", {"market": [" SH ", None], "tags": ["a|b", "a"]})
        assert core.filter({"market": "SH"}) == ["c"]
        assert core.filter({"tags": "a"}) == core.filter({"tags": "b"}) == ["c"]
        assert core.filter({"tags": "a|b"}) == []

    def test_default_payload(self, core):
        core.add_record("c", "n", "p", {"market": "SH"})
        payload = core.get("c")
        assert list(payload) == [
            "asset_type", "attributes", "categories", "code", "market", "name", "pinyin", "region"
        ]
        assert payload == {
            "asset_type": "", "attributes": {}, "categories": {}, "code": "c",
            "market": "", "name": "n", "pinyin": "p", "region": "",
        }

    def test_payload_stored_as_converted(self, core):
        core.add_record("c", "n", "p", {}, {"b": 1, "a": {"z": None, "y": float("nan")}})
        payload = core.get("c")
        assert payload == {"a": {"y": None, "z": None}, "b": 1}
        assert list(payload) == ["a", "b"] and list(payload["a"]) == ["y", "z"]

    def test_code_kept_untrimmed(self, core):
        core.add_record(" X ", "n", "", {})
        assert core.get(" X ")["code"] == " X "
        assert core.get("X") is None
        # posted untrimmed as ' X ', while filter trims its query texts
        assert core.filter({"code": " X "}) == core.filter({"code": "X"}) == []

    def test_repeated_code_adds_record(self, core):
        core.add_record("A", "first", "", {"k": "1"}, {"v": 1})
        core.add_record("A", "second", "", {"k": "2"}, {"v": 2})
        assert core.get("A") == {"v": 2}
        assert core.filter({"k": "1"}) == ["A"]
        assert core.filter({"code": "A"}) == ["A", "A"]


class TestValueToText:
    @pytest.mark.parametrize(
        "value,text",
        [
            pytest.param(1.5, "1.5", id="010-float"),
            pytest.param(2.0, "2", id="020-positional-integral-float"),
            pytest.param(1e21, "1000000000000000000000", id="030-large-float-no-exponent"),
            pytest.param(1e-7, "0.0000001", id="040-small-float-no-exponent"),
            pytest.param(-0.0, "-0", id="050-negative-zero"),
            pytest.param(2**64, "18446744073709552000", id="060-int-beyond-u64"),
            pytest.param(float("nan"), "NaN", id="070-nan"),
            pytest.param(float("inf"), "inf", id="080-inf"),
            pytest.param(-math.inf, "-inf", id="090-minus-inf"),
            pytest.param(-5, "-5", id="100-negative-int"),
            pytest.param(False, "False", id="110-false"),
            pytest.param({"a": 1}, "{'a': 1}", id="120-dict-repr"),
            pytest.param(("x", "y"), "('x', 'y')", id="130-tuple-repr"),
            pytest.param("\ud800x", "\ufffdx", id="140-lone-surrogate-replaced"),
            pytest.param(" \u3000padded\u00a0\n", "padded", id="150-white-space-trimmed"),
            pytest.param(10**400, "1" + "0" * 400, id="160-int-400-digits"),
        ],
    )
    def test_texts(self, core, tmp_path, value, text):
        core.add_record("c", "n", "p", {"f": value})
        assert saved_fields(core, tmp_path) == [{"f": text}]

    def test_index_and_float_protocols(self, core, tmp_path):
        class Idx:
            def __index__(self):
                return 42

        class Flt:
            def __float__(self):
                return 0.25

        core.add_record("c", "n", "p", {"i": Idx(), "f": Flt()})
        assert saved_fields(core, tmp_path) == [{"i": "42", "f": "0.25"}]

    def test_probe_errors_cleared_but_interrupts_propagate(self, core):
        class Odd:
            def __index__(self):
                raise ValueError("no")

            def __str__(self):
                return "odd"

        core.add_record("c", "n", "p", {"f": Odd()})
        assert core.filter({"f": "odd"}) == ["c"]

        class Interrupt:
            def __index__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            core.add_record("d", "n", "p", {"f": Interrupt()})
        assert core.get("d") is None


class TestAtomicity:
    @pytest.mark.parametrize(
        "fields,error",
        [
            pytest.param({"ok": "x", 1: "y"}, TypeError, id="010-non-str-key"),
            pytest.param({"ok": "x", "bad": ["y", object.__new__(type("S", (), {"__str__": lambda s: 1 / 0}))]}, ZeroDivisionError, id="020-str-raises"),
            pytest.param({"\ud800": "x"}, UnicodeEncodeError, id="030-lone-surrogate-key"),
        ],
    )
    def test_failed_call_changes_nothing(self, core, tmp_path, fields, error):
        core.add_record("first", "alpha", "p", {"ok": "x"})
        with pytest.raises(error):
            core.add_record("second", "name2", "p", fields)
        assert core.get("second") is None
        assert core.filter({}) == ["first"]
        assert core.filter({"ok": "x"}) == ["first"]
        assert core.filter({"name": "name2"}) == []
        core.build()
        assert core.find("second name2") == []
        assert len(saved_fields(core, tmp_path)) == 1

    def test_key_error_message_has_no_prefix(self, core):
        with pytest.raises(TypeError) as e:
            core.add_record("c", "n", "p", {None: 1})
        assert str(e.value) == "'None' is not an instance of 'str'"

    def test_payload_key_error(self, core):
        with pytest.raises(TypeError) as e:
            core.add_record("c", "n", "p", {}, {"a": {1: 2}})
        assert str(e.value) == "'int' object is not an instance of 'str'"
        assert core.get("c") is None
