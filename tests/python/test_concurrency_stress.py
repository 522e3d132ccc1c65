"""Several threads call every method on one shared MetadataCore (and each on
a private one) for a bounded time, with the switch interval at its minimum
and callbacks (str(), sequence iteration) that give the interpreter lock
away in the middle of calls.

The only errors allowed are the borrow conflicts ("Already borrowed",
"Already mutably borrowed").  At the end the shared engine must equal a
sequential replay of the successful adds: filter, find, get, get_many and a
save/load round trip agree, every snapshot saved during the run holds a
prefix of the final record order, and each thread's adds appear in the
order it made them.

VEDRA_STRESS_SECONDS sets the duration (default 3).
"""
import os
import random
import sys
import threading
import time

import pytest

from vedra_runtime import MetadataCore

from models import reloaded

THREADS = 6
SECONDS = float(os.environ.get("VEDRA_STRESS_SECONDS", "3"))
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
MARKETS = ["SH", "SZ", "HK", "US"]


class Yielding:
    """str() gives the interpreter lock away, then optionally pokes the engine."""

    def __init__(self, text, core=None):
        self.text, self.core = text, core

    def __str__(self):
        time.sleep(0)
        if self.core is not None:
            try:
                self.core.filter({"market": "SH"})
            except RuntimeError as e:
                assert str(e) in BORROW_MESSAGES
        return self.text


class YieldingCodes:
    """A sequence for get_many whose iteration gives the lock away."""

    def __init__(self, codes):
        self.codes = codes

    def __len__(self):
        return len(self.codes)

    def __getitem__(self, i):
        return self.codes[i]

    def __iter__(self):
        for c in self.codes:
            time.sleep(0)
            yield c


def payload_for(code, core=None):
    """The record a code stands for; `core` only adds a callback into the engine."""
    n = int(code.rsplit("-", 1)[1])
    return {
        "code": code, "name": f"name{code}", "pinyin": f"py{code}|P{code}",
        "market": MARKETS[n % 4], "region": f"Asia.R{n % 3}.C{n % 5}",
        "categories": {"industry": {"l1": f"I{n % 7}"}, "tags": [f"t{n % 2}", Yielding(f"y{n % 3}", core)]},
        "attributes": {"n": n, "ok": n % 2 == 0, "f": n / 4},
    }


def legacy_args(code):
    n = int(code.rsplit("-", 1)[1])
    return (code, f"name{code}", f"py{code}", {"market": MARKETS[n % 4], "lot": [str(n % 10), Yielding("x")]},
            {"code": code, "n": n})


def replay(codes, legacy):
    core = MetadataCore()
    for code in codes:
        if code in legacy:
            args = legacy_args(code)
            core.add_record(*args)
        else:
            core.add_record_payload(payload_for(code))
    core.build()
    return core


