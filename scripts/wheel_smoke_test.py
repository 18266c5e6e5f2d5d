"""Installs a wheel with `pip install --no-index` into a new virtual environment and uses every
native module it holds: `vesker --version`, `vesker demo`, queries through vesker_analysis and
vesker.engine on the demo's store, and, where it is built, a dump by vesker._walker that the store
then imports. Run by the interpreter of a minimal root (scripts/test-wheel.sh), which may have no
shell, so it is Python throughout. Exits non-zero with the failing step's output on a fault.

Usage: python wheel_smoke_test.py FOLDER WHEEL EXPECTED_VERSION  (works in FOLDER)
"""

from __future__ import annotations

import os
import subprocess
import sys
import venv

QUERIES = r'''
import os
import vesker_analysis as va
from vesker import dumper, engine

explorer = va.HeapDumpExplorer("demo/demo-store")
types = dict(explorer.get_type_summaries())
largest = explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)[0]
record = explorer.get_object(largest.id)
assert types["__main__.ReportCache"].count == 1, types
assert largest.subtree_size >= record.size > 0, (largest, record)
with engine.Store("demo/demo-store") as store:  # through the environment the explorer opened
    store.set_metadata("checked", "in a minimal root")
    assert store.metadata()["checked"] == "in a minimal root"
walker = "not built for this interpreter"
if dumper.native_walker_available():
    kept = [{"leaf": bytes(1000)} for _ in range(100)]
    stats = dumper.dump_heap("native.jsonl", native=True)
    os.makedirs("native-store")
    native = va.HeapDumpExplorer("native-store")
    with open("native.jsonl", "rb") as lines:
        native.import_lines(lines, va.EstimatorPrecision.Exact)
    walked = dict(native.get_type_summaries())
    assert walked["builtins.bytes"].count >= 100, walked
    walker = f"wrote {stats.objects} objects"
print(f"the modules answer: {len(types)} types, the largest keeps {largest.subtree_size} bytes alive; "
      f"vesker._walker {walker}")
'''


# Only what the root has: none of the calling machine's variables reach the commands.
ENVIRONMENT = {"PATH": "/usr/bin:/bin", "HOME": "/root", "LC_ALL": "C.UTF-8"}


def run(*command: str) -> str:
    done = subprocess.run(command, capture_output=True, text=True, env=ENVIRONMENT)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def main(folder: str, wheel: str, expected_version: str) -> None:
    os.chdir(folder)
    venv.create("venv", with_pip=True)
    python = os.path.join("venv", "bin", "python")
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index", wheel)
    vesker = os.path.join("venv", "bin", "vesker")
    assert run(vesker, "--version").strip() == f"vesker {expected_version}"
    report = run(vesker, "demo", "--quiet", "--dir", "demo")
    assert "Largest objects by subtree size" in report, report
    print(run(python, "-c", QUERIES).strip())


if __name__ == "__main__":
    main(*sys.argv[1:])
