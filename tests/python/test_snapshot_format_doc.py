"""The examples of docs/snapshot_format.md are what the engine writes and reads.

Each example is the fenced block after an `<!-- example: NAME -->` comment.
"""
import json
import pathlib
import re
import struct

import zstandard

from vedra_runtime import MetadataCore

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "snapshot_format.md"
FULL_MAGIC, INDEX_MAGIC = b"METADATA", b"RUSTIDX1"


def examples():
    text = DOC.read_text(encoding="utf-8")
    found = dict(re.findall(r"<!-- example: ([a-z-]+) -->\n```json\n(.*?)\n```", text, re.S))
    assert set(found) == {"full-written", "index-written", "full-accepted", "index-accepted",
                          "full-resaved", "index-resaved", "manifest-written"}
    return found


def container(payload: bytes, magic: bytes) -> bytes:
    stored = zstandard.ZstdCompressor(level=3).compress(payload)
    return magic + struct.pack("<IQIQ", 202603, len(stored), 1, len(payload)) + bytes(96) + stored


def payload_of(path) -> str:
    data = pathlib.Path(path).read_bytes()
    return zstandard.ZstdDecompressor().decompressobj().decompress(data[128:]).decode()


def documented_engine():
    core = MetadataCore()
    core.add_record_payload({"code": "A1", "name": "Alpha", "pinyin": "a|alpha", "market": "SH",
                             "categories": {"tags": ["x", "y", "x"]}, "attributes": {"lot": 100}})
    core.add_record("B", "贝塔", "bt", {"region": "Asia"})
    core.add_record_payload({"code": "A1", "name": "Alpha 2"})
    return core


def test_written_payloads_and_manifest(tmp_path, monkeypatch):
    ex = examples()
    monkeypatch.chdir(tmp_path)
    (tmp_path / "snap").mkdir()
    documented_engine().save_snapshot("snap/full.bin", "snap/index.bin", "snap/manifest.json")
    assert payload_of("snap/full.bin") == ex["full-written"]
    assert payload_of("snap/index.bin") == ex["index-written"]
    manifest = (tmp_path / "snap" / "manifest.json").read_text(encoding="utf-8")
    created = json.loads(manifest)["created_at"]
    assert manifest == re.sub(r'"created_at": "\d+"', f'"created_at": "{created}"', ex["manifest-written"])


def test_accepted_variants_load_and_save_normalised(tmp_path):
    ex = examples()
    full, index = tmp_path / "full", tmp_path / "index"
    full.write_bytes(container(ex["full-accepted"].encode(), FULL_MAGIC))
    index.write_bytes(container(ex["index-accepted"].encode(), INDEX_MAGIC))
    core = MetadataCore()
    core.load_snapshot(str(full), str(index))
    assert core.get("A1") == {"a": [1.5, 0, 100.0, "é"], "b": 2}
    assert core.get("Z") is None and core.get("unused") is None
    assert core.filter({"tags": "y"}) == ["A1"] and core.filter({"k": "1"}) == ["A1"]
    assert core.filter({"e": ""}) == [] and core.find("Zed") == ["Z"]
    core.save_snapshot(str(tmp_path / "f2"), str(tmp_path / "i2"))
    assert payload_of(tmp_path / "f2") == ex["full-resaved"]
    assert payload_of(tmp_path / "i2") == ex["index-resaved"]


def refused_index_payloads():
    text = DOC.read_text(encoding="utf-8")
    table = text[text.index("| Index payload | Message |"):]
    table = table[:table.index("\n\n")]
    rows = [line.split(" | ") for line in table.splitlines()[2:]]
    return [(cells[0].strip("|` "), cells[1].strip("|` ")) for cells in rows]


def test_refused_index_payload_messages(tmp_path):
    rows = refused_index_payloads()
    assert len(rows) == 8
    full, index = tmp_path / "full", tmp_path / "index"
    full.write_bytes(container(b"{}", FULL_MAGIC))
    core = MetadataCore()
    for payload, message in rows:
        index.write_bytes(container(payload.encode(), INDEX_MAGIC))
        try:
            core.load_snapshot(str(full), str(index))
        except ValueError as e:
            assert str(e) == message, payload
        else:
            raise AssertionError(f"{payload} loaded")
