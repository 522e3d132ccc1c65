"""The split of one get: argument and lookup, import and attribute, building.

Runs on an engine of N catalogue records (default 10^5) and the sample of
codes that bench/run.py reads (the same seed and draw), and times each step
in two loop forms:
  kept     the results of a pass are kept in a list, as bench/run.py does:
           every payload's objects are new memory, and the cyclic collector
           runs over the young ones as they pile up
  dropped  each result is released before the next call: the allocator
           hands the same warm blocks back and the collector never runs
The steps:
  lookup   get of an absent code (arguments, borrow, hash probe, None)
  fixed    get of a one-member payload minus lookup: PyImport_Import("json"),
           the attribute "loads", the check that it is the standard one, and
           one small dict
  get      a whole get of a present code
  build    get minus lookup and minus fixed
and, for reference, json.loads of the same compact texts and, when orjson is
importable, the peer's get (a dict of orjson texts by code + orjson.loads).

Figures are medians over --passes passes of thread CPU time (the first pass
is a warm-up), per call.

Usage: python bench/get_split.py [--n N] [--sample K] [--passes P] [--seed S]
"""
import argparse
import gc
import json
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from catalogue import DEFAULT_SEED, records  # noqa: E402

from vedra_runtime import MetadataCore  # noqa: E402


def per_call_ns(fn, items, kept, passes):
    times = []
    for _ in range(passes):
        if kept:
            t = time.thread_time_ns()
            out = [fn(x) for x in items]
            times.append((time.thread_time_ns() - t) / len(items))
            del out
        else:
            t = time.thread_time_ns()
            for x in items:
                fn(x)
            times.append((time.thread_time_ns() - t) / len(items))
    return statistics.median(times[1:])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--sample", type=int, default=2000)
    ap.add_argument("--passes", type=int, default=15)
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    a = ap.parse_args()
    cat = records(a.n, a.seed)
    core = MetadataCore()
    for r in cat:
        core.add_record_payload(r)
    rng = random.Random(a.seed)
    idx = [rng.randrange(a.n) for _ in range(min(a.sample, a.n))]
    codes = [cat[i]["code"] for i in idx]
    texts = [json.dumps(cat[i], ensure_ascii=False, separators=(",", ":"), sort_keys=True) for i in idx]
    absent = [c + "#" for c in codes]
    tiny = MetadataCore()
    tiny.add_record_payload({"code": "T"})
    tiny_codes = ["T"] * len(codes)
    peer_get = None
    try:
        import orjson
        store = {r["code"]: orjson.dumps(r, option=orjson.OPT_SORT_KEYS) for r in cat}
        oloads = orjson.loads
        peer_get = lambda c: oloads(store[c])  # noqa: E731
    except ImportError:
        pass
    gc.collect()
    gc.freeze()

    rows = {}
    for kept in (True, False):
        col = rows.setdefault("kept" if kept else "dropped", {})
        col["lookup"] = per_call_ns(core.get, absent, kept, a.passes)
        col["tiny"] = per_call_ns(tiny.get, tiny_codes, kept, a.passes)
        col["get"] = per_call_ns(core.get, codes, kept, a.passes)
        col["loads"] = per_call_ns(json.loads, texts, kept, a.passes)
        if peer_get is not None:
            col["peer"] = per_call_ns(peer_get, codes, kept, a.passes)
    print(f"n={a.n} sample={len(codes)} passes={a.passes} (ns per call, median of thread CPU time)")
    print(f"  {'':44s} {'kept':>8s} {'dropped':>8s}")

    def line(label, f, fmt="8.0f"):
        print(f"  {label:44s} {f(rows['kept']):{fmt}} {f(rows['dropped']):{fmt}}")
    line("argument and lookup (absent code)", lambda c: c["lookup"])
    line("import, attribute, check, one small dict", lambda c: c["tiny"] - c["lookup"])
    line("building the objects (remainder)", lambda c: c["get"] - c["tiny"])
    line("whole get", lambda c: c["get"])
    line("json.loads of the same texts", lambda c: c["loads"])
    if peer_get is not None:
        line("peer get (dict of orjson texts + orjson.loads)", lambda c: c["peer"])
        line("ratio get / peer get", lambda c: c["get"] / c["peer"], "8.2f")
    line("ratio get / json.loads", lambda c: c["get"] / c["loads"], "8.2f")


if __name__ == "__main__":
    main()
