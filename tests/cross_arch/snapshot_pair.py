"""Snapshot pairs across architectures: a pair saved on one machine loads on
another and answers the same; re-saved there it is byte-identical.

    python snapshot_pair.py save DIR         builds the catalogue below, saves
                                             DIR/{full,index}.snap and the
                                             answers of every query (answers.json)
    python snapshot_pair.py check DIR OUT    loads DIR's pair, compares the
                                             answers with DIR/answers.json,
                                             re-saves into OUT and compares the
                                             files (same)
    python snapshot_pair.py same A B         compares the pairs in A and B

Two files are the same when their headers agree but for the stored length
and their decompressed payloads are byte-identical: the compressed bytes
depend on the zstd release each build links.

The catalogue is fixed by a seed and covers what the format's integers,
floats, text hashing and bitmaps see: multi-byte text, numbers near the
limits of their encodings, nested fields, many values per key and enough
records for bitmap containers of every kind (arrays, runs, dense ones).
"""
import json
import random
import sys
from pathlib import Path

import zstandard

from vedra_runtime import MetadataCore

RECORDS = 5000
SYLLABLES = ["zhong", "guo", "ping", "an", "yin", "hang", "mao", "tai", "gui", "zhou", "hua", "xia"]
HANZI = "中国平安银行茅台贵州华夏科技能源医药"


def catalogue():
    rnd = random.Random(20260310)
    numbers = [0, -1, 1, 2**31 - 1, -(2**31), 2**53, -(2**63), 2**64 - 1, 0.5, -0.0, 1e-310,
               1.7976931348623157e308, 3.141592653589793, 123456.789]
    for i in range(RECORDS):
        parts = [rnd.choice(SYLLABLES) for _ in range(rnd.randint(2, 4))]
        initials = "".join(p[0] for p in parts)
        yield {
            "code": f"{i:06d}.{'SH' if i % 3 else 'SZ'}",
            "name": "".join(rnd.choice(HANZI) for _ in range(rnd.randint(2, 6))),
            "pinyin": f"{initials}|{initials.upper()}|{''.join(parts)}",
            "market": ["SH", "SZ", "HK", "US"][i % 4],
            # Dense (most records), run-shaped (one block) and sparse (every 97th) postings.
            "asset_type": "stock" if i < 4000 else "fund",
            "region": f"Asia.China.{rnd.choice(['Guizhou', 'Guangdong', 'Shanghai'])}",
            "categories": {"industry": {"l1": rnd.choice(["Tech", "Energy", "Health"])},
                           "concept": rnd.sample(["dividend", "ai", "ev", "chips", "export"], k=2),
                           "board": f"b{i // 700}"},
            "attributes": {"lot": 100 * (1 + i % 5), "st": i % 97 == 0, "beta": rnd.random(),
                           "limit": numbers[i % len(numbers)], "note": None if i % 11 else "多字节 ✓"},
        }


def queries(records):
    texts = ["今天中国平安大涨", "GZMT 和 zgpa", "000042.SH 000043.SZ", "".join(HANZI), "nothing here"]
    texts += [r["pinyin"].split("|")[2] for r in records[::250]]
    filters = [{"market": "SH"}, {"asset_type": "fund", "market__not": "US"},
               {"board": ["b0", "b6"]}, {"region": "Asia.China"}, {"concept": "ai"},
               {"industry.l1": "Tech", "st": True}, {"lot": 300, "region__not": "Asia.China.Guizhou"},
               {"limit": ["0", "-1", "0.5", "1e-310"]}, {"note": "多字节 ✓"}]
    return texts, filters


def answers(core, records):
    texts, filters = queries(records)
    codes = [r["code"] for r in records]
    out = {"find": [core.find(t) for t in texts], "get": core.get_many(codes)}
    out["filter"] = []
    for f in filters:
        try:
            out["filter"].append(core.filter(f))
        except (KeyError, ValueError, TypeError) as e:  # the same refusal on both sides
            out["filter"].append(f"{type(e).__name__}: {e}")
    return json.loads(json.dumps(out))


def contents(path):
    """The header without its stored-length field (bytes 12-19), and the payload."""
    data = path.read_bytes()
    payload = zstandard.ZstdDecompressor().decompressobj().decompress(data[128:]) \
        if data[20] & 1 else data[128:]
    return data[:12] + data[20:128], payload


def differing(a, b):
    return [name for name in ("full.snap", "index.snap") if contents(a / name) != contents(b / name)]


def save(directory):
    directory.mkdir(parents=True, exist_ok=True)
    records = list(catalogue())
    core = MetadataCore()
    for r in records:
        core.add_record_payload(r)
    core.build()
    core.save_snapshot(str(directory / "full.snap"), str(directory / "index.snap"))
    (directory / "answers.json").write_text(json.dumps(answers(core, records)), encoding="utf-8")


def check(directory, out):
    records = list(catalogue())
    core = MetadataCore()
    core.load_snapshot(str(directory / "full.snap"), str(directory / "index.snap"))
    expected = json.loads((directory / "answers.json").read_text(encoding="utf-8"))
    got = answers(core, records)
    failures = [k for k in expected if expected[k] != got[k]]
    out.mkdir(parents=True, exist_ok=True)
    core.save_snapshot(str(out / "full.snap"), str(out / "index.snap"))
    failures += [f"{name} re-saved differs" for name in differing(directory, out)]
    if failures:
        print(f"snapshot pair {directory}: mismatched {', '.join(failures)}")
        return 1
    print(f"snapshot pair {directory}: same answers, re-saved with byte-identical payloads")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "save":
        save(Path(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "check":
        sys.exit(check(Path(sys.argv[2]), Path(sys.argv[3])))
    elif len(sys.argv) == 4 and sys.argv[1] == "same":
        diff = differing(Path(sys.argv[2]), Path(sys.argv[3]))
        print(f"snapshot pairs {sys.argv[2]} and {sys.argv[3]}: " + (f"{', '.join(diff)} differ" if diff else "same"))
        sys.exit(1 if diff else 0)
    else:
        sys.exit(__doc__)
