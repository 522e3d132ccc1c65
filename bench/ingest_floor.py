"""What a record costs to ingest at the least, against what it costs us and the peer.

    .venv-bench/bin/python bench/ingest_floor.py [--n 50000] [--vedra-path build/rel]

Every ingestion must at least walk the record's dict through the C API and
write its payload as JSON text with sorted keys.  orjson.dumps with
OPT_SORT_KEYS does exactly that and nothing more, in optimised native code,
so its time per record is a floor for any ingestion; the table sets it
beside add_record_payload of both implementations and the budget that 15
times the peer's rate would leave.  Medians of five passes.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def per_record_us(fn, records, passes=5) -> float:
    times = []
    for _ in range(passes):
        t0 = time.perf_counter()
        fn(records)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) / len(records) * 1e6


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=50000)
    ap.add_argument("--vedra-path", default=None)
    args = ap.parse_args()
    if args.vedra_path:
        sys.path.insert(0, os.path.abspath(args.vedra_path))
    sys.path.insert(0, HERE)
    import orjson

    import catalogue
    from peer import PeerCore
    from vedra_runtime import MetadataCore

    records = catalogue.records(args.n)
    sort_keys = orjson.OPT_SORT_KEYS

    def floor(rs):
        for r in rs:
            orjson.dumps(r, option=sort_keys)

    def ingest(factory):
        def run(rs):
            core = factory()
            for r in rs:
                core.add_record_payload(r)
        return run

    rows = [("orjson.dumps, sorted keys (floor)", per_record_us(floor, records)),
            ("vedra_runtime add_record_payload", per_record_us(ingest(MetadataCore), records)),
            ("peer add_record_payload", per_record_us(ingest(PeerCore), records))]
    peer = rows[2][1]
    print(f"n={args.n}, microseconds per record (median of 5 passes)")
    for label, us in rows:
        print(f"  {label:<36} {us:7.2f}")
    print(f"  {'budget at 15x the peer':<36} {peer / 15:7.2f}")


if __name__ == "__main__":
    main()
