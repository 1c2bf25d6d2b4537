"""Every .xls of the corpus: our reader and python3-xlrd agree on sheets, values, merges and notes;
damaged and encrypted files are refused with a reason, never a crash."""
import html
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import unittest

import openpyxl
import xlrd

BUILD = os.environ.get("TW_BUILD_DIR", "build")
CORPUS = os.environ.get("TW_CORPUS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus"))
DUMP = os.path.join(BUILD, "tests", "xlsx_dump")


def dump(path):
    p = subprocess.run([DUMP, path], capture_output=True, timeout=60)
    if p.returncode not in (0, 1):
        raise AssertionError(f"{path}: dump crashed with status {p.returncode}: {p.stderr!r}")
    return json.loads(p.stdout.decode("utf-8"))


def xlrd_value(book, cell):
    if cell.ctype == xlrd.XL_CELL_TEXT:
        return ("s", cell.value)
    if cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
        return ("n", cell.value)
    if cell.ctype == xlrd.XL_CELL_BOOLEAN:
        return ("b", bool(cell.value))
    if cell.ctype == xlrd.XL_CELL_ERROR:
        return ("e", xlrd.error_text_from_code[cell.value])
    return None


def ours_value(kind, value):
    if kind == "empty":
        return None
    return (kind, value)


def same(a, b):
    if a is None or b is None:
        return a == b
    if a[0] == "n" and b[0] == "n":
        return math.isclose(a[1], b[1], rel_tol=1e-12, abs_tol=1e-300)
    return a == b


# Files xlrd cannot open (its BIFF5 STRING handling stops at this writer's records): the values
# the corpus recipe states.
EXPECTED = {
    "gnumeric_biff5_cp936.xls": {
        "sheets": ["省市数据", "说明"],
        "cells": {("省市数据", 1, 3): ("s", "人口（万）"), ("省市数据", 2, 5): ("s", "广东-广州"),
                  ("省市数据", 3, 5): ("s", "浙江-杭州"), ("省市数据", 4, 5): ("s", "北京-北京"),
                  ("省市数据", 5, 3): ("n", 5277.7)},
    },
}


def column_letters(c):
    s = ""
    while c > 0:
        c, d = divmod(c - 1, 26)
        s = chr(65 + d) + s
    return s


def note_text(xml):
    """The characters of a note's text markup."""
    parts = re.findall(r"<t(?: [^>]*)?>(.*?)</t>", xml, re.S)
    return html.unescape("".join(parts))


def compare_expected(testcase, path, ours):
    want = EXPECTED[os.path.basename(path)]
    testcase.assertEqual([s["name"] for s in ours["sheets"]], want["sheets"])
    sheets = {s["name"]: s for s in ours["sheets"]}
    for (sheet, r, c), v in want["cells"].items():
        got = [ours_value(k, val) for rr, cc, k, val, *_ in sheets[sheet]["cells"] if (rr, cc) == (r, c)]
        testcase.assertTrue(got and same(got[0], v), f"{path} {sheet} {(r, c)}: {got} != {v}")


def compare(testcase, path):
    ours = dump(path)
    testcase.assertNotIn("error", ours, path)
    if os.path.basename(path) in EXPECTED:
        compare_expected(testcase, path, ours)
        return
    book = xlrd.open_workbook(path, formatting_info=True, on_demand=False)
    sheets = {s["name"]: s for s in ours["sheets"]}
    testcase.assertEqual(bool(book.datemode), ours["date1904"], path)
    # Sheets xlrd passes over (chart and macro sheets) are not in ours either.
    testcase.assertEqual([s["name"] for s in ours["sheets"]], book.sheet_names(), path)
    for sh in book.sheets():
        testcase.assertIn(sh.name, sheets, f"{path}: sheet {sh.name}")
        mine = {}
        for r, c, kind, value, *_ in sheets[sh.name]["cells"]:
            v = ours_value(kind, value)
            # A formula with an empty-text result: xlrd reports an empty text cell.
            if v is not None:
                mine[(r, c)] = v
        theirs = {}
        for r in range(sh.nrows):
            for c in range(sh.ncols):
                v = xlrd_value(book, sh.cell(r, c))
                if v is not None:
                    theirs[(r + 1, c + 1)] = v
        for key in set(mine) | set(theirs):
            a, b = mine.get(key), theirs.get(key)
            if a == ("s", "") and b is None or b == ("s", "") and a is None:
                continue
            testcase.assertTrue(same(a, b), f"{path} {sh.name} {key}: ours {a} xlrd {b}")
        if book.biff_version >= 80:
            # Notes: cell, author and text (ours keeps the text as markup with escapes).
            notes = sorted((r + 1, c + 1, n.author, n.text) for (r, c), n in sh.cell_note_map.items())
            mine_notes = sorted((r, c, author, note_text(xml))
                                for r, c, author, xml in sheets[sh.name]["notes"])
            testcase.assertEqual(mine_notes, notes, f"{path} {sh.name}")
            want = sorted(
                f"{column_letters(c1 + 1)}{r1 + 1}:{column_letters(c2)}{r2}"
                if (r2 - r1, c2 - c1) != (1, 1) else f"{column_letters(c1 + 1)}{r1 + 1}"
                for r1, r2, c1, c2 in sh.merged_cells)
            testcase.assertEqual(sorted(sheets[sh.name]["merges"]), want, f"{path} {sh.name}")


