"""find and build of vedra_runtime beside daachorse, ahocorasick_rs and
pyahocorasick, on the catalogue and on the public corpora.

    python bench/matchers.py                       # catalogue 10^5 + every corpus pairing
    python bench/matchers.py --workloads corpora   # corpora only (a minute)
    python bench/matchers.py --n 1000000 --workloads catalogue
    python bench/matchers.py --vedra old=DIR --vedra new=DIR   # two builds side by side
    python bench/matchers.py --n 1000000 --dump DIR  # files for vedra_bench_matcher, no timing

Each peer is used as a user of it would: `find` is timed end to end, from the
str to the sorted list of distinct codes (the peer's matches mapped to codes
and sorted in Python); `daachorse` takes bytes and refuses repeated patterns,
so its build includes de-duplicating the texts (first owner wins, as
leftmost-longest requires) and its find encodes the text. `build` is wall
time and thread CPU time of compiling the automaton from the pattern list; find rates are in
thread CPU time.

Workloads:
  catalogue-N   the patterns of N catalogue records (code, name, pinyin
                pieces) and 200 news-like 1-2 KB texts plus 5,000 32-byte texts
  PATTERNS/HAY  each word of the pattern list a record whose code and name
                are the word, searched in the whole haystack file; the lists
                are length-10, length-15, sorted and `names` (five names from
                the stories: Sherlock, Holmes, Watson, Irene, Adler), the
                haystacks en-sampled, en-small and sherlock

All implementations of one workload live in one process and are timed in
alternation (a pass of each, repeated), so a busy machine hurts them alike;
the figure is the median pass. Every answer is checked against the first
implementation's. Progress goes to stderr, the table to stdout, JSON to --out.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import statistics
import sys
import time
from typing import Any, Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The public corpora sit beside the project: ../shared/corpora from its root
# (VEDRA_CORPORA names another folder).
CORPORA = os.environ.get("VEDRA_CORPORA") or os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpora"))
PATTERN_LISTS = ["length-10", "length-15", "sorted", "names"]
HAYSTACKS = ["en-sampled", "en-small", "sherlock"]
NAMES = ["Sherlock", "Holmes", "Watson", "Irene", "Adler"]
WS = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
     "\u2028\u2029\u202f\u205f\u3000"


def _log(msg: str) -> None:
    print(f"[matchers] {msg}", file=sys.stderr, flush=True)


def _load_vedra(label: str, directory: str | None):
    """Imports the vedra_runtime extension found in `directory` (or the
    installed one) under a private name, so that two builds can sit side by
    side in one process."""
    if directory is None:
        import vedra_runtime
        return vedra_runtime
    for name in sorted(os.listdir(directory)):
        if name.startswith("vedra_runtime") and name.endswith(".so"):
            path = os.path.join(directory, name)
            loader = importlib.machinery.ExtensionFileLoader("vedra_runtime", path)
            spec = importlib.util.spec_from_file_location("vedra_runtime", path, loader=loader)
            mod = importlib.util.module_from_spec(spec)
            loader.exec_module(mod)
            return mod
    raise SystemExit(f"--vedra {label}={directory}: no vedra_runtime*.so there")


# ---------------------------------------------------------------------------
# Implementations: build(texts, codes) -> find(str) -> sorted list of codes


def make_vedra(mod) -> Callable[[list[str], list[str]], tuple[Callable[[], Any], Callable[[str], list[str]]]]:
    def prepare(records: list[tuple[str, str, str]]):
        core = mod.MetadataCore()
        add = core.add_record
        for code, name, pinyin in records:
            add(code, name, pinyin, {}, None)
        return core.build, core.find
    return prepare


def make_ahocorasick_rs(records: list[tuple[str, str, str]]):
    from ahocorasick_rs import AhoCorasick, MatchKind
    texts, codes = _patterns(records)
    box: dict[str, Any] = {}

    def build() -> None:
        box["m"] = AhoCorasick(texts, matchkind=MatchKind.LeftmostLongest)

    def find(text: str) -> list[str]:
        return sorted({codes[i] for i, _, _ in box["m"].find_matches_as_indexes(text)})
    return build, find


def make_daachorse(records: list[tuple[str, str, str]]):
    import daachorse
    texts, codes = _patterns(records)
    box: dict[str, Any] = {}

    def build() -> None:
        first: dict[str, str] = {}
        for t, c in zip(texts, codes):
            if t not in first:
                first[t] = c
        box["codes"] = list(first.values())
        box["m"] = daachorse.DoubleArrayAhoCorasick([t.encode() for t in first],
                                                    daachorse.MATCH_KIND_LEFTMOST_LONGEST)

    def find(text: str) -> list[str]:
        cs = box["codes"]
        return sorted({cs[p] for _, _, p in box["m"].find(text.encode())})
    return build, find


def make_pyahocorasick(records: list[tuple[str, str, str]]):
    import ahocorasick
    texts, codes = _patterns(records)
    box: dict[str, Any] = {}

    def build() -> None:
        a = ahocorasick.Automaton()
        for t, c in zip(texts, codes):
            if not a.exists(t):
                a.add_word(t, c)
        a.make_automaton()
        box["m"] = a

    def find(text: str) -> list[str]:
        return sorted({c for _, c in box["m"].iter_long(text)})
    return build, find


def _patterns(records: list[tuple[str, str, str]]) -> tuple[list[str], list[str]]:
    """The pattern list the engine registers: code, name, each pinyin piece,
    trimmed, empty ones dropped."""
    texts: list[str] = []
    codes: list[str] = []
    for code, name, pinyin in records:
        for t in (code, name, *pinyin.split("|")):
            t = t.strip(WS)
            if t:
                texts.append(t)
                codes.append(code)
    return texts, codes


# ---------------------------------------------------------------------------
# Workloads: (records, texts)


def catalogue_workload(n: int, seed: int) -> tuple[list[tuple[str, str, str]], list[str], list[str]]:
    import catalogue
    cat = catalogue.records(n, seed)
    records = [(r["code"], r["name"], r.get("pinyin", "")) for r in cat]
    long_texts = catalogue.texts(cat, 200, (1024, 2048), seed)
    short_texts = catalogue.texts(cat, 5000, (32, 32), seed + 1)
    return records, long_texts, short_texts


def corpus_words(name: str) -> list[str]:
    if name == "names":
        return list(NAMES)
    with open(os.path.join(CORPORA, name + ".txt"), encoding="utf-8", newline="") as f:
        return [w.strip(WS) for w in f.read().split("\n") if w.strip(WS)]


def corpus_text(name: str) -> str:
    with open(os.path.join(CORPORA, name + ".txt"), encoding="utf-8", newline="") as f:
        return f.read()  # byte for byte: line ends as they are


# ---------------------------------------------------------------------------
# Measuring


def _digest(obj: Any) -> str:
    return hashlib.sha256(json.dumps(obj, ensure_ascii=False).encode()).hexdigest()[:16]


def _timed_build(build: Callable[[], Any]) -> tuple[float, float]:
    gc.collect()
    t0, c0 = time.perf_counter_ns(), time.thread_time_ns()
    build()
    return (time.perf_counter_ns() - t0) / 1e9, (time.thread_time_ns() - c0) / 1e9


def _pass(find: Callable[[str], Any], texts: list[str], min_ns: int) -> float:
    """Thread CPU ns per pass over `texts`, repeating the pass until min_ns
    has gone (CPU time: the machine is shared, and waiting for a core is not
    the implementation's cost)."""
    loops = 0
    t0 = time.thread_time_ns()
    while True:
        for t in texts:
            find(t)
        loops += 1
        el = time.thread_time_ns() - t0
        if el >= min_ns:
            return el / loops


def run_workload(label: str, records, text_sets: dict[str, list[str]], impls: dict[str, Any],
                 args: argparse.Namespace) -> dict[str, Any]:
    out: dict[str, Any] = {"workload": label, "patterns": len(_patterns(records)[0]), "impls": {}}
    built: dict[str, tuple[Callable[[], Any], Callable[[str], Any]]] = {}
    for name, make in impls.items():
        build, find = make(records)
        walls, cpus = [], []
        for _ in range(args.build_repeats):
            w, c = _timed_build(build)
            walls.append(w)
            cpus.append(c)
        out["impls"][name] = {"build_s": statistics.median(walls), "build_cpu_s": statistics.median(cpus)}
        built[name] = (build, find)
        _log(f"{label}: {name} build {statistics.median(walls):.3f} s")
    ref = None
    for name, (_, find) in built.items():
        d = _digest({k: [find(t) for t in ts] for k, ts in text_sets.items()})
        out["impls"][name]["answers"] = d
        if ref is None:
            ref = d
        out["impls"][name]["agrees"] = d == ref
    for set_name, texts in text_sets.items():
        nbytes = sum(len(t.encode()) for t in texts)
        samples: dict[str, list[float]] = {n: [] for n in built}
        for name, (_, find) in built.items():  # warm-up
            _pass(find, texts, 0)
        for _ in range(args.repeats):
            for name, (_, find) in built.items():
                samples[name].append(_pass(find, texts, args.min_ms * 1_000_000))
        for name in built:
            ns = statistics.median(samples[name])
            out["impls"][name][set_name] = {"mb_s": nbytes / ns * 1e3, "us_per_call": ns / len(texts) / 1e3}
    return out


def table(results: list[dict[str, Any]], names: list[str]) -> str:
    lines = []
    head = f"{'workload':<28} {'figure':<16}" + "".join(f"{n:>16}" for n in names) + f"{'best peer':>12}"
    lines.append(head)
    lines.append("-" * len(head))
    peers = [n for n in names if not n.startswith("vedra")]
    ours = [n for n in names if n.startswith("vedra")]
    for r in results:
        imp = r["impls"]
        rows = [("build s", lambda d: d.get("build_s"), False)]
        for k in imp[names[0]]:
            if isinstance(imp[names[0]][k], dict):
                short = k == "short"
                rows.append((f"find {k} " + ("us" if short else "MB/s"),
                             (lambda d, k=k, s=short: d[k]["us_per_call" if s else "mb_s"]), not short))
        for fig, get, higher in rows:
            vals = {n: get(imp[n]) for n in names if n in imp}
            cells = "".join(f"{vals[n]:>16.3f}" if n in vals else f"{'':>16}" for n in names)
            best = None
            pv = [vals[n] for n in peers if n in vals]
            if pv and ours:
                b = max(pv) if higher else min(pv)
                o = vals[ours[-1]]
                best = (o / b) if higher else (b / o)
            lines.append(f"{r['workload'] + ' (' + str(r['patterns']) + ')':<28} {fig:<16}{cells}"
                         + (f"{best:>11.2f}x" if best is not None else ""))
        bad = [n for n in names if n in imp and not imp[n]["agrees"]]
        if bad:
            lines.append(f"{'':<28} ANSWERS DIFFER: {', '.join(bad)}")
    lines.append("(best peer: the last vedra column against the best peer; >1 means vedra is better)")
    return "\n".join(lines)


def dump(directory: str, n: int, seed: int) -> None:
    """Writes the catalogue's patterns and texts as the native benchmark reads
    them (each item a little-endian u32 byte count, then its UTF-8 bytes):
    DIR/patterns-N.bin, DIR/texts-N.bin (the 1-2 KB texts), DIR/short-N.bin."""
    records, long_texts, short_texts = catalogue_workload(n, seed)
    os.makedirs(directory, exist_ok=True)
    for name, items in (("patterns", _patterns(records)[0]), ("texts", long_texts), ("short", short_texts)):
        path = os.path.join(directory, f"{name}-{n}.bin")
        with open(path, "wb") as f:
            for t in items:
                b = t.encode()
                f.write(len(b).to_bytes(4, "little"))
                f.write(b)
        _log(f"wrote {path} ({len(items)} items)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, action="append", help="catalogue records (repeatable; default 100000)")
    ap.add_argument("--workloads", choices=["all", "catalogue", "corpora"], default="all")
    ap.add_argument("--vedra", action="append", default=[], metavar="LABEL=DIR",
                    help="a vedra_runtime build to measure (repeatable); default: the installed module")
    ap.add_argument("--peers", default="daachorse,ahocorasick_rs",
                    help="comma-separated peers among daachorse, ahocorasick_rs, pyahocorasick")
    ap.add_argument("--pairs", default=None, help="comma-separated PATTERNS/HAYSTACK pairings (default all)")
    ap.add_argument("--repeats", type=int, default=5, help="timed passes per implementation")
    ap.add_argument("--build-repeats", type=int, default=None, help="builds per implementation (default 3; 1 at 10^6)")
    ap.add_argument("--min-ms", type=int, default=100, help="least time of one timed pass")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--out", default=os.path.join(HERE, "out", "matchers.json"))
    ap.add_argument("--dump", metavar="DIR", help="write the catalogue's patterns and texts for "
                    "vedra_bench_matcher into DIR and stop")
    args = ap.parse_args()
    if args.dump:
        for n in args.n or [100000]:
            dump(args.dump, n, args.seed)
        return

    impls: dict[str, Any] = {}
    for spec in args.vedra or ["vedra="]:
        label, _, directory = spec.partition("=")
        impls[label if label.startswith("vedra") else "vedra-" + label] = make_vedra(_load_vedra(label, directory or None))
    makers = {"daachorse": make_daachorse, "ahocorasick_rs": make_ahocorasick_rs,
              "pyahocorasick": make_pyahocorasick}
    for p in filter(None, args.peers.split(",")):
        impls[p] = makers[p]
    names = list(impls)
    load0 = os.getloadavg()
    results = []
    if args.workloads in ("all", "catalogue"):
        for n in args.n or [100000]:
            if args.build_repeats is None:
                args.build_repeats = 1 if n >= 300000 else 3
            _log(f"generating catalogue of {n} records")
            records, long_texts, short_texts = catalogue_workload(n, args.seed)
            gc.collect()
            gc.freeze()
            results.append(run_workload(f"catalogue-{n}", records, {"1-2KB": long_texts, "short": short_texts},
                                        impls, args))
            del records, long_texts, short_texts
            gc.unfreeze()
            gc.collect()
    if args.build_repeats is None:
        args.build_repeats = 3
    if args.workloads in ("all", "corpora"):
        pairs = args.pairs.split(",") if args.pairs else [f"{p}/{h}" for p in PATTERN_LISTS for h in HAYSTACKS]
        for pair in pairs:
            plist, hay = pair.split("/")
            words = corpus_words(plist)
            records = [(w, w, "") for w in words]
            results.append(run_workload(pair, records, {"text": [corpus_text(hay)]}, impls, args))
    load1 = os.getloadavg()
    print(table(results, names))
    print(f"load average at start {load0[0]:.2f}, at end {load1[0]:.2f}; {os.cpu_count()} CPUs")
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"load_start": load0, "load_end": load1, "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
