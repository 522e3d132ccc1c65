"""Scaling sweep: bench/run.py at several catalogue sizes, then a log-log plot.

    python bench/scale.py [--sizes 10000,100000,1000000] [--impl both] [--plot-only]
                          [--load-phases 100000,1000000] [--bench-bin PATH] [--callgrind]
    python bench/scale.py --save-phases BENCH_BINARY [--save-sizes 100000,1000000]

Writes bench/out/results-<n>.json for each size (as run.py does) and draws
docs/scaling.png: time per operation and memory against N for both
implementations (vedra solid, peer dashed). The 10^6 run takes several
minutes per implementation; --plot-only redraws from existing results.

--load-phases prints the load phase table at those sizes: the native
benchmark (bench/native/snapshot_phases.cc, `cmake -DVEDRA_BUILD_BENCH=ON`)
over a snapshot of the catalogue of each size (made once with the
vedra_runtime being measured and kept under --snapshot-dir), thread CPU time
per phase, and with --callgrind the instruction count of one whole load.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SHAPES = ["one_key", "two_keys", "dotted_prefix", "not_key", "value_list", "code_lookup"]


def _geomean(values: list[float]) -> float | None:
    values = [v for v in values if v and v > 0]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def _series(res: dict) -> dict[str, float | None]:
    """Per-operation figures of one worker result, all 'lower is better'."""
    if not res or "missing" in res or "failed" in res:
        return {}

    def inv(key: str, scale: float) -> float | None:
        v = res.get(key)
        return scale / v if v else None
    return {
        "ingest add_record_payload": inv("ingest_payload_rec_s", 1e6),
        "ingest add_record": inv("ingest_legacy_rec_s", 1e6),
        "build": res.get("build_s"),
        "find 1-2 KB text": res.get("find_long_us_per_call"),
        "find 32 B text": res.get("find_short_us_per_call"),
        "filter (geomean of shapes)": _geomean([res.get("filter_us", {}).get(s) for s in SHAPES]),
        "filter code_lookup": res.get("filter_us", {}).get("code_lookup"),
        "get": res.get("get_us_per_payload"),
        "get_many": res.get("get_many_us_per_payload"),
        "save_snapshot": res.get("save_s"),
        "load_snapshot": res.get("load_s"),
        "peak RSS": (res.get("peak_rss_bytes") or 0) / 1e6 or None,
        "RSS growth per record": res.get("bytes_per_record"),
    }


PANELS = [
    ("ingest, us per record", ["ingest add_record_payload", "ingest add_record"]),
    ("build, s", ["build"]),
    ("find, us per call", ["find 1-2 KB text", "find 32 B text"]),
    ("filter, us per call", ["filter (geomean of shapes)", "filter code_lookup"]),
    ("get / get_many, us per payload", ["get", "get_many"]),
    ("snapshot, s", ["save_snapshot", "load_snapshot"]),
    ("peak RSS, MB", ["peak RSS"]),
    ("RSS growth, bytes per record", ["RSS growth per record"]),
]


def _n_label(v: float, _pos: object) -> str:
    e = math.log10(v) if v > 0 else 0
    return f"$10^{{{e:.0f}}}$" if abs(e - round(e)) < 1e-9 else f"{v:,.0f}"


def plot(paths: list[str], png: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    runs = []
    for p in paths:
        with open(p) as f:
            runs.append(json.load(f))
    runs.sort(key=lambda r: r["meta"]["n"])
    ns = [r["meta"]["n"] for r in runs]
    fig, axes = plt.subplots(2, 4, figsize=(18, 8.5))
    colors = ["tab:blue", "tab:orange"]
    for ax, (title, metrics) in zip(axes.flat, PANELS):
        for ci, metric in enumerate(metrics):
            for impl, style, marker in (("vedra", "-", "o"), ("peer", "--", "s")):
                pts = [(n, _series(r["results"].get(impl, {})).get(metric)) for n, r in zip(ns, runs)]
                pts = [(n, v) for n, v in pts if v]
                if pts:
                    ax.plot([p[0] for p in pts], [p[1] for p in pts], linestyle=style, marker=marker,
                            color=colors[ci % 2], label=f"{metric} ({impl})")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(ns)
        ax.xaxis.set_major_formatter(ticker.FuncFormatter(_n_label))
        ax.xaxis.set_minor_formatter(ticker.NullFormatter())
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(ticker.LogFormatter(labelOnlyBase=False, minor_thresholds=(1.5, 0.5)))
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("records (N)")
        ax.grid(True, which="both", alpha=0.3)
        if ax.lines:
            ax.legend(fontsize=7)
    missing = [impl for impl in ("vedra", "peer")
               if not any(_series(r["results"].get(impl, {})) for r in runs)]
    note = f" ({', '.join(missing)} not measured)" if missing else ""
    fig.suptitle("vedra_runtime (solid) vs Python peer (dashed), log-log; lower is better" + note)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(png)), exist_ok=True)
    fig.savefig(png, dpi=110)
    print(f"wrote {os.path.relpath(png)}")


LOAD_PHASES = [
    ("read", ["load.1 read"]),
    ("decompress full payload", ["load.2 decompress full"]),
    ("parse full payload", ["load.3a parse full"]),
    ("decompress + parse index payload", ["load.3c decompress + parse index in pieces (alone)"]),
    # The load decompresses the index payload a piece at a time, decodes it
    # and posts each document in one pass: posting is that pass less the
    # decompression and decoding timed alone.
    ("posting", ["load.4 rebuild: posting", "-load.3c decompress + parse index in pieces (alone)"]),
    ("sealing", ["load.4 rebuild: sealing"]),
    ("payloads", ["load.4 rebuild: payloads"]),
    ("build (matcher)", ["load.5 build"]),
]


def _native_phases(bench_bin: str, full: str, index: str, repeats: int) -> dict[str, float]:
    """Median thread CPU seconds per phase, as vedra_bench_snapshot prints them."""
    out = subprocess.run([bench_bin, full, index, str(repeats)], check=True, capture_output=True, text=True).stdout
    phases = {}
    for line in out.splitlines():
        line = line.strip()
        if line.startswith(("load.", "save.")) and " ms " in line:
            name, rest = line.split("  ", 1)
            phases[name.strip()] = float(rest.split("ms")[0]) / 1e3
    return phases


def _callgrind_instructions(bench_bin: str, full: str, index: str) -> int | None:
    """Instructions of one whole load (valgrind --tool=callgrind), or None."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "cg.out")
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", bench_bin, full, index,
                              "once"], capture_output=True, text=True)
        if run.returncode != 0:
            return None
        for line in run.stderr.splitlines():
            if "Collected :" in line:
                return int(line.split(":")[-1].strip())
    return None