class XlsCorpus(unittest.TestCase):
    def test_every_xls_matches_xlrd(self):
        folder = os.path.join(CORPUS, "xls")
        files = sorted(f for f in os.listdir(folder) if f.endswith(".xls"))
        self.assertGreater(len(files), 10)
        for name in files:
            with self.subTest(file=name):
                compare(self, os.path.join(folder, name))

    def test_hyperlinks_match_xlrd(self):
        """Hyperlinks of .xls sources arrive in the .xlsx we write: range, target, place and
        display text as xlrd reads them (a file target keeps its parent-folder count, which
        xlrd drops when the path is also stored as Unicode)."""
        folder = os.path.join(CORPUS, "xls")
        checked = 0
        with tempfile.TemporaryDirectory() as tmp:
            for name in sorted(f for f in os.listdir(folder) if f.endswith(".xls")):
                path = os.path.join(folder, name)
                try:
                    book = xlrd.open_workbook(path)
                except Exception:
                    continue
                if not any(sh.hyperlink_list for sh in book.sheets()):
                    continue
                out = os.path.join(tmp, name + ".xlsx")
                subprocess.run([DUMP, path, "--write", out], check=True, capture_output=True,
                               timeout=60)
                written = openpyxl.load_workbook(out)
                for sh in book.sheets():
                    theirs = sorted((r, c, h.url_or_path, h.textmark, h.desc)
                                    for h in sh.hyperlink_list
                                    for r in range(h.frowx, h.lrowx + 1)
                                    for c in range(h.fcolx, h.lcolx + 1))
                    ours = sorted((cell.row - 1, cell.column - 1, cell.hyperlink.target,
                                   cell.hyperlink.location, cell.hyperlink.display)
                                  for cell in written[sh.name]._cells.values() if cell.hyperlink)
                    self.assertEqual(len(ours), len(theirs), f"{name} {sh.name}")
                    for a, b in zip(ours, theirs):
                        where = f"{name} {sh.name} {a} {b}"
                        self.assertEqual((a[0], a[1], a[3], a[4]), (b[0], b[1], b[3], b[4]), where)
                        self.assertTrue(a[2] == b[2] or (a[2] or "").endswith("/" + (b[2] or "")),
                                        where)
                        checked += 1
        self.assertGreaterEqual(checked, 7)

    def test_broken_files_are_refused_or_agree_with_xlrd(self):
        folder = os.path.join(CORPUS, "broken")
        for name in sorted(f for f in os.listdir(folder) if f.endswith(".xls")):
            path = os.path.join(folder, name)
            with self.subTest(file=name):
                ours = dump(path)
                try:
                    xlrd.open_workbook(path)
                    readable = True
                except Exception:
                    readable = False
                if "error" in ours:
                    self.assertTrue(ours["error"].startswith("无法打开文件 " + path + "："))
                    if "encryption" in name or "protected" in name or "pwd" in name:
                        self.assertIn("加密", ours["error"])
                    else:
                        self.assertFalse(readable, f"{name}: xlrd reads what we refuse")
                elif readable:
                    compare(self, path)
                else:
                    # What xlrd cannot read and we can: a workbook protected with the default
                    # password (write protection only), text under an .xls name.
                    self.assertTrue(ours["sheets"], name)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
