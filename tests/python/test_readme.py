"""The README's code examples run as written, and what it promises holds."""
import copy
import os
import pickle
import re
from pathlib import Path

import pytest

from vedra_runtime import MetadataCore

README = Path(__file__).resolve().parents[2] / "README.md"


def section_blocks(title):
    text = README.read_text(encoding="utf-8")
    section = text.split(f"## {title}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_thread_safety_and_copying_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    scope = {}
    for block in section_blocks("Thread safety") + section_blocks("Copying, pickling and sharing between processes"):
        exec(compile(block, str(README), "exec"), scope)
    assert scope["codes"] == ["600519.SH"]
    assert scope["copy_of_core"].filter({}) == ["600519.SH"]
    scope["refresh"]("full.snap", "index.snap")
    assert scope["answer"]("贵州茅台 today") == ["600519.SH"]
    assert sorted(os.listdir(tmp_path)) == ["full.snap", "index.snap"]


@pytest.mark.parametrize("copier", [pickle.dumps, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
def test_engines_cannot_be_pickled_or_copied(copier):
    with pytest.raises(TypeError, match=r"^cannot pickle 'builtins.MetadataCore' object$"):
        copier(MetadataCore())


@pytest.mark.parametrize(
    "outer,inner,message",
    [("add_record", "get", "Already mutably borrowed"), ("get_many", "build", "Already borrowed")],
)
def test_borrow_messages_as_documented(outer, inner, message):
    core = MetadataCore()
    core.add_record("A", "", "", {})
    seen = []

    class Probe:
        def __str__(self):
            try:
                getattr(core, inner)(*(["A"] if inner == "get" else []))
            except RuntimeError as e:
                seen.append(str(e))
            return "x"

        __repr__ = __str__

    if outer == "add_record":
        core.add_record("B", "", "", {"f": Probe()})
    else:
        class Codes(list):
            def __len__(self):
                try:
                    core.build()
                except RuntimeError as e:
                    seen.append(str(e))
                return 0
        core.get_many(Codes())
    assert seen == [message]


def test_version_from_metadata():
    import importlib.metadata

    assert re.fullmatch(r"\d+\.\d+\.\d+.*", importlib.metadata.version("vedra_runtime"))
