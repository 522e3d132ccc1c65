"""The split of one get: argument and lookup, import and attribute, building.

Runs on an engine of N catalogue records (default 10^5) and a sample of codes:
  lookup   get of an absent code (arguments, borrow, hash probe, None)
  import   PyImport_Import("json") + getattr "loads" as Python does them
  get      a whole get of a present code
  build    get minus lookup and minus the import/attribute step
and, for reference, json.loads of the same compact texts.

Usage: python bench/get_split.py [--n N] [--sample K]
"""
import argparse
import json
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from catalogue import records  # noqa: E402

from vedra_runtime import MetadataCore  # noqa: E402


def per_call_ns(fn, items, passes=7):
    times = []
    for _ in range(passes):
        t = time.perf_counter_ns()
        for x in items:
            fn(x)
        times.append((time.perf_counter_ns() - t) / len(items))
    return statistics.median(times[1:])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--sample", type=int, default=2000)
    a = ap.parse_args()
    cat = records(a.n, 1)
    core = MetadataCore()
    for r in cat:
        core.add_record_payload(r)
    step = max(1, a.n // a.sample)
    codes = [r["code"] for r in cat[::step]][: a.sample]
    texts = [json.dumps(r, ensure_ascii=False, separators=(",", ":"), sort_keys=True) for r in cat[::step]][: a.sample]
    absent = [c + "#" for c in codes]
    import_mod = __import__("importlib").import_module
    lookup = per_call_ns(core.get, absent)
    imp = per_call_ns(lambda _: getattr(sys.modules["json"] if "json" in sys.modules else import_mod("json"), "loads"), codes)
    get = per_call_ns(core.get, codes)
    loads = per_call_ns(json.loads, texts)
    print(f"n={a.n} sample={len(codes)} (ns per call)")
    print(f"  argument and lookup (absent code) {lookup:8.0f}")
    print(f"  import and attribute (upper bound) {imp:8.0f}")
    print(f"  whole get                          {get:8.0f}")
    print(f"  building the objects (remainder)   {get - lookup - imp:8.0f}")
    print(f"  json.loads of the same texts       {loads:8.0f}")


if __name__ == "__main__":
    main()
