"""load_snapshot and get_many against hostile input: every case is refused
with a clear ValueError (or the documented TypeError), quickly, within
bounded memory, and leaves the engine as it was.

Memory is measured in a child process: the peak resident set size
(resource.getrusage) after the refused load minus the resident size just
before it.  Each decompression bomb below expands to several GiB, so an
unbounded reader would exceed the allowance by an order of magnitude.
"""
import json
import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest
import zstandard

from vedra_runtime import MetadataCore

FULL_MAGIC, INDEX_MAGIC = b"METADATA", b"RUSTIDX1"
GOOD_FULL = b'{"A":{"code":"A","name":"n"}}'
GOOD_INDEX = b'[{"code":"A","name":"n","pinyin":"p","fields":{"market":"SH"}}]'
# Peak growth allowed for one refused load (the reader's ceiling for a file
# of unknown decoded length is 64 MiB or 1024 x the stored size).
RSS_ALLOWANCE_MB = 600
GIB = 1 << 30
UNKNOWN_LIMIT = "snapshot payload of unknown length decompresses past the limit"


def header(magic, stored_length, flags=1, raw_length=0):
    h = magic + struct.pack("<IQIQ", 202603, stored_length, flags, raw_length) + bytes(96)
    assert len(h) == 128
    return h


def container(magic, payload, *, flags=1, raw_length=None):
    stored = zstandard.ZstdCompressor(level=3).compress(payload) if flags & 1 else payload
    raw = len(payload) if raw_length is None else raw_length
    return header(magic, len(stored), flags, raw) + stored


