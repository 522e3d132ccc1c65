"""save_snapshot and load_snapshot: files, manifest, round trips and failures."""
import hashlib
import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest
import zstandard

from vedra_runtime import MetadataCore

FULL_MAGIC, INDEX_MAGIC = b"METADATA", b"RUSTIDX1"


def container(payload: bytes, magic: bytes, *, flags=1, raw_length=None, compressed=None) -> bytes:
    stored = compressed if compressed is not None else (
        zstandard.ZstdCompressor(level=3).compress(payload) if flags & 1 else payload
    )
    raw = len(payload) if raw_length is None else raw_length
    header = magic + struct.pack("<IQIQ", 202603, len(stored), flags, raw) + bytes(96)
    assert len(header) == 128
    return header + stored


def payload_of(path) -> bytes:
    data = open(path, "rb").read()
    return zstandard.ZstdDecompressor().decompressobj().decompress(data[128:])


def write_pair(tmp_path, full_payload: bytes, index_payload: bytes):
    full, index = tmp_path / "full", tmp_path / "index"
    full.write_bytes(container(full_payload, FULL_MAGIC))
    index.write_bytes(container(index_payload, INDEX_MAGIC))
    return str(full), str(index)


@pytest.fixture
def paths(tmp_path):
    return str(tmp_path / "full.snap"), str(tmp_path / "index.snap"), str(tmp_path / "manifest.json")


def sample(core):
    core.add_record_payload({"code": "A", "name": "Alpha\t\"q\"", "pinyin": "a|AL", "market": "SH",
                             "categories": {"tags": ["x", "y"]}, "attributes": {"n": 1.5}})
    core.add_record("B", "贝塔", "bt", {"market": ["SZ"], "region": "Asia.China"}, {"v": [1, None, True]})
    core.add_record_payload({"code": "A", "name": "Alpha2", "market": "HK"})
    return core


