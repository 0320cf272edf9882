#!/usr/bin/env python3
"""Remakes letters.frq and letters.labels from Debian's English word list (package wamerican).

Items are the 26 letters a-z and a word boundary "_". The count at row r, column k is how often
item k follows item r inside a word, the boundary standing before the first letter and after the
last: "cab" adds _c, ca, ab, b_. Words are lowercased; words with any other character (an
apostrophe, an accented letter) are skipped.
"""
import string
import struct
import sys

items = list(string.ascii_lowercase) + ["_"]
index = {item: i for i, item in enumerate(items)}
words_path = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/dict/american-english"

n = len(items)
counts = [[0] * n for _ in range(n)]
try:
    words = open(words_path, encoding="utf-8")
except OSError as error:
    sys.exit(f"make-letters.py: {words_path}: {error.strerror} "
             "(install Debian's wamerican, or name another word list)")
with words:
    for line in words:
        word = line.strip().lower()
        if not word or any(c not in string.ascii_lowercase for c in word):
            continue
        chain = ["_"] + list(word) + ["_"]
        for before, after in zip(chain, chain[1:]):
            counts[index[before]][index[after]] += 1

with open("letters.frq", "wb") as out:
    out.write(struct.pack("<ii", n, n))  # columns, then rows
    for row in counts:
        out.write(struct.pack("<%di" % n, *row))
with open("letters.labels", "w", encoding="utf-8") as out:
    out.write("\n".join(items) + "\n")
