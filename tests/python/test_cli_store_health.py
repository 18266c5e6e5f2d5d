"""The `vesker` command on stores in trouble: damaged files, another writer, an import that did not
finish, a full disk. Every failure is one line that says what happened."""

from __future__ import annotations

import os
import pathlib
import select
import shutil
import struct
import subprocess
import sys
import tempfile

import pytest

import lmdb_raw
from records import line
from test_cli import PACKAGE_PARENT, assert_user_error, vesker_command

BASE_ID = 0x5A5A5A5A00000000
PAGE = 4096


def assert_import_error(completed: subprocess.CompletedProcess[str], *fragments: str) -> None:
    """An import's failure: its progress lines, then one line of error."""
    assert completed.returncode == 1, completed
    assert "Traceback" not in completed.stderr
    last = completed.stderr.strip().splitlines()[-1]
    assert last.startswith("vesker import: error: "), completed.stderr
    for fragment in fragments:
        assert fragment in last


def write_dump(path: pathlib.Path, count: int, first: int = 0) -> pathlib.Path:
    ids = [BASE_ID + first + i for i in range(count)]
    path.write_bytes(b"".join(line(i, "T", [i + 1] if i != ids[-1] else [], size=40) for i in ids))
    return path


@pytest.fixture(scope="module")
def sound_store(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    directory = tmp_path_factory.mktemp("health")
    dump = write_dump(directory / "dump.jsonl", 3000)
    completed = vesker_command("import", "-q", str(dump), str(directory / "store"))
    assert completed.returncode == 0, completed.stderr
    return directory / "store"


def damaged_copy(sound_store: pathlib.Path, tmp_path: pathlib.Path, damage) -> pathlib.Path:
    copy = tmp_path / "copy"
    shutil.copytree(sound_store, copy)
    with open(copy / "data.mdb", "r+b") as data:
        damage(data)
    return copy


def truncate_to(size_of):
    return lambda data: data.truncate(size_of(os.fstat(data.fileno()).st_size))


@pytest.mark.parametrize(
    "damage",
    [truncate_to(lambda size: 8192), truncate_to(lambda size: size // 2),
     truncate_to(lambda size: size - PAGE), truncate_to(lambda size: 0)],
    ids=["two pages", "half", "one page short", "empty"],
)
def test_a_cut_data_file_is_reported_at_open(sound_store, tmp_path, damage):
    store = damaged_copy(sound_store, tmp_path, damage)
    assert_user_error(vesker_command("types", str(store)), "damaged")
    assert_user_error(vesker_command("check", str(store)), "damaged")


def test_check_reads_every_page(sound_store, tmp_path):
    sound = vesker_command("check", str(sound_store))
    assert sound.returncode == 0, sound.stderr
    assert "is sound" in sound.stdout

    def zero_the_middle(data):
        size = os.fstat(data.fileno()).st_size
        data.seek(size // 4 // PAGE * PAGE)
        data.write(bytes(size // 2 // PAGE * PAGE))

    zeroed = damaged_copy(sound_store, tmp_path, zero_the_middle)
    completed = vesker_command("check", str(zeroed))
    assert completed.returncode == 1, completed
    assert "Traceback" not in completed.stderr
    assert "damaged" in completed.stdout + completed.stderr


def test_a_broken_invariant_is_one_line(sound_store, tmp_path):
    def flip_a_primary_key(data):
        contents = bytearray(data.read())
        key = struct.pack("<Q", BASE_ID + 1500)
        position = contents.find(key + b'{"id"')
        while position != -1:
            contents[position + 7] ^= 0x01
            position = contents.find(key + b'{"id"', position + 1)
        data.seek(0)
        data.write(contents)

    store = damaged_copy(sound_store, tmp_path, flip_a_primary_key)
    more = write_dump(tmp_path / "more.jsonl", 10, first=5000)
    assert_import_error(vesker_command("import", "-q", "--append", str(more), str(store)), "damaged")


def test_an_unfinished_import_still_counts_its_objects(sound_store, tmp_path):
    store = tmp_path / "store"
    shutil.copytree(sound_store, store)
    # What a post-import step killed or failed leaves: the records, no type summaries.
    lmdb_raw.empty_database(str(store), "type_summaries")
    assert_user_error(vesker_command("types", str(store)), "3,000 objects")
    again = write_dump(tmp_path / "again.jsonl", 10)
    assert_user_error(vesker_command("import", "-q", str(again), str(store)), "already holds 3,000 objects")


def test_waits_for_another_writer_are_said_or_avoided(sound_store, tmp_path):
    store = tmp_path / "store"
    shutil.copytree(sound_store, store)
    more = write_dump(tmp_path / "more.jsonl", 10, first=5000)
    writer = lmdb_raw.hold_transaction(str(store), "write")
    try:
        listed = subprocess.run(
            [sys.executable, "-m", "vesker", "types", str(store), "--json"], capture_output=True, text=True,
            env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT), timeout=60,
        )
        assert listed.returncode == 0, listed.stderr
        importing = subprocess.Popen(
            [sys.executable, "-m", "vesker", "import", "-q", "--append", str(more), str(store)],
            stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
        )
        assert importing.stderr is not None
        ready, _, _ = select.select([importing.stderr], [], [], 30)
        assert ready, "the import waited without a word"
        assert "waiting for another process that writes to store" in importing.stderr.readline()
    finally:
        writer.communicate("")
    assert importing.wait(timeout=60) == 0
    assert "imported 10 objects" in importing.stderr.read()


def test_a_full_disk_says_what_was_committed(sound_store):
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a small file system needs root and mount(8)")
    mount_point = tempfile.mkdtemp()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", mount_point]).returncode != 0:
        pytest.skip("cannot mount a small file system here")
    try:
        more = write_dump(pathlib.Path(mount_point) / "more.jsonl", 3000, first=10_000)
        store = pathlib.Path(mount_point) / "store"
        # Free space enough for the new records but not for the step after them: found by trying.
        low, high = 0, 3 << 20
        for _ in range(14):
            shutil.rmtree(store, ignore_errors=True)
            filler = pathlib.Path(mount_point) / "filler"
            filler.unlink(missing_ok=True)
            shutil.copytree(sound_store, store)
            free = shutil.disk_usage(mount_point).free
            room = (low + high) // 2
            filler.write_bytes(bytes(max(free - room, 0)))
            completed = vesker_command("import", "-q", "--append", str(more), str(store))
            if completed.returncode == 0:
                high = room
            elif "committed: the dump's objects" in completed.stderr:
                break
            else:
                low = room
        else:
            pytest.fail("no free space left the records committed and the step after them failed")
        assert_import_error(completed, "the disk is full", "6,000", "not committed")
    finally:
        subprocess.run(["umount", mount_point])
        os.rmdir(mount_point)


def test_damage_inside_the_pages_is_one_line_never_a_signal(sound_store, tmp_path):
    # Bytes overwritten at twelve places of the data file: what no check at open can see. Each
    # command either answers or fails with one line; none dies by a signal (SIGSEGV, or LMDB's
    # assertion and abort).
    size = os.path.getsize(sound_store / "data.mdb")
    failed = 0
    asserted = False
    for place in range(1, 14):
        store = tmp_path / f"damaged-{place}"
        shutil.copytree(sound_store, store)
        with open(store / "data.mdb", "r+b") as data:
            if place < 13:
                data.seek(size * place // 13)
                data.write(b"\xa5" * 64)
            else:  # the middle leaf page (flags 2 in its header) made neither leaf nor branch: LMDB asserts
                contents = data.read()
                leaves = [page for page in range(2, size // PAGE)
                          if contents[page * PAGE + 10:page * PAGE + 12] == b"\x02\x00"]
                data.seek(leaves[len(leaves) // 2] * PAGE + 10)
                data.write(b"\x00\x00")
        for command in (["diff", str(sound_store), str(store)], ["diff", str(store), str(sound_store)],
                        ["growth", str(sound_store), str(store), str(sound_store), "--same-process"],
                        ["top", str(store)]):
            completed = vesker_command(*command)
            assert completed.returncode in (0, 1), (place, command, completed.returncode, completed.stderr)
            if completed.returncode == 1:
                failed += 1
                assert len(completed.stderr.strip().splitlines()) == 1, completed.stderr
                assert completed.stderr.startswith(f"vesker {command[0]}: error: "), completed.stderr
                asserted = asserted or "Assertion" in completed.stderr
    assert failed and asserted, "no damage was found, or none that LMDB asserts on: the test tests nothing"


KILLED_AFTER_THE_COMMIT = """
import os, signal, sys
from vesker import store_facts
store_facts.record_import = lambda *arguments: os.kill(os.getpid(), signal.SIGKILL)
from vesker.cli import main
main(["import", "-q", "--precision", "low", sys.argv[1], sys.argv[2]])
"""


def test_a_kill_after_the_import_commits_leaves_its_facts_with_its_results(tmp_path):
    dump = write_dump(tmp_path / "dump.jsonl", 50)
    with dump.open("ab") as out:
        out.write(line(BASE_ID + 100, "T", [BASE_ID + 999]))  # a reference to an id without a record
    store = tmp_path / "store"
    killed = subprocess.run([sys.executable, "-c", KILLED_AFTER_THE_COMMIT, str(dump), str(store)],
                            env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT))
    assert killed.returncode == -9
    from vesker import engine

    with engine.Store(store) as kept:
        metadata = kept.metadata()
        assert kept.object_count() == 51
    assert (metadata.get("precision"), metadata.get("dangling_references")) == ("low", "1"), metadata
    assert "dump.jsonl" in metadata.get("dumps", ""), metadata


def test_a_store_a_killed_import_left_empty_gives_its_space_back(tmp_path):
    # What a kill during the merge leaves: a store that holds nothing, and past its last committed
    # page the pages the import had written.
    import gc

    import vesker_analysis

    stores = []
    for name in ("checked", "imported"):
        stores.append(tmp_path / name)
        stores[-1].mkdir()
        explorer = vesker_analysis.HeapDumpExplorer(str(stores[-1]))
        del explorer
        gc.collect()
        with open(stores[-1] / "data.mdb", "ab") as data:
            data.write(b"\xa5" * (32 << 20))
    checked, imported = stores

    said = vesker_command("check", str(checked))
    assert said.returncode == 0 and "holds nothing" in said.stdout and "--compact" in said.stdout, said
    holder = subprocess.Popen([sys.executable, "-c", "import sys, time; from vesker import engine; "
                               "store = engine.Store(sys.argv[1]); print(flush=True); time.sleep(60)", str(checked)],
                              stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT))
    try:
        holder.stdout.readline()
        assert_user_error(vesker_command("check", "--compact", str(checked)), "open in another process")
    finally:
        holder.kill()
        holder.wait()
    from vesker.cli import main

    explorer = vesker_analysis.HeapDumpExplorer(str(checked))  # open in this very process
    assert main(["check", "--compact", str(checked)]) == 1
    del explorer
    gc.collect()
    assert os.path.getsize(checked / "data.mdb") > 32 << 20
    compacted = vesker_command("check", "--compact", str(checked))
    assert compacted.returncode == 0 and "given back" in compacted.stdout, compacted
    assert not (checked / "data.mdb").exists()

    dump = write_dump(tmp_path / "dump.jsonl", 100)
    assert vesker_command("import", "-q", str(dump), str(imported)).returncode == 0
    assert os.path.getsize(imported / "data.mdb") < 1 << 20
