"""`vesker check STORE`: reads every page of a store in a child process and says whether it is sound.

The reading runs in a process of its own because a damaged page can make LMDB stop the process
(an assertion, a bus error); the parent turns that into a message as well.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys

from vesker.cli.arguments import Commands, add_store, command
from vesker.store import UserError, is_store
from vesker.store_facts import incomplete_dump_note
from vesker.store_health import disk_bytes, release_empty_store

# Two meta pages and the roots of a few empty databases.
_EMPTY_STORE_BYTES = 1 << 20

_CHILD_CODE = "from vesker.cli.check import read_in_child; read_in_child()"


def register(commands: Commands) -> None:
    check = command(commands, "check", cmd_check,
                    help="read every page of a store and say whether it is sound",
                    description="Read every page of the store in a separate process "
                    "and say whether the store is sound (exit code 0) or damaged (1).")
    add_store(check)
    check.add_argument("--compact", action="store_true",
                       help="remove the files of a sound store that holds nothing (what a killed import "
                       "leaves), giving back the disk space they keep")


def read_in_child() -> None:
    """The child's side: one JSON document on stdout with the outcome of the full read."""
    from vesker.engine import Store
    from vesker.plain import plain

    path = sys.argv[1]
    try:
        with Store(path) as store:
            result: dict[str, object] = plain(store.check())
            if not result["problems"]:
                result["dangling_references"] = store.check_references()[1]
    except RuntimeError as error:
        result = {"error": str(error)}
    json.dump(result, sys.stdout)


def _stopped_by(returncode: int) -> str:
    try:
        name = signal.Signals(-returncode).name
    except ValueError:
        name = f"signal {-returncode}"
    return name


def cmd_check(args: argparse.Namespace) -> int:
    path = args.store
    if not os.path.isdir(path) or not is_store(path):
        raise UserError(f"{path!r} is not a store")
    import vesker

    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(vesker.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    child = subprocess.run(
        [sys.executable, "-c", _CHILD_CODE, path], capture_output=True, text=True, env=env
    )
    if child.returncode < 0:
        detail = child.stderr.strip().splitlines()
        cause = f" ({detail[-1]})" if detail else ""
        raise UserError(
            f"store {path!r} is damaged: reading it stopped the reading process with "
            f"{_stopped_by(child.returncode)}{cause}"
        )
    try:
        outcome = json.loads(child.stdout)
    except ValueError:
        detail = child.stderr.strip().splitlines()
        raise UserError(
            f"store {path!r} could not be read: {detail[-1] if detail else 'the reading process failed'}"
        ) from None
    if "error" in outcome:
        raise UserError(f"store {path!r} is damaged: {outcome['error']}")
    if outcome["problems"]:
        print(f"store {path} is damaged:")
        for problem in outcome["problems"]:
            print(f"  {problem}")
        return 1
    print(
        f"store {path} is sound: {outcome['databases']} databases, {outcome['entries']:,} entries, "
        f"{outcome['bytes']:,} bytes read"
    )
    if outcome.get("dangling_references"):
        print(f"but {incomplete_dump_note(outcome['dangling_references'])}")
    if outcome["entries"] == 0:
        _empty_store(path, args.compact)
    elif args.compact:
        print("(--compact gives back the space of a store that holds nothing; this one holds entries)")
    return 0


def _empty_store(path: str, compact: bool) -> None:
    """A store that holds nothing keeps the pages of the import that left it so (LMDB never
    shrinks its file): say so, and give them back when asked."""
    from vesker.formatting import format_bytes

    kept = disk_bytes(path)
    if not compact:
        if kept > _EMPTY_STORE_BYTES:
            print(f"it holds nothing, yet its data file keeps {format_bytes(kept)} on disk (an import that was "
                  f"killed?); 'vesker check --compact {path}' gives them back")
        return
    if not release_empty_store(path):
        raise UserError(f"store {path!r} is open in another process; --compact removes it only when it is not")
    print(f"it held nothing: its files are removed, {format_bytes(kept)} given back; "
          "import into the directory as into a new one")
