#!/usr/bin/env python3
"""Reads a CSV file with Python's csv module and prints every record, one per
line, each field as the hex of its UTF-8 bytes, fields separated by a blank.
Fails (exit 1) when the file is not valid CSV under strict parsing or a
record does not end with CR LF."""
import csv
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    data = f.read()
if not data.endswith("\r\n"):
    sys.exit(1)
try:
    records = list(csv.reader(data.splitlines(keepends=True), strict=True))
except csv.Error:
    sys.exit(1)
for record in records:
    print(" ".join(field.encode("utf-8").hex() or "-" for field in record))
