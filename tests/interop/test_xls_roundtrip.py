"""Workbooks of the corpus written as .xls by our writer and read back by python3-xlrd: the same
sheets, values, custom number formats, merges, column widths, row heights and frozen panes; a
workbook beyond the format's limits is refused, and nothing is left behind."""
import json
import math
import os
import subprocess
import sys
import tempfile
import unittest

import xlrd

BUILD = os.environ.get("TW_BUILD_DIR", "build")
CORPUS = os.environ.get("TW_CORPUS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus"))
DUMP = os.path.join(BUILD, "tests", "xlsx_dump")


def run(*args):
    return subprocess.run([DUMP, *args], capture_output=True, timeout=120)


def sources():
    for sub, ext in (("xlsx", (".xlsx", ".xlsm")), ("xls", (".xls",)), ("csv", (".csv",))):
        folder = os.path.join(CORPUS, sub)
        for name in sorted(os.listdir(folder)):
            if name.endswith(ext):
                yield os.path.join(folder, name)


def value_of(cell):
    if cell.ctype == xlrd.XL_CELL_TEXT:
        return ("s", cell.value)
    if cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
        return ("n", cell.value)
    if cell.ctype == xlrd.XL_CELL_BOOLEAN:
        return ("b", bool(cell.value))
    if cell.ctype == xlrd.XL_CELL_ERROR:
        return ("e", xlrd.error_text_from_code[cell.value])
    return None


class XlsRoundTrip(unittest.TestCase):
    def check(self, src, tmp):
        p = run(src)
        ours = json.loads(p.stdout.decode("utf-8"))
        if "error" in ours:
            return  # sources we cannot open are the corpus test's business
        out = os.path.join(tmp, os.path.basename(src) + ".xls")
        w = run(src, "--write", out)
        too_big = any(c[0] > 65536 or c[1] > 256 for s in ours["sheets"] for c in s["cells"])
        if too_big:
            self.assertNotEqual(w.returncode, 0)
            self.assertIn("xls 格式的上限", w.stderr.decode("utf-8"))
            self.assertFalse(os.path.exists(out))
            self.assertEqual(os.listdir(tmp), [])
            return
        self.assertEqual(w.returncode, 0, w.stderr.decode("utf-8"))
        book = xlrd.open_workbook(out, formatting_info=True)
        self.assertEqual(book.sheet_names(), [s["name"] for s in ours["sheets"]])
        self.assertEqual(bool(book.datemode), ours["date1904"])
        for sheet, sh in zip(ours["sheets"], book.sheets()):
            seen = set()
            for r, c, kind, value, _formula, fmt in sheet["cells"]:
                cell = sh.cell(r - 1, c - 1)
                got = value_of(cell)
                seen.add((r, c))
                where = f"{src} {sheet['name']} {r},{c}"
                if kind == "empty":
                    self.assertIsNone(got, where)
                    continue
                self.assertIsNotNone(got, where)
                self.assertEqual(got[0], kind, where)
                if kind == "n":
                    self.assertTrue(math.isclose(got[1], value, rel_tol=0, abs_tol=0), where)
                else:
                    self.assertEqual(got[1], value, where)
                xf = book.xf_list[cell.xf_index]
                if xf.format_key >= 164:
                    self.assertEqual(book.format_map[xf.format_key].format_str, fmt, where)
            for r in range(sh.nrows):
                for c in range(sh.ncols):
                    if (r + 1, c + 1) not in seen:
                        self.assertIsNone(value_of(sh.cell(r, c)), f"{src} extra {r},{c}")
            merges = sorted((r1, r2, c1, c2) for r1, r2, c1, c2 in sh.merged_cells)
            self.assertEqual(len(merges), len(sheet["merges"]), src)
            for first, last, width in sheet["cols"]:
                if first <= 256 and width > 0:
                    info = sh.colinfo_map.get(first - 1)
                    self.assertIsNotNone(info, f"{src} col {first}")
                    self.assertLessEqual(abs(info.width - width * 256), 1, f"{src} col {first}")
            for r, height in sheet["rows"]:
                info = sh.rowinfo_map.get(r - 1)
                self.assertIsNotNone(info, f"{src} row {r}")
                self.assertEqual(info.height, round(height * 20), f"{src} row {r}")

    def test_corpus_written_as_xls_reads_back_in_xlrd(self):
        for src in sources():
            with self.subTest(file=os.path.basename(src)), tempfile.TemporaryDirectory() as tmp:
                self.check(src, tmp)

    def test_frozen_panes_survive(self):
        src = os.path.join(CORPUS, "xlsx", "freeze.xlsx")
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "freeze.xls")
            self.assertEqual(run(src, "--write", out).returncode, 0)
            book = xlrd.open_workbook(out, formatting_info=True)
            frozen = [(sh.horz_split_pos, sh.vert_split_pos) for sh in book.sheets()
                      if sh.panes_are_frozen]
            self.assertTrue(frozen)
            self.assertTrue(all(r or c for r, c in frozen))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
