"""Running out of memory inside an ingestion call changes nothing.

Each case runs in a child process under an address-space limit a little
above its current size, then lifts the limit and checks that the engine
answers, saves and loads exactly as before the failed call.  Not run under
the sanitizers, whose shadow memory cannot live under such a limit."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                                reason="an address-space limit breaks the sanitizers")

CHILD = textwrap.dedent(r"""
    import json, os, resource, sys, tempfile
    import vedra_runtime

    case = sys.argv[1]
    core = vedra_runtime.MetadataCore()
    for i in range(200):
        core.add_record_payload({"code": f"C{i}", "name": f"name {i}", "pinyin": f"mc{i % 7}|x",
                                 "market": "SH" if i % 2 else "SZ",
                                 "categories": {"industry": f"bank.state.{i % 5}"}})
    core.add_record("C3", "again", "ag", {"market": ["SH", "BJ"]}, {"code": "C3", "v": 1})
    core.build()

    def observe():
        codes = core.filter({})
        return {
            "all": codes,
            "sh": core.filter({"market": "SH"}),
            "bank": core.filter({"industry": "bank.state"}),
            "not_sz": core.filter({"market__not": "SZ"}),
            "found": core.find("name 17 and mc3 and C42"),
            "payloads": core.get_many(codes),
        }

    before = observe()
    hostile = "x." * 40000  # its dotted prefixes need about 1.6 GB of keys
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
    try:
        if case == "payload_market":
            core.add_record_payload({"code": "NEW", "name": "new", "market": hostile})
        elif case == "payload_attribute":
            core.add_record_payload({"code": "NEW", "attributes": {"deep": {"a": hostile}}})
        else:
            core.add_record("NEW", "new", "nw", {"market": ["SH", hostile]}, None)
        outcome = "no error"
    except MemoryError:
        outcome = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    after = observe()
    with tempfile.TemporaryDirectory() as d:
        core.save_snapshot(d + "/full", d + "/index")
        loaded = vedra_runtime.MetadataCore()
        loaded.load_snapshot(d + "/full", d + "/index")
        core = loaded
        reloaded = observe()
    core.add_record("LAST", "last", "", {"market": "SH"}, None)
    print(json.dumps({"outcome": outcome, "unchanged": after == before, "reloaded": reloaded == before,
                      "next": core.filter({"code": "LAST"}), "sh_grew": len(core.filter({"market": "SH"})) - len(before["sh"])}))
""")


@pytest.mark.parametrize("case", ["payload_market", "payload_attribute", "record_field"])
def test_exhausted_memory_while_posting_changes_nothing(case):
    done = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result == {"outcome": "MemoryError", "unchanged": True, "reloaded": True, "next": ["LAST"], "sh_grew": 1}
