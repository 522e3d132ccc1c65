"""Benchmark runner: vedra_runtime.MetadataCore against bench/peer.py.

    python bench/run.py [--n 100000] [--quick] [--impl {vedra,peer,both}] [--out PATH]

Each implementation runs in its own subprocess (this file with --worker), so
peak RSS is per implementation and neither heats the other's caches. Both
generate the same catalogue (bench/catalogue.py, same seed). The parent
prints a table and writes JSON (default bench/out/results-<n>.json).

Timings are medians of time.perf_counter_ns over repeats after one warm-up
pass (the heavy operations, ingest, build, save and load, are their own
warm-up and are repeated fewer times). If vedra_runtime cannot be imported
the runner says so and still measures the peer.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import hashlib
import json
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SHAPES_ORDER = ["one_key", "two_keys", "dotted_prefix", "not_key", "value_list", "code_lookup"]


# ---------------------------------------------------------------------------
# Worker


def _rss_now() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _log(impl: str, msg: str) -> None:
    print(f"[{impl}] {msg}", file=sys.stderr, flush=True)


def _passes(fn: Callable[[], Any], repeats: int, warmup: int = 1) -> list[int]:
    """Nanoseconds of each timed pass of fn, after warmup untimed passes."""
    for _ in range(warmup):
        fn()
    out = []
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        fn()
        out.append(time.perf_counter_ns() - t0)
    return out


_FLOOR_CHILD = r"""
import ctypes, ctypes.util, sys, time, zstandard
# The library the engine compresses with, when it can be found (else the
# zstandard module's own copy).  Its context and the output buffer are made
# and used once before the timed call, as a save's own buffers are warm: the
# floor pays neither the tables' first use nor the output's page faults.
name = ctypes.util.find_library("zstd")
lib = ctypes.CDLL(name) if name else None
if lib is not None:
    lib.ZSTD_compressBound.restype = ctypes.c_size_t
    lib.ZSTD_compressBound.argtypes = [ctypes.c_size_t]
    lib.ZSTD_createCCtx.restype = ctypes.c_void_p
    lib.ZSTD_compressCCtx.restype = ctypes.c_size_t
    lib.ZSTD_compressCCtx.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p,
                                      ctypes.c_size_t, ctypes.c_int]
    lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
    cctx = lib.ZSTD_createCCtx()
payloads = []
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        f.seek(24)
        raw_length = int.from_bytes(f.read(8), "little")
        f.seek(128)
        payloads.append(zstandard.ZstdDecompressor().decompress(f.read(), max_output_size=raw_length))
if lib is not None:
    outs = [ctypes.create_string_buffer(lib.ZSTD_compressBound(len(p))) for p in payloads]
    def compress(i):
        n = lib.ZSTD_compressCCtx(cctx, outs[i], len(outs[i]), payloads[i], len(payloads[i]), 3)
        if lib.ZSTD_isError(n):
            raise RuntimeError("compression failed")
else:
    compressor = zstandard.ZstdCompressor(level=3)
    def compress(i):
        compressor.compress(payloads[i])
for i in range(len(payloads)):
    compress(i)
total = 0
for i in range(len(payloads)):
    t0 = time.perf_counter_ns()
    compress(i)
    total += time.perf_counter_ns() - t0
