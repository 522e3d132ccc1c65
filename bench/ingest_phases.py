"""Ingestion, build, save and load of one catalogue, phase by phase.

    .venv/bin/python bench/ingest_phases.py [--n 100000] [--vedra-path DIR] [--passes 3]

The catalogue (bench/catalogue.py) is generated once and cached as a pickle
under the temporary directory, so that a run measures the engine only and two
builds of the module can be timed in alternation (each in its own process,
--vedra-path naming the directory to import vedra_runtime from).  Prints the
median of each phase over the passes, in seconds.
"""
from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def catalogue(n: int) -> list[dict]:
    cache = os.path.join(tempfile.gettempdir(), f"vedra-catalogue-{n}.pickle")
    if os.path.exists(cache):
        with open(cache, "rb") as f:
            return pickle.load(f)
    sys.path.insert(0, HERE)
    import catalogue as gen

    records = gen.records(n)
    with open(cache + ".part", "wb") as f:
        pickle.dump(records, f)
    os.replace(cache + ".part", cache)
    return records


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--vedra-path", default=None)
    args = ap.parse_args()
    records = catalogue(args.n)
    if args.vedra_path:
        sys.path.insert(0, args.vedra_path)
    import vedra_runtime

    flat = [(r["code"], r["name"], r["pinyin"],
             {"market": r["market"], **{k: str(v) for k, v in r["attributes"].items()}}, r) for r in records]
    phases: dict[str, list[float]] = {}

    def timed(name, fn):
        t0 = time.perf_counter()
        out = fn()
        phases.setdefault(name, []).append(time.perf_counter() - t0)
        return out

    with tempfile.TemporaryDirectory() as d:
        for _ in range(args.passes):
            core = vedra_runtime.MetadataCore()
            timed("add_record_payload", lambda: [core.add_record_payload(r) for r in records])
            other = vedra_runtime.MetadataCore()
            timed("add_record", lambda: [other.add_record(*f) for f in flat])
            timed("build", core.build)
            timed("save", lambda: core.save_snapshot(d + "/full", d + "/index"))
            loaded = vedra_runtime.MetadataCore()
            timed("load", lambda: loaded.load_snapshot(d + "/full", d + "/index"))
    print(" ".join(f"{k} {statistics.median(v):.3f}" for k, v in phases.items()))


if __name__ == "__main__":
    main()
