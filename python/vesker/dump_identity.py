"""Where the dumps of a store came from, and whether two stores come from one process.

The dumper leaves `DUMP.meta.json` beside each dump (pid, python, time, host,
and the process's memory at the moment of the dump); the import keeps the
identities of the dumps it read in the store's metadata under "dumps", a JSON
list.
"""

from __future__ import annotations

import json
import os
from typing import Any

DUMPS_KEY = "dumps"


def read_sidecar(dump_path: str) -> dict[str, Any] | None:
    """The identity beside a dump, or None when there is none or it is unreadable."""
    try:
        with open(dump_path + ".meta.json", encoding="utf-8") as handle:
            identity = json.load(handle)
    except (OSError, ValueError):
        return None
    return identity if isinstance(identity, dict) else None


def stored_identities(metadata: dict[str, str]) -> list[dict[str, Any]]:
    try:
        identities = json.loads(metadata.get(DUMPS_KEY, "[]"))
    except ValueError:
        return []
    return [item for item in identities if isinstance(item, dict)] if isinstance(identities, list) else []


def identities_with(metadata: dict[str, str], dump_path: str) -> str:
    """The store's list of dump identities with the dump's added (an appended dump adds to it)."""
    identity = read_sidecar(dump_path)
    identities = stored_identities(metadata)
    identities.append(identity if identity is not None else {"file": os.path.basename(dump_path)})
    return json.dumps(identities)


def process_of(identity: dict[str, Any]) -> tuple[object, ...] | None:
    """What names the dumped process, None for a dump without an identity."""
    if "pid" not in identity:
        return None
    return tuple(identity.get(key) for key in ("pid", "host", "python", "started"))


def same_process(old: dict[str, str], new: dict[str, str]) -> bool | None:
    """True when every dump of both stores comes from one process, False when
    they come from different ones, None when a store does not say."""
    processes = set()
    for metadata in (old, new):
        identities = stored_identities(metadata)
        if not identities:
            return None
        for identity in identities:
            process = process_of(identity)
            if process is None:
                return None
            processes.add(process)
    return len(processes) == 1