def bomb_frames(total_bytes, chunk=16 << 20):
    """zstd frames, back to back, that decode to `total_bytes` zero bytes."""
    frame = zstandard.ZstdCompressor(level=3).compress(bytes(chunk))
    assert total_bytes % chunk == 0
    return frame * (total_bytes // chunk)


def json_bomb_frames(total_bytes, chunk=16 << 20):
    """Frames decoding to '{"A":"aaaa...' (a JSON text that never ends)."""
    c = zstandard.ZstdCompressor(level=3)
    return c.compress(b'{"A":"' + b"a" * (chunk - 6)) + c.compress(b"a" * chunk) * (total_bytes // chunk - 1)


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def good_pair(tmp_path):
    return (write(tmp_path, "good_full", container(FULL_MAGIC, GOOD_FULL)),
            write(tmp_path, "good_index", container(INDEX_MAGIC, GOOD_INDEX)))


def loaded_engine(tmp_path):
    core = MetadataCore()
    core.load_snapshot(*good_pair(tmp_path))
    return core


def assert_unchanged(core):
    assert core.filter({}) == ["A"]
    assert core.get("A") == {"code": "A", "name": "n"}
    assert core.find("xx n yy") == ["A"]
    assert core.filter({"market": "SH"}) == ["A"]


PROBE = textwrap.dedent("""
    import json, resource, sys
    from vedra_runtime import MetadataCore

    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() // 1024

    core = MetadataCore()
    before = rss_kb()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        core.load_snapshot(sys.argv[1], sys.argv[2])
        outcome = ["ok", ""]
    except Exception as e:
        outcome = [type(e).__name__, str(e)]
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"outcome": outcome, "growth_kb": peak - max(before, 0) if peak > peak_before else 0}))
""")


def probe_env():
    """The environment for a measuring child.  Under the sanitizers its exit-time
    leak scan is always off, even where the test command enables it for the
    pytest process: that scan stops the world with a ptrace tracer, which some
    sandboxes break, and the same load paths are leak-checked by the native
    tests and tests/python/test_leaks.py."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def load_in_child(full, index):
    """(exception name, message, peak RSS growth in MiB) of one load in a fresh process."""
    done = subprocess.run([sys.executable, "-c", PROBE, full, index], capture_output=True, text=True,
                          timeout=120, env=probe_env())
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.strip().splitlines()[-1])
    name, message = result["outcome"]
    return name, message, result["growth_kb"] / 1024


# --- decompression bombs -------------------------------------------------------

BOMBS = [
    # (id, which file, stored bytes, raw_length, expected message)
    ("zeros_raw_unknown_4gib", "full", lambda: bomb_frames(4 * GIB), 0, UNKNOWN_LIMIT),
    ("json_raw_unknown_4gib", "full", lambda: json_bomb_frames(4 * GIB), 0, UNKNOWN_LIMIT),
    ("index_raw_unknown_4gib", "index", lambda: bomb_frames(4 * GIB), 0, UNKNOWN_LIMIT),
    ("zeros_raw_small", "full", lambda: bomb_frames(4 * GIB), 100, "snapshot decompressed length mismatch"),
    ("zeros_raw_one", "index", lambda: bomb_frames(4 * GIB), 1, "snapshot decompressed length mismatch"),
    ("zeros_raw_64mib", "full", lambda: bomb_frames(4 * GIB), 64 << 20, "snapshot decompressed length mismatch"),
    ("raw_length_huge_payload_small", "full", lambda: bomb_frames(32 << 20), 1 << 62,
     "snapshot decompressed length mismatch"),
]


@pytest.mark.parametrize("which,stored,raw_length,message", [b[1:] for b in BOMBS], ids=[b[0] for b in BOMBS])
def test_decompression_bomb_refused_in_bounded_memory(tmp_path, which, stored, raw_length, message):
    data = stored()
    good_full, good_index = good_pair(tmp_path)
    magic = FULL_MAGIC if which == "full" else INDEX_MAGIC
    bomb = write(tmp_path, "bomb", header(magic, len(data), 1, raw_length) + data)
    paths = (bomb, good_index) if which == "full" else (good_full, bomb)
    name, got, growth_mb = load_in_child(*paths)
    assert (name, got) == ("ValueError", message)
    assert growth_mb < RSS_ALLOWANCE_MB, f"peak RSS grew by {growth_mb:.0f} MiB"


def test_unknown_length_within_limit_still_loads(tmp_path):
    # A legitimate file without raw_length (written by another tool) loads.
    core = MetadataCore()
    full = write(tmp_path, "full", container(FULL_MAGIC, GOOD_FULL, raw_length=0))
    index = write(tmp_path, "index", container(INDEX_MAGIC, GOOD_INDEX, raw_length=0))
    core.load_snapshot(full, index)
    assert_unchanged(core)


def test_unknown_length_limit_scales_with_stored_size(tmp_path):
    # 66 MiB of JSON (past the 64 MiB floor) stored in far more than
    # 66 KiB: within 1024 x stored, so it loads.
    core = MetadataCore()
    value = os.urandom(256 << 10).hex().encode() * 132
    payload = b'{"A":{"blob":"' + value + b'"}}'
    full_bytes = container(FULL_MAGIC, payload, raw_length=0)
    assert len(full_bytes) > (len(payload) >> 10) + 128
    full = write(tmp_path, "full", full_bytes)
    index = write(tmp_path, "index", container(INDEX_MAGIC, GOOD_INDEX, raw_length=0))
    core.load_snapshot(full, index)
    assert len(core.get("A")["blob"]) == 66 << 20


# --- headers, truncation and garbage -----------------------------------------

def stored_length_cases():
    full = container(FULL_MAGIC, GOOD_FULL)
    body = full[128:]
    return [pytest.param(header(FULL_MAGIC, length, 1, len(GOOD_FULL)) + body, id=label)
            for label, length in [("2**64-1", 2**64 - 1), ("2**64-128", 2**64 - 128), ("2**64-129", 2**64 - 129),
                                  ("2**63", 2**63), ("size_plus_one", len(body) + 1), ("2**32", 2**32)]]


@pytest.mark.parametrize("data", stored_length_cases())
def test_stored_length_past_the_end(tmp_path, data):
    core = loaded_engine(tmp_path)
    _, index = good_pair(tmp_path)
    with pytest.raises(ValueError, match=r"^snapshot payload truncated$"):
        core.load_snapshot(write(tmp_path, "bad", data), index)
    assert_unchanged(core)


def test_every_truncation_of_both_files_is_refused(tmp_path):
    core = loaded_engine(tmp_path)
    full_bytes = container(FULL_MAGIC, GOOD_FULL)
    index_bytes = container(INDEX_MAGIC, GOOD_INDEX)
    good_full, good_index = good_pair(tmp_path)
    seen = set()
    for which, data in (("full", full_bytes), ("index", index_bytes)):
        for n in range(len(data)):
            bad = write(tmp_path, "cut", data[:n])
            paths = (bad, good_index) if which == "full" else (good_full, bad)
            with pytest.raises(ValueError) as info:
                core.load_snapshot(*paths)
            seen.add(str(info.value))
    assert_unchanged(core)
    assert {"snapshot file truncated", "snapshot payload truncated"} <= seen


GARBAGE = [
    ("empty", b"", "snapshot file truncated"),
    ("127_bytes_right_magic", FULL_MAGIC + bytes(119), "snapshot file truncated"),
    ("wrong_magic", b"METADATB" + bytes(120), "snapshot file magic mismatch"),
    ("index_magic", INDEX_MAGIC + bytes(120), "snapshot file magic mismatch"),
    ("random_after_header", header(FULL_MAGIC, 64, 1, 0) + bytes(range(64)), "Unknown frame descriptor"),
    ("empty_compressed", header(FULL_MAGIC, 0, 1, 0), "incomplete frame"),
    ("half_frame", None, "incomplete frame"),
    ("frame_then_garbage", None, "Unknown frame descriptor"),
    ("stored_not_json", header(FULL_MAGIC, 5, 0, 0) + b"hello", r"^expected value at line 1 column 1$"),
    ("stored_array", header(FULL_MAGIC, 2, 0, 0) + b"[]", "^full payload must be a JSON object$"),
    ("stored_trailing", header(FULL_MAGIC, 4, 0, 0) + b"{} x", r"^trailing characters at line 1 column 4$"),
    ("stored_nan", header(FULL_MAGIC, 11, 0, 0) + b'{"A":NaN}  ', r"^expected value at line 1 column 6$"),
    ("stored_huge_number", header(FULL_MAGIC, 10, 0, 0) + b'{"A":1e999', r"^number out of range at line 1 column 10$"),
]


def _garbage_data(label, data):
    frame = zstandard.ZstdCompressor(level=3).compress(GOOD_FULL)
    if label == "half_frame":
        stored = frame[: len(frame) // 2]
        return header(FULL_MAGIC, len(stored), 1, 0) + stored
    if label == "frame_then_garbage":
        stored = frame + b"\x01\x02\x03\x04\x05\x06\x07\x08"
        return header(FULL_MAGIC, len(stored), 1, 0) + stored
    return data


@pytest.mark.parametrize("label,data,message", GARBAGE, ids=[g[0] for g in GARBAGE])
def test_garbage_full_file(tmp_path, label, data, message):
    core = loaded_engine(tmp_path)
    _, index = good_pair(tmp_path)
    with pytest.raises(ValueError, match=message):
        core.load_snapshot(write(tmp_path, "bad", _garbage_data(label, data)), index)
    assert_unchanged(core)


def test_random_bytes_never_crash(tmp_path):
    import random
    rng = random.Random(20260)
    core = loaded_engine(tmp_path)
    good_full, good_index = good_pair(tmp_path)
    for i in range(300):
        magic = rng.choice([FULL_MAGIC, INDEX_MAGIC, b"XXXXXXXX"])
        size = rng.choice([0, 8, 100, 128, 129, 200, 1000])
        flags = rng.choice([0, 1, 0xFFFFFFFF])
        body = bytes(rng.getrandbits(8) for _ in range(size))
        data = header(magic, rng.choice([0, size, size + 1, rng.getrandbits(64)]), flags,
                      rng.choice([0, 1, size, rng.getrandbits(64)])) + body
        bad = write(tmp_path, "rand", data)
        paths = (bad, good_index) if i % 2 == 0 else (good_full, bad)
        try:
            core.load_snapshot(*paths)
        except ValueError as e:
            assert str(e)
        else:  # only an accidental valid file may load; restore the reference state
            core.load_snapshot(good_full, good_index)
    assert_unchanged(core)


# --- payload contents ---------------------------------------------------------

CONTENT = [
    # (id, full payload, index payload, message regex)
    ("full_invalid_utf8", b'{"A":"\xff"}', GOOD_INDEX, r"^invalid UTF-8 in string at line 1 column 7$"),
    ("full_overlong_utf8", b'{"A":"\xc0\xaf"}', GOOD_INDEX, r"^invalid UTF-8 in string at line 1 column 7$"),
    ("full_encoded_surrogate", b'{"A":"\xed\xa0\x80"}', GOOD_INDEX, r"^invalid UTF-8 in string"),
    ("full_above_max_code_point", b'{"A":"\xf4\x90\x80\x80"}', GOOD_INDEX, r"^invalid UTF-8 in string"),
    ("full_truncated_utf8", b'{"A":"\xe8\xb4"}', GOOD_INDEX, r"^invalid UTF-8 in string"),
    ("full_invalid_utf8_key", b'{"\xfe":1}', GOOD_INDEX, r"^invalid UTF-8 in string at line 1 column 3$"),
    ("full_lone_surrogate_escape", b'{"A":"\\ud800"}', GOOD_INDEX, r"^lone leading surrogate in hex escape"),
    ("full_lone_trailing_escape", b'{"A":"\\udc00"}', GOOD_INDEX, r"^invalid unicode code point"),
    ("full_control_char", b'{"A":"\x01"}', GOOD_INDEX, r"^control character"),
    ("index_invalid_utf8_code", GOOD_FULL,
     b'[{"code":"\xff","name":"","pinyin":"","fields":{}}]', r"^invalid UTF-8 in string at line 1 column 11$"),
    ("index_invalid_utf8_field", GOOD_FULL,
     b'[{"code":"A","name":"","pinyin":"","fields":{"m":"\x80"}}]', r"^invalid UTF-8 in string"),
    ("full_nested_200", b'{"A":' + b"[" * 200 + b"]" * 200 + b"}", GOOD_INDEX,
     r"^recursion limit exceeded at line 1 column \d+$"),
    ("full_nested_1e6", b'{"A":' + b"[" * 10**6, GOOD_INDEX, r"^recursion limit exceeded"),
    ("full_objects_nested_1e5", b'{"a":' * 10**5, GOOD_INDEX, r"^recursion limit exceeded"),
    ("index_nested_in_unknown_member", GOOD_FULL,
     b'[{"code":"A","name":"","pinyin":"","fields":{},"x":' + b"[" * 10**5, r"^recursion limit exceeded"),
    ("index_nested_elements", GOOD_FULL, b"[" * 10**5, r"^recursion limit exceeded|^invalid type"),
    ("index_not_array", GOOD_FULL, b'{"code":"A"}', r"^invalid type: map, expected a sequence"),
    ("index_wrong_member_type", GOOD_FULL,
     b'[{"code":1,"name":"","pinyin":"","fields":{}}]', r"^invalid type: integer `1`, expected a string"),
    ("index_missing_fields", GOOD_FULL, b'[{"code":"A","name":"","pinyin":""}]', r"^missing field `fields`"),
    ("index_duplicate_code", GOOD_FULL,
     b'[{"code":"A","code":"B","name":"","pinyin":"","fields":{}}]', r"^duplicate field `code`"),
    ("index_short_array_doc", GOOD_FULL, b'[["A","n","p"]]', r"^invalid length 3, expected struct SnapshotIndexDoc"),
    ("index_field_value_not_string", GOOD_FULL,
     b'[{"code":"A","name":"","pinyin":"","fields":{"m":["x"]}}]', r"^invalid type: sequence, expected a string"),
]


@pytest.mark.parametrize("full_payload,index_payload,message", [c[1:] for c in CONTENT], ids=[c[0] for c in CONTENT])
@pytest.mark.parametrize("compressed", [True, False], ids=["zstd", "stored"])
def test_bad_payload_refused_engine_unchanged(tmp_path, full_payload, index_payload, message, compressed):
    core = loaded_engine(tmp_path)
    flags = 1 if compressed else 0
    full = write(tmp_path, "full", container(FULL_MAGIC, full_payload, flags=flags))
    index = write(tmp_path, "index", container(INDEX_MAGIC, index_payload, flags=flags))
    with pytest.raises(ValueError, match=message):
        core.load_snapshot(full, index)
    assert_unchanged(core)


def test_deepest_accepted_payload_loads_and_reads_back(tmp_path):
    core = MetadataCore()
    deep = b"[" * 126 + b"]" * 126  # inside the full object: 127 levels in all
    full = write(tmp_path, "full", container(FULL_MAGIC, b'{"A":' + deep + b"}"))
    index = write(tmp_path, "index", container(INDEX_MAGIC, GOOD_INDEX))
    core.load_snapshot(full, index)
    value = core.get("A")
    depth = 0
    while isinstance(value, list):
        depth += 1
        value = value[0] if value else None
    assert depth == 126


def test_special_files_as_paths(tmp_path):
    core = loaded_engine(tmp_path)
    good_full, good_index = good_pair(tmp_path)
    for bad, message in [(str(tmp_path), r"^Is a directory \(os error 21\)$"),
                         ("/dev/null", "^snapshot file truncated$"),
                         (str(tmp_path / "missing"), r"^No such file or directory \(os error 2\)$"),
                         ("bad\0path", "NUL")]:
        with pytest.raises(ValueError, match=message):
            core.load_snapshot(bad, good_index)
        with pytest.raises(ValueError, match=message):
            core.load_snapshot(good_full, bad)
    assert_unchanged(core)


ENDLESS = [
    ("dev_zero", "/dev/zero", "^snapshot file magic mismatch$"),
    ("dev_urandom", "/dev/urandom", "^snapshot file magic mismatch$"),
]


@pytest.mark.parametrize("path,message", [e[1:] for e in ENDLESS], ids=[e[0] for e in ENDLESS])
def test_endless_device_read_only_as_far_as_the_header(tmp_path, path, message):
    core = loaded_engine(tmp_path)
    good_full, good_index = good_pair(tmp_path)
    with pytest.raises(ValueError, match=message):
        core.load_snapshot(path, good_index)
    with pytest.raises(ValueError, match=message):
        core.load_snapshot(good_full, path)
    assert_unchanged(core)


def test_fifo_with_endless_trailing_bytes_loads(tmp_path):
    # The writer is another process: load_snapshot keeps the interpreter lock
    # while it opens and reads the FIFO.
    core = MetadataCore()
    good_full, _ = good_pair(tmp_path)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    data = tmp_path / "index_bytes"
    data.write_bytes(container(INDEX_MAGIC, GOOD_INDEX))
    script = textwrap.dedent(f"""
        import sys
        sent = 0
        with open({fifo!r}, "wb", buffering=0) as f:
            try:
                f.write(open({str(data)!r}, "rb").read())
                while sent < 1 << 30:
                    sent += f.write(b"\\xff" * 65536)
            except BrokenPipeError:
                pass
        print(sent)
    """)
    writer = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        core.load_snapshot(good_full, fifo)
        out, _ = writer.communicate(timeout=60)
    finally:
        if writer.poll() is None:
            writer.kill()
            writer.wait()
    assert int(out) < 1 << 30  # the reader closed the pipe long before
    assert_unchanged(core)


def test_sparse_file_with_small_stored_length(tmp_path):
    # 64 GiB of (sparse) trailing zeros after a good container: never read.
    core = MetadataCore()
    good_full, good_index = good_pair(tmp_path)
    sparse = tmp_path / "sparse"
    sparse.write_bytes(container(FULL_MAGIC, GOOD_FULL))
    os.truncate(sparse, 64 << 30)
    core.load_snapshot(str(sparse), good_index)
    assert_unchanged(core)


# --- get_many with hostile sequences -------------------------------------------

class LyingSequence:
    """A sequence whose len() claims far more items than it yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


LENGTHS = [
    ("maxsize", sys.maxsize),
    ("2**62", 2**62),
    ("2**31", 2**31),
    ("zero", 0),
    ("beyond_ssize_t", 2**64),
    ("negative", -1),
    ("raises_value_error", ValueError("no length")),
]


@pytest.mark.parametrize("length", [c[1] for c in LENGTHS], ids=[c[0] for c in LENGTHS])
def test_get_many_huge_len_is_only_a_hint(tmp_path, length):
    # Lengths the interpreter refuses (negative, past sys.maxsize) and a
    # __len__ that raises an Exception only drop the hint.
    core = loaded_engine(tmp_path)
    assert core.get_many(LyingSequence(["A", "missing", "A"], length)) == [core.get("A")] * 2
    assert_unchanged(core)


def test_get_many_huge_len_bounded_memory(tmp_path):
    full, index = good_pair(tmp_path)
    script = textwrap.dedent(f"""
        import resource
        from vedra_runtime import MetadataCore
        class Lying:
            def __len__(self): return {sys.maxsize}
            def __getitem__(self, i): return ["A"][i]
            def __iter__(self): return iter(["A"] * 3)
        core = MetadataCore()
        core.load_snapshot({full!r}, {index!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(200):
            assert len(core.get_many(Lying())) == 3
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[-1]) < 64 * 1024


def test_get_many_len_raising_base_exception_propagates(tmp_path):
    core = loaded_engine(tmp_path)
    with pytest.raises(KeyboardInterrupt):
        core.get_many(LyingSequence(["A"], KeyboardInterrupt()))
    assert_unchanged(core)


@pytest.mark.parametrize(
    "number,expected",
    [
        ("-0", 0), ("0", 0), ("-0.0", -0.0), ("-0e0", -0.0), ("-9223372036854775808", -(2**63)), ("-1", -1),
        # Below the 64-bit range: stored as the float it rounds to, never as a wrapped integer.
        ("-9223372036854775809", -9.223372036854776e18),
        # Floats whose shortest text has no '.' or looks integral.
        ("1e16", 1e16), ("1e-07", 1e-07), ("5e-324", 5e-324), ("1e300", 1e300), ("-2.5e-10", -2.5e-10),
    ],
)
def test_stored_number_reads_back_as_json_loads_gives(tmp_path, number, expected):
    core = MetadataCore()
    full = write(tmp_path, "full", container(FULL_MAGIC, b'{"A":{"v":%s}}' % number.encode()))
    index = write(tmp_path, "index", container(INDEX_MAGIC, GOOD_INDEX))
    core.load_snapshot(full, index)
    got = core.get("A")["v"]
    assert type(got) is type(expected) and got == expected
    assert math.copysign(1.0, got) == math.copysign(1.0, expected)
    assert core.get_many(["A"])[0] == {"v": expected}
    # The same value ingested reads back alike.
    added = MetadataCore()
    added.add_record_payload({"code": "A", "v": expected})
    assert type(added.get("A")["v"]) is type(expected) and added.get("A")["v"] == expected
    # What a second save writes reads back as the same value.
    core.save_snapshot(str(tmp_path / "f2"), str(tmp_path / "i2"))
    again = MetadataCore()
    again.load_snapshot(str(tmp_path / "f2"), str(tmp_path / "i2"))
    assert again.get("A") == {"v": expected} and type(again.get("A")["v"]) is type(expected)
