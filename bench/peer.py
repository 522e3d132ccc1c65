"""PeerCore: the nine methods of vedra_runtime.MetadataCore in plain Python.

This is the yardstick of bench/run.py: the same work, done the way a careful
Python developer would do it for speed with the best libraries at hand.

    field index   dict field -> dict key -> pyroaring.BitMap of record numbers
    find          ahocorasick_rs.AhoCorasick, MatchKind.LeftmostLongest
    payloads      orjson.dumps(..., OPT_SORT_KEYS) bytes; get() = orjson.loads
    snapshots     same 128-byte container header, zstandard level 3,
                  hashlib.sha256 for the manifest digest

Same work means: the same flattening of add_record_payload (market,
asset_type and region untrimmed; categories and attributes flattened with
dotted child names in ascending key order, values trimmed, joined with "|"
distinct in first-seen order), the same posting of "|" pieces and dotted
prefixes, the same patterns (code, name, trimmed pinyin pieces), and the same
file formats, so snapshots of either implementation load in the other.

Known differences, none of which the benchmark data touches: error messages
for malformed arguments are close but not identical; payload conversion is
orjson's (an int outside 64 bits is refused, 2**63..2**64-1 stays an int,
datetimes and dataclasses become their str()); JSON parse errors use orjson's
wording; and nothing guards against re-entrant calls.

PyAhoBaseline is a find-only baseline on pyahocorasick (Automaton.iter_long).
"""

from __future__ import annotations

import hashlib
import json
import math
import operator
import re
import struct
import time
from decimal import Decimal
from typing import Any, Iterable

import orjson
import zstandard
from ahocorasick_rs import AhoCorasick, MatchKind
from pyroaring import BitMap

# Characters with the Unicode White_Space property; str.strip() without
# arguments would also strip U+001C..U+001F, which are not white space here.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
               "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")

FULL_MAGIC = b"METADATA"
INDEX_MAGIC = b"RUSTIDX1"
FORMAT_VERSION = 202603
# magic, format_version, stored_length, flags, raw_length, 96 reserved bytes
HEADER = struct.Struct("<8sIQIQ96x")
assert HEADER.size == 128

_I64 = 1 << 63
_SORTED = orjson.OPT_SORT_KEYS | orjson.OPT_PASSTHROUGH_DATETIME | orjson.OPT_PASSTHROUGH_DATACLASS
_SURROGATE = re.compile("[\ud800-\udfff]")
_EMPTY: dict[str, BitMap] = {}


def _type_error(arg: str | None, value: Any, expected: str) -> TypeError:
    what = "'None' is not" if value is None else f"'{type(value).__qualname__}' object is not"
    prefix = f"argument '{arg}': " if arg else ""
    return TypeError(f"{prefix}{what} an instance of '{expected}'")


def _is_numpy_bool(x: Any) -> bool:
    t = type(x)
    return t.__module__ == "numpy" and t.__name__ in ("bool_", "bool")


def _positional(f: float) -> str:
    """Shortest round-trip digits, never an exponent, no fraction when integral."""
    if f != f:
        return "NaN"
    if f in (math.inf, -math.inf):
        return "inf" if f > 0 else "-inf"
    r = repr(f)
    if "e" in r:
        r = format(Decimal(r), "f")
    if r.endswith(".0"):
        r = r[:-2]
    return r


def json_number_text(f: float) -> str:
    """The engine's JSON text of a finite double: positional for decimal
    exponents -5..15 (always with a fraction or '.0'), else d.ddde[+-]x."""
    r = repr(f)
    if "e" not in r:
        return r
    mant, exp = r.split("e")
    e = int(exp)
    if -5 <= e <= 15:
        return format(Decimal(r), "f")
    return f"{mant}e{'+' if e >= 0 else '-'}{abs(e)}"


def _str_text(x: Any) -> str:
    return _SURROGATE.sub("\ufffd", str(x))


