"""get and get_many: payload read-back through json.loads."""
import json

import pytest


@pytest.fixture
def filled(core):
    core.add_record_payload({"code": "a", "b": 1, "a": 2.5})
    core.add_record_payload({"code": "b", "v": [1, {"y": None, "x": "s"}]})
    return core


class TestGet:
    def test_absent_on_new_engine(self, core):
        assert core.get("x") is None
        assert core.get_many(["x", "y"]) == []

    @pytest.mark.parametrize("code", ["A", " a", "a ", ""])
    def test_exact_lookup(self, filled, code):
        assert filled.get(code) is None

    def test_fresh_objects(self, filled):
        one, two = filled.get("a"), filled.get("a")
        assert one == two and one is not two
        one["b"] = 99
        assert filled.get("a")["b"] == 1

    def test_latest_record_wins(self, core):
        core.add_record_payload({"code": "a", "v": 1})
        core.add_record_payload({"code": "a", "v": 2})
        assert core.get("a")["v"] == 2
        assert core.get_many(["a"]) == [{"code": "a", "v": 2}]

    def test_loads_receives_compact_sorted_text(self, filled, monkeypatch):
        seen = []
        monkeypatch.setattr(json, "loads", lambda text: seen.append(text) or "sentinel")
        assert filled.get("a") == "sentinel"
        assert seen == ['{"a":2.5,"b":1,"code":"a"}']

    def test_json_module_replaced_in_sys_modules(self, filled, monkeypatch):
        import sys
        import types

        fake = types.ModuleType("json")
        fake.loads = lambda text: ("fake", text)
        monkeypatch.setitem(sys.modules, "json", fake)
        assert filled.get("b") == ("fake", '{"code":"b","v":[1,{"x":"s","y":null}]}')

    def test_empty_payload(self, core):
        core.add_record("n", "", "", {}, {})
        assert core.get("n") == {}

    # Overrides on the standard decoder's class change what json.loads
    # returns: get must return the same, and the standard answer once undone.
    @pytest.mark.parametrize("case", ["010-property-scan_once", "020-getattribute", "030-plain-scan_once",
                                      "040-data-descriptor-scan_once"])
    def test_decoder_class_overrides(self, filled, monkeypatch, case):
        text = '{"a":2.5,"b":1,"code":"a"}'
        standard = filled.get("a")
        cls = json.decoder.JSONDecoder
        if case == "010-property-scan_once":
            monkeypatch.setattr(cls, "scan_once", property(lambda self: lambda s, i: (("scanned", i), len(s))),
                                raising=False)
        elif case == "020-getattribute":
            def getattribute(self, name):
                if name == "decode":
                    return lambda s: ("intercepted", s)
                return object.__getattribute__(self, name)
            monkeypatch.setattr(cls, "__getattribute__", getattribute, raising=False)
        elif case == "030-plain-scan_once":
            monkeypatch.setattr(cls, "scan_once", lambda s, i: ("class", i), raising=False)
        else:
            class Scanner:
                def __get__(self, obj, owner):
                    return lambda s, i: (("descriptor", i), len(s))

                def __set__(self, obj, value):
                    pass
            monkeypatch.setattr(cls, "scan_once", Scanner(), raising=False)
        expected = json.loads(text)
        assert filled.get("a") == expected
        assert filled.get_many(["a"]) == [expected]
        monkeypatch.undo()
        assert filled.get("a") == standard == json.loads(text)

    def test_loads_error_passes_through(self, filled, monkeypatch):
        def boom(text):
            raise LookupError("from loads")

        monkeypatch.setattr(json, "loads", boom)
        with pytest.raises(LookupError, match="from loads"):
            filled.get("a")
        with pytest.raises(LookupError):
            filled.get_many(["a", "b"])


class TestGetMany:
    def test_order_missing_and_duplicates(self, filled):
        a, b = filled.get("a"), filled.get("b")
        assert filled.get_many(["a", "missing", "b"]) == [a, b]
        twice = filled.get_many(("a", "a"))
        assert twice == [a, a] and twice[0] is not twice[1]
        assert filled.get_many([]) == []

    @pytest.mark.parametrize(
        "codes,message",
        [
            pytest.param("ab", "argument 'codes': Can't extract `str` to `Vec`", id="010-str-not-a-sequence"),
            pytest.param(None, "argument 'codes': 'None' is not an instance of 'Sequence'", id="020-none"),
            pytest.param({"a"}, "argument 'codes': 'set' object is not an instance of 'Sequence'", id="030-set"),
            pytest.param({"a": 1}, "argument 'codes': 'dict' object is not an instance of 'Sequence'", id="040-dict"),
            pytest.param(5, "argument 'codes': 'int' object is not an instance of 'Sequence'", id="050-int"),
            pytest.param(["a", 1], "argument 'codes': 'int' object is not an instance of 'str'", id="060-non-str-item"),
            pytest.param(b"ab", "argument 'codes': 'int' object is not an instance of 'str'", id="070-bytes-items-are-ints"),
            pytest.param(["a", None], "argument 'codes': 'None' is not an instance of 'str'", id="080-none-item"),
        ],
    )
    def test_argument_errors(self, filled, monkeypatch, codes, message):
        calls = []
        monkeypatch.setattr(json, "loads", lambda t: calls.append(t))
        with pytest.raises(TypeError) as e:
            filled.get_many(codes)
        assert str(e.value) == message
        assert calls == []

    def test_str_subclass_items_and_range(self, filled):
        class S(str):
            pass

        assert filled.get_many([S("a")]) == [filled.get("a")]
        with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
            filled.get_many(range(3))

    def test_iteration_type_error_is_reworded(self, filled):
        class Seq:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise TypeError("inner") from KeyError("cause")

        with pytest.raises(TypeError) as e:
            filled.get_many(Seq())
        assert str(e.value) == "argument 'codes': inner"
        assert isinstance(e.value.__cause__, KeyError)

    def test_iteration_other_errors_pass(self, filled):
        class Seq:
            def __getitem__(self, i):
                raise LookupError("x")

        with pytest.raises(LookupError):
            filled.get_many(Seq())

    @pytest.mark.parametrize("length", [2**62, 2**40, -1])
    def test_huge_or_lying_len(self, filled, length):
        class Liar:
            def __len__(self):
                if length < 0:
                    raise ValueError("no len")
                return length

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError
                return "ab"[i]

        assert filled.get_many(Liar()) == [filled.get("a"), filled.get("b")]

    def test_len_overflow(self, filled):
        class Big:
            def __len__(self):
                return 2**100

            def __getitem__(self, i):
                raise IndexError

        assert filled.get_many(Big()) == []

    def test_interrupt_in_len_propagates(self, filled):
        class Stop:
            def __len__(self):
                raise KeyboardInterrupt

            def __getitem__(self, i):
                raise IndexError

        with pytest.raises(KeyboardInterrupt):
            filled.get_many(Stop())
