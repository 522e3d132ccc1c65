"""Every method in the type stubs carries its documentation, beginning with the
runtime's own text where the runtime has one, so an editor shows on hover what
help() shows."""
import ast
import inspect
import pathlib

import pytest

from vedra_runtime import MetadataCore

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "vedra_runtime-stubs" / "__init__.pyi"
RUNTIME_METHODS = sorted(n for n in vars(MetadataCore) if not n.startswith("_"))


def stub_docs():
    """{"": class docstring, method name: docstring} of MetadataCore in the stubs."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "MetadataCore")
    docs = {"": ast.get_docstring(cls)}
    docs.update({f.name: ast.get_docstring(f) for f in cls.body if isinstance(f, ast.FunctionDef)})
    return docs


def test_stubs_declare_exactly_the_runtime_methods():
    assert sorted(n for n in stub_docs() if n and not n.startswith("_")) == RUNTIME_METHODS


@pytest.mark.parametrize("name", [""] + RUNTIME_METHODS + ["__new__"])
def test_stub_docstring_starts_with_the_runtime_text(name):
    stub = stub_docs().get(name)
    assert stub, f"no docstring for {name or 'the class'} in the stubs"
    runtime = (getattr(MetadataCore, name) if name else MetadataCore).__doc__
    if name != "__new__" and runtime:
        runtime = inspect.cleandoc(runtime)
        # The runtime's text as a whole paragraph: all of it, then nothing or a blank line.
        assert stub == runtime or stub.startswith(runtime + "\n\n"), (stub, runtime)
