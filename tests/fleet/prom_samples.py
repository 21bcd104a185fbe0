#!/usr/bin/env python3
"""prom_samples.py FILE METRIC LABEL...: reads a file of the text format
metrics collectors read and prints, for each sample of METRIC, the values of
the named labels, unescaped, then the sample's value, joined by " - " (as
fleet_csv.py prints a command's columns). A line that is not a comment, not
blank and not a sample exits 1 naming it."""
import re
import sys

SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(,|$)')
ESCAPE = {"\\": "\\", '"': '"', "n": "\n"}


def labels(text):
    out, pos = {}, 0
    while pos < len(text):
        m = LABEL.match(text, pos)
        if not m:
            raise ValueError(text)
        out[m.group(1)] = re.sub(r"\\(.)", lambda e: ESCAPE[e.group(1)], m.group(2))
        pos = m.end()
    return out


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        if arg in ("-h", "--help"):
            print(__doc__.strip())
            sys.exit(0)
        if arg.startswith("-"):
            print(f"{sys.argv[0]}: unknown option {arg}\n{__doc__.strip()}", file=sys.stderr)
            sys.exit(2)
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    with open(sys.argv[1], encoding="utf-8") as f:
        for line in f.read().split("\n"):
            if not line or line.startswith("#"):
                continue
            m = SAMPLE.match(line)
            try:
                found = labels(m.group(2) or "") if m else None
            except ValueError:
                found = None
            if found is None:
                print(f"not a sample: {line!r}", file=sys.stderr)
                sys.exit(1)
            if m.group(1) == sys.argv[2]:
                print(" - ".join([found.get(n, "") for n in sys.argv[3:]] + [m.group(3)]))
