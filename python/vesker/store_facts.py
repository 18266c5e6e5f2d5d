"""Facts kept beside a store in its metadata: how it was built, and what its dumps lacked.

The explorer's store has no room for them; the engine module keeps text metadata in the same
environment, which an explorer in this process shares.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

from vesker.dump_memory import ProcessMemory, dumped_process_memory

if TYPE_CHECKING:
    from vesker.engine import Store

PRECISION = "precision"
REPEATED_IDS = "repeated_ids"
DANGLING_REFERENCES = "dangling_references"


def engine_store(path: str) -> Store:
    from vesker.store import UserError

    try:
        from vesker import engine
    except ImportError as error:
        raise UserError(f"the vesker.engine module is not installed ({error})") from None
    try:
        return engine.Store(path)
    except RuntimeError as error:
        raise UserError(f"cannot open store {path!r}: {error}") from None


@dataclass(frozen=True)
class StoreFacts:
    precision: str  # a precision name, or "unknown" for stores imported before it was recorded
    repeated_ids: int  # records replaced by a later record with the same id
    dangling_references: int  # references to ids without a record
    memory: ProcessMemory | None = None  # the dumped process's, when every dump's sidecar gave it


def _count(metadata: dict[str, str], key: str) -> int:
    text = metadata.get(key, "0")
    return int(text) if text.isdigit() else 0


def read_facts(store: Store) -> StoreFacts:
    metadata = store.metadata()
    return StoreFacts(
        metadata.get(PRECISION, "unknown"),
        _count(metadata, REPEATED_IDS),
        _count(metadata, DANGLING_REFERENCES),
        dumped_process_memory(metadata),
    )


def incomplete_dump_note(dangling_references: int) -> str:
    """What a store whose dump was incomplete lacks, in words."""
    plural = "" if dangling_references == 1 else "s"
    return (f"the dump was incomplete: {dangling_references:,} reference{plural} to ids without a record "
            "(objects the dumper did not write); 'show' marks them, and sizes leave out what those would hold")


@dataclass(frozen=True)
class ImportCheck:
    repeated_ids: int
    dangling_references: int


def record_with_import(store: Store, precision: str, dump_path: str) -> None:
    """Has the next import into the store write how it was built, where its dump came from and the
    references its records leave dangling, in the transaction that commits what they describe:
    a store never holds results without the facts about them."""
    from vesker.dump_identity import DUMPS_KEY, identities_with

    # The post-import step recomputes every subtree size of the store, earlier imports' too.
    store.record_with_next_import(
        {PRECISION: precision, DUMPS_KEY: identities_with(store.metadata(), dump_path)},
        dangling_references_key=DANGLING_REFERENCES,
    )


def record_import(store: Store, records_before: int, lines: int) -> ImportCheck:
    """Counts what the imported dump lacked.

    Every line of the import is one record; a line whose id the store held already replaces
    that record, so the records that did not add to the store are the repeated ids."""
    records = store.object_count()
    before = read_facts(store)
    repeated = lines - (records - records_before)
    store.set_metadata(REPEATED_IDS, str(before.repeated_ids + repeated))
    return ImportCheck(repeated, before.dangling_references)
