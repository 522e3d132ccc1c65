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

Every pass times every step in turn (an untimed warm-up pass first); a
figure is the median over --passes passes of thread CPU time per call, and a
ratio the median of the per-pass ratios, so that a change of load between
steps does not skew it.

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


def one_pass_ns(fn, items, kept):
    """Thread CPU nanoseconds per call of fn over items, once."""
    if kept:
        t = time.thread_time_ns()
        out = [fn(x) for x in items]
        ns = time.thread_time_ns() - t
        del out
    else:
        t = time.thread_time_ns()
        for x in items:
            fn(x)
        ns = time.thread_time_ns() - t
    return ns / len(items)


def measure(steps, kept, passes):
    """Per step, the per-pass figures: every pass times every step in turn,
    so that the figures of one pass share the machine's state of the moment
    and their ratios stay meaningful on a noisy machine."""
    out = {name: [] for name in steps}
    for _ in range(passes + 1):
        for name, (fn, items) in steps.items():
            out[name].append(one_pass_ns(fn, items, kept))
    return {name: v[1:] for name, v in out.items()}  # the first pass warms up


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

    steps = {"lookup": (core.get, absent), "tiny": (tiny.get, tiny_codes), "get": (core.get, codes),
             "loads": (json.loads, texts)}
    if peer_get is not None:
        steps["peer"] = (peer_get, codes)
    rows = {"kept": measure(steps, True, a.passes), "dropped": measure(steps, False, a.passes)}
    med = statistics.median
    print(f"n={a.n} sample={len(codes)} passes={a.passes} (ns per call: medians of thread CPU time;"
          " ratios: medians of per-pass ratios)")
    print(f"  {'':46s} {'kept':>8s} {'dropped':>8s}")

    def line(label, f, fmt="8.0f"):
        print(f"  {label:46s} {f(rows['kept']):{fmt}} {f(rows['dropped']):{fmt}}")

    def ratio(x, y):
        return lambda c: med(u / v for u, v in zip(c[x], c[y]))
    line("argument and lookup (absent code)", lambda c: med(c["lookup"]))
    line("import, attribute, check, one small dict", lambda c: med(t - u for t, u in zip(c["tiny"], c["lookup"])))
    line("building the objects (remainder)", lambda c: med(g - t for g, t in zip(c["get"], c["tiny"])))
    line("whole get", lambda c: med(c["get"]))
    line("json.loads of the same texts", lambda c: med(c["loads"]))
    if peer_get is not None:
        line("peer get (dict of orjson texts + orjson.loads)", lambda c: med(c["peer"]))
        line("ratio get / peer get", ratio("get", "peer"), "8.2f")
    line("ratio get / json.loads", ratio("get", "loads"), "8.2f")


if __name__ == "__main__":
    main()
