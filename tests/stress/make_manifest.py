#!/usr/bin/python3
"""Writes the manifest of the stress run: every .xlsx, .xlsm, .xls, .ods, .et, .htm/.html file
and every 2003 XML spreadsheet (.xml) of the public test collections below, with its repository, commit, path, licence, size and SHA-256, from local git
snapshots of those repositories.

    tests/stress/make_manifest.py SNAPSHOTS_DIR > tests/stress/manifest.tsv

SNAPSHOTS_DIR holds one bare or normal git repository per collection, named "owner+name"
(with the repository itself in "owner+name/repo" or directly in "owner+name"). Only the files
under each collection's test folders are listed.
"""

import hashlib
import os
import subprocess
import sys

# repository, licence (SPDX), the folders whose files are listed
COLLECTIONS = [
    ("apache/poi", "Apache-2.0", ["test-data/spreadsheet/"]),
    ("jmcnamara/XlsxWriter", "BSD-2-Clause", ["xlsxwriter/test/comparison/xlsx_files/"]),
    ("SheetJS/test_files", "Apache-2.0", [""]),
    ("tafia/calamine", "MIT", ["tests/"]),
    ("exceljs/exceljs", "MIT", ["spec/", "test/"]),
    ("python-excel/xlrd", "BSD-3-Clause", ["tests/"]),
]
EXTENSIONS = (".xlsx", ".xlsm", ".xls", ".ods", ".et", ".htm", ".html", ".xml")
# Of the .xml files only the spreadsheets: the collections also hold schemas and build files.
XML_SPREADSHEET = b"urn:schemas-microsoft-com:office:spreadsheet"


def git(repo, *args, binary=False):
    out = subprocess.run(["git", "-C", repo, *args], check=True, capture_output=True)
    return out.stdout if binary else out.stdout.decode()


def main():
    root = sys.argv[1]
    print("repository\tcommit\tpath\tlicence\tbytes\tsha256")
    for name, licence, folders in COLLECTIONS:
        base = os.path.join(root, name.replace("/", "+"))
        repo = os.path.join(base, "repo") if os.path.isdir(os.path.join(base, "repo")) else base
        if not os.path.isdir(repo):
            print(f"missing snapshot: {name}", file=sys.stderr)
            continue
        commit = git(repo, "rev-parse", "HEAD").strip()
        for line in git(repo, "ls-tree", "-r", "-l", "HEAD").splitlines():
            meta, path = line.split("\t", 1)
            if not path.lower().endswith(EXTENSIONS):
                continue
            if not any(path.startswith(f) for f in folders):
                continue
            _, kind, blob, _size = meta.split()
            if kind != "blob":
                continue
            try:
                data = git(repo, "cat-file", "blob", blob, binary=True)
            except subprocess.CalledProcessError:
                print(f"absent from the snapshot: {name} {path}", file=sys.stderr)
                continue
            if data.startswith(b"version https://git-lfs"):
                continue  # a pointer, not the file
            if path.lower().endswith(".xml") and XML_SPREADSHEET not in data[:4096]:
                continue
            digest = hashlib.sha256(data).hexdigest()
            print(f"{name}\t{commit}\t{path}\t{licence}\t{len(data)}\t{digest}")


if __name__ == "__main__":
    main()
