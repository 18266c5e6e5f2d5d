"""The exception classes of the native modules, one per kind of failure.

Each derives from what the modules raised before the kinds were told apart (RuntimeError; for a
cancelled query Exception), so a caller catching that still catches it; `PanicException` derives
from BaseException. Callers tell failures apart by these classes, never by the message.
"""

from __future__ import annotations

from vesker.engine import (
    BadRecordError,
    Cancelled,
    DamagedStoreError,
    NotComputedError,
    NotFoundError,
    PanicException,
    RejectedKeyError,
    StoreBusyError,
    StoreFullError,
)

__all__ = [
    "BadRecordError",
    "Cancelled",
    "DamagedStoreError",
    "NotComputedError",
    "NotFoundError",
    "PanicException",
    "RejectedKeyError",
    "StoreBusyError",
    "StoreFullError",
]
