"""Running out of memory inside an ingestion call changes nothing.

Each case runs in a child process under an address-space limit a little
above its current size, then lifts the limit and checks that the engine
answers, saves and loads exactly as before the failed call.  Not run under
the sanitizers, whose shadow memory cannot live under such a limit."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                                reason="an address-space limit breaks the sanitizers")

CHILD = textwrap.dedent(r"""
    import json, os, resource, sys, tempfile
    import vedra_runtime

    case = sys.argv[1]
    core = vedra_runtime.MetadataCore()
    for i in range(200):
        core.add_record_payload({"code": f"C{i}", "name": f"name {i}", "pinyin": f"mc{i % 7}|x",
                                 "market": "SH" if i % 2 else "SZ",
                                 "categories": {"industry": f"bank.state.{i % 5}"}})
    core.add_record("C3", "again", "ag", {"market": ["SH", "BJ"]}, {"code": "C3", "v": 1})
    core.build()

    def observe():
        codes = core.filter({})
        return {
            "all": codes,
            "sh": core.filter({"market": "SH"}),
            "bank": core.filter({"industry": "bank.state"}),
            "not_sz": core.filter({"market__not": "SZ"}),
            "found": core.find("name 17 and mc3 and C42"),
            "payloads": core.get_many(codes),
        }

    before = observe()
    hostile = "x." * 40000  # its dotted prefixes need about 1.6 GB of keys
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
    try:
        if case == "payload_market":
            core.add_record_payload({"code": "NEW", "name": "new", "market": hostile})
        elif case == "payload_attribute":
            core.add_record_payload({"code": "NEW", "attributes": {"deep": {"a": hostile}}})
        else:
            core.add_record("NEW", "new", "nw", {"market": ["SH", hostile]}, None)
        outcome = "no error"
    except MemoryError:
        outcome = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    after = observe()
    with tempfile.TemporaryDirectory() as d:
        core.save_snapshot(d + "/full", d + "/index")
        loaded = vedra_runtime.MetadataCore()
        loaded.load_snapshot(d + "/full", d + "/index")
        core = loaded
        reloaded = observe()
    core.add_record("LAST", "last", "", {"market": "SH"}, None)
    print(json.dumps({"outcome": outcome, "unchanged": after == before, "reloaded": reloaded == before,
                      "next": core.filter({"code": "LAST"}), "sh_grew": len(core.filter({"market": "SH"})) - len(before["sh"])}))
""")


@pytest.mark.parametrize("case", ["payload_market", "payload_attribute", "record_field"])
def test_exhausted_memory_while_posting_changes_nothing(case):
    done = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result == {"outcome": "MemoryError", "unchanged": True, "reloaded": True, "next": ["LAST"], "sh_grew": 1}


# Every method called with the C heap filled to within a few bytes (and the
# address space capped just above), from the main thread, from a thread
# whose first call into the module this is, and from a thread that has
# called before but never thrown.  The process must survive, the call must
# succeed or raise MemoryError, and after the heap is given back the engine
# must answer as before (a failed call changed nothing).
EXHAUST_CHILD = textwrap.dedent(r"""
    import ctypes, json, os, resource, sys, threading
    import vedra_runtime

    method, where, tmp = sys.argv[1], sys.argv[2], sys.argv[3]
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    core = vedra_runtime.MetadataCore()
    for i in range(20000):
        core.add_record(f"C{i}", f"name {i}", f"mc{i % 7}|x",
                        {"market": "SH" if i % 3 else "SZ", "k": str(i % 5)}, None)
    core.build()
    core.save_snapshot(tmp + "/full", tmp + "/index")
    codes = [f"C{i}" for i in range(0, 20000, 997)]

    def observe():
        return [core.filter({}), core.filter({"market": "SH", "k__not": ["1", "2"]}),
                core.find("name 17 and C42 and mc3"), core.get_many(codes)]

    calls = {
        "add_record": lambda: core.add_record("NEW", "new", "nw", {"market": ["SH", "BJ"]}, None),
        "add_record_payload": lambda: core.add_record_payload({"code": "NEW", "name": "new", "market": "SH"}),
        "build": lambda: core.build(),
        "filter": lambda: core.filter({"market": "SH", "k__not": ["1", "2"]}),
        "find": lambda: core.find("name 17 and C42 and mc3"),
        "get": lambda: core.get("C17"),
        "get_many": lambda: core.get_many(codes),
        "save_snapshot": lambda: core.save_snapshot(tmp + "/full2", tmp + "/index2"),
        "load_snapshot": lambda: core.load_snapshot(tmp + "/full", tmp + "/index"),
        "new": lambda: vedra_runtime.MetadataCore(),
    }
    call = calls[method]
    before = observe()
    hoard = [0] * 400000
    held = 0
    outcome = "no error"

    def exhaust_and_call():
        global held, outcome
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), hard))
        try:
            try:
                for chunk in (1 << 20, 1 << 16, 4096, 512, 64, 16, 1):
                    while held < len(hoard):
                        p = libc.malloc(chunk)
                        if not p:
                            break
                        hoard[held] = p
                        held += 1
            except MemoryError:
                pass
            try:
                call()
            except MemoryError:
                outcome = "MemoryError"
        finally:
            for i in range(held):
                libc.free(hoard[i])
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    if where == "main":
        exhaust_and_call()
    else:
        def thread_main():
            if where == "primed_thread":
                core.get("C1")
            exhaust_and_call()
        t = threading.Thread(target=thread_main)
        t.start()
        t.join()
    after = observe()
    print(json.dumps({"outcome": outcome, "unchanged": after == before}))
""")

EXHAUST_METHODS = ["add_record", "add_record_payload", "build", "filter", "find", "get", "get_many",
                   "save_snapshot", "load_snapshot", "new"]


@pytest.mark.parametrize("where", ["main", "fresh_thread", "primed_thread"])
@pytest.mark.parametrize("method", EXHAUST_METHODS)
def test_exhausted_heap_gives_memory_error_or_answer(method, where, tmp_path):
    done = subprocess.run([sys.executable, "-c", EXHAUST_CHILD, method, where, str(tmp_path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["outcome"] in ("MemoryError", "no error")
    if result["outcome"] == "MemoryError" or method not in ("add_record", "add_record_payload", "load_snapshot"):
        assert result["unchanged"], result


# The heap filled from Python (bytearrays until MemoryError), then a filter
# whose bitmaps need memory: MemoryError or the answer, never a signal.
FILTER_CHILD = textwrap.dedent(r"""
    import resource, sys
    import vedra_runtime

    core = vedra_runtime.MetadataCore()
    for i in range(20000):
        core.add_record(f"C{i}", f"n{i}", "", {"market": "SH" if i % 3 else "SZ", "k": str(i % 5)}, None)
    expected = core.filter({"market": "SH", "k__not": ["1", "2"]})
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (int(sys.argv[1]) << 20), hard))
    hoard = []
    try:
        while True:
            hoard.append(bytearray(1000))
    except MemoryError:
        pass
    try:
        got = core.filter({"market": "SH", "k__not": ["1", "2"]})
        outcome = "same answer" if got == expected else "wrong answer"
    except MemoryError:
        outcome = "MemoryError"
    del hoard
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert core.filter({"market": "SH", "k__not": ["1", "2"]}) == expected
    print(outcome)
""")


@pytest.mark.parametrize("headroom_mib", [16, 40, 64])
def test_filter_after_python_filled_the_heap(headroom_mib):
    done = subprocess.run([sys.executable, "-c", FILTER_CHILD, str(headroom_mib)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    assert done.stdout.strip().splitlines()[-1] in ("MemoryError", "same answer")
