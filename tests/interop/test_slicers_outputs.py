"""Slicers and timelines go with whole sheets: their caches are written with the workbook's lists
and defined names, renamed and renumbered where a merge repeats them, and point at the sheets,
pivot tables, pivot caches and tables of the output. One whose pivot table or table is not in an
output is left out with its frame and named; range copies leave them behind and name them."""
import os
import re
import shutil
import sys
import tempfile
import unittest
import zipfile

import openpyxl

sys.path.insert(0, os.path.dirname(__file__))
from slicers_fixtures import slicer_book  # noqa: E402
from test_parts_outputs import run  # noqa: E402
from test_references import Calc  # noqa: E402
from test_xlsx_schema import schema_for, validate  # noqa: E402


class Package:
    """The parts of a written workbook, with its relationships resolved."""

    def __init__(self, path):
        with zipfile.ZipFile(path) as z:
            self.files = {n: z.read(n) for n in z.namelist()}

    def text(self, name):
        return self.files[name].decode("utf-8")

    def rels(self, part):
        folder, base = part.rsplit("/", 1)
        name = folder + "/_rels/" + base + ".rels"
        out = {}
        if name not in self.files:
            return out
        for rid, target in re.findall(r'Id="([^"]+)"[^>]*Target="([^"]+)"', self.text(name)):
            stack = []
            for seg in (folder + "/" + target).split("/"):
                if seg == "..":
                    stack.pop()
                elif seg:
                    stack.append(seg)
            out[rid] = "/".join(stack)
        return out

    def check(self):
        """Which slicers, timelines and caches the package holds, each checked against what it
        names: the pairs (sheet, slicer or timeline name)."""
        wb = self.text("xl/workbook.xml")
        wb_rels = self.rels("xl/workbook.xml")
        sheets = {}  # sheetId -> (name, part)
        for name, sid, rid in re.findall(r'<sheet name="([^"]+)" sheetId="(\d+)"[^>]* r:id="([^"]+)"',
                                         wb):
            sheets[int(sid)] = (name, wb_rels[rid])
        names = dict(re.findall(r'<definedName name="([^"]+)">([^<]*)</definedName>', wb))
        pivot_ids = set()
        for rid in re.findall(r'<pivotCache cacheId="\d+" r:id="([^"]+)"', wb):
            m = re.search(r'x14:pivotCacheDefinition pivotCacheId="(\d+)"',
                          self.text(wb_rels[rid]))
            if m:
                pivot_ids.add(m.group(1))
        table_ids = {re.search(r'<table [^>]*\bid="(\d+)"', self.text(n)).group(1)
                     for n in self.files if re.fullmatch(r"xl/tables/table\d+\.xml", n)}
        lists = {"{BBE1A952-AA13-448e-AADC-164F8A28A991}": "pivot",
                 "{46BE6895-7355-4a93-B00E-2C351335B9C9}": "table",
                 "{D0CA8CA8-9F24-4464-BF8E-62219DCF47F9}": "timeline"}
        caches = {}
        for uri, body in re.findall(r'<ext uri="([^"]+)"[^>]*>(.*?)</ext>', wb):
            for rid in re.findall(r'r:id="([^"]+)"', body):
                part = wb_rels[rid]
                xml = self.text(part)
                name = re.search(r'Definition [^>]*\bname="([^"]+)"', xml).group(1)
                self.test.assertNotIn(name, caches)
                self.test.assertEqual(names.get(name), "#N/A", name)
                kind = lists[uri]
                caches[name] = kind
                self.test.assertEqual(kind == "table", "tableSlicerCache" in xml, name)
                for tab, pivot in re.findall(r'<pivotTable tabId="(\d+)" name="([^"]+)"', xml):
                    sheet_part = sheets[int(tab)][1]
                    self.test.assertTrue(any(
                        'name="%s"' % pivot in self.text(p)
                        for p in self.rels(sheet_part).values() if "pivotTables/" in p), name)
                for cid in re.findall(r'pivotCacheId="(\d+)"', xml):
                    self.test.assertIn(cid, pivot_ids, name)
                for tid in re.findall(r'tableSlicerCache tableId="(\d+)"', xml):
                    self.test.assertIn(tid, table_ids, name)
        self.test.assertEqual(len(pivot_ids), len(re.findall(r"<pivotCache ", wb)))
        shown, seen = [], set()
        for sid, (sheet, part) in sorted(sheets.items()):
            rels = self.rels(part)
            xml = self.text(part)
            for rid in re.findall(r'r:id="([^"]+)"', xml):
                self.test.assertIn(rid, rels, sheet)  # nothing named that is not there
            frames = set()
            for target in rels.values():
                if "drawings/drawing" in target:
                    frames |= set(re.findall(r'<(?:sle|tsle):(?:slicer|timeslicer) [^>]*name="([^"]+)"',
                                             self.text(target)))
            mine = set()
            for target in rels.values():
                if "/slicers/" in target or "/timelines/" in target:
                    for name, cache in re.findall(
                            r'<(?:slicer|timeline) name="([^"]+)" cache="([^"]+)"',
                            self.text(target)):
                        self.test.assertIn(cache, caches, sheet)
                        self.test.assertNotIn(name.lower(), seen)
                        seen.add(name.lower())
                        mine.add(name)
                        shown.append((sheet, name))
            self.test.assertEqual(frames, mine, sheet)
        return shown

    def validate(self):
        for name, data in self.files.items():
            schema = schema_for(name)
            if schema:
                with self.test.subTest(part=name):
                    self.test.assertIsNone(validate(data, schema))