_MAKE_SNAPSHOT = """
import sys
sys.path[:0] = [p for p in (sys.argv[4], sys.argv[5]) if p]
import catalogue, vedra_runtime
core = vedra_runtime.MetadataCore()
for r in catalogue.records(int(sys.argv[1])):
    core.add_record_payload(r)
core.save_snapshot(sys.argv[2], sys.argv[3])
"""


def load_phase_table(sizes: list[int], snapshot_dir: str, bench_bin: str, repeats: int = 3,
                     callgrind: bool = False, vedra_path: str | None = None) -> list[dict]:
    """Prints and returns the load phase table at each size, over the snapshot
    files <snapshot_dir>/<n>.full and <n>.index (written first when missing)."""
    rows = []
    os.makedirs(snapshot_dir, exist_ok=True)
    for n in sizes:
        full, index = os.path.join(snapshot_dir, f"{n}.full"), os.path.join(snapshot_dir, f"{n}.index")
        if not (os.path.exists(full) and os.path.exists(index)):
            print(f"== writing the snapshot of n={n}", flush=True)
            subprocess.run([sys.executable, "-c", _MAKE_SNAPSHOT, str(n), full, index, HERE, vedra_path or ""],
                           check=True)
        raw = _native_phases(bench_bin, full, index, repeats)
        row = {"n": n, "phases_s": {}}
        for label, parts in LOAD_PHASES:
            total = 0.0
            for part in parts:
                sign, key = (-1, part[1:]) if part.startswith("-") else (1, part)
                total += sign * raw.get(key, 0.0)
            row["phases_s"][label] = total
        row["total_s"] = sum(v for k, v in row["phases_s"].items())
        if callgrind:
            row["instructions"] = _callgrind_instructions(bench_bin, full, index)
        rows.append(row)
    if rows:
        print("load phases, thread CPU seconds (median of %d)" % repeats)
        print(f"  {'phase':<34}" + "".join(f"{'n=' + str(r['n']):>12}" for r in rows))
        for label, _ in LOAD_PHASES + [("total", None)]:
            vals = [r["total_s"] if label == "total" else r["phases_s"][label] for r in rows]
            print(f"  {label:<34}" + "".join(f"{v:12.3f}" for v in vals))
        if callgrind:
            print(f"  {'instructions (load)':<34}" + "".join(
                f"{(r['instructions'] or 0) / 1e9:11.2f}G" for r in rows))
    return rows
_SNAPSHOT_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[4]) if len(sys.argv) > 4 else None
sys.path.insert(0, sys.argv[3])
import vedra_runtime, catalogue
core = vedra_runtime.MetadataCore()
for r in catalogue.records(int(sys.argv[1]), 0):
    core.add_record_payload(r)
