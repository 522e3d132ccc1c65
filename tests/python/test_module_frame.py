"""The module, the class object, the method table and the call protocol."""
import gc
import weakref

import pytest

import vedra_runtime
from vedra_runtime import MetadataCore

CLASS_DOC = (
    "工业级元数据检索引擎核心\n\n功能：\n1. 高性能倒排索引 (基于 Roaring Bitmaps)\n"
    "2. 多模式匹配 (基于 Aho-Corasick)\n3. 完整 payload 存储与快照读写"
)

METHODS = [
    ("add_record", "($self, code, name, pinyin, fields, payload=None)", "兼容旧路径：注入预先扁平化的字段"),
    ("add_record_payload", "($self, record)", "新路径：直接注入完整 record payload，由 Rust 执行扁平化"),
    ("build", "($self)", "必须在所有 add_record 完成后调用"),
    ("filter", "($self, filters)", 'filters: {"field": ["val1", "val2"], "field__not": "val3"}'),
    ("find", "($self, text)", None),
    ("get", "($self, code)", None),
    ("get_many", "($self, codes)", None),
    ("save_snapshot", "($self, full_file_path, index_file_path, manifest_file_path=None)", None),
    ("load_snapshot", "($self, full_file_path, index_file_path)", None),
]


class TestModule:
    def test_namespace(self):
        assert vedra_runtime.__all__ == ["MetadataCore"]
        assert vedra_runtime.__doc__ == ""
        assert vedra_runtime.MetadataCore is MetadataCore
        public = {k for k in vars(vedra_runtime) if not k.startswith("__")}
        assert public == {"MetadataCore"}

    def test_reimport_reuses_class(self):
        import importlib
        import sys

        saved = sys.modules.pop("vedra_runtime")
        try:
            again = importlib.import_module("vedra_runtime")
            assert again.MetadataCore is MetadataCore
        finally:
            sys.modules["vedra_runtime"] = saved

    def test_shared_library_is_abi3(self):
        assert vedra_runtime.__file__.endswith(".abi3.so")


