#!/usr/bin/env python3
"""Writes SOURCE to DEST with TEXT replaced by REPLACEMENT, for the checks that plant a fault or a
mistake in a copy of the code to show that they catch it. "\\n" in TEXT and REPLACEMENT stands
for a line break. Fails, writing nothing, unless TEXT is in SOURCE exactly once: a planted change
that no longer matches the code must not pass as caught.

Usage: replace_once.py SOURCE DEST TEXT REPLACEMENT"""

import sys


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.rsplit("\n", 1)[-1])
    source, dest = sys.argv[1], sys.argv[2]
    text, replacement = (argument.replace("\\n", "\n") for argument in sys.argv[3:])
    code = open(source).read()
    found = code.count(text)
    if found != 1:
        sys.exit(f"{source}: the text to replace is there {found} times, not once: {text}")
    open(dest, "w").write(code.replace(text, replacement))


if __name__ == "__main__":
    main()
