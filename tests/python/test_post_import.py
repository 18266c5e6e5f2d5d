"""The post-import step as other threads see it while it runs."""

import threading

from records import line
from vesker_analysis import EstimatorPrecision


def chain_with_fan_out(count):
    """A long chain whose every link also refers to a shared leaf: slow enough to watch."""
    lines = [line(0, size=1)]
    for i in range(1, count):
        lines.append(line(i, references=[i - 1, 0], size=2))
    return lines


def test_queries_see_the_imported_state_until_the_step_commits(explorer):
    count = 200_000
    lines = chain_with_fan_out(count)
    explorer.import_lines(lines[:10], EstimatorPrecision.NoEstimates)
    done = threading.Event()
    observed = []

    def watch():
        while not done.is_set():
            record = explorer.get_object(5)
            # One read transaction: the object and its references come from the same commit.
            sizes = [record.subtree_size] + [summary.subtree_size for summary in record.references]
            observed.append(sizes)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        explorer.import_lines(lines, EstimatorPrecision.Exact)
    finally:
        done.set()
        watcher.join()
    assert observed, "the watcher never ran while the import released the interpreter lock"
    for sizes in observed:
        assert sizes == [None, None, None] or sizes == [1 + 2 * 5, 1 + 2 * 4, 1], sizes
    assert explorer.get_object(count - 1).subtree_size == 1 + 2 * (count - 1)
