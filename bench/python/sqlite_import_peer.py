"""Bulk load of a heap dump into SQLite, as a peer for the import benchmark.

The schema answers the same questions as our store: an object with its
references (in dump order) and its referrers, the objects of a type, the
objects of a type (or of all types) ordered by size, and per-type counts and
total sizes. Everything is loaded in one transaction; the indexes are built
after the rows, inside the same transaction, which is the fastest way to bulk
load SQLite.

SQLite integers are signed 64-bit, so ids of 2**63 and above are stored as
id - 2**64 (CPython addresses never get there).

API:
    sqlite_bulk_load(dump_path, db_path) -> LoadResult

Run as a script:  python sqlite_import_peer.py DUMP.jsonl[.gz] [--db PATH]
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import sqlite3
import sys
import tempfile
import time
from typing import NamedTuple

__all__ = ["LoadResult", "SCHEMA", "INDEXES", "sqlite_bulk_load"]

SCHEMA = """
CREATE TABLE types (
    type_id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE
);
CREATE TABLE objects (
    id INTEGER PRIMARY KEY,
    type_id INTEGER NOT NULL REFERENCES types(type_id),
    value TEXT,
    size INTEGER NOT NULL
);
CREATE TABLE refs (
    referrer INTEGER NOT NULL,
    position INTEGER NOT NULL,
    referenced INTEGER NOT NULL,
    PRIMARY KEY (referrer, position)
) WITHOUT ROWID;
CREATE TABLE type_summaries (
    type_id INTEGER PRIMARY KEY,
    count INTEGER NOT NULL,
    total_size INTEGER NOT NULL
);
"""

INDEXES = """
CREATE INDEX refs_by_referenced ON refs (referenced, referrer);
CREATE INDEX objects_by_type ON objects (type_id, id);
CREATE INDEX objects_by_type_and_size ON objects (type_id, size DESC, id);
CREATE INDEX objects_by_size ON objects (size DESC, id);
"""

_SIGN = 1 << 63
_WRAP = 1 << 64


class LoadResult(NamedTuple):
    seconds: float
    rows_seconds: float
    index_seconds: float
    objects: int
    references: int
    types: int


def _signed(oid: int) -> int:
    return oid - _WRAP if oid >= _SIGN else oid


def sqlite_bulk_load(dump_path: str, db_path: str) -> LoadResult:
    """Load the dump into a new SQLite database at db_path and time it."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        if os.path.exists(db_path + suffix):
            os.remove(db_path + suffix)
    opener = gzip.open if dump_path.endswith(".gz") else open
    start = time.perf_counter()
    db = sqlite3.connect(db_path, isolation_level=None)
    try:
        db.execute("PRAGMA journal_mode = WAL")
        db.execute("PRAGMA synchronous = NORMAL")
        db.execute("PRAGMA cache_size = -262144")  # 256 MiB
        db.executescript(SCHEMA)
        db.execute("BEGIN")
        type_ids: dict[str, int] = {}
        counts = [0, 0]

        def object_rows(f):
            for line in f:
                record = json.loads(line)
                name = record["type"]
                type_id = type_ids.get(name)
                if type_id is None:
                    type_id = type_ids[name] = len(type_ids) + 1
                counts[0] += 1
                yield _signed(record["id"]), type_id, record.get("value"), record["size"], record["references"]

        insert_object = "INSERT OR REPLACE INTO objects (id, type_id, value, size) VALUES (?, ?, ?, ?)"
        insert_ref = "INSERT OR REPLACE INTO refs (referrer, position, referenced) VALUES (?, ?, ?)"
        with opener(dump_path, "rb") as f:
            batch_objects = []
            batch_refs = []
            for oid, type_id, value, size, references in object_rows(f):
                batch_objects.append((oid, type_id, value, size))
                batch_refs.extend((oid, k, _signed(r)) for k, r in enumerate(references))
                if len(batch_objects) >= 50000:
                    db.executemany(insert_object, batch_objects)
                    db.executemany(insert_ref, batch_refs)
                    counts[1] += len(batch_refs)
                    batch_objects.clear()
                    batch_refs.clear()
            db.executemany(insert_object, batch_objects)
            db.executemany(insert_ref, batch_refs)
            counts[1] += len(batch_refs)
        db.executemany("INSERT INTO types (type_id, name) VALUES (?, ?)",
                       ((tid, name) for name, tid in type_ids.items()))
        rows_done = time.perf_counter()
        # executescript would commit first: the indexes belong to the load's transaction.
        for statement in INDEXES.strip().splitlines():
            db.execute(statement)
        db.execute("INSERT INTO type_summaries SELECT type_id, count(*), sum(size) FROM objects GROUP BY type_id")
        db.execute("COMMIT")
        done = time.perf_counter()
    finally:
        db.close()
    return LoadResult(done - start, rows_done - start, done - rows_done, counts[0], counts[1], len(type_ids))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Time a SQLite bulk load of a heap dump.")
    parser.add_argument("dump", help="JSON Lines heap dump (.gz allowed)")
    parser.add_argument("--db", help="database file (default: a temporary file, removed afterwards)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        db_path = args.db or os.path.join(tmp, "dump.sqlite")
        result = sqlite_bulk_load(args.dump, db_path)
        size_mib = os.path.getsize(db_path) / (1 << 20)
    print(f"objects: {result.objects}, references: {result.references}, types: {result.types}")
    print(f"rows (read, json, insert): {result.rows_seconds:.2f} s")
    print(f"indexes and summaries, commit: {result.index_seconds:.2f} s")
    print(f"total: {result.seconds:.2f} s")
    print(f"database: {size_mib:.0f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
