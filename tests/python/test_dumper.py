"""The heap dumper: the lines it writes are a complete, well-formed heap dump."""

from __future__ import annotations

import gzip
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap
from typing import Any

import pytest

import vesker
from vesker import dumper

PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)
FIELDS = ["id", "type", "references", "value", "size"]


def read_dump(path: pathlib.Path) -> dict[int, dict[str, Any]]:
    opener = gzip.open if path.suffix == ".gz" else open
    records: dict[int, dict[str, Any]] = {}
    with opener(path, "rt", encoding="utf-8") as handle:
        for line in handle:
            record = json.loads(line)
            assert [key for key in record if key != "names"] == FIELDS
            assert record["id"] not in records, "ids must be unique"
            records[record["id"]] = record
    return records


def run_python(script: pathlib.Path, *arguments: str, **environment: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT, **environment)
    return subprocess.run(
        [sys.executable, str(script), *arguments], capture_output=True, text=True, env=env
    )


def find(records: dict[int, dict[str, Any]], type_name: str, value: str) -> dict[str, Any]:
    """One record of the type with the value (constants may exist in several copies)."""
    matches = [r for r in records.values() if r["type"] == type_name and r["value"] == value]
    assert matches, (type_name, value)
    return matches[0]


def test_in_process_dump_compressed_and_atomic(tmp_path: pathlib.Path) -> None:
    kept = {"in-process-marker": list(range(3))}
    stats = vesker.dump_heap(tmp_path / "heap.jsonl.gz")
    assert stats.path == str(tmp_path / "heap.jsonl.gz")
    assert stats.bytes_written == (tmp_path / "heap.jsonl.gz").stat().st_size
    records = read_dump(tmp_path / "heap.jsonl.gz")
    assert stats.objects == len(records)
    marker = [r for r in records.values() if r["value"] == "in-process-marker"]
    holders = [r for r in records.values() if marker[0]["id"] in r["references"]]
    assert "builtins.dict" in {r["type"] for r in holders}, "dict keys are references"
    assert sorted(os.listdir(tmp_path)) == ["heap.jsonl.gz", "heap.jsonl.gz.meta.json"], \
        "no partial file may remain"
    assert kept


def test_failed_dump_leaves_no_file(tmp_path: pathlib.Path) -> None:
    with pytest.raises(OSError):
        vesker.dump_heap(tmp_path / "missing" / "heap.jsonl")
    assert os.listdir(tmp_path) == []


def test_collector_and_switch_interval_are_restored(tmp_path: pathlib.Path) -> None:
    import gc

    interval = sys.getswitchinterval()
    vesker.dump_heap(tmp_path / "heap.jsonl")
    assert gc.isenabled()
    assert sys.getswitchinterval() == interval


def test_references_are_the_referents_in_order(tmp_path: pathlib.Path) -> None:
    import gc

    subject = ("first-element", ["second"], 3.25, "first-element")
    vesker.dump_heap(tmp_path / "heap.jsonl")
    records = read_dump(tmp_path / "heap.jsonl")
    assert records[id(subject)]["references"] == [id(r) for r in gc.get_referents(subject)]
    assert records[id(subject)]["type"] == "builtins.tuple"
    assert records[id(subject[1])]["references"] == [id(subject[1][0])]


class _Holder:
    items: list[str]


@pytest.mark.skipif(not dumper.native_walker_available(), reason="the native walker reads the dict pointer")
@pytest.mark.parametrize("native", [False, True])
def test_an_instance_holds_the_dict_made_for_it(tmp_path: pathlib.Path, native: bool) -> None:
    # Asked for, the dict of an instance whose attributes stay inline is not among its referents
    # on 3.13 and later: the dump must still show the instance holding it.
    subject = _Holder()
    subject.items = ["held"]
    namespace = vars(subject)
    vesker.dump_heap(tmp_path / "heap.jsonl", names=True, native=native)
    with open(tmp_path / "heap.jsonl", encoding="utf-8") as lines:
        (record,) = [r for r in map(json.loads, lines) if r["id"] == id(subject)]
    assert dict(zip(record["references"], record["names"]))[id(namespace)] == ".__dict__"


