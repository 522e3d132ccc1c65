import pytest

import vedra_runtime


@pytest.fixture
def core():
    return vedra_runtime.MetadataCore()


def add(core, code, name="", pinyin="", fields=None, payload=None):
    core.add_record(code, name, pinyin, fields or {}, payload)
