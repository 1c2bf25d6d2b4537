"""Merged workbooks read by an independent reader (openpyxl): the values and formats of the
sources arrive in the output, for the three merge jobs.

Sources are written with openpyxl (styled header, number formats, dates, Chinese text, a
formula, a merged range, column widths, row heights, freeze panes); each job runs once through
the merge runner of the build, and selected cells of the output are compared with their sources.
"""
import datetime
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile

import openpyxl
from openpyxl.comments import Comment
from openpyxl.formatting.rule import FormulaRule
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.worksheet.datavalidation import DataValidation

sys.path.insert(0, os.path.dirname(__file__))
from test_xlsx_schema import schema_for, validate  # noqa: E402

BUILD = os.environ.get("TW_BUILD_DIR", "")
RUNNER = os.path.join(BUILD, "bench", "merge_bench")


def styled_header(ws, names, fill):
    thin = Side(style="thin", color="FF000000")
    for col, name in enumerate(names, start=1):
        c = ws.cell(row=1, column=col, value=name)
        c.font = Font(name="宋体", size=12, bold=True, color="FFFFFFFF")
        c.fill = PatternFill("solid", fgColor=fill)
        c.border = Border(left=thin, right=thin, top=thin, bottom=thin)
        c.alignment = Alignment(horizontal="center", vertical="center", wrap_text=True)


def sales_sheet(ws, start):
    styled_header(ws, ["日期", "地区", "金额", "双倍"], "FF1F4E78")
    for i in range(5):
        r = i + 2
        ws.cell(row=r, column=1, value=datetime.datetime(2024, 1, start + i)).number_format = "yyyy-mm-dd"
        ws.cell(row=r, column=2, value=["华东", "华南", "North"][i % 3])
        amount = ws.cell(row=r, column=3, value=1234.5 * (i + 1))
        amount.number_format = "#,##0.00"
        amount.font = Font(italic=True, color="FFC00000")
        ws.cell(row=r, column=4, value="=C%d*2" % r)
    ws.merge_cells("A8:D8")
    ws["A8"] = "合计见上"
    ws["A8"].alignment = Alignment(horizontal="center")
    ws.column_dimensions["A"].width = 14.5
    ws.column_dimensions["B"].width = 21.0
    ws.row_dimensions[1].height = 30.0
    ws.freeze_panes = "A2"


def write_sources(folder):
    os.makedirs(os.path.join(folder, "sub"))
    wb = openpyxl.Workbook()
    sales_sheet(wb.active, 1)
    wb.active.title = "一月"
    wb.save(os.path.join(folder, "a.xlsx"))

    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Rates"
    styled_header(ws, ["Code", "Rate"], "FF70AD47")
    for i in range(3):
        ws.cell(row=i + 2, column=1, value="ID%018d" % (i + 1))
        ws.cell(row=i + 2, column=2, value=0.125 * (i + 1)).number_format = "0.0%"
    # A rule, a list to choose from, links out of the workbook and a note, which travel with
    # the cells.
    ws.conditional_formatting.add(
        "B2:B4", FormulaRule(formula=["B2>0.2"], fill=PatternFill("solid", bgColor="FFFFC7CE")))
    dv = DataValidation(type="list", formula1='"甲,乙"')
    ws.add_data_validation(dv)
    dv.add("A2:A4")
    ws["A2"].hyperlink = "https://example.com/rates"
    ws["A3"].hyperlink = "mailto:rates@example.com"
    ws["B3"].comment = Comment("季度利率，待复核", "王芳")
    wb.save(os.path.join(folder, "sub", "b.xlsx"))


def kept_elements(ws):
    """Conditional formats, data validation, hyperlinks and notes of a sheet, comparable."""
    rules = sorted((str(cf.sqref), tuple(f for r in cf.rules for f in (r.formula or [])))
                   for cf in ws.conditional_formatting)
    lists = sorted((str(dv.sqref), dv.type, dv.formula1) for dv in ws.data_validations.dataValidation)
    links = sorted((c.coordinate, c.hyperlink.target) for c in ws._cells.values() if c.hyperlink)
    notes = sorted((c.coordinate, c.comment.author, c.comment.text)
                   for c in ws._cells.values() if c.comment)
    return rules, lists, links, notes


def run(job, source, output):
    res = subprocess.run([RUNNER, "run", job, source, output], capture_output=True, text=True)
    if res.returncode != 0 or not os.path.exists(output):
        raise AssertionError("%s failed (%d): %s" % (job, res.returncode, res.stderr))
    return res.stderr


def shift_rows(formula, rows):
    """The formula with its relative row references moved down by `rows`, as a copy moves them."""
    return re.sub(r"(\$?[A-Z]{1,3})(\d+)\b", lambda m: m.group(1) + str(int(m.group(2)) + rows), formula)


# The first colours of the theme openpyxl writes (lt1, dk1, lt2, dk2): a theme colour and the
# colour it stands for look the same to the user.
THEME = {0: "FFFFFFFF", 1: "FF000000", 2: "FFEEECE1", 3: "FF1F497D"}


def colour(c):
    if c is None:
        return None
    if c.type == "theme" and c.theme in THEME and not c.tint:
        return THEME[c.theme]
    if c.type == "rgb":
        return c.rgb
    return (c.type, c.value, c.tint)