class TestClass:
    def test_names_and_doc(self):
        assert MetadataCore.__module__ == "builtins"
        assert MetadataCore.__name__ == MetadataCore.__qualname__ == "MetadataCore"
        assert MetadataCore.__text_signature__ == "()"
        assert MetadataCore.__doc__ == CLASS_DOC

    def test_method_order(self):
        names = [k for k in vars(MetadataCore) if not k.startswith("__")]
        assert names == [m[0] for m in METHODS]

    @pytest.mark.parametrize("name,signature,doc", METHODS, ids=[
        "010-add_record", "020-add_record_payload", "030-build", "040-filter", "050-find", "060-get",
        "070-get_many", "080-save_snapshot", "090-load_snapshot"])
    def test_method_signature_and_doc(self, name, signature, doc):
        method = getattr(MetadataCore, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc

    def test_no_subclassing_attributes_or_weakrefs(self, core):
        with pytest.raises(TypeError):
            type("Sub", (MetadataCore,), {})
        with pytest.raises(AttributeError):
            core.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(core)
        assert not gc.is_tracked(core)

    def test_new_directly(self):
        assert isinstance(MetadataCore.__new__(MetadataCore), MetadataCore)

    @pytest.mark.parametrize(
        "args,kwargs,message",
        [
            pytest.param((1,), {}, "MetadataCore.__new__() takes 0 positional arguments but 1 was given", id="010-one-positional"),
            pytest.param((1, 2), {}, "MetadataCore.__new__() takes 0 positional arguments but 2 were given", id="020-two-positional"),
            pytest.param((), {"x": 1}, "MetadataCore.__new__() got an unexpected keyword argument 'x'", id="030-keyword"),
        ],
    )
    def test_constructor_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as e:
            MetadataCore(*args, **kwargs)
        assert str(e.value) == message


PARSE_CASES = [
    pytest.param("get", ("a", "b"), {}, "MetadataCore.get() takes 1 positional arguments but 2 were given", id="010-get-too-many"),
    pytest.param("get", (), {}, "MetadataCore.get() missing 1 required positional argument: 'code'", id="020-get-missing"),
    pytest.param("get", ("a",), {"code": "b"}, "MetadataCore.get() got multiple values for argument 'code'", id="030-get-positional-and-keyword"),
    pytest.param("get", (), {"cod": "a"}, "MetadataCore.get() got an unexpected keyword argument 'cod'", id="040-get-unknown-keyword"),
    pytest.param(
        "add_record",
        ("c",),
        {},
        "MetadataCore.add_record() missing 3 required positional arguments: 'name', 'pinyin', and 'fields'", id="050-add_record-missing-three"),
    pytest.param(
        "add_record",
        (1, 2, 3, 4, 5, 6),
        {},
        "MetadataCore.add_record() takes from 4 to 5 positional arguments but 6 were given", id="060-add_record-too-many"),
    pytest.param(
        "load_snapshot",
        (),
        {},
        "MetadataCore.load_snapshot() missing 2 required positional arguments: 'full_file_path' and 'index_file_path'", id="070-load_snapshot-missing-two"),
    pytest.param(
        "save_snapshot",
        ("a",),
        {},
        "MetadataCore.save_snapshot() missing 1 required positional argument: 'index_file_path'", id="080-save_snapshot-missing-index"),
    pytest.param(
        "save_snapshot",
        ("a", "b", "c", "d"),
        {},
        "MetadataCore.save_snapshot() takes from 2 to 3 positional arguments but 4 were given", id="090-save_snapshot-too-many"),
    pytest.param("filter", (), {"filters": {}, "x": 1}, "MetadataCore.filter() got an unexpected keyword argument 'x'", id="100-filter-unknown-keyword"),
    pytest.param("find", (1, 2), {}, "MetadataCore.find() takes 1 positional arguments but 2 were given", id="110-find-too-many"),
    pytest.param(
        "add_record",
        ("c", "n"),
        {"code": "x"},
        "MetadataCore.add_record() got multiple values for argument 'code'", id="120-add_record-positional-and-keyword"),
]


class TestArgumentParsing:
    @pytest.mark.parametrize("method,args,kwargs,message", PARSE_CASES)
    def test_parse_messages(self, core, method, args, kwargs, message):
        with pytest.raises(TypeError) as e:
            getattr(core, method)(*args, **kwargs)
        assert str(e.value) == message

    def test_keywords_fill_parameters(self, core):
        core.add_record(code="c", name="n", pinyin="p", fields={}, payload=None)
        core.add_record("d", "n", "p", {}, None)
        assert core.get(code="c")["code"] == "c"
        assert core.get("d") == core.get(code="d")

    def test_build_rejects_arguments(self, core):
        with pytest.raises(TypeError):
            core.build(1)

    @pytest.mark.parametrize(
        "method,args,message",
        [
            pytest.param("get", (5,), "argument 'code': 'int' object is not an instance of 'str'", id="010-get-int"),
            pytest.param("get", (None,), "argument 'code': 'None' is not an instance of 'str'", id="020-get-none"),
            pytest.param("find", (b"x",), "argument 'text': 'bytes' object is not an instance of 'str'", id="030-find-bytes"),
            pytest.param("filter", ([],), "argument 'filters': 'list' object is not an instance of 'dict'", id="040-filter-list"),
            pytest.param("filter", ({1: "a"},), "argument 'filters': 'int' object is not an instance of 'str'", id="050-filter-int-key"),
            pytest.param("add_record_payload", ([],), "argument 'record': 'list' object is not an instance of 'dict'", id="060-add_record_payload-list"),
            pytest.param("add_record", ("c", "n", 1, {}), "argument 'pinyin': 'int' object is not an instance of 'str'", id="070-add_record-int-pinyin"),
            pytest.param("add_record", ("c", "n", "p", []), "argument 'fields': 'list' object is not an instance of 'dict'", id="080-add_record-list-fields"),
            pytest.param("add_record", ("c", "n", "p", {}, 1), "argument 'payload': 'int' object is not an instance of 'dict'", id="090-add_record-int-payload"),
            pytest.param("save_snapshot", ("a", 1), "argument 'index_file_path': 'int' object is not an instance of 'str'", id="100-save_snapshot-int-index-path"),
            pytest.param("load_snapshot", (None, "b"), "argument 'full_file_path': 'None' is not an instance of 'str'", id="110-load_snapshot-none-full-path"),
        ],
    )
    def test_conversion_messages(self, core, method, args, message):
        with pytest.raises(TypeError) as e:
            getattr(core, method)(*args)
        assert str(e.value) == message

    def test_type_name_is_qualname(self, core):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError, match=r"'TestArgumentParsing.test_type_name_is_qualname.<locals>.Outer.Inner'"):
            core.get(Outer.Inner())

    @pytest.mark.parametrize("method", ["get", "find"])
    def test_lone_surrogate_is_unicode_error(self, core, method):
        with pytest.raises(UnicodeEncodeError):
            getattr(core, method)("\ud800")


