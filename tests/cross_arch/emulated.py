"""pytest plugin for runs under user-mode emulation (qemu-user), several
times slower than native: hypothesis examples get no deadline (what they
test is the answers, never the time taken), and the memory exhaustion tests
are skipped, as qemu-user does not apply an address-space limit
(RLIMIT_AS) to the program it runs, so no allocation can be made to fail."""
import pytest
from hypothesis import settings

settings.register_profile("emulated", deadline=None)
settings.load_profile("emulated")


def pytest_collection_modifyitems(items):
    skip = pytest.mark.skip(reason="qemu-user does not apply RLIMIT_AS")
    for item in items:
        if item.module.__name__ == "test_memory_exhaustion":
            item.add_marker(skip)
