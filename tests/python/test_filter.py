"""filter: inclusion, "__not" exclusion, dotted prefixes and the argument rules."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vedra_runtime import MetadataCore

from models import post_keys, reloaded, trim


@pytest.fixture
def market(core):
    core.add_record("A", "Alpha", "", {"market": "US", "region": "Asia.China.Beijing", "n": 5})
    core.add_record("B", "Beta", "", {"market": "SH", "region": "Asia.Japan", "n": 1.5})
    core.add_record("C", "S.A. Corp", "", {"market": ["US", "SH"], "n": 5.0})
    return core


class TestFilter:
    @pytest.mark.parametrize(
        "filters,codes",
        [
            pytest.param({}, ["A", "B", "C"], id="010-empty-filter-all-records"),
            pytest.param({"market": "US"}, ["A", "C"], id="020-single-value"),
            pytest.param({"market": ["US"]}, ["A", "C"], id="030-list-value"),
            pytest.param({"market": ("US",)}, ["A", "C"], id="040-tuple-value"),
            pytest.param({"market": {"US"}}, ["A", "C"], id="050-set-value"),
            pytest.param({"market": " US "}, ["A", "C"], id="060-value-trimmed"),
            pytest.param({"market": frozenset({"US"})}, [], id="070-frozenset-value-is-text"),
            pytest.param({"market": None}, [], id="080-none-value-is-text"),
            pytest.param({"market": []}, [], id="090-empty-list-matches-nothing"),
            pytest.param({"market__not": []}, ["A", "B", "C"], id="100-empty-exclusion-excludes-nothing"),
            pytest.param({"nothing": "x"}, [], id="110-unknown-field"),
            pytest.param({"nothing__not": "x"}, ["A", "B", "C"], id="120-unknown-field-excluded"),
            pytest.param({"market": "US", "market__not": "SH"}, ["A"], id="130-include-and-exclude"),
            pytest.param({"market__not__not": "US"}, ["B"], id="140-repeated-not-suffix-excludes"),
            pytest.param({"region": "Asia"}, ["A", "B"], id="150-dotted-prefix"),
            pytest.param({"region": "Asia.China"}, ["A"], id="160-dotted-two-levels"),
            pytest.param({"region": "Asia.China.Beijing"}, ["A"], id="170-dotted-full-value"),
            pytest.param({"n": 5}, ["A", "C"], id="180-int-value"),
            pytest.param({"n": 5.0}, ["A", "C"], id="190-float-value-as-int"),
            pytest.param({"n": 1}, ["B"], id="200-int-other-value"),
            pytest.param({"name": "S.A. Corp"}, [], id="210-name-with-spaces-not-a-key"),
            pytest.param({"name": "S.A.Corp"}, ["C"], id="220-name-dots-joined"),
            pytest.param({"name": "S"}, ["C"], id="230-name-first-prefix"),
            pytest.param({"market": "US|SH"}, [], id="240-bar-is-not-split-in-queries"),
            pytest.param({"market": ["US", "SH"], "region__not": "Asia.Japan"}, ["A", "C"], id="250-alternatives-minus-exclusion"),
            pytest.param({"code": ["C", "A"]}, ["A", "C"], id="260-code-list-record-order"),
        ],
    )
    def test_cases(self, market, filters, codes):
        assert market.filter(filters) == codes

    def test_empty_engine(self, core):
        assert core.filter({}) == []
        assert core.filter({"a": "b"}) == []

    def test_duplicates_kept_in_record_order(self, core):
        core.add_record("A", "", "", {})
        core.add_record("B", "", "", {})
        core.add_record("A", "", "", {})
        assert core.filter({"code": "A"}) == ["A", "A"]
        assert core.filter({}) == ["A", "B", "A"]

    def test_value_errors_pass_through(self, market):
        class Bad:
            def __str__(self):
                raise ArithmeticError("bad")

        with pytest.raises(ArithmeticError):
            market.filter({"market": ["US", Bad()]})

    def test_empty_result_stops_conversion(self, market):
        class Bad:
            def __str__(self):
                raise ArithmeticError("bad")

        # The first entry empties the result, so the second is never converted.
        assert market.filter({"market": "nowhere", "x": Bad()}) == []

    def test_dict_subclass_and_str_subclass_keys(self, market):
        class D(dict):
            pass

        class S(str):
            pass

        assert market.filter(D({S("market"): "SH"})) == ["B", "C"]

    @pytest.mark.parametrize(
        "entries,codes",
        [
            # (key kind, key text, value) in dict order; "exact" is a plain str.
            pytest.param([("sub", "market", "US"), ("sub", "market", "SH")], ["B", "C"], id="010-two-sub-keys"),
            pytest.param([("exact", "market", "US"), ("sub", "market", "SH")], ["B", "C"], id="020-exact-then-sub"),
            pytest.param([("sub", "market", "SH"), ("exact", "market", "US")], ["A", "C"], id="030-sub-then-exact"),
            pytest.param([("sub", "market__not", "US"), ("sub", "market__not", "SH")], ["A"], id="040-two-exclusions"),
            pytest.param([("sub", "market", "US"), ("sub", "market__not", "SH"), ("sub", "market", "SH")], [], id="050-inclusion-replaced-after-exclusion"),
        ],
    )
    def test_equal_key_texts_are_one_entry_last_value_wins(self, market, entries, codes):
        class Distinct(str):
            # Equal texts stay distinct dict keys.
            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        filters = {}
        for kind, text, value in entries:
            filters[Distinct(text) if kind == "sub" else text] = value
        assert len(filters) == len(entries)
        assert market.filter(filters) == codes

    def test_replaced_entry_values_are_never_converted(self, market):
        class Distinct(str):
            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        class Bad:
            def __str__(self):
                raise ArithmeticError("bad")

        assert market.filter({Distinct("market"): Bad(), Distinct("market"): "SH"}) == ["B", "C"]


# ---- property test against a naive set model ---------------------------------------

VALUES = ["a", "b", "a.x", "a.x.y", "b.z", "c", " a ", "a|c"]
FIELDS = ["f", "g"]


records_strategy = st.lists(
    st.dictionaries(st.sampled_from(FIELDS), st.lists(st.sampled_from(VALUES), max_size=3), max_size=2),
    max_size=8,
)
filters_strategy = st.dictionaries(
    st.sampled_from(FIELDS + [f + "__not" for f in FIELDS] + ["h"]),
    st.one_of(st.sampled_from(VALUES), st.lists(st.sampled_from(VALUES + [""]), max_size=3)),
    max_size=3,
)


@settings(max_examples=300, deadline=None)
@given(records=records_strategy, filters=filters_strategy)
def test_filter_matches_naive_model(records, filters):
    core = MetadataCore()
    postings = []
    for i, fields in enumerate(records):
        core.add_record(f"r{i}", "", "", fields)
        keys = {(f, k) for f, vs in fields.items() for v in vs for k in post_keys(trim(v))}
        postings.append(keys)
    selected = set(range(len(records)))
    for key, value in filters.items():
        field, negate = key, False
        while field.endswith("__not"):
            field, negate = field[: -len("__not")], True
        texts = [trim(v) for v in (value if isinstance(value, list) else [value])]
        hit = {i for i in range(len(records)) if any((field, t) in postings[i] for t in texts if t)}
        selected = selected - hit if negate else selected & hit
    assert core.filter(filters) == [f"r{i}" for i in sorted(selected)]


# Values built from the bytes that steer posting: "|" pieces, "." prefixes and
# White_Space (ASCII and ideographic) around both.
posting_values = st.text(alphabet=["a", "b", " ", ".", "|", "\u3000"], max_size=10)


@settings(max_examples=200, deadline=None)
@given(values=st.lists(posting_values, min_size=1, max_size=6))
def test_posted_keys_match_model_after_ingest_and_after_load(values, tmp_path_factory):
    core = MetadataCore()
    for i, v in enumerate(values):
        core.add_record(f"r{i}", "", "", {"f": v, "code_like": f"{v}.X"})
    models = [{("f", k) for k in post_keys(trim(v))} | {("code_like", k) for k in post_keys(trim(f"{v}.X"))}
              for v in values]
    keys = set().union(*models)
    loaded = reloaded(core, tmp_path_factory.mktemp("snap"))
    for field, key in keys | {("f", "a.b"), ("f", ".a"), ("f", "a")}:
        want = [f"r{i}" for i, m in enumerate(models) if (field, key) in m]
        assert core.filter({field: key}) == want, (field, key)
        assert loaded.filter({field: key}) == want, (field, key)


def test_loaded_postings_of_every_size_answer_like_ingested_ones(tmp_path):
    # Values shared by 1 to 300 records: a load posts them in bulk and seals
    # the long ones into bitmaps; every answer must match the engine that
    # ingested them one by one.
    core = MetadataCore()
    values = {}
    for i in range(300):
        fields = {"mod": str(i % 7), "dotted": f"a.b{i % 3}.c{i % 40}", "pieces": f"x|y{i % 2}| x ", "own": f"r{i}"}
        core.add_record(f"C{i:03d}", f"name{i % 50}", "", fields)
        for field, value in fields.items():
            values.setdefault(field, set()).update(post_keys(trim(value)))
    loaded = reloaded(core, tmp_path)
    for field, keys in values.items():
        for key in keys:
            assert loaded.filter({field: key}) == core.filter({field: key}), (field, key)
            assert loaded.filter({field + "__not": key, "mod": "3"}) == core.filter({field + "__not": key, "mod": "3"})
    assert loaded.filter({"name": "name7"}) == core.filter({"name": "name7"})
    assert len(loaded.filter({"pieces": "x"})) == 300


@pytest.mark.parametrize("second", [
    lambda c: c.add_record("B", "n", "", {"": "v"}, None),
    lambda c: c.add_record_payload({"code": "B", "attributes": {"": "v"}}),
], ids=["record", "payload"])
def test_empty_field_name_where_an_earlier_record_skipped_a_field(second, tmp_path):
    core = MetadataCore()
    # "a" is empty, so the first record leaves its place unfilled.
    core.add_record("A", "n", "", {"a": "", "z": "1"}, None)
    second(core)
    core.add_record_payload({"code": "C", "attributes": {"": "v"}})
    assert core.filter({"": "v"}) == ["B", "C"]
    assert core.filter({"z": "1"}) == ["A"]
    assert reloaded(core, tmp_path).filter({"": "v"}) == ["B", "C"]
