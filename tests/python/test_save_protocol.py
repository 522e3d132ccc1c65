"""How save_snapshot replaces files: objects planted at any name it may use,
arguments that look like temporary files, repeated paths, directories that
refuse new files, a full disk on each file of the set, and concurrent savers
and loaders of one pair."""
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

from vedra_runtime import MetadataCore

TEMP = re.compile(r"^\.(?P<target>.+)\.[0-9a-f]{32}\.vedra-tmp$")
ROOT = os.geteuid() == 0
NOBODY = 65534
needs_root = pytest.mark.skipif(not ROOT, reason="needs root to plant files of another user")


def engine(which="A", count=3, blob=""):
    core = MetadataCore()
    for i in range(count):
        core.add_record_payload({"code": f"{which}{i}", "name": f"{which} name {i}", "which": which,
                                 "market": "SH", "blob": blob, "region": blob[i::2]})
    return core


def check_engine(full, index, which, count=3):
    core = MetadataCore()
    core.load_snapshot(full, index)
    codes = core.filter({})
    assert codes == [f"{which}{i}" for i in range(count)]
    assert all(p["which"] == which for p in core.get_many(codes))


def temporaries(directory):
    return sorted(n for n in os.listdir(directory) if TEMP.match(n))


def in_child_as(uid, body):
    """Runs body() in a forked child with the given uid; returns its exit status (0: body returned)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgid(uid)
            os.setuid(uid)
            body()
            code = 0
        except BaseException as e:  # noqa: BLE001 - reported through the exit status
            sys.stderr.write(f"child failed: {e!r}\n")
        os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


@pytest.fixture
def reachable_dir():
    """A directory every user can reach (pytest's own are private to root)."""
    d = tempfile.mkdtemp(prefix="vedra_save_", dir="/tmp")
    os.chmod(d, 0o755)
    try:
        yield pathlib.Path(d)
    finally:
        shutil.rmtree(d, ignore_errors=True)


# ---- planted objects --------------------------------------------------------

def plant(directory, name, kind, victim):
    path = os.path.join(directory, name)
    if kind == "hardlink":
        os.link(victim, path)
    elif kind == "symlink":
        os.symlink(victim, path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        os.mkdir(path)
    elif kind == "foreign":
        with open(path, "wb") as f:
            f.write(b"planted by another user")
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path, 0o666)
    return path


def describe(path):
    st = os.lstat(path)
    content = open(path, "rb").read() if stat.S_ISREG(st.st_mode) else os.readlink(path) \
        if stat.S_ISLNK(st.st_mode) else None
    return (stat.S_IFMT(st.st_mode), st.st_ino, st.st_uid, st.st_nlink, content)


KINDS = ["hardlink", "symlink", "fifo", "directory", pytest.param("foreign", marks=needs_root)]


@pytest.mark.parametrize("kind", KINDS)
def test_planted_objects_at_temporary_names_are_left_alone(tmp_path, kind):
    victim = tmp_path / "victim"
    victim.write_bytes(b"unrelated file")
    snap = tmp_path / "snap"
    snap.mkdir()
    full, index, manifest = str(snap / "full"), str(snap / "index"), str(snap / "manifest")
    engine("A").save_snapshot(full, index, manifest)
    planted = []
    for target in ("full", "index", "manifest"):
        # The old fixed name and names of the form this protocol makes.
        for name in (f".{target}.vedra-tmp", f".{target}.{'0' * 32}.vedra-tmp", f".{target}.{'f' * 32}.vedra-tmp"):
            planted.append(plant(str(snap), name, kind, str(victim)))
    before = {p: describe(p) for p in planted}
    for which in "BA":
        engine(which).save_snapshot(full, index, manifest)
        check_engine(full, index, which)
    assert {p: describe(p) for p in planted} == before
    assert victim.read_bytes() == b"unrelated file"
    assert sorted(os.listdir(snap)) == sorted(["full", "index", "manifest"] + [os.path.basename(p) for p in planted])


@needs_root
@pytest.mark.parametrize("kind", ["symlink", "fifo", "foreign"])
def test_foreign_objects_at_target_names_in_sticky_directory_are_refused(tmp_path, kind):
    shared = tmp_path / "shared"
    shared.mkdir()
    os.chmod(shared, 0o1777)
    victim = tmp_path / "victim"
    victim.write_bytes(b"unrelated file")
    full = plant(str(shared), "full", kind, str(victim))
    os.lchown(full, NOBODY, NOBODY)
    before = describe(full)
    with pytest.raises(ValueError, match=r"^Permission denied \(os error 13\)$"):
        engine().save_snapshot(full, str(shared / "index"))
    assert describe(full) == before and victim.read_bytes() == b"unrelated file"
    assert sorted(os.listdir(shared)) == ["full"]


@needs_root
def test_other_user_saves_beside_files_planted_by_root(reachable_dir):
    tmp_path = reachable_dir
    # In a shared sticky directory root plants files at every fixed or
    # pattern name; another user's saves neither fail nor touch them.
    shared = tmp_path / "shared"
    shared.mkdir()
    os.chmod(tmp_path, 0o755)
    os.chmod(shared, 0o1777)
    planted = []
    for target in ("full", "index"):
        for name in (f".{target}.vedra-tmp", f".{target}.{'a' * 32}.vedra-tmp"):
            p = shared / name
            p.write_bytes(b"root's")
            planted.append(p)
    full, index = str(shared / "full"), str(shared / "index")

    def save_twice():
        for which in "AB":
            engine(which).save_snapshot(full, index)
            check_engine(full, index, which)
    assert in_child_as(NOBODY, save_twice) == 0
    assert all(p.read_bytes() == b"root's" and p.stat().st_uid == 0 for p in planted)
    assert os.stat(full).st_uid == NOBODY and stat.S_IMODE(os.stat(full).st_mode) & 0o022 == 0


def test_killed_writers_debris_is_removed_by_the_next_save(tmp_path):
    full, index = str(tmp_path / "full"), str(tmp_path / "index")
    engine("A").save_snapshot(full, index)
    for target in ("full", "index"):
        (tmp_path / f".{target}.{'1' * 32}.vedra-tmp").write_bytes(b"dead")
    engine("B").save_snapshot(full, index)
    assert sorted(os.listdir(tmp_path)) == ["full", "index"]


# ---- arguments --------------------------------------------------------------

@pytest.mark.parametrize("which_looks_temporary", ["full", "index"])
def test_argument_named_like_another_files_temporary(tmp_path, which_looks_temporary):
    d = str(tmp_path)
    if which_looks_temporary == "full":
        full, index = f"{d}/.idx.{'c' * 32}.vedra-tmp", f"{d}/idx"
    else:
        full, index = f"{d}/full", f"{d}/.full.{'c' * 32}.vedra-tmp"
    for which in "ABA":
        engine(which).save_snapshot(full, index)
        assert os.path.exists(full) and os.path.exists(index)
        check_engine(full, index, which)
    # The old fixed name as well.
    engine("B").save_snapshot(f"{d}/.i2.vedra-tmp", f"{d}/i2")
    check_engine(f"{d}/.i2.vedra-tmp", f"{d}/i2", "B")


def test_same_file_twice_is_refused(tmp_path):
    full, index, manifest = str(tmp_path / "f"), str(tmp_path / "i"), str(tmp_path / "m")
    os.symlink("f", tmp_path / "alias")
    cases = [((full, full), "full_file_path and index_file_path"),
             ((full, index, full), "full_file_path and manifest_file_path"),
             ((full, index, index), "index_file_path and manifest_file_path"),
             ((full, str(tmp_path / "alias")), "full_file_path and index_file_path"),
             ((full, str(tmp_path / "." / "i"), index), "index_file_path and manifest_file_path")]
    for args, names in cases:
        with pytest.raises(ValueError, match=f"^cannot save snapshot: {names} name the same file$"):
            engine().save_snapshot(*args)
    assert sorted(os.listdir(tmp_path)) == ["alias"]
    engine().save_snapshot("/dev/null", "/dev/null", "/dev/null")  # special files may repeat


def test_directory_target_fails_before_writing(tmp_path):
    (tmp_path / "d").mkdir()
    for args in [(str(tmp_path / "d"), str(tmp_path / "i")), (str(tmp_path / "f"), str(tmp_path / "i"), str(tmp_path / "d"))]:
        with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
            engine().save_snapshot(*args)
    assert os.listdir(tmp_path) == ["d"]


# ---- a directory that refuses new files -------------------------------------

def test_directory_refusing_new_files_writes_in_place(reachable_dir):
    tmp_path = reachable_dir
    snap = tmp_path / "snap"
    snap.mkdir()
    full, index, manifest = str(snap / "full"), str(snap / "index"), str(snap / "manifest")
    engine("A").save_snapshot(full, index, manifest)
    inodes = [os.stat(p).st_ino for p in (full, index, manifest)]
    if ROOT:
        os.chmod(tmp_path, 0o755)
        for p in (full, index, manifest):
            os.chown(p, NOBODY, NOBODY)
    os.chmod(snap, 0o555)
    try:
        def save():
            engine("B").save_snapshot(full, index, manifest)
            with pytest.raises(ValueError, match=r"^cannot create temporary file '.*/snap/\.new\.[0-9a-f]{32}"
                                                 r"\.vedra-tmp': Permission denied \(os error 13\)$"):
                engine("B").save_snapshot(full, str(snap / "new"))
        if ROOT:
            assert in_child_as(NOBODY, save) == 0
        else:
            save()
    finally:
        os.chmod(snap, 0o755)
    check_engine(full, index, "B")
    assert [os.stat(p).st_ino for p in (full, index, manifest)] == inodes
    assert sorted(os.listdir(snap)) == ["full", "index", "manifest"]


# ---- full disk --------------------------------------------------------------

def mounted_tmpfs(base):
    mnt = base / "mnt"
    mnt.mkdir()
    if not ROOT:
        pytest.skip("mounting a tmpfs needs root")
    # mount and umount are not ours to run under a preloaded sanitizer.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mnt)], capture_output=True, env=env)
    if r.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {r.stderr.decode().strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False, env=env)


@pytest.fixture
def small_tmpfs(tmp_path):
    yield from mounted_tmpfs(tmp_path)


@pytest.fixture
def reachable_tmpfs(reachable_dir):
    """A small tmpfs that every user can reach."""
    yield from mounted_tmpfs(reachable_dir)


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def pages(n):
    return (n + 4095) // 4096 * 4096


@pytest.mark.parametrize("failing", [0, 1, 2], ids=["full", "index", "manifest"])
def test_full_disk_on_each_file_keeps_every_old_file(tmp_path, small_tmpfs, failing):
    blob = os.urandom(150_000).hex()
    new = engine("B", count=2, blob=blob)  # incompressible payloads and fields
    ref = tmp_path / "ref"
    ref.mkdir()
    new.save_snapshot(str(ref / "full"), str(ref / "index"), str(ref / "manifest"))
    sizes = [os.path.getsize(ref / n) for n in ("full", "index", "manifest")]
    assert sizes[0] > 100_000 and sizes[1] > 1000

    snap = small_tmpfs / "snap"
    snap.mkdir()
    full, index, manifest = str(snap / "full"), str(snap / "index"), str(snap / "manifest")
    engine("A").save_snapshot(full, index, manifest)
    old = {p: open(p, "rb").read() for p in (full, index, manifest)}
    # Leave room for the temporaries before the failing one and less than a page of the failing one.
    room = sum(pages(s) for s in sizes[:failing])
    with open(small_tmpfs / "filler", "wb") as f:
        f.write(b"\0" * (free_bytes(small_tmpfs) - room))
    assert free_bytes(small_tmpfs) == room
    with pytest.raises(ValueError, match=r"^cannot write temporary file '.*/snap/\.(full|index|manifest)\.[0-9a-f]{32}"
                                         r"\.vedra-tmp': No space left on device \(os error 28\)$") as info:
        new.save_snapshot(full, index, manifest)
    assert f"/.{['full', 'index', 'manifest'][failing]}." in str(info.value)
    assert {p: open(p, "rb").read() for p in (full, index, manifest)} == old
    assert sorted(os.listdir(snap)) == ["full", "index", "manifest"]
    os.unlink(small_tmpfs / "filler")
    new.save_snapshot(full, index, manifest)
    check_engine(full, index, "B", count=2)


# ---- concurrent savers and a loader ------------------------------------------

SAVES = int(os.environ.get("VEDRA_SAVE_ROUNDS", "200"))

SAVER = textwrap.dedent("""
    import sys
    from vedra_runtime import MetadataCore
    which, full, index, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    core = MetadataCore()
    # Different codes and counts per engine: a full file of one with the index
    # file of the other loads with default payloads, so a mixed pair shows.
    for i in range(40 if which == "A" else 60):
        core.add_record_payload({"code": f"{which}{i}", "name": f"n{i}", "which": which})
    busy = 0
    for _ in range(rounds):
        try:
            core.save_snapshot(full, index)
        except ValueError as e:  # the other saver held the pair past the short wait
            if not str(e).startswith("another save is replacing "):
                raise
            busy += 1
    print(busy)
""")

LOADER = textwrap.dedent("""
    import os, sys
    from vedra_runtime import MetadataCore
    full, index, done = sys.argv[1:4]
    loads = mixed = busy = 0
    while True:
        finished = os.path.exists(done)
        core = MetadataCore()
        try:
            core.load_snapshot(full, index)
        except ValueError as e:  # a commit outlasted the short wait: fails at once, never mixes
            if not str(e).startswith(("timed out after ", "the files kept being replaced ")):
                raise
            busy += 1
            if finished:
                break
            continue
        codes = core.filter({})
        which = codes[0][0]
        payloads = core.get_many(codes)
        ok = len(codes) == (40 if which == "A" else 60) and all(p.get("which") == which for p in payloads)
        loads += 1
        mixed += not ok
        if finished:
            break
    print(loads, mixed, busy)
""")


def test_concurrent_saves_never_mix_a_pair(tmp_path):
    full, index, done = str(tmp_path / "full"), str(tmp_path / "index"), str(tmp_path / "done")
    subprocess.run([sys.executable, "-c", SAVER, "A", full, index, "1"], check=True)
    loader = subprocess.Popen([sys.executable, "-c", LOADER, full, index, done], stdout=subprocess.PIPE, text=True)
    savers = [subprocess.Popen([sys.executable, "-c", SAVER, w, full, index, str(SAVES)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for w in "AB"]
    try:
        outputs = [s.communicate(timeout=300) for s in savers]
        errors = [e for _, e in outputs]
    finally:
        open(done, "w").close()
        out, _ = loader.communicate(timeout=300)
    assert [s.returncode for s in savers] == [0, 0], errors
    assert loader.returncode == 0
    loads, mixed, busy_loads = map(int, out.split())
    busy_saves = sum(int(o) for o, _ in outputs)
    print(f"\nconcurrent saves: {loads} loads, {mixed} mixed, {busy_loads} loads and {busy_saves} saves busy")
    assert loads >= 1 and mixed == 0, (loads, mixed)
    assert busy_saves < 2 * SAVES
    assert sorted(os.listdir(tmp_path)) == ["done", "full", "index"]


# ---- targets a rename cannot replace, read-only targets, foreign locks -------

BIND_MOUNTED = textwrap.dedent("""
    import os, shutil, subprocess, sys
    from vedra_runtime import MetadataCore
    d, which = sys.argv[1], sys.argv[2]
    def engine(w, n):
        core = MetadataCore()
        for i in range(n):
            core.add_record_payload({"code": f"{w}{i}", "name": f"n{i}", "which": w})
        return core
    snap = os.path.join(d, "snap")
    os.mkdir(snap)
    full, index = os.path.join(snap, "full"), os.path.join(snap, "index")
    engine("A", 3).save_snapshot(full, index)
    # A single file bind-mounted over the target, as a container volume gives it.
    volume = os.path.join(d, "volume")
    shutil.copy(full if which == "full" else index, volume)
    r = subprocess.run(["mount", "--bind", volume, full if which == "full" else index], capture_output=True,
                   env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    if r.returncode != 0:
        print("skip", r.stderr.decode().strip())
        sys.exit(0)
    engine("B", 5).save_snapshot(full, index)
    core = MetadataCore()
    core.load_snapshot(full, index)
    codes = core.filter({})
    assert codes == [f"B{i}" for i in range(5)], codes
    assert all(p["which"] == "B" for p in core.get_many(codes))
    assert sorted(os.listdir(snap)) == ["full", "index"], os.listdir(snap)
    assert open(volume, "rb").read() == open(full if which == "full" else index, "rb").read()
    print("ok")
""")


@pytest.mark.parametrize("which", ["full", "index"])
def test_bind_mounted_file_is_written_in_place(tmp_path, which):
    # Before, a bind-mounted index left a new full file beside the old index
    # (EBUSY on the second rename), and a bind-mounted full file failed every
    # save.
    if not ROOT:
        pytest.skip("bind mounts need root")
    # unshare and mount are not ours to run under a preloaded sanitizer; the
    # interpreter they start gets the preload back.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    preload = ["env", "LD_PRELOAD=" + os.environ["LD_PRELOAD"]] if os.environ.get("LD_PRELOAD") else []
    r = subprocess.run(["unshare", "-m", "--propagation", "private", *preload, sys.executable, "-c", BIND_MOUNTED,
                        str(tmp_path), which], capture_output=True, text=True, env=env)
    if r.returncode != 0 and "unshare" in r.stderr and "Traceback" not in r.stderr:
        pytest.skip(f"no private mount namespace here: {r.stderr.strip()}")
    assert r.returncode == 0, r.stderr
    if r.stdout.startswith("skip"):
        pytest.skip(r.stdout.strip())
    assert r.stdout.strip() == "ok"


@pytest.mark.parametrize("failing", ["full", "index"])
def test_full_disk_in_place_touches_nothing(tmp_path, reachable_tmpfs, failing):
    small_tmpfs = reachable_tmpfs
    # A directory that refuses new files: the save writes in place, and only
    # once the space of every in-place file is reserved.  Before, the full
    # file was rewritten and the index left truncated.
    if not ROOT:
        pytest.skip("needs root to mount and to act as another user")
    blob = os.urandom(150_000).hex()
    new = engine("B", count=2, blob=blob)
    ref = tmp_path / "ref"
    ref.mkdir()
    new.save_snapshot(str(ref / "full"), str(ref / "index"))
    sizes = {n: os.path.getsize(ref / n) for n in ("full", "index")}
    snap = small_tmpfs / "snap"
    snap.mkdir()
    os.chmod(small_tmpfs, 0o755)
    full, index = str(snap / "full"), str(snap / "index")
    engine("A").save_snapshot(full, index)
    for p in (snap, full, index):
        os.chown(p, NOBODY, NOBODY)
    old = {p: open(p, "rb").read() for p in (full, index)}
    # Room for the reservations before the failing file's, not for its own.
    room = sum(pages(sizes[n]) - pages(len(old[str(snap / n)])) for n in ("full", "index")[:["full", "index"].index(failing)])
    with open(small_tmpfs / "filler", "wb") as f:
        f.write(b"\0" * (free_bytes(small_tmpfs) - room))

    def save():
        os.chmod(snap, 0o555)
        with pytest.raises(ValueError, match=rf"^cannot write '.*/snap/{failing}' in place: the space for its "
                                             rf"{sizes[failing]} bytes cannot be reserved: No space left on device "
                                             r"\(os error 28\)$"):
            new.save_snapshot(full, index)
    assert in_child_as(NOBODY, save) == 0
    assert {p: open(p, "rb").read() for p in (full, index)} == old
    assert sorted(os.listdir(snap)) == ["full", "index"]
    os.unlink(small_tmpfs / "filler")
    assert in_child_as(NOBODY, lambda: new.save_snapshot(full, index)) == 0
    check_engine(full, index, "B", count=2)


def test_read_only_targets_are_refused_as_a_plain_write_is(reachable_dir):
    # chmod 0444 by their owner: refused before anything changes, with the
    # plain write's message; root writes them, as a plain write lets it.
    snap = reachable_dir
    full, index = str(snap / "full"), str(snap / "index")
    engine("A").save_snapshot(full, index)
    for p in (full, index):
        if ROOT:
            os.chown(p, NOBODY, NOBODY)
        os.chmod(p, 0o444)
    old = {p: open(p, "rb").read() for p in (full, index)}
    for read_only in ([index], [full, index]):
        for p in (full, index):
            os.chmod(p, 0o444 if p in read_only else 0o644)
            if ROOT:
                os.chown(p, NOBODY, NOBODY)

        def save():
            with pytest.raises(ValueError, match=r"^Permission denied \(os error 13\)$"):
                engine("B").save_snapshot(full, index)
        assert (in_child_as(NOBODY, save) if ROOT else save() or 0) == 0
        assert {p: open(p, "rb").read() for p in (full, index)} == old
        assert sorted(os.listdir(snap)) == ["full", "index"]
    if ROOT:
        engine("B").save_snapshot(full, index)
        check_engine(full, index, "B")
        assert stat.S_IMODE(os.stat(full).st_mode) == 0o444


HOLD_FLOCK = textwrap.dedent("""
    import fcntl, os, sys
    if sys.argv[2] != "same":
        os.setgid(65534)
        os.setuid(65534)
    fd = os.open(sys.argv[1], os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    print("held", flush=True)
    sys.stdin.read()
""")


@pytest.mark.parametrize("holder", ["this_process", "other_process", pytest.param("other_user", marks=needs_root)])
def test_flock_on_the_directory_never_stalls_a_save_or_load(reachable_dir, holder):
    # `flock DIR command` serialises a program's own jobs; before, it froze
    # every save and load there for 10 s and then failed them.
    import fcntl
    snap = reachable_dir
    full, index = str(snap / "full"), str(snap / "index")
    engine("A").save_snapshot(full, index)
    own, child = None, None
    if holder == "this_process":
        own = os.open(snap, os.O_RDONLY)
        fcntl.flock(own, fcntl.LOCK_EX)
    else:
        child = subprocess.Popen([sys.executable, "-c", HOLD_FLOCK, str(snap), "same" if holder == "other_process" else "nobody"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "held"
    try:
        for which in "BA":
            engine(which).save_snapshot(full, index)
            check_engine(full, index, which)
    finally:
        if own is not None:
            os.close(own)
        if child is not None:
            child.stdin.close()
            child.wait(timeout=60)
    assert sorted(os.listdir(snap)) == ["full", "index"]


@pytest.mark.parametrize("target", ["full", "index"])
@pytest.mark.parametrize("flag,word", [("i", "immutable"), ("a", "append-only")])
def test_immutable_and_append_only_targets_are_refused_before_anything_changes(tmp_path, target, flag, word):
    # Before, an immutable or append-only index failed its rename after the
    # full file was replaced.
    full, index = str(tmp_path / "full"), str(tmp_path / "index")
    engine("A").save_snapshot(full, index)
    old = {p: open(p, "rb").read() for p in (full, index)}
    marked = full if target == "full" else index
    r = subprocess.run(["chattr", f"+{flag}", marked], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"cannot set file attributes here: {r.stderr.strip()}")
    try:
        with pytest.raises(ValueError, match=rf"^cannot write '{re.escape(marked)}': it is {word}: "
                                             r"Operation not permitted \(os error 1\)$"):
            engine("B").save_snapshot(full, index)
    finally:
        subprocess.run(["chattr", f"-{flag}", marked], check=True)
    assert {p: open(p, "rb").read() for p in (full, index)} == old
    assert sorted(os.listdir(tmp_path)) == ["full", "index"]
    engine("B").save_snapshot(full, index)
    check_engine(full, index, "B")


@needs_root
def test_other_users_file_in_a_sticky_group_directory_is_written_in_place(reachable_dir):
    # A sticky directory that a group may write: the index belongs to root,
    # so nobody's rename over it would fail (EPERM) after the full file was
    # replaced.  It is written in place instead; the full file, nobody's own,
    # is replaced.
    shared = reachable_dir / "shared"
    shared.mkdir()
    os.chown(shared, 0, NOBODY)
    os.chmod(shared, 0o1775)
    full, index = str(shared / "full"), str(shared / "index")
    engine("A").save_snapshot(full, index)
    os.chown(full, NOBODY, NOBODY)
    os.chmod(index, 0o666)
    inodes = [os.stat(p).st_ino for p in (full, index)]
    assert in_child_as(NOBODY, lambda: engine("B").save_snapshot(full, index)) == 0
    check_engine(full, index, "B")
    now = [os.stat(p).st_ino for p in (full, index)]
    assert now[0] != inodes[0] and now[1] == inodes[1]
    assert os.stat(index).st_uid == 0
    assert sorted(os.listdir(shared)) == ["full", "index"]
