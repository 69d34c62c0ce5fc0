"""Prints a digest line for every file below DIR: STORE, FORMAT and the
file's path, 0, the SHA-256 of its bytes.

MIME boundaries are random: each reads as one placeholder. Items of one name
are numbered in the order they are written, which varies from run to run:
a file is named without its number, and lines are sorted."""
import hashlib
import os
import re
import sys

store, fmt, top = sys.argv[1:4]
boundary = re.compile(rb"=-[A-Za-z0-9+/]{20}")
number = re.compile(r" \([0-9]+\)(\.[A-Za-z0-9]+)$")
lines = []
for root, _, files in os.walk(top):
    for name in files:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            data = boundary.sub(b"=-BOUNDARY", f.read())
        rel = number.sub(r"\1", os.path.relpath(path, top))
        lines.append(f"{store}\t{fmt} {rel}\t0\t{hashlib.sha256(data).hexdigest()}")
for line in sorted(lines):
    print(line)
