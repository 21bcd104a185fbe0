#!/usr/bin/env python3
"""fleet_csv.py COLUMN...: reads vurfleet's --csv output on standard input
and prints, for each row, the named columns joined by " - " (so that a find
gives report lines again: `fleet_csv.py path version`)."""
import csv
import sys

rows = csv.DictReader(sys.stdin)
for row in rows:
    print(" - ".join(row[c] for c in sys.argv[1:]))
