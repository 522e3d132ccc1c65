"""Instructions per record of ingestion, vedra_runtime against the peer, under callgrind.

    .venv-bench/bin/python bench/ingest_instructions.py [--n 20000] [--vedra-path build/bench]

On a shared machine the time of the same pass moves by up to twice between
processes (run.py's json.loads reference row shows it), which is more than
the ratio being measured.  Instruction counts do not move: each
implementation and path runs in its own process under
`valgrind --tool=callgrind`, once with the adds and once without them (the
same catalogue, the same legacy arguments, the same imports), and the
difference divided by n is what one record's add costs.  Cache misses are
not counted, so this is the CPU work the adds do, not their time.
"""
from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PATHS = {"payload": "add_record_payload", "legacy": "add_record"}


def worker(impl: str, path: str, n: int, adds: bool) -> None:
    sys.path.insert(0, HERE)
    import gc

    import catalogue

    if impl == "peer":
        import peer

        factory = peer.PeerCore
    else:
        import vedra_runtime

        factory = vedra_runtime.MetadataCore
    records = catalogue.records(n)
    rows = [catalogue.legacy_args(r) for r in records] if path == "legacy" else [(r,) for r in records]
    gc.freeze()
    core = factory()
    if adds:
        add = getattr(core, PATHS[path])
        for a in rows:
            add(*a)


def instructions(args: argparse.Namespace, impl: str, path: str, adds: bool) -> int:
    env = dict(os.environ)
    if args.vedra_path:
        env["PYTHONPATH"] = os.path.abspath(args.vedra_path) + os.pathsep + env.get("PYTHONPATH", "")
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__,
           "--worker", impl, path, str(args.n), "1" if adds else "0"]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    found = re.search(r"refs:\s+([\d,]+)", done.stderr)
    if done.returncode != 0 or not found:
        sys.exit(f"{impl} {path}: callgrind failed\n{done.stderr[-2000:]}")
    return int(found.group(1).replace(",", ""))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        impl, path, n, adds = sys.argv[2:6]
        worker(impl, path, int(n), adds == "1")
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20000, help="records (default 20000: about six minutes in all)")
    ap.add_argument("--vedra-path", default=None, help="directory holding the vedra_runtime to measure")
    args = ap.parse_args()
    print(f"{args.n} records, instructions per record of the adds alone (callgrind)")
    print(f"{'path':<22}{'vedra':>12}{'peer':>12}{'ratio':>9}")
    for path, method in PATHS.items():
        per = {}
        for impl in ("vedra", "peer"):
            per[impl] = (instructions(args, impl, path, True) - instructions(args, impl, path, False)) / args.n
        print(f"{method:<22}{per['vedra']:>12,.0f}{per['peer']:>12,.0f}{per['peer'] / per['vedra']:>8.2f}x")


if __name__ == "__main__":
    main()
