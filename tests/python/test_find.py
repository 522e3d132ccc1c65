"""find and build: leftmost-longest text matching over codes, names and pinyin."""
import pytest


def engine(core, *records):
    for code, name, pinyin in records:
        core.add_record(code, name, pinyin, {})
    core.build()
    return core


class TestFind:
    @pytest.mark.parametrize(
        "records,text,codes",
        [
            pytest.param([("A", "ab", ""), ("B", "abc", "")], "abc", ["B"], id="010-leftmost-longest"),
            pytest.param([("A", "ab", ""), ("B", "abc", "")], "ab x", ["A"], id="020-shorter-when-longer-absent"),
            pytest.param([("A", "ab", ""), ("B", "bc", "")], "abc", ["A"], id="030-leftmost-wins-over-overlap"),
            pytest.param([("X1", "Acme", ""), ("X2", "Acme", "")], "Acme", ["X1"], id="040-same-name-first-code"),
            pytest.param([("A", "Apple", "")], "apple pie", [], id="050-case-sensitive"),
            pytest.param([("9", "nine", ""), ("1", "one", "")], "nine then one", ["1", "9"], id="060-codes-sorted-by-bytes"),
            pytest.param([("600519.SH", "贵州茅台", "gzmt|GZMT")], "买入GZMT", ["600519.SH"], id="070-pinyin-piece"),
            pytest.param([("600519.SH", "贵州茅台", "gzmt|GZMT")], "贵州茅台和贵州茅台", ["600519.SH"], id="080-pattern-twice-one-code"),
            pytest.param([("C", "name", " ab | cd ||")], "xx cd", ["C"], id="090-trimmed-pinyin-piece"),
            pytest.param([("C", "name", " ab | cd ||")], "|", [], id="100-bar-not-a-pattern"),
            pytest.param([("A", "ab", "")], "", [], id="110-empty-text"),
        ],
    )
    def test_cases(self, core, records, text, codes):
        assert engine(core, *records).find(text) == codes

    def test_new_engine_and_empty_build(self, core):
        assert core.find("anything") == []
        assert core.build() is None
        assert core.find("anything") == []

    def test_trimmed_pattern_owned_by_untrimmed_code(self, core):
        engine(core, (" X ", "", ""))
        assert core.find("aXb") == [" X "]

    def test_records_after_build_need_rebuild(self, core):
        engine(core, ("A", "alpha", ""))
        core.add_record("B", "beta", "", {})
        assert core.find("alpha beta") == ["A"]
        core.build()
        assert core.find("alpha beta") == ["A", "B"]
        core.build()
        assert core.find("alpha beta") == ["A", "B"]

    def test_sorted_by_bytes(self, core):
        engine(core, ("b", "bee", ""), ("B", "Bee", ""), ("é", "eacute", ""), ("a", "ay", ""))
        assert core.find("eacute bee Bee ay") == ["B", "a", "b", "é"]
