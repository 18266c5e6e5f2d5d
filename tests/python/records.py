"""Small helpers that write dump lines for the tests."""

import json


def line(id, type="T", references=(), size=8, **fields):
    """One dump line as bytes, the fields in the dump's order."""
    record = {"id": id, "type": type, "references": list(references), **fields, "size": size}
    return json.dumps(record, separators=(",", ":")).encode() + b"\n"
