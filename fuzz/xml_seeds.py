#!/usr/bin/env python3
"""Writes seed documents for the XML fuzz targets into a corpus folder: nesting just below, at and
just above the reader's limit of 1000 levels, behind markup that a nesting check must skip exactly as
the parser does. Usage: xml_seeds.py CORPUS_DIR [TARGET_NAME]"""
import os
import sys

LIMIT = 1000
PREFIXES = [
    "", "<?></x>?>", "<?xml version='1.0'?>", "<!-- <a> -->", "<![CDATA[</x>]]>",
    "<!DOCTYPE r [<!ENTITY e \"]>\"> [<x>] ]>", "<r a='>' b=\"/>\" c='</r>'/>",
    "<r>&lt;&#60;&#x3C;&amp;</r>", "<!x>", "<?pi ?>",
]


def nested(depth, open_tag="<a>", close_tag="</a>", inner=""):
    return open_tag * depth + inner + close_tag * depth


def documents():
    for depth in (LIMIT - 1, LIMIT, LIMIT + 1):
        for prefix in PREFIXES:
            yield prefix + nested(depth)
        yield nested(depth, inner="<e/>")
        yield nested(depth, "<b k='v'>", "</b>", "text &amp; more")
        yield nested(depth, "<c><!--x-->", "</c>")
        yield nested(depth, close_tag="")
    yield nested(LIMIT // 2, "<a><b/>", "</a>")


def deep_target_inputs():
    # For the wrapping target: a kind byte, a two-byte depth, then the innermost content.
    for kind in range(6):
        for depth in (LIMIT - 1, LIMIT, LIMIT + 1):
            for inner in ("", "<x/>", "<x>t</x>", "<?>", "<!-- -->"):
                yield bytes([kind, depth & 0xFF, depth >> 8]) + inner.encode()


def main():
    corpus = sys.argv[1]
    target = sys.argv[2] if len(sys.argv) > 2 else ""
    os.makedirs(corpus, exist_ok=True)
    seeds = list(deep_target_inputs()) if "deep" in target else [d.encode() for d in documents()]
    for i, seed in enumerate(seeds):
        with open(os.path.join(corpus, "seed-%03d" % i), "wb") as f:
            f.write(seed)


if __name__ == "__main__":
    main()
