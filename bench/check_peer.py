"""Sanity check: the peer gives the documented answers on tiny catalogues.

    python bench/check_peer.py               # checks bench/peer.py
    python bench/check_peer.py --impl vedra  # the same checks on vedra_runtime

Exits non-zero on the first wrong answer.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peer  # noqa: E402


def make(impl: str):
    if impl == "vedra":
        import vedra_runtime
        return vedra_runtime.MetadataCore()
    return peer.PeerCore()


def eq(label: str, got, want) -> None:
    if got != want:
        raise SystemExit(f"FAIL {label}: got {got!r}, want {want!r}")
    print(f"ok   {label}")


def check_filter(impl: str) -> None:
    m = make(impl)
    m.add_record("A", "Alpha", "a", {"market": [" SH ", "SH", None, ""], "region": "Asia.China.Beijing"})
    m.add_record("B", "Beta", "b", {"market": "SZ", "region": "Asia.China.Shanghai", "tags": ["a|b", "a"]})
    m.add_record("C", "Gamma", "c", {"market": "US", "region": "America.US", "n": 1.5})
    m.add_record("A", "Alpha2", "", {"market": "SH"})
    for label, filters, want in [
        ("filter/empty", {}, ["A", "B", "C", "A"]),
        ("filter/one_key_trimmed", {"market": " SH "}, ["A", "A"]),
        ("filter/dotted_prefix", {"region": "Asia.China"}, ["A", "B"]),
        ("filter/dotted_top", {"region": "Asia"}, ["A", "B"]),
        ("filter/not", {"market__not": "SH"}, ["B", "C"]),
        ("filter/not_repeated_suffix", {"market__not__not": ["SH", "SZ"]}, ["C"]),
        ("filter/key_and_not", {"region": "Asia", "market__not": ("SZ",)}, ["A"]),
        ("filter/value_list", {"market": ["US", "SZ"]}, ["B", "C"]),
        ("filter/value_set", {"market": {"US"}}, ["C"]),
        ("filter/empty_list", {"market": []}, []),
        ("filter/not_empty_list", {"market__not": []}, ["A", "B", "C", "A"]),
        ("filter/unknown_field_not", {"nope__not": "x"}, ["A", "B", "C", "A"]),
        ("filter/pipe_pieces", {"tags": "b"}, ["B"]),
        ("filter/pipe_query_never_matches", {"tags": "a|b"}, []),
        ("filter/number_prefix", {"n": 1}, ["C"]),
        ("filter/code_twice", {"code": "A"}, ["A", "A"]),
        ("filter/none_value", {"market": None}, []),
    ]:
        eq(label, m.filter(filters), want)


def check_payload(impl: str) -> None:
    m = make(impl)
    m.add_record_payload({
        "code": "100001.XA", "name": "Example", "pinyin": "ex|example", "market": "XA",
        "categories": {"industry": {"l1": "Bank", "l2": "Bank.Joint"}, "concept": ["A", "B", "A"]},
        "attributes": {"lot": 100, "st": False, "note": None, "ratio": 2.0}})
    m.add_record_payload({"code": 7, "market": " SH ", "categories": {"market": ["SZ", "SH"]}})
    eq("payload/industry_l2_prefix", m.filter({"industry.l2": "Bank"}), ["100001.XA"])
    eq("payload/concept", m.filter({"concept": "B"}), ["100001.XA"])
    eq("payload/bool_text", m.filter({"st": False}), ["100001.XA"])
    eq("payload/float_text", m.filter({"ratio": "2.0"}), ["100001.XA"])
    eq("payload/code_prefix", m.filter({"code": "100001"}), ["100001.XA"])
    eq("payload/category_market_joined", m.filter({"market": "SZ"}), [""])
    eq("payload/market_pieces_trimmed", m.filter({"market": "SH"}), [""])
    got = m.get("100001.XA")
    eq("get/sorted_keys", list(got), ["attributes", "categories", "code", "market", "name", "pinyin"])
    eq("get/numeric_code_is_empty", m.get("")["code"], 7)
    eq("get_many/order_and_missing", [p["code"] for p in m.get_many(["100001.XA", "zz", ""])], ["100001.XA", 7])
    d = make(impl)
    d.add_record("X", "n", "p", {})
    eq("get/default_payload", list(d.get("X")), ["asset_type", "attributes", "categories", "code", "market",
                                                 "name", "pinyin", "region"])


def check_find(impl: str) -> None:
    m = make(impl)
    m.add_record("A", "ab", "", {})
    m.add_record("B", "abc", "", {})
    m.build()
    eq("find/longest_wins", m.find("xabc"), ["B"])
    eq("find/shorter", m.find("ab x"), ["A"])
    m = make(impl)
    m.add_record("A", "ab", "", {})
    m.add_record("B", "bc", "", {})
    m.build()
    eq("find/non_overlapping", m.find("abc"), ["A"])
    m = make(impl)
    m.add_record("9", "Acme", "gzmt|GZMT", {})
    m.add_record("1", "Acme", "", {})
    m.add_record("5", "Zed", "", {})
    eq("find/before_build", m.find("Acme"), [])
    m.build()
    eq("find/identical_first_wins", m.find("Acme"), ["9"])
    eq("find/pinyin_piece", m.find("buy GZMT now"), ["9"])
    eq("find/sorted_dedup", m.find("Zed 1 Acme Zed"), ["1", "5", "9"])
    eq("find/case_sensitive", m.find("acme zed"), [])
    m.add_record("7", "Late", "", {})
    eq("find/needs_rebuild", m.find("Late"), [])
    m.build()
    eq("find/after_rebuild", m.find("Late"), ["7"])


def check_snapshot(impl: str) -> None:
    m = make(impl)
    for code in ("b", "a", "B"):
        m.add_record_payload({"code": code, "name": "N" + code, "pinyin": "p" + code,
                              "region": "Asia.China", "categories": {"t": [code, "x"]}})
    m.add_record("a", "Na2", "", {"region": "Europe"})
    with tempfile.TemporaryDirectory() as tmp:
        full, index, man = (os.path.join(tmp, n) for n in ("full.bin", "index.bin", "manifest.json"))
        m.save_snapshot(full, index, man)
        with open(full, "rb") as f:
            head = f.read(128)
        eq("snapshot/magic", head[:8], b"METADATA")
        eq("snapshot/stored_length", int.from_bytes(head[12:20], "little"), os.path.getsize(full) - 128)
        manifest = json.load(open(man))
        eq("snapshot/digest", manifest["full_codes_sha256"], hashlib.sha256(b"B|a|a|b").hexdigest())
        eq("snapshot/record_count", manifest["record_count"], 4)
        n = make(impl)
        n.add_record("gone", "Gone", "", {})
        n.load_snapshot(full, index)
        eq("load/replaces_state", n.get("gone"), None)
        eq("load/filter", n.filter({"region": "Asia"}), ["b", "a", "B"])
        eq("load/fields", n.filter({"t": "x", "code__not": "a"}), ["b", "B"])
        eq("load/find_without_build", n.find("Nb pB"), ["B", "b"])
        eq("load/shared_code_payload", [p["name"] for p in n.get_many(["a"])], ["Na2"])


def check_numbers() -> None:
    for f, want in [(0.5, "0.5"), (100.0, "100.0"), (1e15, "1000000000000000.0"), (1e-5, "0.00001"),
                    (1e-6, "1e-6"), (1e16, "1e+16"), (1.5e-7, "1.5e-7"), (2.0 ** 64, "1.8446744073709552e+19")]:
        eq(f"json_number_text/{f!r}", peer.json_number_text(f), want)
    for v, want in [(1.5, "1.5"), (2.0, "2"), (1e21, "1000000000000000000000"), (1e-7, "0.0000001"),
                    (-0.0, "-0"), (2 ** 64, "18446744073709552000"), (True, "True"), ([1, 2], "[1, 2]"),
                    ("\u3000 x\u00a0", "x"), ("\x1fx", "\x1fx")]:
        eq(f"value_to_text/{v!r}", peer.value_to_text(v), want)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--impl", choices=["peer", "vedra"], default="peer")
    impl = ap.parse_args().impl
    check_filter(impl)
    check_payload(impl)
    check_find(impl)
    check_snapshot(impl)
    if impl == "peer":
        check_numbers()
        base = peer.PyAhoBaseline(["ab", "abc", "bc", "ab"], ["A", "B", "C", "D"])
        eq("pyahocorasick/leftmost_longest", base.find("abc ab bc"), ["A", "B", "C"])
    print(f"all checks passed ({impl})")


if __name__ == "__main__":
    main()
