"""find() against two independent references: a naive leftmost-longest scan and
the ahocorasick_rs package configured with the same semantics."""
import ahocorasick_rs
from hypothesis import given, settings
from hypothesis import strategies as st

from vedra_runtime import MetadataCore


def naive_matches(patterns, text):
    """Leftmost-longest, non-overlapping; ties go to the lowest pattern number."""
    out, pos = [], 0
    data = text.encode()
    encoded = [p.encode() for p in patterns]
    while pos < len(data):
        best = None
        for i, p in enumerate(encoded):
            if p and data.startswith(p, pos) and (best is None or len(p) > len(encoded[best])):
                best = i
        if best is None:
            pos += 1
        else:
            out.append(best)
            pos += len(encoded[best])
    return out


alphabet = st.sampled_from("abé中 ")
words = st.text(alphabet, min_size=1, max_size=4).map(str.strip).filter(bool)


def check_find(records, text):
    """records: (code, name) pairs; each registers its code, then its name."""
    core = MetadataCore()
    for code, name in records:
        core.add_record(code, name, "", {})
    core.build()
    patterns, owners = [], []
    for code, name in records:
        for p in (code, name):
            patterns.append(p)
            owners.append(code)
    expected = sorted({owners[i] for i in naive_matches(patterns, text)})
    assert core.find(text) == expected

    ac = ahocorasick_rs.AhoCorasick(patterns, matchkind=ahocorasick_rs.MatchKind.LeftmostLongest)
    assert sorted({owners[i] for i, _, _ in ac.find_matches_as_indexes(text)}) == expected


@settings(max_examples=300, deadline=None)
@given(names=st.lists(words, min_size=1, max_size=12), text=st.text(alphabet, max_size=40))
def test_find_matches_references(names, text):
    check_find([(f"c{i:02d}", name) for i, name in enumerate(names)], text)


# Every pattern at least 4 or 8 bytes long (each word its own code, as in a
# dictionary): the search may skip every stretch of text that holds no run of
# pattern bytes as long as the shortest word.
long_words = st.text(alphabet, min_size=2, max_size=10).map(str.strip).filter(lambda w: len(w.encode()) >= 4)


@settings(max_examples=200, deadline=None)
@given(names=st.lists(long_words, min_size=1, max_size=12), pieces=st.lists(st.text(alphabet, max_size=12), max_size=8))
def test_find_long_words_references(names, pieces):
    text = "".join(p + (names[i % len(names)] if i % 2 else "")[: len(p) + 6] for i, p in enumerate(pieces))
    check_find([(name, name) for name in names], text)
