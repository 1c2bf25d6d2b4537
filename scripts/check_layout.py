#!/usr/bin/python3
"""Checks the shape of the source tree.

Prints the include graph between folders (how many includes run from each folder to each other
one) and fails when
  - an include runs from a lower layer up to a higher one, or between two formats;
  - the folders include each other in a cycle;
  - a source file is longer than the line limit.

The layers, from the bottom up, are the LAYERS table below; a folder may include its own layer
and any layer below it. Folders of one layer marked as peers (the file formats) never include
each other. Tests, benchmarks and fuzzers sit above everything.

Usage: scripts/check_layout.py [--max-lines N] [--quiet]
"""

import argparse
import os
import re
import sys
from collections import defaultdict

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# (rank, folder, peers): peers of one rank may not include one another.
LAYERS = [
    (0, "spreadsheet", False),  # the small headers at the bottom: result, utf8, read limits
    (1, "spreadsheet/text", False),
    (1, "spreadsheet/crypto", False),  # ciphers and keys of protected files, below every format
    (2, "spreadsheet/model", False),
    (3, "spreadsheet/carry", False),
    (4, "spreadsheet/xlsx", True),
    (4, "spreadsheet/xls", True),
    (4, "spreadsheet/csv", True),
    (4, "spreadsheet/html", True),
    (4, "spreadsheet/ods", True),
    (4, "spreadsheet/xml2003", True),
    (5, "spreadsheet/io", False),
    (6, "automation", False),
    (7, "engine", False),
    (8, "engine/jobs", False),
    (9, "engine/qt", False),
    (10, "app", False),
    (11, "cli", True),  # the window and the command line never include each other
    (11, "ui", True),
    (12, "app/main", False),  # the entry point: main.cpp alone
    (20, "tests", False),
    (20, "bench", False),
]
RANK = {folder: (rank, peers) for rank, folder, peers in LAYERS}

# Where the build looks for an include that is not beside the file including it.
INCLUDE_DIRS = ["", "automation", "engine", "engine/qt", "cli", "ui", "tests", "bench/common"]

SOURCE_EXT = (".cpp", ".h", ".py", ".sh")
SKIP_DIRS = {".git", "build", "build-asan", "build-fuzz", "data", "node_modules"}
INCLUDE_RE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    for dirpath, dirnames, filenames in os.walk(ROOT):
        dirnames[:] = [d for d in dirnames if d not in SKIP_DIRS and not d.startswith("build")]
        for name in filenames:
            if name.endswith(SOURCE_EXT):
                yield os.path.relpath(os.path.join(dirpath, name), ROOT)


def folder_of(path):
    """The layer a file belongs to: the deepest folder of LAYERS that holds it."""
    if path == "app/main.cpp":
        return "app/main"
    parts = os.path.dirname(path).split("/")
    while parts:
        candidate = "/".join(parts)
        if candidate in RANK:
            return candidate
        parts.pop()
    return None


def resolve(including, target):
    here = os.path.dirname(including)
    for base in [here] + INCLUDE_DIRS:
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None


def find_cycles(graph):
    """Strongly connected components of more than one folder."""
    index, low, on_stack, stack, out = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                out.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--max-lines", type=int, default=1200)
    parser.add_argument("--quiet", action="store_true", help="print only the faults")
    args = parser.parse_args()

    edges = defaultdict(int)
    upward, unplaced, long_files = [], [], []
    for path in sorted(sources()):
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        lines = text.count("\n")
        if lines > args.max_lines:
            long_files.append((path, lines))
        if not path.endswith((".cpp", ".h")):
            continue
        source_folder = folder_of(path)
        if source_folder is None:
            unplaced.append(path)
            continue
        for target in INCLUDE_RE.findall(text):
            resolved = resolve(path, target)
            if resolved is None:
                continue  # generated (ui_*.h, *.moc) or outside the tree
            target_folder = folder_of(resolved)
            if target_folder is None or target_folder == source_folder:
                continue
            edges[(source_folder, target_folder)] += 1
            (rank_from, peers_from), (rank_to, _) = RANK[source_folder], RANK[target_folder]
            if rank_to > rank_from or (rank_to == rank_from and peers_from):
                upward.append(f"{path}: {target} ({source_folder} -> {target_folder})")

    graph = defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
    cycles = find_cycles(graph)

    if not args.quiet:
        print("Includes between folders (from -> to: count), lowest layer first:")
        order = {folder: i for i, (_, folder, _) in enumerate(LAYERS)}
        for (a, b), n in sorted(edges.items(), key=lambda e: (order[e[0][0]], order[e[0][1]])):
            print(f"  {a} -> {b}: {n}")
    for path in unplaced:
        print(f"not in any layer: {path}")
    for line in upward:
        print(f"upward include: {line}")
    for cycle in cycles:
        print("include cycle between folders: " + ", ".join(cycle))
    for path, lines in long_files:
        print(f"too long: {path} has {lines} lines (at most {args.max_lines})")
    faults = len(unplaced) + len(upward) + len(cycles) + len(long_files)
    print(f"layout: {len(upward)} upward includes, {len(cycles)} cycles, "
          f"{len(long_files)} files over {args.max_lines} lines")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
