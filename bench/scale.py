"""Scaling sweep: bench/run.py at several catalogue sizes, then a log-log plot.

    python bench/scale.py [--sizes 10000,100000,1000000] [--impl both] [--plot-only]

Writes bench/out/results-<n>.json for each size (as run.py does) and draws
docs/scaling.png: time per operation and memory against N for both
implementations (vedra solid, peer dashed). The 10^6 run takes several
minutes per implementation; --plot-only redraws from existing results.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
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


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated catalogue sizes")
    ap.add_argument("--impl", choices=["vedra", "peer", "both"], default="both")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "out"))
    ap.add_argument("--png", default=os.path.join(ROOT, "docs", "scaling.png"))
    ap.add_argument("--vedra-path", default=None, help="passed to run.py")
    ap.add_argument("--plot-only", action="store_true", help="redraw from existing results files")
    args = ap.parse_args()
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
