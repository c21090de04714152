#!/usr/bin/env python3
"""Doxygen input filter: turns a header's leading "//" comment (what the component is for, with its
usage example) into the file's documentation, keeping every line where it was.

The comment lines become "///" lines, the indented example lines a code block, and "#pragma once"
below them closes the block with "\\file". A header without such a comment passes unchanged."""
import sys


def convert(lines):
    try:
        end = next(i for i, line in enumerate(lines) if line.strip() == "#pragma once")
    except StopIteration:
        return lines
    head = lines[:end]
    if not head or not all(line.startswith("//") for line in head):
        return lines
    out = []
    for line in head:
        text = line[2:].rstrip("\n")
        # Example lines are indented; Markdown wants code four columns deeper than the text.
        code = text.startswith("   ") and text.strip() != ""
        out.append("///" + ("   " + text if code else text) + "\n")
    out.append("/// \\file\n")
    return out + lines[end + 1:]


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.readlines()
    sys.stdout.write("".join(convert(lines)))


if __name__ == "__main__":
    main()
