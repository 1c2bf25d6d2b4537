#!/usr/bin/python3
"""Gathers the files of the stress manifest into a cache folder outside the repository, from
local git snapshots of the listed repositories, and checks each against its SHA-256.

    tests/stress/gather.py SNAPSHOTS_DIR CACHE_DIR [--manifest tests/stress/manifest.tsv]

SNAPSHOTS_DIR holds one git repository per collection, named "owner+name" (the repository in
"owner+name/repo" or directly there), at the commit the manifest names or any later one that
still holds the file. A file lands at CACHE_DIR/owner+name/PATH. Files already in the cache with
the right checksum are kept. Prints how many were gathered and which could not be.
"""

import argparse
import csv
import hashlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read_manifest(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def cached_path(cache, row):
    return os.path.join(cache, row["repository"].replace("/", "+"), row["path"])


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("snapshots")
    parser.add_argument("cache")
    parser.add_argument("--manifest", default=os.path.join(HERE, "manifest.tsv"))
    args = parser.parse_args()

    gathered, kept, missing = 0, 0, []
    for row in read_manifest(args.manifest):
        dest = cached_path(args.cache, row)
        if os.path.isfile(dest) and sha256_of(dest) == row["sha256"]:
            kept += 1
            continue
        base = os.path.join(args.snapshots, row["repository"].replace("/", "+"))
        repo = os.path.join(base, "repo") if os.path.isdir(os.path.join(base, "repo")) else base
        data = None
        for rev in (row["commit"], "HEAD"):
            try:
                data = subprocess.run(["git", "-C", repo, "show", f"{rev}:{row['path']}"],
                                      check=True, capture_output=True).stdout
                break
            except (subprocess.CalledProcessError, FileNotFoundError):
                continue
        if data is None or hashlib.sha256(data).hexdigest() != row["sha256"]:
            missing.append(f"{row['repository']} {row['path']}")
            continue
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data)
        gathered += 1
    print(f"{gathered} gathered, {kept} already in the cache, {len(missing)} not to be had")
    for m in missing:
        print(f"  not to be had: {m}")
    return 0 if not missing else 1


if __name__ == "__main__":
    sys.exit(main())
