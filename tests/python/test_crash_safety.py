"""Snapshot files survive a writer killed at any moment.

A child process saves two engines' contents alternately over the same
snapshot paths, in a loop.  The test SIGKILLs it after a random delay, then
checks that each file at the paths is whole: it holds exactly the full (or
index) payload of one of the two engines, the pair loads, and at most one
stale temporary file per target is left beside it.  The next child starts
over the files the killed one left.
"""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import zstandard

from vedra_runtime import MetadataCore

KILL_POINTS = int(os.environ.get("VEDRA_KILL_POINTS", "20"))

ENGINES = textwrap.dedent("""
    from vedra_runtime import MetadataCore

    def engine(which):
        core = MetadataCore()
        count = 1500 if which == "A" else 2500
        for i in range(count):
            core.add_record_payload({
                "code": f"{which}{i:05d}", "name": f"{which} name {i}", "pinyin": f"{which.lower()}{i}|X{i}",
                "market": ["SH", "SZ"][i % 2], "region": f"Asia.{which}.{i % 17}",
                "categories": {"industry": {"l1": f"{which}{i % 9}"}}, "attributes": {"i": i, "w": which * 40},
            })
        core.build()
        return core
""")

WRITER = ENGINES + textwrap.dedent("""
    import sys
    full, index, manifest = sys.argv[1:4]
    engines = [engine("A"), engine("B")]
    print("ready", flush=True)
    n = 0
    while True:
        engines[n % 2].save_snapshot(full, index, manifest)
        n += 1
""")


def payload(path):
    data = open(path, "rb").read()
    return zstandard.ZstdDecompressor().decompressobj().decompress(data[128:])


def reference_payloads(tmp_path):
    namespace = {}
    exec(ENGINES, namespace)  # noqa: S102 - the same construction as the writer's
    refs = {"full": set(), "index": set()}
    for which in "AB":
        full, index = str(tmp_path / f"ref{which}.full"), str(tmp_path / f"ref{which}.index")
        namespace["engine"](which).save_snapshot(full, index)
        refs["full"].add(payload(full))
        refs["index"].add(payload(index))
    assert len(refs["full"]) == len(refs["index"]) == 2
    return refs


def test_kill_during_saves_leaves_whole_files(tmp_path):
    refs = reference_payloads(tmp_path)
    snap = tmp_path / "snap"
    snap.mkdir()
    full, index, manifest = str(snap / "catalogue.full"), str(snap / "catalogue.index"), str(snap / "manifest.json")
    rng = random.Random(1234)
    survived = mid_write = 0
    for point in range(KILL_POINTS):
        child = subprocess.Popen([sys.executable, "-c", WRITER, full, index, manifest],
                                 stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(rng.uniform(0.0, 0.25))
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(timeout=60)
            child.stdout.close()
        assert child.returncode == -signal.SIGKILL

        if not os.path.exists(full):
            assert point == 0, "a snapshot file disappeared"  # killed before the first save ended
            continue
        assert payload(full) in refs["full"], f"kill point {point}: torn full file"
        assert payload(index) in refs["index"], f"kill point {point}: torn index file"
        core = MetadataCore()
        core.load_snapshot(full, index)
        assert len(core.filter({})) in (1500, 2500)
        if os.path.exists(manifest):
            assert json.loads(open(manifest).read())["record_count"] in (1500, 2500)

        names = sorted(os.listdir(snap))
        temps = [n for n in names if n.endswith(".vedra-tmp")]
        assert set(names) - set(temps) <= {"catalogue.full", "catalogue.index", "manifest.json"}, names
        for target in ("catalogue.full", "catalogue.index", "manifest.json"):
            assert len([t for t in temps if t == f".{target}.vedra-tmp"]) <= 1
        assert len(temps) <= 3
        mid_write += bool(temps)
        survived += 1
    print(f"\ncrash safety: {survived} of {KILL_POINTS} kill points survived, {mid_write} left a stale temporary file")
    assert survived >= KILL_POINTS - 1
