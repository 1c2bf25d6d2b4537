"""Split outputs read by an independent reader (openpyxl): rows, header formats and sheet order
of the three split jobs.

Sources are written with openpyxl (bold filled header, number formats, Chinese text); each job
runs once through the split runner of the build.
"""
import os
import subprocess
import tempfile
import unittest

import openpyxl
from openpyxl.styles import Font, PatternFill

BUILD = os.environ.get("TW_BUILD_DIR", "")
RUNNER = os.path.join(BUILD, "bench", "split_bench")

ROWS = [
    (1, "北京", 1234.5),
    (2, "上海", 20.25),
    (3, "北京", 300.0),
    (4, "广州", 4.75),
    (5, "上海", 5000.0),
]


def write_source(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "数据"
    for col, name in enumerate(["编号", "城市", "金额"], start=1):
        c = ws.cell(row=1, column=col, value=name)
        c.font = Font(bold=True, color="FFFFFFFF")
        c.fill = PatternFill("solid", fgColor="FF1F4E78")
    for r, row in enumerate(ROWS, start=2):
        for col, v in enumerate(row, start=1):
            ws.cell(row=r, column=col, value=v)
        ws.cell(row=r, column=3).number_format = "#,##0.00"
    wb.create_sheet("空表")
    extra = wb.create_sheet("备注")
    extra["B2"] = "只有一个值"
    wb.save(path)


def run(*args):
    done = subprocess.run([RUNNER, "run", *args], capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError("runner failed: %s" % done.stderr)
    return done.stderr.strip().splitlines()[-1]


def values(ws):
    return [tuple(c.value for c in row) for row in ws.iter_rows()]


@unittest.skipUnless(os.path.exists(RUNNER), "split runner not built")
class SplitOutputs(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.source = os.path.join(self.dir, "源.xlsx")
        write_source(self.source)
        self.out = os.path.join(self.dir, "out")
        os.makedirs(self.out)

    def tearDown(self):
        self.tmp.cleanup()

    def assertHeaderKept(self, ws):
        self.assertEqual([c.value for c in ws[1]], ["编号", "城市", "金额"])
        self.assertTrue(ws["A1"].font.bold)
        self.assertEqual(ws["A1"].fill.fgColor.rgb, "FF1F4E78")

    def test_classification_one_workbook_per_value(self):
        last = run("column", self.source, self.out, "2", "--full-match", "--filter")
        self.assertEqual(last, "成功拆分出3个excel文件!")
        self.assertEqual(sorted(os.listdir(self.out)), ["上海.xlsx", "北京.xlsx", "广州.xlsx"])
        ws = openpyxl.load_workbook(os.path.join(self.out, "北京.xlsx")).active
        self.assertHeaderKept(ws)
        self.assertEqual(values(ws)[1:], [r for r in ROWS if r[1] == "北京"])
        self.assertEqual(ws["C2"].number_format, "#,##0.00")

    def test_classification_into_one_workbook_lists_last_value_first(self):
        run("column", self.source, self.out, "2", "--values", "北京|上海|广州", "--one-workbook")
        wb = openpyxl.load_workbook(os.path.join(self.out, "拆分后.xlsx"))
        self.assertEqual(wb.sheetnames, ["广州", "上海", "北京"])
        for ws in wb.worksheets:
            self.assertHeaderKept(ws)
            self.assertEqual(values(ws)[1:], [r for r in ROWS if r[1] == ws.title])

    def test_even_split_repeats_the_header(self):
        last = run("rows", self.source, self.out, "2", "--header", "1")
        self.assertEqual(last, "成功拆分出3个excel文件! 如有多余空表,请手动删除。")
        for i, block in enumerate([ROWS[0:2], ROWS[2:4], ROWS[4:5]], start=1):
            ws = openpyxl.load_workbook(os.path.join(self.out, "源_%d.xlsx" % i)).active
            self.assertHeaderKept(ws)
            self.assertEqual(values(ws)[1:], list(block))

    def test_split_by_sheet_keeps_non_empty_sheets(self):
        last = run("sheets", self.source)
        folders = [f for f in os.listdir(self.dir) if f.startswith("源拆分_")]
        self.assertEqual(len(folders), 1)
        folder = os.path.join(self.dir, folders[0])
        self.assertEqual(last, "成功拆分2个sheet 到 " + folder)
        self.assertEqual(sorted(os.listdir(folder)), ["备注.xlsx", "数据.xlsx"])
        ws = openpyxl.load_workbook(os.path.join(folder, "数据.xlsx")).active
        self.assertEqual(ws.title, "数据")
        self.assertHeaderKept(ws)
        self.assertEqual(values(ws)[1:], ROWS)
        note = openpyxl.load_workbook(os.path.join(folder, "备注.xlsx")).active
        self.assertEqual(note["B2"].value, "只有一个值")


if __name__ == "__main__":
    unittest.main()