class Reentrant:
    """An object whose str() calls back into the engine."""

    def __init__(self, action):
        self.action = action
        self.error = None

    def __str__(self):
        try:
            self.action()
        except Exception as e:  # noqa: BLE001 - recorded for the test
            self.error = e
        return "x"


class TestBorrow:
    def test_shared_during_exclusive_fails(self, core):
        probe = Reentrant(lambda: core.get("a"))
        core.add_record_payload({"code": "c", "v": probe})
        assert isinstance(probe.error, RuntimeError)
        assert str(probe.error) == "Already mutably borrowed"

    def test_exclusive_during_exclusive_fails(self, core):
        probe = Reentrant(core.build)
        core.add_record("c", "n", "p", {"f": probe})
        assert str(probe.error) == "Already borrowed"

    def test_exclusive_during_shared_fails(self, core):
        core.add_record("c", "n", "p", {})
        probe = Reentrant(lambda: core.add_record("d", "n", "p", {}))
        core.filter({"f": probe})
        assert str(probe.error) == "Already borrowed"
        assert core.get("d") is None

    def test_shared_during_shared_succeeds(self, core):
        core.add_record("c", "name", "p", {})
        core.build()
        seen = []

        class Codes:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError
                seen.append(core.find("a name"))
                return "c"

        assert core.get_many(Codes()) == [core.get("c")]
        assert seen == [["c"]]

    def test_borrow_checked_before_conversion(self, core):
        errors = []

        def bad_call():
            try:
                core.get(5)
            except Exception as e:  # noqa: BLE001
                errors.append(e)

        core.add_record_payload({"v": Reentrant(bad_call)})
        assert isinstance(errors[0], RuntimeError)

    def test_parse_before_borrow(self, core):
        errors = []

        def bad_call():
            try:
                core.get()
            except Exception as e:  # noqa: BLE001
                errors.append(e)

        core.add_record_payload({"v": Reentrant(bad_call)})
        assert isinstance(errors[0], TypeError)

    def test_borrow_released_after_failure(self, core):
        with pytest.raises(TypeError):
            core.add_record("c", "n", "p", {1: "x"})
        core.build()  # exclusive borrow is free again
        assert core.filter({}) == []


def panic_class():
    """The PanicException class: created by the engine on first need (any failed
    call checks for it) and reachable only through the garbage collector."""
    with pytest.raises(TypeError):
        MetadataCore().get(5)
    found = [
        o
        for o in gc.get_objects()
        if isinstance(o, type)
        and o.__module__ == "pyo3_runtime"
        and o.__name__ == "PanicException"
        and "metadata engine" in (o.__doc__ or "")  # other extensions may define a namesake
    ]
    assert len(found) == 1
    return found[0]


class TestPanicException:
    def test_class_shape(self):
        cls = panic_class()
        assert cls.__bases__ == (BaseException,)
        assert cls.__doc__
        assert not hasattr(vedra_runtime, "PanicException")

    def test_not_caught_by_except_exception(self):
        cls = panic_class()
        caught_by = None
        try:
            try:
                raise cls("x")
            except Exception:  # pragma: no cover - must not catch
                caught_by = Exception
        except BaseException as e:  # noqa: B036 - the point of the test
            caught_by = type(e)
        assert caught_by is cls

    @pytest.mark.parametrize("message,expected", [("inner message", "inner message")])
    def test_panic_from_python_code_is_rewrapped(self, core, monkeypatch, capfd, message, expected):
        import json

        cls = panic_class()
        core.add_record("c", "n", "p", {})
        original = cls(message)

        def loads(text):
            raise original

        monkeypatch.setattr(json, "loads", loads)
        with pytest.raises(cls) as e:
            core.get("c")
        assert e.value is not original
        assert str(e.value) == expected
        assert "Python stack trace below:\n" in capfd.readouterr().err
        core.build()  # the borrow was released

    def test_other_base_exceptions_pass_unchanged(self, core, monkeypatch):
        import json

        class Stop(BaseException):
            pass

        core.add_record("c", "n", "p", {})
        monkeypatch.setattr(json, "loads", lambda text: (_ for _ in ()).throw(Stop()))
        with pytest.raises(Stop):
            core.get("c")