class Worker(threading.Thread):
    def __init__(self, index, shared, log, log_lock, deadline, tmp_path):
        super().__init__(name=f"stress-{index}")
        self.index, self.shared, self.log, self.log_lock = index, shared, log, log_lock
        self.deadline, self.tmp = deadline, tmp_path
        self.rng = random.Random(index)
        self.counter = 0
        self.my_codes = []          # successful adds on the shared engine, in this thread's order
        self.private = MetadataCore()
        self.private_codes = []     # the private engine's records
        self.calls = 0
        self.conflicts = 0
        self.errors = []
        self.saves = []             # snapshot paths written from the shared engine

    def next_code(self):
        self.counter += 1
        return f"T{self.index}-{self.counter}"

    def guarded(self, fn, *args):
        self.calls += 1
        try:
            return True, fn(*args)
        except RuntimeError as e:
            if str(e) not in BORROW_MESSAGES:
                self.errors.append(repr(e))
            self.conflicts += 1
            return False, None
        except BaseException as e:  # noqa: B036 - anything else is a failure of the engine
            self.errors.append(repr(e))
            return False, None

    def shared_step(self):
        core, rng = self.shared, self.rng
        op = rng.randrange(10)
        if op == 0:
            code = self.next_code()
            ok, _ = self.guarded(core.add_record_payload, payload_for(code, core))
            if ok:
                self.my_codes.append(code)
                with self.log_lock:
                    self.log.append((code, False))
        elif op == 1:
            code = self.next_code()
            ok, _ = self.guarded(core.add_record, *legacy_args(code))
            if ok:
                self.my_codes.append(code)
                with self.log_lock:
                    self.log.append((code, True))
        elif op == 2:
            self.guarded(core.build)
        elif op == 3:
            market = rng.choice(MARKETS)
            self.guarded(core.filter, {"market": [Yielding(market) if rng.random() < 0.3 else market],
                                       "region__not": "Asia.R1"})
        elif op == 4:
            self.guarded(core.find, f"xx nameT{rng.randrange(THREADS)}-{rng.randrange(1, 50)} yy PT1-3")
        elif op == 5:
            self.guarded(core.get, f"T{rng.randrange(THREADS)}-{rng.randrange(1, 50)}")
        elif op == 6:
            codes = [f"T{rng.randrange(THREADS)}-{rng.randrange(1, 50)}" for _ in range(4)]
            self.guarded(core.get_many, YieldingCodes(codes) if rng.random() < 0.3 else codes)
        elif op == 7:
            full = str(self.tmp / f"shared-{self.index}-{len(self.saves) % 2}.full")
            index = full[:-5] + ".index"
            ok, _ = self.guarded(core.save_snapshot, full, index)
            if ok and (full, index) not in self.saves:
                self.saves.append((full, index))
        elif op == 8:
            # Exclusive calls that must fail whole or succeed whole: a bad load.
            self.guarded_expect_value_error(core.load_snapshot, "/nonexistent/full", "/nonexistent/index")
        else:
            self.guarded(core.filter, {})

    def guarded_expect_value_error(self, fn, *args):
        self.calls += 1
        try:
            fn(*args)
            self.errors.append("load of missing files succeeded")
        except RuntimeError as e:
            if str(e) not in BORROW_MESSAGES:
                self.errors.append(repr(e))
            self.conflicts += 1
        except ValueError:
            pass
        except BaseException as e:  # noqa: B036
            self.errors.append(repr(e))

    def private_step(self):
        core, rng = self.private, self.rng
        op = rng.randrange(6)
        try:
            self.calls += 1
            if op <= 1:
                code = f"P{self.index}-{len(self.private_codes) + 1}"
                core.add_record_payload(payload_for(code))
                self.private_codes.append(code)
            elif op == 2:
                core.build()
            elif op == 3:
                assert core.filter({}) == self.private_codes
            elif op == 4:
                full, index = str(self.tmp / f"private-{self.index}.full"), str(self.tmp / f"private-{self.index}.index")
                core.save_snapshot(full, index)
                core.load_snapshot(full, index)
                assert core.filter({}) == self.private_codes
            else:
                if self.private_codes:
                    code = rng.choice(self.private_codes)
                    assert core.get(code)["code"] == code
        except BaseException as e:  # noqa: B036 - nobody else touches this object
            self.errors.append("private: " + repr(e))

    def run(self):
        while time.monotonic() < self.deadline and len(self.errors) < 5:
            if self.rng.random() < 0.8:
                self.shared_step()
            else:
                self.private_step()


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_on_shared_and_private_engines(tmp_path, fast_switching):
    shared = MetadataCore()
    log, log_lock = [], threading.Lock()
    deadline = time.monotonic() + SECONDS
    workers = [Worker(i, shared, log, log_lock, deadline, tmp_path) for i in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=SECONDS + 120)
    assert not any(w.is_alive() for w in workers), "a worker hung"
    sys.setswitchinterval(0.005)

    errors = [e for w in workers for e in w.errors]
    assert errors == []
    calls = sum(w.calls for w in workers)
    conflicts = sum(w.conflicts for w in workers)
    print(f"\nstress: {THREADS} threads, {SECONDS:.1f}s, {calls} calls, {conflicts} borrow conflicts, "
          f"{len(log)} records added")
    assert conflicts > 0, "the threads never overlapped"
    assert len(log) > 0

    # The shared engine's record order is some interleaving of the successful
    # adds that keeps each thread's own order.
    final = shared.filter({})
    assert sorted(final) == sorted(code for code, _ in log)
    assert len(set(final)) == len(final)
    for w in workers:
        assert [c for c in final if c.startswith(f"T{w.index}-")] == w.my_codes

    # ... and equals a sequential replay of those adds in that order.
    legacy = {code for code, is_legacy in log if is_legacy}
    expected = replay(final, legacy)
    shared.build()
    assert shared.filter({}) == expected.filter({})
    assert shared.get_many(final) == expected.get_many(final)
    for spec in [{"market": "SH"}, {"market__not": ["SZ", "HK"]}, {"region": "Asia.R1"}, {"industry.l1": "I3"},
                 {"tags": "y1"}, {"lot": ["1", "2"]}, {"n": "7"}, {"code": final[:3]}]:
        assert shared.filter(spec) == expected.filter(spec), spec
    rng = random.Random(7)
    for _ in range(50):
        text = " ".join(f"name{rng.choice(final)}" if rng.random() < 0.5 else f"P{rng.choice(final)}"
                        for _ in range(3))
        assert shared.find(text) == expected.find(text), text

    # Every snapshot written during the run is a prefix of the final order.
    for w in workers:
        for full, index in w.saves:
            snap = MetadataCore()
            snap.load_snapshot(full, index)
            codes = snap.filter({})
            assert codes == final[:len(codes)]
            assert snap.get_many(codes) == shared.get_many(codes)

    # A save/load round trip of the final state agrees as well.
    again = reloaded(shared, tmp_path)
    assert again.filter({}) == final
    assert again.get_many(final) == expected.get_many(final)
    assert again.find(f"name{final[0]} P{final[-1]}") == expected.find(f"name{final[0]} P{final[-1]}")

    for w in workers:
        assert w.private.filter({}) == w.private_codes


def test_reentrant_callbacks_from_many_threads(fast_switching):
    """Callbacks that call the same object from inside a call, in all threads."""
    core = MetadataCore()
    for i in range(20):
        core.add_record_payload(payload_for(f"R-{i}"))
    core.build()
    failures = []

    class Reenter:
        def __str__(self):
            time.sleep(0)
            for call in (lambda: core.find("nameR-1"), lambda: core.get("R-2"), core.build,
                         lambda: core.add_record("Q-1", "", "", {})):
                try:
                    call()
                except RuntimeError as e:
                    if str(e) not in BORROW_MESSAGES:
                        failures.append(repr(e))
            return "SH"

    deadline = time.monotonic() + min(SECONDS, 2)

    def work():
        while time.monotonic() < deadline:
            try:
                core.filter({"market": Reenter()})
                core.get_many(YieldingCodes(["R-1", "R-3"]))
            except RuntimeError as e:
                if str(e) not in BORROW_MESSAGES:
                    failures.append(repr(e))
            except BaseException as e:  # noqa: B036
                failures.append(repr(e))

    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert failures == []
    # Reads never change anything; the exclusive calls from callbacks all failed.
    assert core.filter({}) == [f"R-{i}" for i in range(20)]
