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


@settings(max_examples=300, deadline=None)
@given(names=st.lists(words, min_size=1, max_size=12), text=st.text(alphabet, max_size=40))
def test_find_matches_references(names, text):
    core = MetadataCore()
    for i, name in enumerate(names):
        core.add_record(f"c{i:02d}", name, "", {})
    core.build()
    # Each record registers its code first, then its name.
    patterns, owners = [], []
    for i, name in enumerate(names):
        for p in (f"c{i:02d}", name):
            patterns.append(p)
            owners.append(f"c{i:02d}")
    expected = sorted({owners[i] for i in naive_matches(patterns, text)})
    assert core.find(text) == expected

    ac = ahocorasick_rs.AhoCorasick(patterns, matchkind=ahocorasick_rs.MatchKind.LeftmostLongest)
    assert sorted({owners[i] for i, _, _ in ac.find_matches_as_indexes(text)}) == expected
