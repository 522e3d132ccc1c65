"""Memory stays flat over a long loop of mixed calls.

The loop runs every method, on success and failure paths (argument errors,
callbacks that raise, borrow conflicts, refused snapshots, too-deep
payloads), plus engines created, filled and dropped.  None of it grows the
long-lived engine, so after a warm-up quarter both the resident set size and
the Python heap (tracemalloc) must stop growing: the growth over the last
quarter may not exceed the growth over the second quarter plus a little
noise.

The CI size runs in seconds; VEDRA_LONG=1 runs 10^6 calls.  The resident
set size covers the binding's native memory in the uninstrumented run.
Under AddressSanitizer (whose quarantine holds freed memory) only the Python
heap is compared; the sanitized run looks for memory errors on these paths.
"""
import gc
import json
import os
import resource
import tracemalloc

import pytest

from vedra_runtime import MetadataCore

CALLS_PER_ITERATION = 25
ITERATIONS = 10**6 // CALLS_PER_ITERATION if os.environ.get("VEDRA_LONG") == "1" else \
    int(os.environ.get("VEDRA_LEAK_ITERATIONS", "6000"))
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RSS_NOISE = 4 << 20
HEAP_NOISE = 256 << 10


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


class StrRaises:
    def __str__(self):
        raise ValueError("no text")


def record(i):
    return {"code": f"C{i:04d}", "name": f"name {i}", "pinyin": f"n{i}|N{i}", "market": ["SH", "SZ"][i % 2],
            "region": f"Asia.R{i % 5}", "categories": {"industry": {"l1": f"I{i % 7}"}, "tags": [i, i / 3]},
            "attributes": {"lot": 100, "st": i % 3 == 0, "big": 2**80},
            # non-ASCII strings, short (shared through the value cache) and long (not cached)
            "label": ["北京", "上海", "é"][i % 3], "note": "说明" * 40 + str(i), "escaped": f"a\tb{i}"}


def test_mixed_calls_do_not_grow_memory(tmp_path):
    core = MetadataCore()
    for i in range(200):
        core.add_record_payload(record(i))
    core.build()
    full, index = str(tmp_path / "f"), str(tmp_path / "i")
    core.save_snapshot(full, index, str(tmp_path / "m"))
    bad = tmp_path / "bad"
    bad.write_bytes(b"METADATA" + bytes(120) + b"garbage")
    standard_loads = json.loads

    def replaced(text):
        return standard_loads(text)

    deep = []
    for _ in range(3000):
        deep = [deep]

    class Reentrant:
        def __str__(self):
            return core.get("C0001")  # raises RuntimeError: the add holds the exclusive borrow

    def iteration(i):
        c = f"C{i % 200:04d}"
        core.filter({"market": "SH", "region__not": ["Asia.R1", "Asia.R2"]})
        core.filter({"industry.l1": {"I1", "I2"}, "code": (c, "x")})
        core.filter({})
        core.find(f"xx name {i % 200} n{(i * 7) % 200} N{i % 50} yy")
        core.get(c)
        core.get("missing")
        core.get_many([c, "missing", c])
        json.loads = replaced  # the call path, then the native path again
        core.get(c)
        json.loads = standard_loads
        core.get_many([c, c])
        for call, exc in [
            (lambda: core.get(5), TypeError),
            (lambda: core.get("\ud800"), UnicodeEncodeError),
            (lambda: core.get_many("ab"), TypeError),
            (lambda: core.find(None), TypeError),
            (lambda: core.filter({"market": [StrRaises()]}), ValueError),
            (lambda: core.add_record_payload({"code": "z", "v": StrRaises()}), ValueError),
            (lambda: core.add_record_payload({"code": "z", 1: 2}), TypeError),
            (lambda: core.add_record_payload({"code": "z", "v": deep}), RecursionError),
            (lambda: core.add_record_payload({"code": "z", "v": Reentrant()}), RuntimeError),
            (lambda: core.add_record("z", "n", "p", {"f": StrRaises()}), ValueError),
            (lambda: core.load_snapshot(str(bad), index), ValueError),
            (lambda: core.load_snapshot(full, str(tmp_path / "missing")), ValueError),
            (lambda: core.save_snapshot(str(tmp_path / "no" / "dir"), index), ValueError),
        ]:
            with pytest.raises(exc):
                call()
        scratch = MetadataCore()
        scratch.add_record_payload(record(i))
        scratch.add_record(f"S{i}", "scratch", "s", {"market": ["SH", 1, None, 2.5]}, {"v": [1, {"k": None}]})
        scratch.build()
        scratch.find("scratch")
        del scratch
        if i % 20 == 0:
            core.save_snapshot(full, index)
            core.load_snapshot(full, index)

    tracemalloc.start()
    marks = []
    quarter = max(ITERATIONS // 4, 1)
    for i in range(4 * quarter):
        iteration(i)
        if (i + 1) % quarter == 0:
            gc.collect()
            marks.append((rss_bytes(), tracemalloc.get_traced_memory()[0]))
    tracemalloc.stop()

    (rss1, heap1), (rss2, heap2), (rss3, heap3), (rss4, heap4) = marks
    print(f"\nleaks: {4 * quarter * CALLS_PER_ITERATION} calls; RSS after each quarter (MiB) "
          f"{[round(m[0] / 2**20, 1) for m in marks]}; Python heap (KiB) {[round(m[1] / 1024) for m in marks]}")
    assert heap4 - heap3 <= max(heap2 - heap1, 0) + HEAP_NOISE, marks
    if not UNDER_ASAN:
        assert rss4 - rss3 <= max(rss2 - rss1, 0) + RSS_NOISE, marks
    assert core.filter({}) == [f"C{i:04d}" for i in range(200)]