class SlicerOutputs(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tw-slicers-")
        self.src = os.path.join(self.tmp, "src")
        os.makedirs(self.src)
        slicer_book(os.path.join(self.src, "a.xlsx"))
        shutil.copy(os.path.join(self.src, "a.xlsx"), os.path.join(self.src, "b.xlsx"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def package(self, path):
        p = Package(path)
        p.test = self
        return p

    def test_merge_repeats_them_under_names_of_their_own(self):
        out = os.path.join(self.tmp, "merged")
        code, stderr = run("merge-files", self.src, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("切片器", stderr)
        self.assertNotIn("日程表", stderr)
        p = self.package(out + ".xlsx")
        shown = p.check()
        self.assertEqual(sorted(shown), sorted([
            ("Data", "Region 1"), ("Pivot", "Region"), ("Pivot", "Month"), ("Dash", "Region 2"),
            ("Data (2)", "Region 3"), ("Pivot (2)", "Region 4"), ("Pivot (2)", "Month 1"),
            ("Dash (2)", "Region 5")]))
        wb = p.text("xl/workbook.xml")
        # The second copy's slicers filter the second pivot table (sheet 5) and second table.
        second = [p.text(n) for n in p.files if re.fullmatch(r"xl/\w+Caches/\w+Cache\d+\.xml", n)
                  and re.search(r'name="(Slicer_Region[23]|NativeTimeline_Month1)"', p.text(n))]
        self.assertEqual(len(second), 3)
        for xml in second:
            self.assertTrue('tabId="5"' in xml or 'tableId="2"' in xml, xml)
        self.assertEqual(wb.count("#N/A"), 6)
        p.validate()
        openpyxl.load_workbook(out + ".xlsx")
        if shutil.which("soffice"):
            again = Calc(os.path.join(self.tmp, "calc")).recalc([out + ".xlsx"],
                                                               os.path.join(self.tmp, "lo"))
            self.assertEqual(openpyxl.load_workbook(again[0])["Pivot (2)"]["B5"].value, 90)

    def test_split_leaves_out_what_filters_another_sheet(self):
        book = os.path.join(self.tmp, "book.xlsx")
        shutil.copy(os.path.join(self.src, "a.xlsx"), book)
        code, stderr = run("split-sheets", book)
        self.assertEqual(code, 0, stderr)
        self.assertIn("1个切片器或日程表筛选的数据透视表或表格不在输出中，未复制", stderr)
        folder = [d for d in os.listdir(self.tmp) if d.startswith("book")
                  and os.path.isdir(os.path.join(self.tmp, d))][0]
        expected = {"Data": [("Data", "Region 1")],
                    "Pivot": [("Pivot", "Region"), ("Pivot", "Month")],
                    "Dash": []}
        for sheet, shown in expected.items():
            with self.subTest(sheet=sheet):
                p = self.package(os.path.join(self.tmp, folder, sheet + ".xlsx"))
                self.assertEqual(sorted(p.check()), sorted(shown))
                p.validate()
        dash = self.package(os.path.join(self.tmp, folder, "Dash.xlsx"))
        self.assertFalse([n for n in dash.files if "slicer" in n.lower()])
        self.assertNotIn("extLst", dash.text("xl/worksheets/sheet1.xml"))

    def test_range_copies_name_them_as_left_behind(self):
        out = os.path.join(self.tmp, "one")
        code, stderr = run("merge-one-sheet", self.src, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertIn("切片器 6 个", stderr)
        self.assertIn("日程表 2 个", stderr)
        p = self.package(out + ".xlsx")
        self.assertFalse([n for n in p.files if re.search(r"slicer|timeline|drawing", n)])


if __name__ == "__main__":
    unittest.main()
