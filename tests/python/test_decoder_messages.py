"""The quoting of text in the decoder's messages follows the table in tests/data."""

import json
import pathlib

import pytest

from vesker_analysis import EstimatorPrecision

TABLE = json.loads((pathlib.Path(__file__).parents[1] / "data" / "json-string-quote-escapes.json").read_text())


def quoted(text):
    short = dict(TABLE["short_escapes"])
    ranges = TABLE["unicode_escaped_ranges"]
    out = []
    for character in text:
        code = ord(character)
        if code in short:
            out.append(short[code])
        elif any(first <= code <= last for first, last in ranges):
            out.append("\\u{%x}" % code)
        else:
            out.append(character)
    return '"' + "".join(out) + '"'


def test_strings_in_messages_are_quoted_as_the_table_says(explorer):
    # Both ends of every escaped range, the code point after it, and every short escape.
    codes = {code for code, _ in TABLE["short_escapes"]}
    for first, last in TABLE["unicode_escaped_ranges"]:
        codes.update((first, last, last + 1))
    text = "".join(chr(code) for code in sorted(codes) if code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF)
    record = '{"id":1,"type":"T","references":[],"size":' + json.dumps(text) + "}"
    with pytest.raises(RuntimeError) as error:
        explorer.import_lines([record.encode()], EstimatorPrecision.Exact)
    message = str(error.value)
    assert message.startswith("invalid type: string " + quoted(text) + ", expected u64 at line 1 column ")