def value_to_text(x: Any) -> str:
    """Text of one field or filter value; None gives '' (dropped)."""
    t = type(x)
    if t is str:
        return x.strip(WHITE_SPACE)
    if x is None:
        return ""
    if t is bool:
        return "True" if x else "False"
    if t is int:
        if -_I64 <= x < _I64:
            return str(x)
        try:
            return _positional(float(x))
        except OverflowError:
            return str(x).strip(WHITE_SPACE)
    if t is float:
        return _positional(x)
    # Subclasses and foreign numbers, in the engine's rule order.
    if isinstance(x, str) and not _SURROGATE.search(x):
        return x.strip(WHITE_SPACE)
    if isinstance(x, bool):
        return "True" if x else "False"
    if _is_numpy_bool(x):
        return "True" if type(x).__bool__(x) else "False"
    try:
        i = operator.index(x)
        if -_I64 <= i < _I64:
            return str(i)
    except Exception:
        pass
    try:
        return _positional(float(x))
    except Exception:
        pass
    return _str_text(x).strip(WHITE_SPACE)


def _json_default(obj: Any) -> Any:
    """orjson fallback for what python_to_json converts but orjson does not."""
    if isinstance(obj, set):
        return list(obj)
    if _is_numpy_bool(obj):
        return bool(type(obj).__bool__(obj))
    try:
        return operator.index(obj)
    except Exception:
        pass
    if not isinstance(obj, (bytes, bytearray, frozenset)):
        try:
            f = float(obj)
            return f if math.isfinite(f) else None
        except Exception:
            pass
    return _str_text(obj)


def _flatten(field: str, v: Any, collected: dict[str, list[str]]) -> None:
    """Appends the texts of one JSON-shaped value under field (see module doc)."""
    t = type(v)
    if t is str:
        s = v.strip(WHITE_SPACE)
        if s:
            collected.setdefault(field, []).append(s)
    elif v is None:
        return
    elif t is bool:
        collected.setdefault(field, []).append("True" if v else "False")
    elif t is int:
        if -_I64 <= v < _I64:
            collected.setdefault(field, []).append(str(v))
        else:
            try:
                _flatten(field, float(v), collected)
            except OverflowError:
                _flatten(field, str(v), collected)
    elif t is float:
        if math.isfinite(v):
            collected.setdefault(field, []).append(json_number_text(v))
    elif t is dict:
        for key in sorted(v):
            _flatten(f"{field}.{key}" if field else key, v[key], collected)
    elif t is list or t is tuple:
        for e in v:
            _flatten(field, e, collected)
    else:
        # Subclasses and foreign objects: take the JSON value orjson stored.
        _flatten(field, orjson.loads(orjson.dumps(v, default=_json_default, option=_SORTED)), collected)


def _default_payload(code: str, name: str, pinyin: str) -> bytes:
    return orjson.dumps({"asset_type": "", "attributes": {}, "categories": {}, "code": code,
                         "market": "", "name": name, "pinyin": pinyin, "region": ""})


def _join(collected: dict[str, list[str]]) -> dict[str, str]:
    """Distinct values of each field, first-seen order, joined with "|"."""
    return {f: vals[0] if len(vals) == 1 else "|".join(dict.fromkeys(vals)) for f, vals in collected.items()}


def _os_error(e: OSError) -> ValueError:
    return ValueError(f"{e.strerror} (os error {e.errno})")


def _write_file(path: str, *chunks: bytes) -> None:
    try:
        with open(path, "wb") as f:
            for c in chunks:
                f.write(c)
    except OSError as e:
        raise _os_error(e) from None


def _write_container(path: str, magic: bytes, payload: bytes) -> None:
    stored = zstandard.ZstdCompressor(level=3).compress(payload)
    _write_file(path, HEADER.pack(magic, FORMAT_VERSION, len(stored), 1, len(payload)), stored)


