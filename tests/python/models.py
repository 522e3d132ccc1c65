"""Small reference models of the engine's text rules, shared by the tests."""

# Characters with the Unicode White_Space property: what the engine trims.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"


def reloaded(core, directory):
    """A fresh engine loaded from a snapshot of `core` saved in `directory`."""
    from vedra_runtime import MetadataCore

    full, index = str(directory / "reload.full"), str(directory / "reload.index")
    core.save_snapshot(full, index)
    other = MetadataCore()
    other.load_snapshot(full, index)
    return other


def trim(s):
    return s.strip(WHITE_SPACE)


def post_keys(value):
    """The keys one value text is posted under: its trimmed "|" pieces, each
    piece holding a "." posted as every dotted prefix of its trimmed parts."""
    if not value:
        return set()
    pieces = [trim(p) for p in value.split("|")] if "|" in value else [value]
    keys = set()
    for piece in pieces:
        if not piece:
            continue
        if "." not in piece:
            keys.add(piece)
            continue
        acc = ""
        for i, sub in enumerate(piece.split(".")):
            sub = trim(sub)
            if not sub:
                continue
            acc += ("." if i > 0 else "") + sub
            keys.add(acc)
    return keys