core.save_snapshot(sys.argv[2] + "/full.snap", sys.argv[2] + "/index.snap")
"""

# Catalogue sizes up to which the save is also run under callgrind (about
# 50 times slower) for instruction counts.
CALLGRIND_MAX_N = 100_000


def save_phase_table(bench: str, sizes: list[int], vedra_path: str | None, out_dir: str) -> None:
    """The save's phases at each size, beside its compression floor: thread
    CPU time from the native benchmark (vedra_bench_snapshot FULL INDEX 3, over
    a snapshot of the catalogue), and the instructions of one save_snapshot and
    of the floor under callgrind where that fits.  Prints a table and writes
    save-phases.json to out_dir."""
    rows: dict[str, dict[str, float]] = {}
    for n in sizes:
        with tempfile.TemporaryDirectory(prefix="vedra-save-phases-") as tmp:
            cmd = [sys.executable, "-c", _SNAPSHOT_CHILD, str(n), tmp, HERE] + ([vedra_path] if vedra_path else [])
            subprocess.run(cmd, check=True)
            full, index = os.path.join(tmp, "full.snap"), os.path.join(tmp, "index.snap")
            text = subprocess.run([bench, full, index, "3"], check=True, capture_output=True, text=True).stdout
            for m in re.finditer(r"^  (save\.\S+ .*?)\s+([0-9.]+) ms \(", text, re.M):
                rows.setdefault(m.group(1), {})[f"{n} ms"] = float(m.group(2))
            if n <= CALLGRIND_MAX_N:
                cg = os.path.join(tmp, "callgrind.out")
                subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={cg}", "--collect-atstart=no",
                                "--toggle-collect=vedra::save_snapshot*", "--toggle-collect=*FloorCompressor::run*",
                                bench, full, index, "1"], check=True, capture_output=True)
                ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", cg], check=True,
                                     capture_output=True, text=True).stdout
                # The floor runs twice per repeat (once to warm its context), the
                # save once: the floor's inclusive count is halved.
                for label, pat, calls in (("save.9 save_snapshot (CPU)", r"vedra::save_snapshot\(", 1),
                                          ("save.0 floor (libzstd level 3 alone)", r"FloorCompressor::run\(", 2)):
                    for line in ann.splitlines():
                        if re.search(pat, line):
                            rows.setdefault(label, {})[f"{n} Ir"] = float(line.split()[0].replace(",", "")) / calls
                            break
    cols = [f"{n} {u}" for n in sizes for u in ("ms", "Ir")]
    cols = [c for c in cols if any(c in r for r in rows.values())]
    print("save phases: thread CPU ms (median of 3), instructions (Ir) of one run under callgrind")
    print(f"| phase | {' | '.join(cols)} |")
    print("|---" * (len(cols) + 1) + "|")
    for label in sorted(rows):
        cells = [(f"{rows[label][c]:,.0f}" if c.endswith("Ir") else f"{rows[label][c]:.1f}") if c in rows[label]
                 else "-" for c in cols]
        print(f"| {label} | {' | '.join(cells)} |")
    for n in sizes:
        for unit in ("ms", "Ir"):
            save = rows.get("save.9 save_snapshot (CPU)", {}).get(f"{n} {unit}")
            floor = rows.get("save.0 floor (libzstd level 3 alone)", {}).get(f"{n} {unit}")
            if save and floor:
                print(f"n={n}: save_snapshot = {save / floor:.2f} x its compression floor ({unit})")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "save-phases.json"), "w") as f:
        json.dump(rows, f, indent=1)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated catalogue sizes")
    ap.add_argument("--impl", choices=["vedra", "peer", "both"], default="both")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "out"))
    ap.add_argument("--png", default=os.path.join(ROOT, "docs", "scaling.png"))
    ap.add_argument("--vedra-path", default=None, help="passed to run.py")
    ap.add_argument("--plot-only", action="store_true", help="redraw from existing results files")
    ap.add_argument("--load-phases", default=None, help="sizes for the load phase table (e.g. 100000,1000000)")
    ap.add_argument("--snapshot-dir", default=os.path.join(HERE, "out", "snapshots"),
                    help="where run.py leaves <n>.full / <n>.index for the phase tables")
    ap.add_argument("--bench-bin", default=os.path.join(ROOT, "build", "bench", "vedra_bench_snapshot"))
    ap.add_argument("--callgrind", action="store_true", help="add instruction counts (slow: ~50x)")
    ap.add_argument("--save-phases", metavar="BENCH", default=None,
                    help="only the save phase table, with this vedra_bench_snapshot binary")
    ap.add_argument("--save-sizes", default="100000,1000000", help="catalogue sizes of the save phase table")
    args = ap.parse_args()
    if args.load_phases:
        load_phase_table([int(s) for s in args.load_phases.split(",") if s.strip()], args.snapshot_dir,
                         args.bench_bin, callgrind=args.callgrind, vedra_path=args.vedra_path)
        return
    if args.save_phases:
        save_phase_table(args.save_phases, [int(s) for s in args.save_sizes.split(",") if s.strip()],
                         args.vedra_path, args.out_dir)
        return
    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]
    paths = [os.path.join(args.out_dir, f"results-{n}.json") for n in sizes]
    if not args.plot_only:
        for n, path in zip(sizes, paths):
            cmd = [sys.executable, os.path.join(HERE, "run.py"), "--n", str(n), "--impl", args.impl, "--out", path]
            if args.vedra_path:
                cmd += ["--vedra-path", args.vedra_path]
            print(f"== n={n}", flush=True)
            t0 = time.perf_counter()
            subprocess.run(cmd, check=True)
            print(f"== n={n} took {time.perf_counter() - t0:.0f} s", flush=True)
    plot([p for p in paths if os.path.exists(p)], args.png)


if __name__ == "__main__":
    main()
