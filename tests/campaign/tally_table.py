#!/usr/bin/env python3
"""Prints the combinations a campaign reached as two Markdown tables, from its log(s):
phone and road events by the roads the phone had at the time, and host operations by the thread
or callback they came from (with those made while a phone or road event was under way).
Several logs are added up.  usage: tally_table.py campaign.log [more.log ...]"""
import re
import sys
from collections import defaultdict

ROADS = re.compile(r"^(net|bridge|usbmux|none|road)(\+(net|bridge|usbmux))*$")


def read(paths):
    counts = defaultdict(int)
    for path in paths:
        inside = False
        with open(path, errors="replace") as log:
            for line in log:
                if line.startswith("combinations reached"):
                    inside = True
                    continue
                match = re.match(r"^  (\S.*?)\s+(\d+)$", line) if inside else None
                if match:
                    counts[match.group(1)] += int(match.group(2))
                elif inside and line.strip() and not line.startswith("  "):
                    inside = False
    return counts


def table(title, rows, columns, cells):
    print(f"| {title} | " + " | ".join(columns) + " |")
    print("|---" * (len(columns) + 1) + "|")
    for row in rows:
        print(f"| {row} | " + " | ".join(str(cells.get((row, c), "")) for c in columns) + " |")
    print()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    events, operations = {}, {}
    for what, count in read(sys.argv[1:]).items():
        if "+" in what and "@" not in what and what.endswith("+fault"):
            operations[(what[: -len("+fault")], "while a fault ran")] = count
            continue
        name, _, where = what.partition("@")
        if ROADS.match(where):
            events[(name, where)] = events.get((name, where), 0) + count
        else:
            where = re.sub(r"^host thread \d+$", "host thread", where)
            operations[(name, where)] = operations.get((name, where), 0) + count
    for title, cells in (("event \\ roads", events), ("operation \\ from", operations)):
        rows = sorted({r for r, _ in cells})
        columns = sorted({c for _, c in cells})
        table(title, rows, columns, cells)


if __name__ == "__main__":
    main()
