"""References through every job: one small workbook per way a copy used to break a formula, run
through the job that broke it; the output's formulas are read with openpyxl, and the output is
recalculated in LibreOffice (headless, recalculation on load forced) and its shown values compared
with the source's.

Sources are written with openpyxl and given their stored values by a LibreOffice round trip
first, as a file saved by a spreadsheet application has them. LibreOffice is a test tool only.
"""
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import openpyxl
from openpyxl.formatting.rule import ColorScaleRule, Rule
from openpyxl.styles.differential import DifferentialStyle
from openpyxl.styles import PatternFill
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.worksheet.hyperlink import Hyperlink
from openpyxl.worksheet.properties import PageSetupProperties

BUILD = os.environ.get("TW_BUILD_DIR", "build")
EXE = os.path.join(BUILD, "tablaweaver")
SOFFICE = shutil.which("soffice")

# Calc recalculates every formula of an .xlsx it loads (0: always).
PROFILE_XCU = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="ODFRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
"""


def add_name(wb, name, text, local=None):
    wb.defined_names.append(DefinedName(name, attr_text=text, localSheetId=local))


def names_of(wb):
    """(name, sheet index or None) of every defined name."""
    return {(n.name, n.localSheetId) for n in wb.defined_names.definedName}


def monthly(path, factor, rate):
    """A monthly report: Summary reads Data and Lists, by references, names, a dropdown, a rule
    and a hyperlink."""
    wb = openpyxl.Workbook()
    s = wb.active
    s.title = "Summary"
    d = wb.create_sheet("Data")
    lists = wb.create_sheet("Lists")
    d.append(["Item", "Amount"])
    for i in range(1, 5):
        d.append([f"item{i}", i * 100 * factor])
    lists.append(["Rep"])
    for rep in ["Ann", "Bo", "Cy", "Di"]:
        lists.append([rep])
    s["A1"], s["B1"] = "Total", "=SUM(Data!B2:B5)"
    s["A2"], s["B2"] = "Net", "=B1*Rate"
    s["A3"], s["B3"] = "Named", "=SUM(Amounts)"
    s["A4"], s["B4"] = "First", "=Data!$B$2"
    s["A5"] = "Ann"
    add_name(wb, "Rate", str(rate))
    add_name(wb, "Amounts", "Data!$B$2:$B$5")
    add_name(wb, "RepList", "Lists!$A$2:$A$5")
    dv = DataValidation(type="list", formula1="Lists!$A$2:$A$5")
    dv.add("A5")
    s.add_data_validation(dv)
    dv2 = DataValidation(type="list", formula1="RepList")
    dv2.add("A6")
    s.add_data_validation(dv2)
    red = DifferentialStyle(fill=PatternFill(bgColor="FFFF0000"))
    s.conditional_formatting.add("B1", Rule(type="expression", formula=["Data!$B$2>150"], dxf=red))
    s["C1"] = "go"
    s["C1"].hyperlink = Hyperlink(ref="C1", location="Data!A1")
    wb.save(path)


def ledger(path, rows):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Ledger"
    ws.append(["Day", "Amount", "Balance"])
    for i in range(1, rows + 1):
        r = i + 1
        ws.append([i, (i * 37) % 50 - 10, "=B2" if r == 2 else f"=C{r - 1}+B{r}"])
    wb.save(path)


def budget(path, shift):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Budget"
    ws.append(["Line", "Amount"])
    for i in range(1, 6):
        ws.append([f"line{i}", 1000 * i + shift])
    ws["A7"], ws["B7"] = "Total", "=SUM(B2:B6)"
    ws["A8"] = "Array"
    ws["B8"] = "=SUM(B2:B6*2)"
    ws.formula_attributes["B8"] = {"t": "array", "ref": "B8"}
    ws.auto_filter.ref = "A1:B6"
    ws.row_dimensions[4].hidden = True  # hidden by the saved filter
    wb.save(path)


def scores(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Scores"
    ws.append(["Name", "Class", "Score"])
    classes = ["A", "B", "A", "A", "B", "B", "A", "B", "A", "A"]
    for i, c in enumerate(classes):
        ws.append([f"p{i}", c, (i * 17) % 41 + 50])
    green = DifferentialStyle(fill=PatternFill(bgColor="FF00FF00"))
    ws.conditional_formatting.add("C2:C11", Rule(type="top10", rank=3, dxf=green))
    ws.conditional_formatting.add(
        "C2:C11", ColorScaleRule(start_type="min", start_color="FFFFFFFF", end_type="max",
                                 end_color="FF0000FF"))
    wb.save(path)


def entry(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Entry"
    lists = wb.create_sheet("Lists")
    lists.append(["Rep", "Region"])
    for rep, region in [("Ann", "N"), ("Bo", "S"), ("Cy", "E"), ("Di", "W")]:
        lists.append([rep, region])
    ws.append(["Rep", "Region"])
    ws.append(["Bo", "=VLOOKUP(A2,Lists!$A$2:$B$5,2,FALSE)"])
    ws.append(["Cy", "=A3&\"!\""])
    add_name(wb, "RepList", "Lists!$A$2:$A$5")
    dv = DataValidation(type="list", formula1="Lists!$A$2:$A$5")
    dv.add("A2")
    ws.add_data_validation(dv)
    dv2 = DataValidation(type="list", formula1="RepList")
    dv2.add("A3")
    ws.add_data_validation(dv2)
    ws.sheet_properties.pageSetUpPr = PageSetupProperties(fitToPage=True)
    ws.page_setup.fitToWidth = 1
    ws.page_setup.fitToHeight = 0
    wb.save(path)


class Calc:
    """LibreOffice headless with a profile that recalculates on load."""

    def __init__(self, root):
        self.profile = os.path.join(root, "lo-profile")
        user = os.path.join(self.profile, "user")
        os.makedirs(user, exist_ok=True)
        with open(os.path.join(user, "registrymodifications.xcu"), "w") as f:
            f.write(PROFILE_XCU)

    def recalc(self, files, outdir):
        """Each file opened, recalculated and saved as .xlsx into outdir; the paths."""
        os.makedirs(outdir, exist_ok=True)
        subprocess.run([SOFFICE, "-env:UserInstallation=file://" + self.profile, "--headless",
                        "--norestore", "--convert-to", "xlsx", "--outdir", outdir, *files],
                       capture_output=True, timeout=300, check=True)
        return [os.path.join(outdir, os.path.basename(f)) for f in files]


def shown(path, sheet):
    ws = openpyxl.load_workbook(path, data_only=True)[sheet]
    return {c.coordinate: c.value for row in ws.iter_rows() for c in row if c.value is not None}


def run(*args):
    done = subprocess.run([EXE, *args], capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], done.stderr))
    return done.stderr


def sheet_xml(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n).decode("utf-8") for n in z.namelist() if n.endswith(".xml")}


@unittest.skipUnless(os.path.exists(EXE) and SOFFICE, "program or LibreOffice missing")
class References(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = cls.tmp.name
        cls.calc = Calc(root)
        raw = os.path.join(root, "raw")
        os.makedirs(raw)
        monthly(os.path.join(raw, "jan.xlsx"), 1, 0.1)
        monthly(os.path.join(raw, "feb.xlsx"), 3, 0.2)
        ledger(os.path.join(raw, "ledger.xlsx"), 10)
        budget(os.path.join(raw, "b1.xlsx"), 0)
        budget(os.path.join(raw, "b2.xlsx"), 7)
        scores(os.path.join(raw, "scores.xlsx"))
        entry(os.path.join(raw, "entry.xlsx"))
        # Stored values, as a spreadsheet application saves them.
        cls.src = os.path.join(root, "src")
        cls.calc.recalc(sorted(glob.glob(os.path.join(raw, "*.xlsx"))), cls.src)
        cls.root = root

    def folder(self, name, files):
        d = os.path.join(self.root, name)
        os.makedirs(d, exist_ok=True)
        for f in files:
            shutil.copy(os.path.join(self.src, f), d)
        return d

    def recalculated(self, path):
        out = os.path.join(self.root, "recalc", os.path.basename(os.path.dirname(path)))
        return self.calc.recalc([path], out)[0]

    def test_renamed_copies_and_names_of_merged_months(self):  # faults 1 and 2
        d = self.folder("months", ["jan.xlsx", "feb.xlsx"])
        out = os.path.join(self.root, "months-out", "merged.xlsx")
        os.makedirs(os.path.dirname(out))
        run("merge-files", d, "-o", out)
        wb = openpyxl.load_workbook(out)
        self.assertEqual(wb["Summary (2)"]["B1"].value, "=SUM('Data (2)'!B2:B5)")
        self.assertEqual(wb["Summary (2)"]["B4"].value, "='Data (2)'!$B$2")
        dv = {str(v.sqref): v.formula1 for v in wb["Summary (2)"].data_validations.dataValidation}
        self.assertEqual(dv["A5"], "'Lists (2)'!$A$2:$A$5")
        self.assertEqual(wb["Summary (2)"]["C1"].hyperlink.location, "'Data (2)'!A1")
        cf = wb["Summary (2)"].conditional_formatting
        self.assertEqual([r.formula for rng in cf for r in rng.rules], [["'Data (2)'!$B$2>150"]])
        # Files go in name order: February first. January's Rate clashes with February's: it
        # became local to January's sheets.
        jan = wb.sheetnames.index("Summary (2)")
        self.assertTrue({("Rate", None), ("Rate", jan)} <= names_of(wb), names_of(wb))
        recalc = self.recalculated(out)
        for month, suffix in (("feb", ""), ("jan", " (2)")):
            src = os.path.join(self.src, month + ".xlsx")
            for sheet in ("Summary", "Data"):
                self.assertEqual(shown(recalc, sheet + suffix), shown(src, sheet),
                                 month + " " + sheet)

    def test_running_balance_split_into_blocks(self):  # fault 3
        d = os.path.join(self.root, "ledger-out")
        os.makedirs(d)
        texts = run("split-rows", os.path.join(self.src, "ledger.xlsx"), "-d", d, "--rows", "4",
                    "--header-rows", "1")
        src = shown(os.path.join(self.src, "ledger.xlsx"), "Ledger")
        outputs = sorted(glob.glob(os.path.join(d, "*.xlsx")))
        self.assertEqual(len(outputs), 3)
        for n, path in enumerate(outputs):
            ws = openpyxl.load_workbook(path)["Sheet1"]
            first = ws["C2"].value
            if n == 0:
                self.assertEqual(first, "=B2")
            else:  # the row above is in the previous file: its stored value
                self.assertIsInstance(first, (int, float))
                self.assertEqual(ws["C3"].value, "=C2+B3")
            got = shown(self.recalculated(path), "Sheet1")
            for row in range(2, ws.max_row + 1):
                self.assertEqual(got["C%d" % row], src["C%d" % (row + 4 * n)], path)
        self.assertIn("2个公式引用了输出中没有的工作表、行或名称，已写成其保存的值", texts)
        self.assertIn("ledger.xlsx [Ledger] C6", texts)

    def test_filtered_rows_keep_totals_in_one_sheet(self):  # fault 4
        d = self.folder("budgets", ["b1.xlsx", "b2.xlsx"])
        out = os.path.join(self.root, "budget-out", "one.xlsx")
        os.makedirs(os.path.dirname(out))
        run("merge-one-sheet", d, "-o", out)
        ws = openpyxl.load_workbook(out)["合并Sheet"]
        self.assertEqual(ws["B15"].value, "=SUM(B10:B14)")
        got = shown(self.recalculated(out), "合并Sheet")
        for k, name in enumerate(("b1.xlsx", "b2.xlsx")):
            src = shown(os.path.join(self.src, name), "Budget")
            for row in range(1, 9):
                for col in "AB":
                    self.assertEqual(got.get("%s%d" % (col, row + 8 * k)), src.get("%s%d" % (col, row)))

    def test_split_column_keeps_rules_whole(self):  # fault 5
        d = os.path.join(self.root, "scores-out")
        os.makedirs(d)
        run("split-column", os.path.join(self.src, "scores.xlsx"), "-d", d, "--column", "2")
        for cls, rows in (("A", 6), ("B", 4)):
            ws = openpyxl.load_workbook(os.path.join(d, cls + ".xlsx"))["Sheet1"]
            rules = sorted((str(cf.sqref), r.type) for cf in ws.conditional_formatting
                           for r in cf.rules)
            whole = "C2:C%d" % (rows + 1)
            self.assertEqual(rules, [(whole, "colorScale"), (whole, "top10")], cls)

    def test_split_sheets_leave_nothing_pointing_outside(self):  # faults 6 and 7
        src = os.path.join(self.root, "entry-src", "entry.xlsx")
        os.makedirs(os.path.dirname(src))
        shutil.copy(os.path.join(self.src, "entry.xlsx"), src)
        texts = run("split-sheets", src)
        out = glob.glob(os.path.join(os.path.dirname(src), "entry拆分_*", "Entry.xlsx"))[0]
        for name, xml in sheet_xml(out).items():
            self.assertNotIn("Lists", xml, name)
            self.assertNotIn("RepList", xml, name)
        wb = openpyxl.load_workbook(out)
        ws = wb["Entry"]
        self.assertEqual(ws["B2"].value, "S")  # frozen to its stored value
        self.assertEqual(ws["B3"].value, '=A3&"!"')
        self.assertEqual([v.formula1 for v in ws.data_validations.dataValidation],
                         ['"Ann,Bo,Cy,Di"'] * 2)
        self.assertTrue(ws.sheet_properties.pageSetUpPr.fitToPage)
        self.assertEqual(ws.page_setup.fitToWidth, 1)
        self.assertIn("1个公式引用了输出中没有的工作表、行或名称", texts)
        self.assertIn("2个下拉列表", texts)
        self.assertEqual(shown(self.recalculated(out), "Entry"),
                         shown(os.path.join(self.src, "entry.xlsx"), "Entry"))

    def test_values_option_freezes_every_formula(self):
        d = os.path.join(self.root, "values-out")
        os.makedirs(d)
        texts = run("split-rows", os.path.join(self.src, "ledger.xlsx"), "-d", d, "--rows", "20",
                    "--header-rows", "1", "--values")
        ws = openpyxl.load_workbook(glob.glob(os.path.join(d, "*.xlsx"))[0])["Sheet1"]
        self.assertFalse(any(isinstance(c.value, str) and c.value.startswith("=")
                             for row in ws.iter_rows() for c in row))
        self.assertEqual(shown(os.path.join(self.src, "ledger.xlsx"), "Ledger"),
                         {k: v for k, v in shown(glob.glob(os.path.join(d, "*.xlsx"))[0],
                                                 "Sheet1").items()})
        self.assertNotIn("已写成其保存的值", texts)


if __name__ == "__main__":
    unittest.main()
