"""One ingestion pass and what it cost the process: wall, user and system time per record,
minor faults and RSS growth per record.

    .venv-bench/bin/python bench/ingest_rusage.py [--n 1000000] [--path payload|legacy] [--vedra-path DIR]

Faults and system time are what a fresh page costs, and do not move with the machine's
speed as wall time does; alternate processes of two builds to compare them.
"""
from __future__ import annotations

import argparse
import gc
import os
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1000000)
    ap.add_argument("--path", choices=["payload", "legacy"], default="payload")
    ap.add_argument("--vedra-path", default=None)
    args = ap.parse_args()
    if args.vedra_path:
        sys.path.insert(0, os.path.abspath(args.vedra_path))
    sys.path.insert(0, HERE)
    import catalogue
    from vedra_runtime import MetadataCore

    records = catalogue.records(args.n)
    legacy = [catalogue.legacy_args(r) for r in records] if args.path == "legacy" else None
    gc.freeze()
    before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    core = MetadataCore()
    if legacy is None:
        for r in records:
            core.add_record_payload(r)
    else:
        for a in legacy:
            core.add_record(*a)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_SELF)
    n = args.n
    print(f"n={n} {args.path}: wall {wall / n * 1e6:.2f} user {(after.ru_utime - before.ru_utime) / n * 1e6:.2f} "
          f"sys {(after.ru_stime - before.ru_stime) / n * 1e6:.2f} us/record, "
          f"{after.ru_minflt - before.ru_minflt} minor faults, "
          f"RSS +{(after.ru_maxrss - before.ru_maxrss) * 1024 / n:.0f} B/record")


if __name__ == "__main__":
    main()
