"""The Python API (`vesker.open`) against the command line's answers, its results in a notebook
(HTML and pandas), and `%vesker_dump` in a real IPython kernel."""

from __future__ import annotations

import json
import sys

import pytest

import vesker
from vesker.results import Table
from test_cli import json_of, vesker_command
from test_cli_retained import RECORDS


def _store(tmp_path, name, records):
    dump = tmp_path / f"{name}.jsonl"
    dump.write_text("".join(json.dumps(r) + "\n" for r in records))
    store = str(tmp_path / name)
    imported = vesker_command("import", str(dump), store, "-q")
    assert imported.returncode == 0, imported.stderr
    return store


@pytest.fixture
def stores(tmp_path):
    # The baseline lacks the payload and the second Order.
    old = _store(tmp_path, "old", [r for r in RECORDS if r["id"] not in (5, 7)])
    return old, _store(tmp_path, "new", RECORDS)


def test_the_heap_answers_as_the_command_line_does(stores):
    old, new = stores
    with vesker.open(new) as heap, vesker.open(old) as baseline:
        assert [(t.type, t.count, t.total_size, t.retained) for t in heap.types()] == [
            (t["type"], t["count"], t["total_size"], t["retained"]) for t in json_of("types", new)["types"]]
        assert [(o.id, o.retained, o.label) for o in heap.top()] == [
            (o["id"], o["retained"], o["label"]) for o in json_of("top", new, "--limit", "0")["objects"]]
        assert [(o.id, o.subtree_size) for o in heap.top("builtins.dict", by="subtree")] == [
            (o["id"], o["subtree_size"]) for o in json_of("top", new, "-t", "builtins.dict", "--by", "subtree")["objects"]]
        shown, cli = heap.show(2), json_of("show", new, "2", "--sort", "subtree")
        assert (shown.object.retained, shown.object.label) == (cli["retained"], cli["label"])
        for direction in ("references", "referrers"):
            assert [(r.id, r.name, r.retained) for r in getattr(shown, direction)] == [
                (r["id"], r["name"], r["retained"]) for r in cli[direction]]
        why, cli = heap.why(5), json_of("why", new, "5")
        assert why.chain == cli["chain"]
        assert [(r.id, r.name) for r in why.path] == [(r["id"], r["name"]) for r in cli["path"]]
        assert [r.id for r in why.dominators] == [r["id"] for r in cli["dominators"]]
        assert [(r.id, r.count, r.retained) for r in heap.tree()] == [
            (r["id"], r["count"], r["retained"]) for r in json_of("tree", new)["children"]]
        path = heap.path(1, 5, avoid=[7])
        assert path.found and [(r.id, r.name) for r in path] == [
            (r["id"], r["name"]) for r in json_of("path", new, "1", "5", "--avoid", "7")]
        assert not heap.path(5, 1).found
        assert heap.common(3, 4).id == json_of("common", new, "3", "4")["id"]
        assert [(s.id, s.retained) for s in heap.suspects()] == [
            (s["id"], s["retained"]) for s in json_of("suspects", new)["suspects"]]
        diff, cli = heap.diff(baseline), json_of("diff", old, new, "--all-types", "--limit", "0")
        assert {(r.type, r.new_count - r.old_count) for r in diff.types} == {
            (r["type"], r["new"]["count"] - r["old"]["count"]) for r in cli["types"]}
        with pytest.raises(vesker.store.UserError, match="no object with id 99"):
            heap.show(99)


def test_every_result_shows_in_a_notebook_and_converts_to_pandas(stores):
    pandas = pytest.importorskip("pandas")
    old, new = stores
    with vesker.open(new) as heap, vesker.open(old) as baseline:
        results = [heap.types(), heap.top(), heap.show(2), heap.why(5), heap.path(1, 5), heap.tree(),
                   heap.suspects(), heap.waste(), heap.diff(baseline), heap.overview()]
        for result in results:
            page = result._repr_html_()
            assert page.startswith("<p><b>") and "<table>" in page, type(result)
            frame = result.to_pandas()
            assert isinstance(frame, pandas.DataFrame)
            if isinstance(result, Table):
                assert list(frame.columns) == list(result.columns) and len(frame) == len(result)
        assert "&lt;" not in heap.top()._repr_html_()  # cells are escaped text, not markup
        assert heap.types().to_pandas().set_index("type").loc["app.Order", "retained"] == 5098


def test_a_table_reads_only_the_pages_it_shows():
    asked = []

    def fetch(offset, limit):
        asked.append(offset)
        return [(n,) for n in range(offset, min(offset + limit, 10))]

    table = Table("numbers", tuple, 10, fetch, page_rows=3)
    assert table[4] == (4,) and asked == [3]
    assert table[2:7] == [(n,) for n in range(2, 7)] and asked == [3, 0, 6]
    assert list(table) == [(n,) for n in range(10)] and table[-1] == (9,)
    with pytest.raises(IndexError):
        table[10]


def test_the_magic_dumps_the_running_kernel(tmp_path, monkeypatch):
    manager = pytest.importorskip("jupyter_client.manager")
    pytest.importorskip("ipykernel")
    # A kernel of this interpreter: a machine's own "python3" kernel may run another one.
    spec = tmp_path / "kernels" / "vesker-test"
    spec.mkdir(parents=True)
    (spec / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "vesker test", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    kernel, client = manager.start_new_kernel(kernel_name="vesker-test")
    try:
        code = ("%load_ext vesker\n"
                "class KernelLeak: pass\n"
                "kept = [KernelLeak() for _ in range(300)]\n"
                f"heap = %vesker_dump {tmp_path / 'dump'}\n"
                "heap")
        outputs: list = []
        reply = client.execute_interactive(code, timeout=240, output_hook=outputs.append)
        assert reply["content"]["status"] == "ok", reply["content"]
        shown = [m["content"]["data"] for m in outputs if m["msg_type"] == "execute_result"]
        assert shown and "text/html" in shown[0] and "objects" in shown[0]["text/html"]
        check = ("print([t.count for t in heap.types() if t.type == '__main__.KernelLeak'], "
                 "heap.retained_fresh)")
        printed = []
        client.execute_interactive(check, timeout=60, output_hook=printed.append)
        text = "".join(m["content"].get("text", "") for m in printed if m["msg_type"] == "stream")
        assert text.strip() == "[300] True"
    finally:
        client.stop_channels()
        kernel.shutdown_kernel(now=True)