class TestSave:
    def test_empty_engine(self, core, paths):
        full, index, manifest = paths
        core.save_snapshot(full, index, manifest)
        assert payload_of(full) == b"{}" and payload_of(index) == b"[]"
        m = json.loads(open(manifest).read())
        assert m["record_count"] == 0
        assert m["full_codes_sha256"] == m["index_codes_sha256"] == hashlib.sha256(b"").hexdigest()

    def test_container_header(self, core, paths):
        full, index, _ = paths
        sample(core).save_snapshot(full, index)
        for path, magic in ((full, FULL_MAGIC), (index, INDEX_MAGIC)):
            data = open(path, "rb").read()
            version, stored, flags, raw = struct.unpack("<IQIQ", data[8:32])
            assert data[:8] == magic and data[8:12] == bytes.fromhex("6b170300")
            assert (version, flags, stored) == (202603, 1, len(data) - 128)
            assert raw == len(payload_of(path)) and data[32:128] == bytes(96)

    def test_payloads(self, core, paths):
        full, index, _ = paths
        sample(core).save_snapshot(full, index)
        full_obj = json.loads(payload_of(full))
        assert list(full_obj) == ["A", "B"]
        assert full_obj["A"] == {"code": "A", "market": "HK", "name": "Alpha2"}
        docs = json.loads(payload_of(index))
        assert [d["code"] for d in docs] == ["A", "B", "A"]
        assert list(docs[0]) == ["code", "name", "pinyin", "fields"]
        assert docs[0]["fields"] == {"market": "SH", "tags": "x|y", "n": "1.5"}
        assert b'"Alpha\\t\\"q\\""' in payload_of(index)
        assert "贝塔".encode() in payload_of(index)

    def test_manifest_text(self, core, paths, monkeypatch):
        full, index, manifest = paths
        core.add_record("b", "", "", {})
        core.add_record("a", "", "", {})
        core.add_record("B", "", "", {})
        core.add_record("a", "", "", {})
        core.save_snapshot(full, index, manifest)
        text = open(manifest, encoding="utf-8").read()
        digest = hashlib.sha256(b"B|a|a|b").hexdigest()
        lines = text.split("\n")
        assert lines[0] == "{" and lines[-1] == "}" and not text.endswith("\n")
        created = json.loads(text)["created_at"]
        assert created.isdigit() and abs(int(created) - __import__("time").time()) < 100
        assert lines[1:-1] == [
            f'  "created_at": "{created}",',
            f'  "full_codes_sha256": "{digest}",',
            f'  "full_file": {json.dumps(full)},',
            f'  "index_codes_sha256": "{digest}",',
            f'  "index_file": {json.dumps(index)},',
            '  "record_count": 4,',
            '  "version": 202603',
        ]

    def test_relative_paths_and_backslashes(self, core, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        core.save_snapshot("f\\x", "i", "m")
        m = json.loads(open("m").read())
        assert m["full_file"] == "f\\x" and m["index_file"] == "i"
        assert open("m").read().count("\\\\") == 1

    def test_second_save_identical(self, core, paths, tmp_path):
        full, index, _ = paths
        sample(core).save_snapshot(full, index)
        core.save_snapshot(str(tmp_path / "f2"), str(tmp_path / "i2"))
        assert open(full, "rb").read() == (tmp_path / "f2").read_bytes()
        assert open(index, "rb").read() == (tmp_path / "i2").read_bytes()

    def test_index_path_is_directory(self, core, tmp_path):
        # Every target is checked before anything is written: no file of the pair appears.
        full = tmp_path / "full"
        with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
            core.save_snapshot(str(full), str(tmp_path), str(tmp_path / "m"))
        assert os.listdir(tmp_path) == []

    def test_missing_directory(self, core, tmp_path):
        with pytest.raises(ValueError, match=r"^No such file or directory \(os error 2\)$"):
            core.save_snapshot(str(tmp_path / "no" / "f"), str(tmp_path / "i"))

    def test_nul_in_path(self, core, tmp_path):
        with pytest.raises(ValueError):
            core.save_snapshot(str(tmp_path / "a\0b"), str(tmp_path / "i"))
        assert os.listdir(tmp_path) == []

    def test_failed_save_keeps_previous_snapshot(self, core, tmp_path):
        full, index = str(tmp_path / "f"), str(tmp_path / "i")
        sample(core).save_snapshot(full, index)
        before = open(full, "rb").read()
        os.mkdir(tmp_path / "blocker")
        with pytest.raises(ValueError):
            core.save_snapshot(full, str(tmp_path / "blocker"))
        assert open(full, "rb").read() == before
        assert sorted(os.listdir(tmp_path)) == ["blocker", "f", "i"]

    def test_too_deep_payload_refused_before_writing(self, core, tmp_path):
        deep = "x"
        for _ in range(126):
            deep = [deep]
        core.add_record_payload({"code": "ok", "v": [[["fine"]]]})
        core.add_record_payload({"code": "deep", "v": deep})
        full, index = tmp_path / "f", tmp_path / "i"
        with pytest.raises(ValueError, match='"deep"'):
            core.save_snapshot(str(full), str(index))
        assert not full.exists() and not index.exists()
        # A newer record with the same code replaces the deep payload in the full file.
        core.add_record_payload({"code": "deep"})
        core.save_snapshot(str(full), str(index))
        MetadataCore().load_snapshot(str(full), str(index))

    def test_deepest_loadable_payload_round_trips(self, core, tmp_path):
        deep = "x"
        for _ in range(125):
            deep = [deep]
        core.add_record_payload({"code": "c", "v": deep})  # object + 125 arrays = 126 levels
        full, index = str(tmp_path / "f"), str(tmp_path / "i")
        core.save_snapshot(full, index)
        other = MetadataCore()
        other.load_snapshot(full, index)
        assert other.get("c") == core.get("c")


def state_of(core, texts, filters, codes):
    return (
        [core.find(t) for t in texts],
        [core.filter(f) for f in filters],
        core.get_many(codes),
    )


class TestLoad:
    TEXTS = ["Alpha2 and 贝塔", "AL bt", "nothing"]
    FILTERS = [{}, {"market": "SH"}, {"region": "Asia"}, {"tags": "y"}, {"n": 1}, {"code": "A"}, {"name": "Alpha2"}]

    def test_round_trip_in_new_process(self, core, paths, tmp_path):
        full, index, _ = paths
        sample(core).build()
        core.save_snapshot(full, index)
        expected = state_of(core, self.TEXTS, self.FILTERS, ["A", "B", "A"])
        script = textwrap.dedent(f"""
            import json, sys
            from vedra_runtime import MetadataCore
            m = MetadataCore()
            m.load_snapshot({full!r}, {index!r})
            out = ([m.find(t) for t in {self.TEXTS!r}], [m.filter(f) for f in {self.FILTERS!r}],
                   m.get_many(["A", "B", "A"]))
            m.save_snapshot({str(tmp_path / "f2")!r}, {str(tmp_path / "i2")!r})
            print(json.dumps(out))
        """)
        out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
        assert json.loads(out) == json.loads(json.dumps(expected))
        assert payload_of(full) == payload_of(tmp_path / "f2")
        first, second = json.loads(payload_of(index)), json.loads(payload_of(tmp_path / "i2"))
        assert first == second  # dict equality ignores member order inside "fields"

    def test_load_replaces_state(self, core, paths):
        full, index, _ = paths
        other = sample(MetadataCore())
        other.save_snapshot(full, index)
        core.add_record("OLD", "old", "", {})
        core.load_snapshot(full, index)
        assert core.get("OLD") is None
        assert core.filter({}) == ["A", "B", "A"]
        assert core.find("old Alpha2") == ["A"]
        assert core.get("A") == other.get("A")

    def test_empty_snapshot(self, core, paths):
        full, index, _ = paths
        MetadataCore().save_snapshot(full, index)
        core.add_record("X", "x", "", {})
        core.build()
        core.load_snapshot(full, index)
        assert core.filter({}) == [] and core.find("x") == []

    def test_default_payload_and_shared_codes(self, core, tmp_path):
        docs = [{"code": "A", "name": f"n{i}", "pinyin": "p", "fields": {"k": str(i)}} for i in range(3)]
        docs.append({"code": "Z", "name": "zed", "pinyin": "", "fields": {}})
        full, index = write_pair(tmp_path, b'{"A":{"v":1},"unused":2}', json.dumps(docs).encode())
        core.load_snapshot(full, index)
        assert core.get_many(["A", "Z"]) == [{"v": 1}, {
            "asset_type": "", "attributes": {}, "categories": {}, "code": "Z",
            "market": "", "name": "zed", "pinyin": "", "region": ""}]
        assert core.filter({"k": "0"}) == ["A"] and core.filter({"code": "A"}) == ["A", "A", "A"]
        assert core.get("unused") is None

    def test_null_payload(self, core, tmp_path):
        full, index = write_pair(tmp_path, b'{"A":null}', b'[["A","n","p",{}]]')
        core.load_snapshot(full, index)
        assert core.get("A") is None and core.get_many(["A"]) == [None]
        assert core.filter({"name": "n"}) == ["A"]

    def test_records_added_after_load_follow(self, core, paths):
        full, index, _ = paths
        sample(MetadataCore()).save_snapshot(full, index)
        core.load_snapshot(full, index)
        core.add_record("C", "", "", {})
        assert core.filter({}) == ["A", "B", "A", "C"]


LOAD_FAILURES = [
    ("magic swapped", lambda f, i: (i, f), "snapshot file magic mismatch"),
    ("missing index", lambda f, i: (f, i + ".missing"), r"No such file or directory \(os error 2\)"),
    ("truncated", "truncated", "snapshot file truncated"),
    ("array full payload", "array", "full payload must be a JSON object"),
    ("trailing", "trailing", "trailing characters at line 1 column"),
    ("short doc", "short", r"invalid length 3, expected struct SnapshotIndexDoc with 4 elements at line 1 column"),
    ("missing field", "missing", r"missing field `fields` at line 1 column"),
    ("duplicate field", "duplicate", r"duplicate field `code` at line 1 column"),
    ("fields number", "fieldsnum", r"invalid type: .*expected a string at line 1 column"),
    # Documents before the faulty one are already ingested into the new state.
    ("late bad doc", "late", r"invalid length 1, expected struct SnapshotIndexDoc with 4 elements at line 1 column 60"),
    ("bad frame", "frame", "Unknown frame descriptor"),
    ("bomb", "bomb", "snapshot decompressed length mismatch"),
]


@pytest.mark.parametrize("label,damage,message", LOAD_FAILURES, ids=[c[0] for c in LOAD_FAILURES])
def test_failed_load_leaves_engine_unchanged(core, tmp_path, label, damage, message):
    good_full, good_index = str(tmp_path / "gf"), str(tmp_path / "gi")
    sample(MetadataCore()).save_snapshot(good_full, good_index)
    full, index = good_full, good_index
    bad = tmp_path / "bad"
    if callable(damage):
        full, index = damage(full, index)
    elif damage == "truncated":
        bad.write_bytes(open(full, "rb").read()[:127])
        full = str(bad)
    elif damage == "frame":
        bad.write_bytes(container(b"{}", FULL_MAGIC, compressed=b"garbage!"))
        full = str(bad)
    elif damage == "bomb":
        zeros = zstandard.ZstdCompressor(level=3).compress(b" " * (64 << 20))
        bad.write_bytes(container(b"{}", FULL_MAGIC, compressed=zeros, raw_length=2))
        full = str(bad)
    else:
        payloads = {
            "array": (b"[]", None),
            "trailing": (b"{} x", None),
            "short": (None, b'[["A","n","p"]]'),
            "missing": (None, b'[{"code":"A","name":"n","pinyin":"p"}]'),
            "duplicate": (None, b'[{"code":"A","code":"B","name":"n","pinyin":"p","fields":{}}]'),
            "fieldsnum": (None, b'[{"code":"A","name":"n","pinyin":"p","fields":{"k":5}}]'),
            "late": (None, b'[["A","n","p",{"f":"v"}],["KEEP","keep","k",{"f":"w"}],["C"]]'),
        }[damage]
        if payloads[0] is not None:
            bad.write_bytes(container(payloads[0], FULL_MAGIC))
            full = str(bad)
        else:
            bad.write_bytes(container(payloads[1], INDEX_MAGIC))
            index = str(bad)
    core.add_record("KEEP", "keep", "", {"f": "v"})
    core.build()
    with pytest.raises(ValueError, match=message):
        core.load_snapshot(full, index)
    assert core.filter({}) == ["KEEP"] and core.find("keep") == ["KEEP"] and core.filter({"f": "v"}) == ["KEEP"]


@pytest.mark.parametrize(
    "full_bytes,index_bytes,message",
    [
        pytest.param(b"", None, "snapshot file truncated", id="010-empty-file"),
        pytest.param(container(b"", FULL_MAGIC, flags=0), None, "full payload must be|EOF while parsing a value", id="020-stored-empty-payload"),
        pytest.param(container(b"{}", FULL_MAGIC, flags=0), None, None, id="030-stored-uncompressed"),
        pytest.param(container(b"{}", FULL_MAGIC) + b"extra", None, None, id="040-trailing-bytes-ignored"),
        pytest.param(container(b"{}", FULL_MAGIC, raw_length=0), None, None, id="050-raw-length-zero-unchecked"),
        pytest.param(container(b"{}", FULL_MAGIC, raw_length=3), None, "snapshot decompressed length mismatch", id="060-raw-length-mismatch"),
        pytest.param(container(b"", FULL_MAGIC, compressed=b""), None, "incomplete frame", id="070-empty-compressed-payload"),
        pytest.param(FULL_MAGIC + struct.pack("<IQIQ", 1, 2**64 - 1, 1, 0) + bytes(96), None, "snapshot payload truncated", id="080-stored-length-past-end"),
        pytest.param(FULL_MAGIC + struct.pack("<IQIQ", 7, 0, 0, 0) + bytes(96), None, "EOF while parsing a value", id="090-other-version-not-checked"),
        # A fault in decompressing the index payload comes before any fault of
        # either payload's text, wherever in the payload it lies.
        pytest.param(container(b"[", FULL_MAGIC), container(b"[]", INDEX_MAGIC, raw_length=3),
                     "snapshot decompressed length mismatch", id="100-index-length-before-full-text"),
        pytest.param(container(b"{}", FULL_MAGIC), container(b"[x" + b" " * 400000 + b"]", INDEX_MAGIC, raw_length=7),
                     "snapshot decompressed length mismatch", id="110-index-length-before-index-text"),
        pytest.param(container(b"{}", FULL_MAGIC), container(b"", INDEX_MAGIC, compressed=zstandard.ZstdCompressor(
                         level=1).compress(b'[["A","","",{}],5' + bytes(range(256)) * 4000 + b"]")[:-1], raw_length=0),
                     "incomplete frame", id="120-index-frame-cut-after-index-text-fault"),
        pytest.param(container(b"{}", FULL_MAGIC), container(b'[["A","","",{}]]', INDEX_MAGIC, raw_length=2**20),
                     "snapshot decompressed length mismatch", id="130-index-short-after-whole-text"),
    ],
)
def test_container_read_checks(core, tmp_path, full_bytes, index_bytes, message):
    (tmp_path / "f").write_bytes(full_bytes)
    (tmp_path / "i").write_bytes(index_bytes or container(b"[]", INDEX_MAGIC))
    if message is None:
        core.load_snapshot(str(tmp_path / "f"), str(tmp_path / "i"))
    else:
        with pytest.raises(ValueError, match=message):
            core.load_snapshot(str(tmp_path / "f"), str(tmp_path / "i"))


def test_two_frames_concatenate(core, tmp_path):
    c = zstandard.ZstdCompressor(level=3)
    text = b'{"A":{"v":1}}'
    stored = c.compress(text[:5]) + c.compress(text[5:])
    (tmp_path / "f").write_bytes(container(text, FULL_MAGIC, compressed=stored))
    (tmp_path / "i").write_bytes(container(b'[["A","","",{}]]', INDEX_MAGIC))
    core.load_snapshot(str(tmp_path / "f"), str(tmp_path / "i"))
    assert core.get("A") == {"v": 1}
