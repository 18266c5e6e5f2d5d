"""A small report service with a memory leak, the subject of `vesker demo`.

Every rendered report is remembered by `CACHE` under its request id and
never evicted, so the cache grows with every request.  One request asks for
a full export, whose payload is the largest single object in the heap.
"""

from __future__ import annotations

import hashlib


class Report:
    def __init__(self, request_id: int, rows: list[str], payload: bytes) -> None:
        self.request_id = request_id
        self.rows = rows
        self.payload = payload
        self.digest = hashlib.sha256(payload).hexdigest()


class ReportCache:
    """Keeps rendered reports so that repeated requests are fast.

    Request ids never repeat, so an entry is never used twice: the cache only
    keeps memory alive.
    """

    def __init__(self) -> None:
        self._reports: dict[int, Report] = {}

    def get(self, request_id: int) -> Report:
        report = self._reports.get(request_id)
        if report is None:
            report = render(request_id)
            self._reports[request_id] = report
        return report


EXPORT_REQUEST = 137
CACHE = ReportCache()


def render(request_id: int) -> Report:
    rows = [f"row {row} of report {request_id}" for row in range(40)]
    size = 2 * 1024 * 1024 if request_id == EXPORT_REQUEST else 16 * 1024
    payload = bytes(request_id % 251 for _ in range(256)) * (size // 256)
    return Report(request_id, rows, payload)


def serve(requests: int) -> int:
    total = 0
    for request_id in range(requests):
        total += len(CACHE.get(request_id).payload)
    return total


if __name__ == "__main__":
    served = serve(400)
    print(f"served {served / 1024 / 1024:.1f} MiB of reports")
