"""Type stubs of vedra_runtime: an in-memory metadata retrieval engine."""

from collections.abc import Sequence
from typing import Any, final

__all__ = ["MetadataCore"]

@final
class MetadataCore:
    """工业级元数据检索引擎核心

    功能：
    1. 高性能倒排索引 (基于 Roaring Bitmaps)
    2. 多模式匹配 (基于 Aho-Corasick)
    3. 完整 payload 存储与快照读写

    An inverted index over field values, multi-pattern matching of free text
    against codes, names and pinyin pieces, and storage of every record's
    complete payload, saved and restored as snapshot files.
    """

    def __new__(cls) -> MetadataCore:
        """An empty engine."""
        ...
    def add_record(
        self,
        code: str,
        name: str,
        pinyin: str,
        fields: dict[str, Any],
        payload: dict[str, Any] | None = None,
    ) -> None:
        """兼容旧路径：注入预先扁平化的字段

        Adds a record from pre-flattened fields: `fields` maps a field name to
        one value or a list of values; `payload` (a dict) is the stored payload,
        by default an eight-member object made from code, name and pinyin.
        A failed call changes nothing.
        """
        ...
    def add_record_payload(self, record: dict[str, Any]) -> None:
        """新路径：直接注入完整 record payload，由 Rust 执行扁平化

        Adds a record from its complete payload, which is stored as given (keys
        sorted) and flattened: "market", "asset_type", "region" and the members
        of "categories" and "attributes" become fields. A failed call changes
        nothing.
        """
        ...
    def build(self) -> None:
        """必须在所有 add_record 完成后调用

        Compiles the matcher over every registered code, name and pinyin piece;
        `find` searches with the matcher of the last build.
        """
        ...
    def filter(self, filters: dict[str, Any]) -> list[str]:
        """filters: {"field": ["val1", "val2"], "field__not": "val3"}

        Codes of the records matching every key, in record order: the values of
        one key are alternatives, and a key ending in "__not" excludes.
        """
        ...
    def find(self, text: str) -> list[str]:
        """Sorted, distinct codes whose code, name or pinyin piece occurs in
        `text` (leftmost-longest, non-overlapping matches)."""
        ...
    def get(self, code: str) -> Any:
        """The payload stored last for `code`, as a new object, or None."""
        ...
    def get_many(self, codes: Sequence[str]) -> list[Any]:
        """The payloads of the codes present, in the order of `codes`."""
        ...
    def save_snapshot(
        self,
        full_file_path: str,
        index_file_path: str,
        manifest_file_path: str | None = None,
    ) -> None:
        """Writes the full and the index snapshot file, and a JSON manifest when
        `manifest_file_path` is given. Old files are replaced only once every
        new file is written; a failed save leaves them as they were."""
        ...
    def load_snapshot(self, full_file_path: str, index_file_path: str) -> None:
        """Replaces the engine's records with those of a snapshot pair and builds
        the matcher. A file that cannot be read or decoded changes nothing."""
        ...
