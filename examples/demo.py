"""A tour of vedra_runtime over a generated securities catalogue, with timings."""
from __future__ import annotations

import argparse
import os
import random
import tempfile
import time

from vedra_runtime import MetadataCore

# A few real names with their pinyin, so that find() has something to match.
NAMES = [
    ("贵州茅台", "guizhou maotai"), ("平安银行", "pingan yinhang"), ("招商银行", "zhaoshang yinhang"),
    ("中国石油", "zhongguo shiyou"), ("宁德时代", "ningde shidai"), ("五粮液", "wu liang ye"),
    ("比亚迪", "bi ya di"), ("万科企业", "wanke qiye"), ("格力电器", "geli dianqi"), ("美的集团", "meidi jituan"),
    ("中信证券", "zhongxin zhengquan"), ("海天味业", "haitian weiye"), ("长江电力", "changjiang dianli"),
    ("紫金矿业", "zijin kuangye"), ("工商银行", "gongshang yinhang"), ("腾讯控股", "tengxun konggu"),
]
MARKETS = [("SH", "Asia.China.Shanghai"), ("SZ", "Asia.China.Shenzhen"), ("HK", "Asia.China.HongKong")]
INDUSTRIES = [("Finance", "Finance.Bank"), ("Consumer", "Consumer.Liquor"), ("Energy", "Energy.Power"),
              ("Industry", "Industry.Battery"), ("Tech", "Tech.Internet")]
CONCEPTS = ["dividend", "blue_chip", "new_energy", "state_owned", "export", "ai"]


def catalogue(n: int, seed: int = 7) -> list[dict]:
    rng = random.Random(seed)
    out = []
    for i in range(n):
        base, words = NAMES[i % len(NAMES)]
        name = base if i < len(NAMES) else f"{base}{i // len(NAMES)}"
        syllables = words.split()
        abbr = "".join(s[0] for s in syllables)
        market, region = MARKETS[i % len(MARKETS)]
        l1, l2 = rng.choice(INDUSTRIES)
        out.append({
            "code": f"{600000 + i:06d}.{market}",
            "name": name,
            "pinyin": f"{abbr}|{abbr.upper()}|{''.join(syllables)}",
            "market": market,
            "asset_type": rng.choice(["stock", "stock", "fund", "bond"]),
            "region": region,
            "categories": {"industry": {"l1": l1, "l2": l2}, "concept": rng.sample(CONCEPTS, 2)},
            "attributes": {"lot": 100, "st": rng.random() < 0.05, "pe": round(rng.uniform(5, 80), 2),
                           "listed": f"20{rng.randint(0, 23):02d}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}"},
            "description": f"{name} is a listed company in {region.split('.')[-1]}.",
        })
    return out


def timed(label: str, fn, repeat: int = 1):
    start = time.perf_counter()
    for _ in range(repeat):
        result = fn()
    elapsed = (time.perf_counter() - start) / repeat
    unit, scale = ("ms", 1e3) if elapsed >= 1e-3 else ("µs", 1e6)
    print(f"  {label:<44} {elapsed * scale:10.2f} {unit}")
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000, help="number of records (default 100000)")
    args = parser.parse_args()

    print(f"generating {args.n} records")
    records = catalogue(args.n)
    core = MetadataCore()

    print("ingest and build")
    timed(f"add_record_payload x {args.n}", lambda: [core.add_record_payload(r) for r in records])
    timed("build()", core.build)

    text = "今日贵州茅台与招商银行领涨，市场关注 GZMT 以及 600001.SZ 的走势。"
    print("find")
    codes = timed("find(news text)", lambda: core.find(text), repeat=1000)
    print(f"    -> {len(codes)} codes, first {codes[:4]}")

    print("filter")
    for spec in ({"market": "SH"}, {"market": ["SH", "SZ"], "asset_type": "fund"},
                 {"region": "Asia.China", "concept__not": "ai"}, {"industry.l2": "Finance.Bank", "st": True}):
        got = timed(f"filter({spec})"[:44], lambda s=spec: core.filter(s), repeat=20)
        print(f"    -> {len(got)} codes")

    print("get")
    code = records[0]["code"]
    payload = timed(f"get({code!r})", lambda: core.get(code), repeat=1000)
    print(f"    -> {payload['name']} {payload['categories']}")
    many = [r["code"] for r in records[:100]]
    timed("get_many(100 codes)", lambda: core.get_many(many), repeat=100)

    print("snapshot")
    with tempfile.TemporaryDirectory() as tmp:
        full, index, manifest = (os.path.join(tmp, n) for n in ("full.snap", "index.snap", "manifest.json"))
        timed("save_snapshot", lambda: core.save_snapshot(full, index, manifest))
        print(f"    -> full {os.path.getsize(full) / 1e6:.1f} MB, index {os.path.getsize(index) / 1e6:.1f} MB")
        restored = MetadataCore()
        timed("load_snapshot (re-ingest and build)", lambda: restored.load_snapshot(full, index))
        assert restored.find(text) == codes
        assert restored.filter({"market": "SH"}) == core.filter({"market": "SH"})
        assert restored.get(code) == payload
        print("    -> restored engine answers identically")


if __name__ == "__main__":
    main()
