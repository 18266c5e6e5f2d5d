#!/usr/bin/env python3
"""Writes the inputs of the record vectors as a seed corpus, one file per case.

Usage: make_record_seed_corpus.py VECTORS.jsonl OUTPUT_DIR
"""
import base64
import json
import pathlib
import sys


def main() -> None:
    vectors, output = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    output.mkdir(parents=True, exist_ok=True)
    with vectors.open(encoding="utf-8") as lines:
        for line in lines:
            case = json.loads(line)
            (output / case["name"]).write_bytes(base64.b64decode(case["input_b64"]))


if __name__ == "__main__":
    main()