def _read_container(path: str, magic: bytes) -> bytes:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise _os_error(e) from None
    if len(data) < HEADER.size:
        raise ValueError("snapshot file truncated")
    if data[:8] != magic:
        raise ValueError("snapshot file magic mismatch")
    _, _, stored_len, flags, raw_len = HEADER.unpack_from(data)
    if HEADER.size + stored_len > len(data):
        raise ValueError("snapshot payload truncated")
    body = memoryview(data)[HEADER.size:HEADER.size + stored_len]
    if not flags & 1:
        return bytes(body)
    # Consecutive frames decode into one output, as the container allows.
    dctx = zstandard.ZstdDecompressor()
    parts: list[bytes] = []
    rest = bytes(body)
    if not rest:
        raise ValueError("incomplete frame")
    try:
        while rest:
            obj = dctx.decompressobj()
            parts.append(obj.decompress(rest))
            if not obj.eof:
                raise ValueError("incomplete frame")
            rest = obj.unused_data
    except zstandard.ZstdError as e:
        raise ValueError(str(e).rsplit(": ", 1)[-1]) from None
    out = b"".join(parts) if len(parts) > 1 else parts[0]
    if raw_len and len(out) != raw_len:
        raise ValueError("snapshot decompressed length mismatch")
    return out