@pytest.fixture(scope="module")
def script_dump(tmp_path_factory: pytest.TempPathFactory) -> dict[int, dict[str, Any]]:
    """The heap of a script that calls the dumper from inside a function."""
    directory = tmp_path_factory.mktemp("dump")
    script = directory / "subject.py"
    script.write_text(
        textwrap.dedent(
            """
            import sys
            import vesker

            class Holder:
                pass

            def make_holder():
                holder = Holder()
                holder.label = "holder-label"
                holder.items = [12345678901, 2.5, True, b"\\x00raw", "x" * 1000, 3 + 4j]
                return holder

            HELD = make_holder()
            HUGE = 7 ** 5000

            def dump_with_a_local():
                only_in_this_frame = ["local-marker"]
                vesker.dump_heap(sys.argv[1])

            dump_with_a_local()
            """
        )
    )
    output = directory / "heap.jsonl"
    completed = run_python(script, str(output))
    assert completed.returncode == 0, completed.stderr
    return read_dump(output)


def test_every_reference_has_a_record(script_dump: dict[int, dict[str, Any]]) -> None:
    for record in script_dump.values():
        assert isinstance(record["size"], int) and record["size"] > 0
        for reference in record["references"]:
            assert reference in script_dump, (record["type"], reference)


def test_types_and_values(script_dump: dict[int, dict[str, Any]]) -> None:
    main = find(script_dump, "builtins.module", "__main__")
    find(script_dump, "builtins.module", "sys")
    holder_class = find(script_dump, "builtins.type", "Holder")
    find(script_dump, "builtins.function", "make_holder")
    find(script_dump, "builtins.builtin_function_or_method", "getsizeof")
    find(script_dump, "builtins.str", "holder-label")
    find(script_dump, "builtins.int", "12345678901")
    find(script_dump, "builtins.float", "2.5")
    find(script_dump, "builtins.complex", "(3+4j)")
    find(script_dump, "builtins.bytes", "b'\\x00raw'")
    assert any(r["type"] == "builtins.bool" and r["value"] == "True" for r in script_dump.values())
    assert any(r["type"] == "builtins.int" and r["value"] == "<int of 14037 bits>"
               for r in script_dump.values())
    long_text = find(script_dump, "builtins.str", "x" * dumper.VALUE_LIMIT)
    assert long_text["size"] > 1000
    holders = [r for r in script_dump.values() if r["type"] == "__main__.Holder"]
    assert len(holders) == 1
    assert holder_class["id"] in holders[0]["references"]
    assert holder_class["size"] > 0
    # The module refers to its namespace, which holds the instance.
    namespace = script_dump[main["references"][0]]
    assert holders[0]["id"] in namespace["references"]
    assert all(r["value"] is None for r in script_dump.values() if r["type"] == "builtins.dict")


def test_instance_and_list_references(script_dump: dict[int, dict[str, Any]]) -> None:
    (holder,) = [r for r in script_dump.values() if r["type"] == "__main__.Holder"]
    attributes = [script_dump[i] for i in holder["references"]]
    assert {a["type"] for a in attributes} == {"builtins.str", "builtins.list", "builtins.type"}
    (items,) = [a for a in attributes if a["type"] == "builtins.list"]
    values = sorted(script_dump[i]["value"] for i in items["references"])
    assert values == sorted(
        ["12345678901", "2.5", "True", "b'\\x00raw'", "x" * dumper.VALUE_LIMIT, "(3+4j)"]
    )


def test_running_frames_show_their_locals(script_dump: dict[int, dict[str, Any]]) -> None:
    marker = find(script_dump, "builtins.str", "local-marker")
    lists = {
        r["id"] for r in script_dump.values()
        if marker["id"] in r["references"] and r["type"] == "builtins.list"
    }
    frames = [
        r for r in script_dump.values()
        if r["type"] == "builtins.frame" and lists & set(r["references"])
    ]
    assert len(frames) == 1


def test_own_machinery_is_left_out(script_dump: dict[int, dict[str, Any]]) -> None:
    # The dumper's frames would refer to its code; its containers would be
    # about as large as the dump itself.
    module = find(script_dump, "builtins.module", "vesker.dumper")
    namespace = script_dump[module["references"][0]]
    functions = [
        script_dump[i] for i in namespace["references"]
        if script_dump[i]["value"] in ("dump_heap", "_walk")
    ]
    code_ids = {
        reference for function in functions for reference in function["references"]
        if script_dump[reference]["type"] == "builtins.code"
    }
    assert len(code_ids) == 2
    for record in script_dump.values():
        if record["type"] == "builtins.frame":
            assert not code_ids & set(record["references"])
    largest_container = max(
        r["size"] for r in script_dump.values()
        if r["type"] in ("builtins.list", "builtins.set", "builtins.dict")
    )
    # A set or dict holding every dumped object needs at least 16 bytes an entry; the largest
    # real container (on 3.14, the interned strings, about a fifth of the dump) stays well below.
    assert largest_container < 8 * len(script_dump)