def fmt(cell):
    """The parts of a cell's format a user sees."""
    f, fill, b, a = cell.font, cell.fill, cell.border, cell.alignment
    size = f.size if f.size is not None else 11.0  # a font without a size shows at the default
    return (cell.number_format, f.name, size, f.bold, f.italic, colour(f.color),
            fill.fill_type, colour(fill.fgColor) if fill.fill_type else None,
            b.left.style, b.right.style, b.top.style, b.bottom.style,
            a.horizontal, a.vertical, bool(a.wrap_text))


class MergeOutputs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(RUNNER, os.X_OK):
            raise unittest.SkipTest("merge runner not built: " + RUNNER)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.src = os.path.join(cls.tmp.name, "src")
        write_sources(cls.src)
        cls.a = openpyxl.load_workbook(os.path.join(cls.src, "a.xlsx"))["一月"]
        cls.b = openpyxl.load_workbook(os.path.join(cls.src, "sub", "b.xlsx"))["Rates"]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def assertSameCell(self, src, out, formula_shift=0):
        where = "%s -> %s" % (src.coordinate, out.coordinate)
        if isinstance(src.value, str) and src.value.startswith("=") and formula_shift:
            expected = shift_rows(src.value, formula_shift)
            self.assertEqual(out.value, expected, where)
        else:
            self.assertEqual(out.value, src.value, where)
        self.assertEqual(fmt(out), fmt(src), where)

    def assertValidParts(self, path):
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                schema = schema_for(name)
                if schema:
                    self.assertIsNone(validate(z.read(name), schema), name)

    def assertSameBlock(self, src, out, row_offset):
        for row in src.iter_rows(min_row=1, max_row=src.max_row, max_col=src.max_column):
            for c in row:
                self.assertSameCell(c, out.cell(row=c.row + row_offset, column=c.column), row_offset)

    def test_files_into_sheets_keep_everything(self):
        out_path = os.path.join(self.tmp.name, "files.xlsx")
        run("files", self.src, out_path)
        self.assertValidParts(out_path)
        out = openpyxl.load_workbook(out_path)
        self.assertEqual(out.sheetnames, ["一月", "Rates"])
        o = out["一月"]
        self.assertSameBlock(self.a, o, 0)
        self.assertSameBlock(self.b, out["Rates"], 0)
        self.assertEqual(kept_elements(out["Rates"]), kept_elements(self.b))
        self.assertEqual([str(r) for r in o.merged_cells.ranges], ["A8:D8"])
        self.assertAlmostEqual(o.column_dimensions["A"].width, 14.5, places=2)
        self.assertAlmostEqual(o.column_dimensions["B"].width, 21.0, places=2)
        self.assertAlmostEqual(o.row_dimensions[1].height, 30.0, places=2)
        self.assertEqual(o.freeze_panes, "A2")

    def test_files_into_one_sheet_stack_blocks_with_their_formats(self):
        out_path = os.path.join(self.tmp.name, "one.xlsx")
        run("one-sheet", self.src, out_path)
        self.assertValidParts(out_path)
        out = openpyxl.load_workbook(out_path)
        self.assertEqual(out.sheetnames, ["合并Sheet"])
        o = out["合并Sheet"]
        self.assertSameBlock(self.a, o, 0)
        self.assertSameBlock(self.b, o, self.a.max_row)
        self.assertIn("A8:D8", [str(r) for r in o.merged_cells.ranges])
        # The rule, the list, the links and the note of the second block moved down with it.
        self.assertEqual(kept_elements(o), (
            [("B10:B12", ("B10>0.2",))],
            [("A10:A12", "list", '"甲,乙"')],
            [("A10", "https://example.com/rates"), ("A11", "mailto:rates@example.com")],
            [("B11", "王芳", "季度利率，待复核")]))
        # The first block brings its column widths into the empty output sheet.
        self.assertAlmostEqual(o.column_dimensions["A"].width, 14.5, places=2)
        self.assertAlmostEqual(o.column_dimensions["B"].width, 21.0, places=2)

    def test_sheets_of_a_workbook_vertically(self):
        book = os.path.join(self.tmp.name, "book.xlsx")
        wb = openpyxl.Workbook()
        sales_sheet(wb.active, 1)
        sales_sheet(wb.create_sheet("二月"), 10)
        wb.save(book)
        out_path = os.path.join(self.tmp.name, "sheets.xlsx")
        run("sheets", book, out_path)
        src = openpyxl.load_workbook(book)
        o = openpyxl.load_workbook(out_path).worksheets[0]
        first, second = src.worksheets
        self.assertSameBlock(first, o, 0)
        self.assertSameBlock(second, o, first.max_row)
        self.assertEqual(sorted(str(r) for r in o.merged_cells.ranges), ["A16:D16", "A8:D8"])
        self.assertEqual(o.cell(row=10, column=1).value, datetime.datetime(2024, 1, 10))
        leftovers = [n for n in os.listdir(self.tmp.name) if n.startswith("book.xlsx") and n != "book.xlsx"]
        self.assertEqual(leftovers, [])


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=[sys.argv[0]])
