"""The README's code examples run as written, and what it promises holds."""
import ast
import copy
import os
import pickle
import re
from pathlib import Path

import pytest

from vedra_runtime import MetadataCore

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks(title=None):
    """The ```python blocks of the README, or of its section `title`, in order."""
    text = README.read_text(encoding="utf-8")
    if title is not None:
        text = text.split(f"## {title}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", text, re.S)


def test_every_example_runs_in_order(tmp_path, monkeypatch):
    """Every Python example of the README runs as written, each seeing what the
    ones before it defined, as a reader typing them in would."""
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks()
    assert len(blocks) >= 3
    assert python_blocks("Usage")[0] == blocks[0]
    scope = {"__name__": "__readme__"}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"{README} example {number}", "exec"), scope)
    assert scope["codes"] == ["600519.SH"]
    assert scope["copy_of_core"].filter({}) == ["600519.SH"]
    scope["refresh"]("full.snap", "index.snap")
    assert scope["answer"]("贵州茅台 today") == ["600519.SH"]
    assert sorted(os.listdir(tmp_path)) == ["full.snap", "index.snap", "manifest.json"]


def test_usage_results_are_as_shown(tmp_path, monkeypatch):
    """Each line of the usage example that shows its result in a comment
    (`expression  # result`) evaluates to that result."""
    monkeypatch.chdir(tmp_path)
    block = python_blocks("Usage")[0]
    lines = block.splitlines()
    scope = {}
    checked = 0
    for statement in ast.parse(block).body:
        shown = lines[statement.end_lineno - 1].partition("  # ")[2].strip()
        try:
            expected = ast.literal_eval(shown)
        except (SyntaxError, ValueError):
            exec(compile(ast.Module([statement], []), "README.md", "exec"), scope)
            continue
        assert isinstance(statement, ast.Expr), ast.unparse(statement)
        assert eval(compile(ast.Expression(statement.value), "README.md", "eval"), scope) == expected, shown
        checked += 1
    assert checked >= 3


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