# Objects of the standard library's C types (and numpy's, where it is installed) that
# hold what leaks through fields that are no attributes.
C_LEVEL_OBJECTS = """
import functools
import itertools

class Service:
    @functools.lru_cache(maxsize=None)
    def lookup(self, key):
        return ["cached-marker", key]

@functools.lru_cache(maxsize=2)
def bounded(key):
    return ["bounded-marker", key]

SERVICE = Service()
SERVICE.lookup(1)
bounded(1)
CYCLE = itertools.cycle([["cycle-marker"]])
next(CYCLE)
TEES = itertools.tee(iter([["tee-marker"]]))
next(TEES[0])
VIEW = memoryview(b"view-marker")
try:
    import numpy
    ARRAY_VIEW = numpy.arange(1000.0)[10:20]
except ImportError:
    pass
"""

NAMED_SUBJECT = C_LEVEL_OBJECTS + """
import sys
import vesker

class Plain:
    def __init__(self):
        self.label = "label-marker"

class Slotted:
    __slots__ = ("slot",)

def make_closure():
    captured = ["captured-marker"]
    return lambda: captured

PLAIN = Plain()
PLAIN.elsewhere = ["elsewhere-marker"]  # set by no code of its class
SLOTTED = Slotted()
SLOTTED.slot = ["slot-marker"]
TABLE = {"table-key": ["table-value"], 7: ["seven"]}
SEQUENCE = ("first-item", ["second-item"])
CLOSURE = make_closure()

def dump_with_a_local():
    only_here = ["local-marker"]
    # First as a running process is dumped (no dict made), then as one that is done.
    vesker.dump_heap(sys.argv[1] + ".inline", names=True)
    vesker.dump_heap(sys.argv[1], names=True, meta=True, materialize=True)

dump_with_a_local()
"""


