#!/usr/bin/env python3
"""fleet_csv.py COLUMN...: reads vurfleet's --csv output on standard input
and prints, for each row, the named columns joined by " - " (so that a find
gives report lines again: `fleet_csv.py path version`)."""
import csv
import sys

if __name__ == "__main__":
    # It takes no options: --help prints the usage above; any other option is
    # refused with it, before anything is read or written.
    for arg in sys.argv[1:]:
        if arg in ("-h", "--help"):
            print(__doc__.strip())
            sys.exit(0)
        if arg.startswith("-") and arg != "-":
            print(f"{sys.argv[0]}: unknown option {arg}\n{__doc__.strip()}", file=sys.stderr)
            sys.exit(2)

rows = csv.DictReader(sys.stdin)
for row in rows:
    print(" - ".join(row[c] for c in sys.argv[1:]))
