"""One record with many distinct "attributes" members: time of add_record_payload.

Usage: python bench/wide_record.py [--vedra-path DIR] [N ...]   (default 40000 100000)
"""
import argparse
import sys
import time

ap = argparse.ArgumentParser()
ap.add_argument("--vedra-path")
ap.add_argument("n", nargs="*", type=int, default=[40000, 100000])
args = ap.parse_args()
if args.vedra_path:
    sys.path.insert(0, args.vedra_path)
from vedra_runtime import MetadataCore  # noqa: E402

for n in args.n:
    record = {"code": "W", "name": "wide", "attributes": {f"a{i}": i for i in range(n)}}
    core = MetadataCore()
    t = time.perf_counter()
    core.add_record_payload(record)
    print(f"{n:>7} members: {time.perf_counter() - t:.3f} s")