@pytest.fixture(scope="module")
def named_dump(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    directory = tmp_path_factory.mktemp("named")
    script = directory / "subject.py"
    script.write_text(NAMED_SUBJECT)
    completed = run_python(script, str(directory / "heap.jsonl"))
    assert completed.returncode == 0, completed.stderr
    return directory / "heap.jsonl"


def test_reference_names(named_dump: pathlib.Path) -> None:
    records: dict[int, dict[str, Any]] = {}
    for line in named_dump.read_text(encoding="utf-8").split("\n")[:-1]:
        record = json.loads(line)
        assert list(record) in (FIELDS, FIELDS[:3] + ["names"] + FIELDS[3:])
        if "names" in record:
            assert len(record["names"]) == len(record["references"])
        records[record["id"]] = record

    def names_of(type_name: str, marker: str, direct: bool = False) -> set[str]:
        """The names under which objects of `type_name` refer to `marker` or its holders."""
        (held,) = [r for r in records.values() if r["value"] == marker]
        holders = {held["id"]}
        if not direct:
            holders |= {i for i, r in records.items() if held["id"] in r["references"]}
        return {
            name for r in records.values() if r["type"] == type_name
            for ref, name in zip(r["references"], r.get("names", ())) if ref in holders
        }

    assert names_of("__main__.Plain", "label-marker") == {".label"}
    assert names_of("__main__.Slotted", "slot-marker") == {".slot"}
    assert names_of("builtins.dict", "table-value") == {"['table-key']"}
    assert "[7]" in names_of("builtins.dict", "seven")  # 3.14 also shows the interned strings
    assert names_of("builtins.dict", "table-key", direct=True) == {"<key>"}
    # References keep the collector's order, which for sequences is from the last item.
    (sequence,) = [r for r in records.values() if r["type"] == "builtins.tuple"
                   and [records[i]["value"] for i in r["references"]] == [None, "first-item"]]
    assert sequence["names"] == ["[1]", "[0]"]
    (closure,) = [r for r in records.values() if r["type"] == "builtins.function"
                  and r["value"] == "make_closure.<locals>.<lambda>"]
    cells = records[closure["references"][closure["names"].index(".__closure__")]]
    assert cells["names"] == ["<cell captured>"]
    assert records[cells["references"][0]]["names"] == [".cell_contents"]
    assert names_of("builtins.frame", "local-marker") == {"<local only_here>"}
    (plain,) = [r for r in records.values() if r["type"] == "__main__.Plain"]
    assert records[plain["references"][plain["names"].index(".__class__")]]["value"] == "Plain"

    meta = json.loads(pathlib.Path(f"{named_dump}.meta.json").read_text())
    assert list(meta)[:5] == ["pid", "python", "implementation", "time", "host"]
    if os.path.exists("/proc/self/stat"):
        assert meta["started"].count(":") == 1  # boot id and start tick: one process, whatever its pid
    assert meta["python"].startswith("%d.%d." % sys.version_info[:2])
    assert meta["time"].endswith("Z") and meta["implementation"] == sys.implementation.name


@pytest.mark.parametrize("kind", ["inline", "materialized"])
def test_c_level_fields_and_inline_attributes_are_named(named_dump: pathlib.Path, kind: str) -> None:
    # The dump that made no instance dict names as the one that made them, never otherwise.
    records = read_dump(named_dump.with_name(named_dump.name + ".inline") if kind == "inline" else named_dump)

    def holders(ids: set[int]) -> dict[tuple[str, str | None], set[int]]:
        found: dict[tuple[str, str | None], set[int]] = {}
        for record in records.values():
            references = record["references"]
            for ref, name in zip(references, record.get("names") or [None] * len(references)):
                if ref in ids:
                    found.setdefault((record["type"], name), set()).add(record["id"])
        return found

    def chain(value: str, *steps: tuple[str, str | None]) -> None:
        """From the objects of `value` up through holders of each (type, name); name None: any."""
        ids = {i for i, r in records.items() if r["value"] == value}
        for type_name, name in steps:
            found = holders(ids)
            ids = set().union(*(held for (t, n), held in found.items()
                                if t == type_name and name in (None, n)))
            assert ids, (value, type_name, name, found)

    chain("label-marker", ("__main__.Plain", ".label"))
    elsewhere = holders({i for i, r in records.items() if r["value"] == "elsewhere-marker"})
    assert {name for (t, name) in holders(set().union(*elsewhere.values())) if t == "__main__.Plain"} <= {
        None, ".elsewhere"}
    chain("cached-marker", ("builtins.list", None), ("builtins.dict", None),
          ("functools._lru_cache_wrapper", "<cache>"))
    chain("Service.lookup", ("functools._lru_cache_wrapper", ".__wrapped__"))
    chain("bounded-marker", ("builtins.list", None), ("functools._lru_cache_wrapper", "<cached result>"))
    chain("cycle-marker", ("builtins.list", None), ("builtins.list", "[0]"), ("itertools.cycle", "<saved>"))
    chain("tee-marker", ("builtins.list", None), ("itertools._tee_dataobject", "<buffered>"),
          ("itertools._tee", "<data>"))
    chain("b'view-marker'", ("builtins.managedbuffer", "<obj>"), ("builtins.memoryview", "<buffer>"))
    if importlib.util.find_spec("numpy") is not None:
        views = [r for r in records.values() if r["type"] == "numpy.ndarray" and r.get("names") == [".base"]]
        assert [records[r["references"][0]]["size"] > 8000 for r in views] == [True]


def test_names_are_skipped_by_the_import(named_dump: pathlib.Path, explorer: Any) -> None:
    from vesker_analysis import EstimatorPrecision

    lines = named_dump.read_bytes().splitlines()
    explorer.import_lines(lines, EstimatorPrecision.NoEstimates)
    (held,) = [json.loads(line) for line in lines if b'"value":"label-marker"' in line]
    (plain,) = explorer.get_objects_by_type("__main__.Plain", None)
    assert held["id"] in [summary.id for summary in explorer.get_object(plain.id).references]


INSTALLED = """
import os, signal, sys, time
import vesker.dumper

MARKER = ["installed-marker"]
vesker.dumper.install(signal.SIGUSR2, sys.argv[1], fork=sys.argv[2] == "fork")
for _ in range(2):
    os.kill(os.getpid(), signal.SIGUSR2)
    time.sleep(0.01)
directory = os.path.dirname(sys.argv[1])
deadline = time.monotonic() + 30
while len([n for n in os.listdir(directory) if n.endswith(".jsonl")]) < 2:
    assert time.monotonic() < deadline
    time.sleep(0.01)
"""


@pytest.mark.parametrize("mode", ["fork", "in-process"])
def test_install_dumps_on_a_signal_under_distinct_names(tmp_path: pathlib.Path, mode: str) -> None:
    script = tmp_path / "installed.py"
    script.write_text(INSTALLED)
    (tmp_path / "out").mkdir()
    completed = run_python(script, str(tmp_path / "out" / "heap.jsonl"), mode)
    assert completed.returncode == 0, completed.stderr
    names = sorted(os.listdir(tmp_path / "out"))
    dumps = [name for name in names if name.endswith(".jsonl")]
    assert len(dumps) == 2 and all(name.startswith("heap-") for name in dumps)
    assert names == sorted(dumps + [name + ".meta.json" for name in dumps])
    for name in dumps:
        assert b"installed-marker" in (tmp_path / "out" / name).read_bytes()


DIFFERENTIAL_SUBJECT = C_LEVEL_OBJECTS + """
import gc, sys
from vesker import dumper

class Node:
    __slots__ = ("name", "kids")
    def __init__(self, name):
        self.name = name
        self.kids = []

class Holder:
    def __init__(self):
        self.label = "holder-\\u00e9\\U0001f600\\ud800"
        self.items = [12345678901, 2.5, True, b"\\x00raw", "x" * 1000, 3 + 4j, 7 ** 5000, 2 ** 70,
                      'quote" back\\\\ nl\\n tab\\t bell\\x07 del\\x7f']

class Table(dict):
    pass

class Measured:
    def __sizeof__(self):
        return 77

HELD = (Holder(), Table(a=1, b=[2]), [Node(str(i)) for i in range(1000)], Measured())
gc.freeze()
AFTER_FREEZE = {"key": "value"}

def dump_both():
    only_in_this_frame = ["local-marker"]
    try:
        raise ValueError("kept with its traceback")
    except ValueError as error:
        global KEPT
        KEPT = error
    dumper.native_walker_available()  # imports it before the first dump
    dumper.dump_heap(sys.argv[1], names=True)
    gc.collect()  # what the first dump left for the collector
    dumper.dump_heap(sys.argv[2], native=True, names=True)

gc.disable()
dump_both()
"""


def _with_site_frames(path: pathlib.Path) -> dict[int, dict[str, Any]]:
    """The records, each site number replaced by the site's frames: the numbers follow the walk."""
    records: dict[int, dict[str, Any]] = {}
    frames: dict[int, Any] = {}
    # Split on newlines alone: values may hold other line separators.
    for line in path.read_text(encoding="utf-8").split("\n")[:-1]:
        record = json.loads(line)
        if "site_frames" in record:
            assert record["site"] not in frames, "a site's frames are written once"
            frames[record["site"]] = record.pop("site_frames")
        if "site" in record:
            record["site"] = frames[record["site"]]
        records[record["id"]] = record
    return records


@pytest.mark.skipif(not dumper.native_walker_available(), reason="native walker not built")
@pytest.mark.parametrize("tracing", [False, True], ids=["untraced", "traced"])
def test_native_walker_writes_what_the_python_dumper_writes(tmp_path: pathlib.Path, tracing: bool) -> None:
    # The same records with the same names: ids, references, sizes, values, names and sites.
    script = tmp_path / "subject.py"
    script.write_text(DIFFERENTIAL_SUBJECT)
    completed = run_python(script, str(tmp_path / "python.jsonl"), str(tmp_path / "native.jsonl"),
                           PYTHONTRACEMALLOC="1" if tracing else "")
    assert completed.returncode == 0, completed.stderr
    reference = (_with_site_frames if tracing else read_dump)(tmp_path / "python.jsonl")
    native = _with_site_frames(tmp_path / "native.jsonl")
    for record in native.values():
        assert record.pop("subtree_size") is None  # the record encoder's sixth key
    if tracing:
        sited = [r for r in native.values() if "site" in r]
        assert any(r["type"] == "__main__.Node" and r["site"][0][0] == str(script) for r in sited)
        assert len(sited) < len(native)  # what was made before tracing started has no site
    assert native.keys() == reference.keys()
    assert [r for i, r in native.items() if r != reference[i]] == []
    assert any(r["value"] == "holder-\u00e9\U0001f600?" for r in native.values())
    named = [name for r in native.values() for name in r.get("names", ())]
    assert {"['a']", "<key>", "[0]", ".kids", ".label", "<local only_in_this_frame>", "<cache>",
            ".__wrapped__", "<cached result>", "<saved>", "<buffered>", "<buffer>", "<obj>"} <= set(named)
    assert (".base" in named) == (importlib.util.find_spec("numpy") is not None)