print(total / 1e9)
"""


def _compression_floor_s(paths: tuple[str, ...]) -> float:
    """Seconds libzstd alone takes to compress the payloads of the given
    container files at level 3 (one call per payload, with the library the
    engine links where ctypes finds it, else the zstandard module's), its
    context and output buffers warmed by an untimed call first: the least a
    save of them can cost.  The payloads are decompressed from their files
    first, in a child process, so that they do not count in this worker's
    peak RSS."""
    out = subprocess.run([sys.executable, "-c", _FLOOR_CHILD, *paths], check=True,
                         capture_output=True, text=True).stdout
    return float(out.strip())


def _per_call_us(fn: Callable[[], Any], repeats: int, budget_ns: int = 20_000_000) -> float:
    """Median microseconds per call, calls batched to fill about budget_ns."""
    t0 = time.perf_counter_ns()
    fn()
    one = max(time.perf_counter_ns() - t0, 1)
    k = max(1, min(2000, budget_ns // one))

    def batch() -> None:
        for _ in range(k):
            fn()
    return statistics.median(_passes(batch, repeats)) / k / 1000


def _digest(obj: Any) -> str:
    return hashlib.sha256(json.dumps(obj, ensure_ascii=False, sort_keys=True).encode()).hexdigest()[:16]


def _factory(impl: str):
    if impl == "vedra":
        import vedra_runtime
        return vedra_runtime.MetadataCore
    import peer
    return peer.PeerCore


def _ingest(factory: Callable[[], Any], method: str, rows: list[Any], star: bool) -> tuple[Any, int]:
    """A fresh engine filled with rows through method; returns (engine, ns)."""
    core = factory()
    add = getattr(core, method)
    t0 = time.perf_counter_ns()
    if star:
        for a in rows:
            add(*a)
    else:
        for r in rows:
            add(r)
    return core, time.perf_counter_ns() - t0


def run_worker(args: argparse.Namespace) -> dict[str, Any]:
    impl = args.worker
    try:
        factory = _factory(impl)
        factory()
    except Exception as e:  # the module is not built yet, or is broken
        return {"missing": f"{type(e).__name__}: {e}"}

    import catalogue
    res: dict[str, Any] = {"impl": impl, "n": args.n, "errors": {}}
    digests: dict[str, str] = {}
    res["digests"] = digests
    wall0 = time.perf_counter()

    def section(name: str, fn: Callable[[], None]) -> bool:
        """Runs one measured section; a failure is recorded and the run goes on."""
        try:
            fn()
            return True
        except Exception as e:
            res["errors"][name] = f"{type(e).__name__}: {e}"
            _log(impl, f"{name} FAILED: {type(e).__name__}: {e}")
            return False

    t0 = time.perf_counter()
    cat = catalogue.records(args.n, args.seed)
    legacy = [catalogue.legacy_args(r) for r in cat]
    long_texts = catalogue.texts(cat, args.long_texts, (1024, 2048), args.seed)
    short_texts = catalogue.texts(cat, args.short_texts, (32, 32), args.seed + 1)
    all_texts = long_texts + short_texts
    shapes = catalogue.filter_shapes(cat)
    rng = random.Random(args.seed)
    sample_idx = [rng.randrange(args.n) for _ in range(args.get_sample)]
    sample_codes = [cat[i]["code"] for i in sample_idx]
    compact = [json.dumps(cat[i], ensure_ascii=False, separators=(",", ":"), sort_keys=True) for i in sample_idx]
    batches = [sample_codes[i:i + 100] for i in range(0, len(sample_codes), 100)]
    res["gen_s"] = time.perf_counter() - t0
    res["payload_avg_bytes"] = sum(len(c.encode()) for c in compact) / max(1, len(compact))
    long_bytes = sum(len(t.encode()) for t in long_texts)
    _log(impl, f"catalogue of {args.n} records generated in {res['gen_s']:.1f} s")

    # The catalogue is scaffolding, not the implementation: keep the cyclic
    # collector off it so only the implementation's own objects cost GC time.
    gc.collect()
    gc.freeze()
    rss0 = _rss_now()
    res["rss_baseline_bytes"] = rss0
    st: dict[str, Any] = {}

    # -- ingest (payload path); this engine serves every query -------------------
    def ingest() -> None:
        st["core"], ns = _ingest(factory, "add_record_payload", cat, star=False)
        st["ingest_payload"] = [ns]
        res["ingest_payload_rec_s"] = args.n / ns * 1e9
        res["bytes_per_record"] = (_rss_now() - rss0) / args.n
        _log(impl, f"add_record_payload: {args.n / ns * 1e9:,.0f} records/s")

    def build() -> None:
        res["build_s"] = statistics.median(_passes(st["core"].build, args.heavy_repeats, warmup=0)) / 1e9
        _log(impl, f"build: {res['build_s']:.3f} s")

    def find() -> None:
        f = st["core"].find
        long_ns = statistics.median(_passes(lambda: [f(t) for t in long_texts], args.repeats))
        res["find_long_mb_s"] = long_bytes / long_ns * 1e3
        res["find_long_us_per_call"] = long_ns / len(long_texts) / 1e3
        short_ns = statistics.median(_passes(lambda: [f(t) for t in short_texts], args.repeats))
        res["find_short_us_per_call"] = short_ns / len(short_texts) / 1e3
        found = [f(t) for t in all_texts]
        res["find_hits_per_long_text"] = sum(len(x) for x in found[:len(long_texts)]) / len(long_texts)
        digests["find"] = _digest(found)
        _log(impl, f"find: {res['find_long_mb_s']:.1f} MB/s (1-2 KB), "
                   f"{res['find_short_us_per_call']:.2f} us/call (32 B)")

    def pyaho() -> None:
        import peer
        t0 = time.perf_counter_ns()
        base = peer.PyAhoBaseline.from_peer(st["core"])
        res["pyaho_build_s"] = (time.perf_counter_ns() - t0) / 1e9
        f = base.find
        ns = statistics.median(_passes(lambda: [f(t) for t in long_texts], args.repeats))
        res["pyaho_find_long_mb_s"] = long_bytes / ns * 1e3
        ns = statistics.median(_passes(lambda: [f(t) for t in short_texts], args.repeats))
        res["pyaho_find_short_us_per_call"] = ns / len(short_texts) / 1e3
        digests["find_pyahocorasick"] = _digest([f(t) for t in all_texts])
        _log(impl, f"pyahocorasick: {res['pyaho_find_long_mb_s']:.1f} MB/s (1-2 KB)")

    def filters() -> None:
        flt = st["core"].filter
        res["filter_us"] = {}
        res["filter_count"] = {}
        for name in SHAPES_ORDER:
            spec = shapes[name]
            res["filter_us"][name] = _per_call_us(lambda: flt(spec), args.repeats)
            out = flt(spec)
            res["filter_count"][name] = len(out)
            digests["filter." + name] = _digest(out)
        digests["filters"] = _digest([flt(shapes[s]) for s in SHAPES_ORDER])
        _log(impl, "filter: " + ", ".join(f"{k} {v:.1f} us" for k, v in res["filter_us"].items()))

    def get() -> None:
        g = st["core"].get
        k = len(sample_codes)
        res["get_us_per_payload"] = statistics.median(
            _passes(lambda: [g(c) for c in sample_codes], args.repeats)) / k / 1e3
        got = [g(c) for c in sample_codes]
        digests["get"] = _digest(got)
        digests["get_matches_catalogue"] = str(got == [json.loads(c) for c in compact])
        _log(impl, f"get: {res['get_us_per_payload']:.2f} us per payload")

    def get_many() -> None:
        gm = st["core"].get_many
        res["get_many_us_per_payload"] = statistics.median(
            _passes(lambda: [gm(b) for b in batches], args.repeats)) / len(sample_codes) / 1e3
        digests["get_many"] = _digest([p for b in batches for p in gm(b)])
        _log(impl, f"get_many: {res['get_many_us_per_payload']:.2f} us per payload")

    def decoders() -> None:
        loads = json.loads
        k = len(compact)
        res["json_loads_us_per_payload"] = statistics.median(
            _passes(lambda: [loads(c) for c in compact], args.repeats)) / k / 1e3
        # The texts above were made one after another and stay in cache
        # between passes; a store's payloads do not.  The same measurement
        # over 2,000 texts drawn from 20,000 (about 26 MB of str data).
        pool = [json.dumps(r, ensure_ascii=False, separators=(",", ":"), sort_keys=True) for r in cat[:20000]]
        spread = random.Random(args.seed + 2).sample(pool, min(len(pool), len(compact)))
        res["json_loads_spread_us_per_payload"] = statistics.median(
            _passes(lambda: [loads(c) for c in spread], args.repeats)) / len(spread) / 1e3
        del pool, spread
        blobs = [c.encode() for c in compact]
        res["json_loads_utf8_us_per_payload"] = statistics.median(
            _passes(lambda: [loads(b.decode()) for b in blobs], args.repeats)) / k / 1e3
        import orjson
        oloads = orjson.loads
        res["orjson_loads_us_per_payload"] = statistics.median(
            _passes(lambda: [oloads(c) for c in compact], args.repeats)) / k / 1e3
        # The fixed cost of get on top of decoding: an engine holding one
        # record with a one-member payload, get() against json.loads of it.
        tiny = factory()
        tiny.add_record_payload({"code": "T"})
        tiny_get, tiny_text = tiny.get, '{"code":"T"}'
        res["get_tiny_us"] = _per_call_us(lambda: tiny_get("T"), args.repeats)
        res["json_loads_tiny_us"] = _per_call_us(lambda: loads(tiny_text), args.repeats)

    def save() -> None:
        core = st["core"]
        full, index, manifest = st["paths"]
        saves = _passes(lambda: core.save_snapshot(full, index, manifest), args.heavy_repeats, warmup=0)
        res["save_s"] = statistics.median(saves) / 1e9
        res["full_file_bytes"] = os.path.getsize(full)
        res["index_file_bytes"] = os.path.getsize(index)
        with open(manifest) as f:
            digests["manifest_codes"] = json.load(f)["full_codes_sha256"][:16]
        _log(impl, f"save: {res['save_s']:.2f} s, files {res['full_file_bytes'] / 1e6:.1f} + "
                   f"{res['index_file_bytes'] / 1e6:.1f} MB")
        if impl == "vedra":
            res["save_floor_s"] = _compression_floor_s((full, index))
            res["save_over_floor"] = res["save_s"] / res["save_floor_s"]
            _log(impl, f"save compression floor: {res['save_floor_s']:.2f} s "
                       f"(save = {res['save_over_floor']:.2f} x floor)")

    def load() -> None:
        full, index, _ = st["paths"]
        # Each load goes into a fresh engine, as at process start-up.
        loads_ns = []
        for _ in range(args.heavy_repeats):
            st["loaded"] = None
            gc.collect()
            st["loaded"] = loaded = factory()
            t0 = time.perf_counter_ns()
            loaded.load_snapshot(full, index)
            loads_ns.append(time.perf_counter_ns() - t0)
        res["load_s"] = statistics.median(loads_ns) / 1e9
        _log(impl, f"load: {res['load_s']:.2f} s")
        loaded = st["loaded"]
        digests["after_load_filter"] = _digest([loaded.filter(shapes[s]) for s in SHAPES_ORDER])
        digests["after_load_find"] = _digest([loaded.find(t) for t in all_texts])
        res["load_roundtrip_ok"] = (digests["after_load_find"] == digests.get("find")
                                    and digests["after_load_filter"] == digests.get("filters"))

    def more_ingest() -> None:
        for _ in range(args.heavy_repeats - 1):
            core, ns = _ingest(factory, "add_record_payload", cat, star=False)
            st["ingest_payload"].append(ns)
            del core
            gc.collect()
        res["ingest_payload_rec_s"] = args.n / statistics.median(st["ingest_payload"]) * 1e9

    def legacy_ingest() -> None:
        runs = []
        for i in range(args.heavy_repeats):
            core, ns = _ingest(factory, "add_record", legacy, star=True)
            runs.append(ns)
            if i == 0:
                digests["legacy_filter"] = _digest([core.filter(shapes[s]) for s in SHAPES_ORDER])
            del core
            gc.collect()
        res["ingest_legacy_rec_s"] = args.n / statistics.median(runs) * 1e9
        _log(impl, f"add_record: {res['ingest_legacy_rec_s']:,.0f} records/s")

    if section("ingest", ingest):
        for name, fn in (("build", build), ("find", find), ("filter", filters), ("get", get),
                         ("get_many", get_many)):
            section(name, fn)
        if impl == "peer":
            section("pyahocorasick", pyaho)
        tmp = tempfile.mkdtemp(prefix=f"vedra-bench-{impl}-", dir=args.tmp)
        try:
            st["paths"] = tuple(os.path.join(tmp, f) for f in ("full.snap", "index.snap", "manifest.json"))
            saved = section("save_snapshot", save)
            # One engine alive at a time, so peak RSS is that of one engine.
            st["core"] = None
            gc.collect()
            if saved:
                section("load_snapshot", load)
            st["loaded"] = None
            gc.collect()
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        section("ingest_repeats", more_ingest)
    section("decoders", decoders)
    section("add_record", legacy_ingest)

    def store_reference() -> None:
        # get's work done in plain Python over a store of the same size: every
        # record's compact text as UTF-8 bytes in a dict by code; each sample
        # payload is looked up, decoded and handed to json.loads.  Unlike the
        # 2,000 texts above, these are spread over the whole store, as the
        # engine's payloads are.  Last, so that it cannot raise the peak RSS.
        store = {r["code"]: json.dumps(r, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()
                 for r in cat}
        loads = json.loads
        res["json_loads_store_us_per_payload"] = statistics.median(
            _passes(lambda: [loads(store[c].decode()) for c in sample_codes], args.repeats)) / len(sample_codes) / 1e3

    section("store_reference", store_reference)

    res["peak_rss_bytes"] = _peak_rss()
    res["worker_wall_s"] = time.perf_counter() - wall0
    return res


# ---------------------------------------------------------------------------
# Parent

# (key, label, unit, higher_is_better, format)
ROWS: list[tuple[str, str, str, bool, str]] = [
    ("ingest_payload_rec_s", "ingest add_record_payload", "rec/s", True, "{:,.0f}"),
    ("ingest_legacy_rec_s", "ingest add_record", "rec/s", True, "{:,.0f}"),
    ("build_s", "build", "s", False, "{:.3f}"),
    ("find_long_mb_s", "find, 1-2 KB texts", "MB/s", True, "{:.1f}"),
    ("find_short_us_per_call", "find, 32 B texts", "us/call", False, "{:.2f}"),
    *[(f"filter_us.{s}", f"filter {s}", "us/call", False, "{:.1f}") for s in SHAPES_ORDER],
    ("get_us_per_payload", "get", "us/payload", False, "{:.2f}"),
    ("get_many_us_per_payload", "get_many (100 codes)", "us/payload", False, "{:.2f}"),
    ("save_s", "save_snapshot (with manifest)", "s", False, "{:.3f}"),
    ("save_floor_s", "  floor: zstd level 3 alone", "s", False, "{:.3f}"),
    ("save_over_floor", "  save / floor", "x", False, "{:.2f}"),
    ("load_s", "load_snapshot", "s", False, "{:.3f}"),
    ("full_file_bytes", "full file size", "MB", False, "{:.2f}"),
    ("index_file_bytes", "index file size", "MB", False, "{:.2f}"),
    ("peak_rss_bytes", "peak RSS", "MB", False, "{:.0f}"),
    ("bytes_per_record", "RSS growth per record", "B/rec", False, "{:.0f}"),
]
SCALE_MB = {"full_file_bytes", "index_file_bytes", "peak_rss_bytes"}


def _lookup(res: dict[str, Any] | None, key: str) -> float | None:
    if not res or "missing" in res or "failed" in res:
        return None
    cur: Any = res
    for part in key.split("."):
        if not isinstance(cur, dict) or part not in cur:
            return None
        cur = cur[part]
    return float(cur)


def _fmt(v: float | None, fmt: str, key: str) -> str:
    if v is None:
        return "-"
    if key in SCALE_MB:
        v = v / 1e6
    return fmt.format(v)


def _ratio(ours: float | None, theirs: float | None, higher: bool) -> float | None:
    if ours is None or theirs is None or ours <= 0 or theirs <= 0:
        return None
    return ours / theirs if higher else theirs / ours


def build_table(results: dict[str, Any], meta: dict[str, Any]) -> tuple[str, list[dict[str, Any]]]:
    v = results.get("vedra")
    p = results.get("peer")
    lines = [
        f"vedra_runtime.MetadataCore vs PeerCore (Python: pyroaring, ahocorasick_rs, orjson, zstandard)",
        f"n={meta['n']} seed={meta['seed']} repeats={meta['repeats']} heavy_repeats={meta['heavy_repeats']}"
        f"{' quick' if meta['quick'] else ''}; medians after warm-up",
        "ratio = vedra advantage: >1 means vedra_runtime is better (faster or smaller), <1 the peer is",
        "",
    ]
    head = f"{'metric':<34} {'unit':<11} {'vedra':>13} {'peer':>13} {'ratio':>8}"
    lines += [head, "-" * len(head)]
    rows = []

    def emit(label: str, unit: str, key: str, ov: float | None, pv: float | None, higher: bool, fmt: str):
        r = _ratio(ov, pv, higher)
        lines.append(f"{label:<34} {unit:<11} {_fmt(ov, fmt, key):>13} {_fmt(pv, fmt, key):>13} "
                     f"{'-' if r is None else f'{r:.2f}x':>8}")
        rows.append({"key": key, "label": label, "unit": unit, "vedra": ov, "peer": pv,
                     "higher_is_better": higher, "ratio": r})

    for key, label, unit, higher, fmt in ROWS:
        emit(label, unit, key, _lookup(v, key), _lookup(p, key), higher, fmt)
        if key == "find_short_us_per_call":
            emit("  vs pyahocorasick, 1-2 KB", "MB/s", "pyaho_find_long_mb_s",
                 _lookup(v, "find_long_mb_s"), _lookup(p, "pyaho_find_long_mb_s"), True, "{:.1f}")
            emit("  vs pyahocorasick, 32 B", "us/call", "pyaho_find_short_us_per_call",
                 _lookup(v, "find_short_us_per_call"), _lookup(p, "pyaho_find_short_us_per_call"), False, "{:.2f}")
    lines.append("")
    lines.append("reference (same in both processes, not a ratio):")
    for key, label in [("json_loads_us_per_payload", "json.loads of the same compact text"),
                       ("json_loads_utf8_us_per_payload", "the same from UTF-8 bytes (decode+loads)"),
                       ("json_loads_spread_us_per_payload", "json.loads, 2,000 of 20,000 texts"),
                       ("json_loads_store_us_per_payload", "dict of all texts by code, decode+loads"),
                       ("orjson_loads_us_per_payload", "orjson.loads of the same compact text"),
                       ("get_tiny_us", "get of a one-member payload"),
                       ("json_loads_tiny_us", "json.loads of that payload's text")]:
        lines.append(f"  {label:<40} us/payload {_fmt(_lookup(v, key), '{:.2f}', key):>8} "
                     f"{_fmt(_lookup(p, key), '{:.2f}', key):>8}")
    if p and "pyaho_build_s" in p:
        lines.append(f"  {'pyahocorasick automaton build':<40} s          {'':>8} {p['pyaho_build_s']:>8.3f}")
    for name, res in (("vedra", v), ("peer", p)):
        if res is None:
            continue
        if "missing" in res:
            lines.append(f"  {name}: not measured: vedra_runtime not importable ({res['missing']})")
        elif "failed" in res:
            lines.append(f"  {name}: not measured: {res['failed']}")
        else:
            for section, err in res.get("errors", {}).items():
                lines.append(f"  {name}: {section} FAILED: {err}")
            if "filter_count" not in res:
                continue
            lines.append(f"  {name}: filter result sizes "
                         + ", ".join(f"{s} {res['filter_count'][s]}" for s in SHAPES_ORDER)
                         + f"; baseline RSS {res['rss_baseline_bytes'] / 1e6:.0f} MB"
                         + f"; payload {res['payload_avg_bytes']:.0f} B avg; worker {res['worker_wall_s']:.0f} s")
    lines += _agreement(v, p)
    return "\n".join(lines), rows


def _agreement(v: dict[str, Any] | None, p: dict[str, Any] | None) -> list[str]:
    out = ["", "answers:"]
    for name, res in (("vedra", v), ("peer", p)):
        if not res or "digests" not in res:
            continue
        d = res["digests"]
        notes = [f"load round trip {'ok' if res.get('load_roundtrip_ok') else 'DIFFERS or not run'}",
                 f"get equals catalogue {d.get('get_matches_catalogue')}",
                 "legacy path filters " + ("equal" if d.get("legacy_filter") == d.get("filters") else "DIFFER")]
        if "find_pyahocorasick" in d:
            notes.append("pyahocorasick " + ("agrees" if d["find_pyahocorasick"] == d["find"] else "DIFFERS"))
        out.append(f"  {name}: " + "; ".join(notes))
    if v and p and "digests" in v and "digests" in p:
        dv, dp = v["digests"], p["digests"]
        keys = [k for k in dp if k in dv and k not in ("find_pyahocorasick",)]
        differ = [k for k in keys if dv[k] != dp[k]]
        out.append("  vedra vs peer: " + ("all answers agree" if not differ else "DIFFER in " + ", ".join(differ)))
    return out


def _spawn(impl: str, args: argparse.Namespace, result_path: str) -> dict[str, Any]:
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", impl, "--result-file", result_path,
           "--n", str(args.n), "--seed", str(args.seed), "--repeats", str(args.repeats),
           "--heavy-repeats", str(args.heavy_repeats), "--long-texts", str(args.long_texts),
           "--short-texts", str(args.short_texts), "--get-sample", str(args.get_sample)]
    if args.tmp:
        cmd += ["--tmp", args.tmp]
    env = dict(os.environ)
    if args.vedra_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.vedra_path, env.get("PYTHONPATH")]))
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, env=env)
    wall = time.perf_counter() - t0
    if proc.returncode != 0 or not os.path.exists(result_path):
        return {"failed": f"worker exited with status {proc.returncode} (see its messages above)", "wall_s": wall}
    with open(result_path) as f:
        res = json.load(f)
    res["process_wall_s"] = wall
    return res


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=None, help="records (default 100000; 20000 with --quick)")
    ap.add_argument("--quick", action="store_true", help="small n and few repeats: about a minute")
    ap.add_argument("--impl", choices=["vedra", "peer", "both"], default="both")
    ap.add_argument("--out", default=None, help="JSON results (default bench/out/results-<n>.json)")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--repeats", type=int, default=None, help="timed passes of queries (default 7; 5 quick)")
    ap.add_argument("--heavy-repeats", type=int, default=None,
                    help="runs of ingest, build, save, load (default 3, 1 from n=300000; 2 quick)")
    ap.add_argument("--long-texts", type=int, default=None, help="1-2 KB texts for find (default 200; 100 quick)")
    ap.add_argument("--short-texts", type=int, default=None, help="32 B texts for find (default 5000; 3000 quick)")
    ap.add_argument("--get-sample", type=int, default=None, help="codes read by get/get_many (default 2000; 1000 quick)")
    ap.add_argument("--vedra-path", default=None, help="directory to put first on PYTHONPATH for vedra_runtime")
    ap.add_argument("--tmp", default=None, help="directory for snapshot files (default: system temp)")
    ap.add_argument("--worker", choices=["vedra", "peer"], help=argparse.SUPPRESS)
    ap.add_argument("--result-file", help=argparse.SUPPRESS)
    args = ap.parse_args()

    q = args.quick
    if args.n is None:
        args.n = 20000 if q else 100000
    if args.repeats is None:
        args.repeats = 5 if q else 7
    if args.heavy_repeats is None:
        args.heavy_repeats = 2 if q else (1 if args.n >= 300000 else 3)
    if args.long_texts is None:
        args.long_texts = 100 if q else 200
    if args.short_texts is None:
        args.short_texts = 3000 if q else 5000
    if args.get_sample is None:
        args.get_sample = 1000 if q else 2000
    args.get_sample = min(args.get_sample, args.n)

    if args.worker:
        res = run_worker(args)
        with open(args.result_file, "w") as f:
            json.dump(res, f)
        return

    t_start = time.perf_counter()
    load_start = os.getloadavg()[0]
    out = args.out or os.path.join(HERE, "out", f"results-{args.n}.json")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    impls = ["vedra", "peer"] if args.impl == "both" else [args.impl]
    results: dict[str, Any] = {}
    with tempfile.TemporaryDirectory(prefix="vedra-bench-") as tmp:
        for impl in impls:
            results[impl] = _spawn(impl, args, os.path.join(tmp, f"{impl}.json"))
            if "missing" in results[impl]:
                print(f"[{impl}] vedra_runtime is not importable: {results[impl]['missing']}; "
                      "measuring the peer only", file=sys.stderr, flush=True)
    meta = {
        "n": args.n, "seed": args.seed, "quick": q, "repeats": args.repeats,
        "heavy_repeats": args.heavy_repeats, "long_texts": args.long_texts,
        "short_texts": args.short_texts, "get_sample": args.get_sample,
        "python": sys.version.split()[0], "platform": platform.platform(),
        "cpus": os.cpu_count(), "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }
    meta["loadavg_start"] = load_start
    meta["loadavg_end"] = os.getloadavg()[0]
    table, rows = build_table(results, meta)
    meta["total_s"] = time.perf_counter() - t_start
    print(table)
    busy = max(load_start, meta["loadavg_end"])
    if busy > 0.7:
        print(f"\nnote: the machine was busy (1-minute load average up to {busy:.1f}); figures are noisy")
    print(f"\nrun took {meta['total_s']:.0f} s; results written to {os.path.relpath(out)}")
    with open(out, "w") as f:
        json.dump({"meta": meta, "results": results, "rows": rows}, f, indent=1, ensure_ascii=False)


if __name__ == "__main__":
    main()
