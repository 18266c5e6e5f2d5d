"""Direct LMDB access for the tests: what another program (or a crash) does to a store's files.

Run as a script (`python lmdb_raw.py STORE open|read|write`), it opens the store, begins a
transaction of that kind (none for "open"), prints "ready" and holds it until its standard input
closes.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import subprocess
import sys

MDB_NOTLS = 0x200000
MDB_RDONLY = 0x20000
_MAP_SIZE = 1 << 36
_MAX_DATABASES = 32

_lmdb = ctypes.CDLL(ctypes.util.find_library("lmdb") or "liblmdb.so.0")
_lmdb.mdb_env_set_mapsize.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_lmdb.mdb_env_set_maxdbs.argtypes = [ctypes.c_void_p, ctypes.c_uint]
_lmdb.mdb_env_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint]
_lmdb.mdb_env_close.argtypes = [ctypes.c_void_p]
_lmdb.mdb_txn_begin.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p]
_lmdb.mdb_txn_commit.argtypes = [ctypes.c_void_p]
_lmdb.mdb_dbi_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint, ctypes.c_void_p]
_lmdb.mdb_drop.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int]


def _check(code: int) -> None:
    if code != 0:
        raise OSError(f"LMDB call failed with code {code}")


def open_environment(path: str) -> ctypes.c_void_p:
    env = ctypes.c_void_p()
    _check(_lmdb.mdb_env_create(ctypes.byref(env)))
    _check(_lmdb.mdb_env_set_mapsize(env, _MAP_SIZE))
    _check(_lmdb.mdb_env_set_maxdbs(env, _MAX_DATABASES))
    _check(_lmdb.mdb_env_open(env, path.encode(), MDB_NOTLS, 0o600))
    return env


def begin(env: ctypes.c_void_p, flags: int) -> ctypes.c_void_p:
    txn = ctypes.c_void_p()
    _check(_lmdb.mdb_txn_begin(env, None, flags, ctypes.byref(txn)))
    return txn


def empty_database(path: str, name: str) -> None:
    """Deletes every entry of one database, as a step that never ran leaves it."""
    env = open_environment(path)
    try:
        txn = begin(env, 0)
        dbi = ctypes.c_uint()
        _check(_lmdb.mdb_dbi_open(txn, name.encode(), 0, ctypes.byref(dbi)))
        _check(_lmdb.mdb_drop(txn, dbi.value, 0))
        _check(_lmdb.mdb_txn_commit(txn))
    finally:
        _lmdb.mdb_env_close(env)


def hold_transaction(path: str, kind: str) -> subprocess.Popen[str]:
    """A process that keeps the store open, with a read or write transaction or none, until its
    stdin closes."""
    holder = subprocess.Popen(
        [sys.executable, __file__, path, kind], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    assert holder.stdout is not None and holder.stdout.readline() == "ready\n"
    return holder


if __name__ == "__main__":
    environment = open_environment(sys.argv[1])
    if sys.argv[2] != "open":
        transaction = begin(environment, MDB_RDONLY if sys.argv[2] == "read" else 0)
    print("ready", flush=True)
    sys.stdin.read()
