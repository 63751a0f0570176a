#!/usr/bin/env python3
"""Writes the package's machine-readable copyright file on standard output.

    compose_copyright.py NAME=DEBIAN_COPYRIGHT_FILE...

The first paragraphs are the program's own (copyright.head beside this script). Each
library linked into the executable follows with the paragraphs of its Debian package's
own copyright file, as the build machine has it: its file paragraphs with their
patterns put under NAME/, leaving out the parts that never reach a binary (the Debian
packaging, scripts, tests and tools), then the stand-alone licence paragraphs that the
kept paragraphs name, each licence once.
"""
import re
import sys
from pathlib import Path

NOT_SHIPPED = re.compile(r"^(debian|scripts|tests|tools)/")


def paragraphs(text):
    return [p for p in re.split(r"\n[ \t]*\n", text.strip("\n")) if p.strip()]


def field(paragraph, name):
    """The first line's value of field `name`, or None."""
    m = re.search(r"^" + re.escape(name) + r":[ \t]*(.*)$", paragraph, re.M)
    return m.group(1).strip() if m else None


def file_patterns(paragraph):
    """The patterns of the Files field, which may run on over continuation lines."""
    lines = paragraph.split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("Files:"))
    values = [lines[start][len("Files:"):]]
    for line in lines[start + 1:]:
        if not line[:1].isspace():
            break
        values.append(line)
    return " ".join(values).split(), start, len(values)


def licence_names(expression):
    """The licence names of a License field's first line ("GPL-2+ or Expat")."""
    return [n for n in re.split(r"\s+(?:or|and)\s+|[,()]\s*", expression) if n and n not in ("or", "and")]


def main(args):
    head = (Path(__file__).with_name("copyright.head")).read_text(encoding="utf-8")
    out = paragraphs(head)
    licences = {}
    needed = []
    for paragraph in out:
        if field(paragraph, "Files") is not None:
            needed += licence_names(field(paragraph, "License"))
        elif field(paragraph, "License") is not None:
            licences[field(paragraph, "License")] = paragraph
    for arg in args:
        name, _, path = arg.partition("=")
        if not name or not path:
            sys.exit("compose_copyright.py: give NAME=FILE, not " + arg)
        for paragraph in paragraphs(Path(path).read_text(encoding="utf-8"))[1:]:
            if field(paragraph, "Files") is None:
                licences.setdefault(field(paragraph, "License"), paragraph)
                continue
            patterns, start, count = file_patterns(paragraph)
            patterns = [p for p in patterns if not NOT_SHIPPED.match(p)]
            if not patterns:
                continue
            lines = paragraph.split("\n")
            lines[start:start + count] = ["Files: " + "\n       ".join(name + "/" + p for p in patterns)]
            out.append("\n".join(lines))
            needed += licence_names(field(paragraph, "License"))
    written = set()
    for name in needed:
        if name in written or name not in licences:
            continue  # a licence whose text is in its file paragraph
        out.append(licences[name])
        written.add(name)
    sys.stdout.write("\n\n".join(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
