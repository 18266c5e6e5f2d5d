"""Heap dumps of Python processes and the tools to explore them.

The dumper (`vesker.dumper.dump_heap`) is pure Python; the queries run on the
`vesker_analysis` extension module.
"""

from vesker.dumper import DumpStats, dump_heap

__all__ = ["DumpStats", "dump_heap"]