class PeerCore:
    """Engine state and the nine methods; see the module docstring."""

    __slots__ = ("_index", "_matcher", "_pattern_texts", "_pattern_codes", "_all", "_codes",
                 "_code_to_record", "_names", "_pinyins", "_payloads", "_fields")

    def __init__(self) -> None:
        self._reset()

    def _reset(self) -> None:
        self._index: dict[str, dict[str, BitMap]] = {}
        self._matcher: AhoCorasick | None = None
        self._pattern_texts: list[str] = []
        self._pattern_codes: list[str] = []
        self._all = BitMap()
        self._codes: list[str] = []
        self._code_to_record: dict[str, int] = {}
        self._names: list[str] = []
        self._pinyins: list[str] = []
        self._payloads: list[bytes] = []
        self._fields: list[dict[str, str]] = []

    # -- store, posting, patterns -------------------------------------------

    def _register(self, code: str, name: str, pinyin: str, payload: bytes) -> int:
        r = len(self._codes)
        self._all.add(r)
        self._codes.append(code)
        self._code_to_record[code] = r
        self._names.append(name)
        self._pinyins.append(pinyin)
        self._payloads.append(payload)
        self._post("code", code, r)
        self._post("name", name, r)
        pt = self._pattern_texts
        pc = self._pattern_codes
        for text in (code, name):
            text = text.strip(WHITE_SPACE)
            if text:
                pt.append(text)
                pc.append(code)
        for piece in pinyin.split("|"):
            piece = piece.strip(WHITE_SPACE)
            if piece:
                pt.append(piece)
                pc.append(code)
        return r

    def _post(self, field: str, value: str, r: int) -> None:
        """Posts value's "|" pieces and their dotted prefixes under field."""
        if not value:
            return
        inner = self._index.get(field)
        if inner is None:
            inner = self._index[field] = {}
        if "|" in value:
            pieces: Iterable[str] = [p.strip(WHITE_SPACE) for p in value.split("|")]
        else:
            pieces = (value,)
        for piece in pieces:
            if not piece:
                continue
            if "." not in piece:
                bm = inner.get(piece)
                if bm is None:
                    inner[piece] = BitMap((r,))
                else:
                    bm.add(r)
                continue
            acc = ""
            for i, sub in enumerate(piece.split(".")):
                sub = sub.strip(WHITE_SPACE)
                if not sub:
                    continue
                acc = f"{acc}.{sub}" if i else sub
                bm = inner.get(acc)
                if bm is None:
                    inner[acc] = BitMap((r,))
                else:
                    bm.add(r)

    # -- ingestion -----------------------------------------------------------

    def add_record(self, code: str, name: str, pinyin: str, fields: dict, payload: dict | None = None) -> None:
        for arg, v in (("code", code), ("name", name), ("pinyin", pinyin)):
            if not isinstance(v, str):
                raise _type_error(arg, v, "str")
        if not isinstance(fields, dict):
            raise _type_error("fields", fields, "dict")
        if payload is None:
            stored = _default_payload(code, name, pinyin)
        elif isinstance(payload, dict):
            stored = orjson.dumps(payload, default=_json_default, option=_SORTED)
        else:
            raise _type_error("payload", payload, "dict")
        # Convert every key and item before registering, so a failure leaves
        # nothing half added.
        converted: list[tuple[str, list[str]]] = []
        for key, value in fields.items():
            if not isinstance(key, str):
                raise _type_error(None, key, "str")
            if isinstance(value, list):
                converted.append((key, [value_to_text(item) for item in value]))
            else:
                converted.append((key, [value_to_text(value)]))
        r = self._register(code, name, pinyin, stored)
        post = self._post
        collected: dict[str, list[str]] = {}
        for key, items in converted:
            for t in items:
                if t:
                    collected.setdefault(key, []).append(t)
                    post(key, t, r)
        self._fields.append(_join(collected))

    def add_record_payload(self, record: dict) -> None:
        if not isinstance(record, dict):
            raise _type_error("record", record, "dict")
        stored = orjson.dumps(record, default=_json_default, option=_SORTED)
        get = record.get
        code, name, pinyin = get("code"), get("name"), get("pinyin")
        code = code if isinstance(code, str) else ""
        name = name if isinstance(name, str) else ""
        pinyin = pinyin if isinstance(pinyin, str) else ""
        r = self._register(code, name, pinyin, stored)
        collected: dict[str, list[str]] = {}
        for key in ("market", "asset_type", "region"):
            v = get(key)
            if isinstance(v, str) and v:
                collected[key] = [v]
        for member in ("categories", "attributes"):
            obj = get(member)
            if isinstance(obj, dict):
                for key in sorted(obj):
                    _flatten(key, obj[key], collected)
        joined = _join(collected)
        post = self._post
        for field, value in joined.items():
            post(field, value, r)
        self._fields.append(joined)

    def build(self) -> None:
        if self._pattern_texts:
            self._matcher = AhoCorasick(self._pattern_texts, matchkind=MatchKind.LeftmostLongest)
        else:
            self._matcher = None

    # -- queries -------------------------------------------------------------

    def filter(self, filters: dict) -> list[str]:
        if not isinstance(filters, dict):
            raise _type_error("filters", filters, "dict")
        for key in filters:
            if not isinstance(key, str):
                raise _type_error("filters", key, "str")
        result = self._all.copy()
        index = self._index
        for key, value in filters.items():
            if not result:
                return []
            field = key
            negate = key.endswith("__not")
            while field.endswith("__not"):
                field = field[:-5]
            inner = index.get(field, _EMPTY)
            items = value if isinstance(value, (list, tuple, set)) else (value,)
            hits = []
            for item in items:
                bm = inner.get(value_to_text(item))
                if bm is not None:
                    hits.append(bm)
            if negate:
                for bm in hits:
                    result -= bm
            elif not hits:
                return []
            else:
                result &= hits[0] if len(hits) == 1 else BitMap.union(*hits)
        return list(map(self._codes.__getitem__, result.to_array()))

    def find(self, text: str) -> list[str]:
        if not isinstance(text, str):
            raise _type_error("text", text, "str")
        m = self._matcher
        if m is None or not text:
            return []
        pc = self._pattern_codes
        return sorted({pc[i] for i, _, _ in m.find_matches_as_indexes(text)})

    def get(self, code: str) -> Any:
        if not isinstance(code, str):
            raise _type_error("code", code, "str")
        r = self._code_to_record.get(code)
        return None if r is None else orjson.loads(self._payloads[r])

    def get_many(self, codes: Any) -> list[Any]:
        if isinstance(codes, str):
            raise TypeError("argument 'codes': Can't extract `str` to `Vec`")
        if isinstance(codes, (dict, set, frozenset)) or not hasattr(type(codes), "__getitem__"):
            raise _type_error("codes", codes, "Sequence")
        keys = list(codes)
        for k in keys:
            if not isinstance(k, str):
                raise _type_error("codes", k, "str")
        lookup = self._code_to_record.get
        payloads = self._payloads
        loads = orjson.loads
        out = []
        for k in keys:
            r = lookup(k)
            if r is not None:
                out.append(loads(payloads[r]))
        return out

    # -- snapshots -----------------------------------------------------------

    def save_snapshot(self, full_file_path: str, index_file_path: str, manifest_file_path: str | None = None) -> None:
        for arg, v in (("full_file_path", full_file_path), ("index_file_path", index_file_path)):
            if not isinstance(v, str):
                raise _type_error(arg, v, "str")
        if manifest_file_path is not None and not isinstance(manifest_file_path, str):
            raise _type_error("manifest_file_path", manifest_file_path, "str")
        ctr = self._code_to_record
        payloads = self._payloads
        dumps = orjson.dumps
        # Python sorts str by code point, which is UTF-8 byte order.
        full = b"{" + b",".join([dumps(c) + b":" + payloads[ctr[c]] for c in sorted(ctr)]) + b"}"
        _write_container(full_file_path, FULL_MAGIC, full)
        del full
        index = dumps([{"code": c, "name": n, "pinyin": p, "fields": f}
                       for c, n, p, f in zip(self._codes, self._names, self._pinyins, self._fields)])
        _write_container(index_file_path, INDEX_MAGIC, index)
        del index
        if manifest_file_path is None:
            return
        digest = hashlib.sha256("|".join(sorted(self._codes)).encode()).hexdigest()
        manifest = {
            "created_at": str(max(0, int(time.time()))),
            "full_codes_sha256": digest,
            "full_file": full_file_path,
            "index_codes_sha256": digest,
            "index_file": index_file_path,
            "record_count": len(self._codes),
            "version": FORMAT_VERSION,
        }
        _write_file(manifest_file_path, json.dumps(manifest, indent=2, ensure_ascii=False).encode())

    def load_snapshot(self, full_file_path: str, index_file_path: str) -> None:
        for arg, v in (("full_file_path", full_file_path), ("index_file_path", index_file_path)):
            if not isinstance(v, str):
                raise _type_error(arg, v, "str")
        full_raw = _read_container(full_file_path, FULL_MAGIC)
        index_raw = _read_container(index_file_path, INDEX_MAGIC)
        full = orjson.loads(full_raw)
        del full_raw
        if not isinstance(full, dict):
            raise ValueError("full payload must be a JSON object")
        docs = orjson.loads(index_raw)
        del index_raw
        if not isinstance(docs, list):
            raise ValueError("invalid type: expected a sequence of SnapshotIndexDoc")
        decoded: list[tuple[str, str, str, dict[str, str]]] = []
        for d in docs:
            if isinstance(d, dict):
                doc = (d["code"], d["name"], d["pinyin"], d["fields"])
            elif isinstance(d, list) and len(d) == 4:
                doc = tuple(d)
            else:
                raise ValueError("invalid SnapshotIndexDoc")
            if not all(isinstance(x, str) for x in doc[:3]) or not isinstance(doc[3], dict):
                raise ValueError("invalid type in SnapshotIndexDoc")
            decoded.append(doc)  # type: ignore[arg-type]
        del docs
        self._reset()
        dumps = orjson.dumps
        post = self._post
        for code, name, pinyin, fields in decoded:
            # Objects in a snapshot are already in ascending key order.
            p = full.get(code, _MISSING)
            stored = _default_payload(code, name, pinyin) if p is _MISSING else dumps(p)
            r = self._register(code, name, pinyin, stored)
            for field, value in fields.items():
                post(field, value, r)
            self._fields.append(fields)
        del full, decoded
        self.build()


_MISSING = object()


class PyAhoBaseline:
    """find() only, on pyahocorasick: identical patterns keep the lowest
    pattern number, as leftmost-longest requires."""

    def __init__(self, pattern_texts: list[str], pattern_codes: list[str]) -> None:
        import ahocorasick

        a = ahocorasick.Automaton()
        exists = a.exists
        add = a.add_word
        for text, code in zip(pattern_texts, pattern_codes):
            if not exists(text):
                add(text, code)
        self._a = a
        self._empty = not pattern_texts
        if pattern_texts:
            a.make_automaton()

    @classmethod
    def from_peer(cls, core: PeerCore) -> "PyAhoBaseline":
        return cls(core._pattern_texts, core._pattern_codes)

    def find(self, text: str) -> list[str]:
        if self._empty or not text:
            return []
        return sorted({code for _, code in self._a.iter_long(text)})
