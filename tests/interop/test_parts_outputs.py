"""Pictures, charts, tables, sparklines, extension rules, chart sheets and pivot tables go
wherever their sheet goes: the jobs of the command line run over sales reports written with
xlsxwriter, and each output's parts and relationships are counted against the sources, its XML
parts are checked against the schemas, and openpyxl and LibreOffice open it."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import openpyxl
import xlsxwriter

sys.path.insert(0, os.path.dirname(__file__))
from parts_fixtures import ORDERS, orders_book, png, sales_report  # noqa: E402
from test_references import Calc  # noqa: E402
from test_xlsx_schema import schema_for, validate  # noqa: E402

BUILD = os.environ.get("TW_BUILD_DIR", "build")
EXE = os.path.join(BUILD, "tablaweaver")
CORPUS = os.environ.get("TW_CORPUS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "..", "data", "corpus"))
DUMP = os.path.join(BUILD, "tests", "xlsx_dump")


def run(*args):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    for key in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(key, None)
    p = subprocess.run([EXE, *args], capture_output=True, text=True, env=env, timeout=300)
    return p.returncode, p.stderr


def pdf_text(path, tmp, folder):
    """The text of the pages LibreOffice draws of a workbook (converted into tmp/folder); None
    when LibreOffice or pdftotext is missing."""
    if not (shutil.which("soffice") and shutil.which("pdftotext")):
        return None
    pdf_dir = os.path.join(tmp, folder)
    subprocess.run(["soffice", "--headless", "-env:UserInstallation=file://" + os.path.join(tmp, "lo"),
                    "--convert-to", "pdf", "--outdir", pdf_dir, path],
                   capture_output=True, timeout=240)
    pdf = os.path.join(pdf_dir, os.path.splitext(os.path.basename(path))[0] + ".pdf")
    return subprocess.run(["pdftotext", pdf, "-"], capture_output=True, text=True).stdout


def parts(path, pattern):
    with zipfile.ZipFile(path) as z:
        return sorted(n for n in z.namelist() if re.fullmatch(pattern, n))


def read(path, name):
    with zipfile.ZipFile(path) as z:
        return z.read(name).decode("utf-8")


def sheet_part(path, sheet_name):
    """The part of a sheet, through the workbook's relationships."""
    wb = read(path, "xl/workbook.xml")
    rid = re.search(r'<sheet name="%s"[^>]* r:id="([^"]+)"' % re.escape(sheet_name), wb).group(1)
    rels = read(path, "xl/_rels/workbook.xml.rels")
    target = re.search(r'Id="%s"[^>]*Target="([^"]+)"' % rid, rels).group(1)
    return "xl/" + target


def rel_targets(path, part):
    """Targets of a part's relationships, resolved to part names."""
    folder, base = part.rsplit("/", 1)
    text = read(path, folder + "/_rels/" + base + ".rels")
    out = []
    for t in re.findall(r'Target="([^"]+)"', text):
        segs = (folder + "/" + t).split("/")
        stack = []
        for s in segs:
            if s == "..":
                stack.pop()
            elif s:
                stack.append(s)
        out.append("/".join(stack))
    return out


def chart_formulas(path, sheet_name):
    """The series formulas of the charts drawn on a sheet."""
    sheet = sheet_part(path, sheet_name)
    formulas = []
    for drawing in (t for t in rel_targets(path, sheet) if "/drawings/drawing" in t):
        for chart in (t for t in rel_targets(path, drawing) if "/charts/chart" in t):
            formulas += re.findall(r"<c:f>([^<]*)</c:f>", read(path, chart))
    return formulas


class PartsOutputs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(EXE, os.X_OK):
            raise unittest.SkipTest("program not built: " + EXE)
        cls.tmp = tempfile.mkdtemp()
        cls.src = os.path.join(cls.tmp, "src")
        os.makedirs(cls.src)
        cls.logo = os.path.join(cls.tmp, "logo.png")
        with open(cls.logo, "wb") as f:
            f.write(png(120, 40, (200, 30, 30)))
        sales_report(os.path.join(cls.src, "a.xlsx"), cls.logo, "华东", 1)
        sales_report(os.path.join(cls.src, "b.xlsx"), cls.logo, "华南", 2)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def check_package(self, path):
        """Every written XML part of a schema validates; openpyxl opens the workbook."""
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                schema = schema_for(name)
                if schema:
                    with self.subTest(part=name):
                        self.assertIsNone(validate(z.read(name), schema))
            # Every relationship leads to a part of the package, and has a content type.
            types = z.read("[Content_Types].xml").decode()
            for rels in (n for n in z.namelist() if n.endswith(".rels") and n != "_rels/.rels"):
                source = rels.replace("_rels/", "")[:-5]
                for target in rel_targets(path, source):
                    if "TargetMode" in target or target.startswith("http") or "External" in target:
                        continue
                    if target in ("xl/workbook.xml",):
                        continue
                    if re.search(r'TargetMode="External"[^>]*', z.read(rels).decode()) and \
                            target not in z.namelist() and not target.startswith("xl/"):
                        continue
                    self.assertIn(target, z.namelist(), rels)
                    self.assertTrue('PartName="/%s"' % target in types or
                                    'Extension="%s"' % target.rsplit(".", 1)[1] in types, target)
        openpyxl.load_workbook(path)

    def test_merge_files_carries_every_kind(self):
        out = os.path.join(self.tmp, "merged")
        code, stderr = run("merge-files", self.src, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertIn("成功合并2个工作簿的8个sheet到一个工作簿。", stderr)  # chart sheets count
        self.assertNotIn("以下内容未带到输出中", stderr)
        out += ".xlsx"
        wb = openpyxl.load_workbook(out)
        self.assertEqual(wb.sheetnames, ["Summary", "Data", "Lists", "趋势",
                                         "Summary (2)", "Data (2)", "Lists (2)", "趋势 (2)"])
        src = os.path.join(self.src, "a.xlsx")
        # Against the sources: two of each part per source, the same picture stored once.
        for pattern in (r"xl/charts/chart\d+\.xml", r"xl/drawings/drawing\d+\.xml",
                        r"xl/tables/table\d+\.xml", r"xl/chartsheets/sheet\d+\.xml"):
            with self.subTest(pattern=pattern):
                self.assertEqual(len(parts(out, pattern)), 2 * len(parts(src, pattern)))
        self.assertEqual(len(parts(out, r"xl/media/.*")), 1)
        tables = [read(out, t) for t in parts(out, r"xl/tables/table\d+\.xml")]
        self.assertEqual(sorted(re.search(r' name="([^"]+)"', t).group(1) for t in tables),
                         ["Sales", "Sales_2"])
        self.assertEqual(len({re.search(r' id="(\d+)"', t).group(1) for t in tables}), 2)
        # A chart on "Summary (2)" plots "Summary (2)" and "Data (2)".
        self.assertEqual(sorted(set(chart_formulas(out, "Summary (2)"))),
                         ["'Data (2)'!$A$2:$A$5", "'Data (2)'!$B$2:$B$5", "'Data (2)'!$C$2:$C$5",
                          "'Summary (2)'!$B$9:$B$12", "'Summary (2)'!$C$9:$C$12"])
        self.assertIn("Data!$B$2:$B$5", chart_formulas(out, "Summary"))
        second = read(out, sheet_part(out, "Summary (2)"))
        self.assertEqual(re.findall(r"<xm:f>([^<]*)</xm:f>", second),
                         ["'Data (2)'!B2:B5", "'Summary (2)'!B15:F15"])  # sparklines
        self.assertIn("<f>SUM(Sales_2[数量])</f>", second)  # follows its renamed table
        self.assertIn("<f>SUM(Sales[数量])</f>", read(out, sheet_part(out, "Summary")))
        self.assertIn("x14:dataBar", second)
        self.assertIn('<customFilter operator="greaterThan" val="15"/>', second)
        self.assertIn("<legacyDrawingHF", second)
        # The note set to show stays shown, the other stays hidden.
        boxes = [read(out, t) for t in rel_targets(out, sheet_part(out, "Summary (2)"))
                 if t.endswith(".vml")]
        self.assertTrue(any(b.count("<x:Visible/>") == 1 and "visibility:hidden" in b
                            for b in boxes))
        self.check_package(out)

        # LibreOffice opens it and draws the charts of the copied sheet (the page is looked at
        # by hand; here its text shows the chart titles and the axis of the doubled figures).
        text = pdf_text(out, self.tmp, "pdf")
        if text is not None:
            self.assertIn("销售报告 华南", text)
            self.assertGreaterEqual(text.count("收入与成本"), 2)
            self.assertIn("300", text)  # the axis of "Summary (2)": figures of b.xlsx

    def test_split_sheets_writes_chart_sheets_and_parts(self):
        book = os.path.join(self.tmp, "split", "a.xlsx")
        os.makedirs(os.path.dirname(book))
        shutil.copy(os.path.join(self.src, "a.xlsx"), book)
        code, stderr = run("split-sheets", book)
        self.assertEqual(code, 0, stderr)
        self.assertIn("成功拆分4个sheet 到 ", stderr)
        # Summary's column chart and sparkline, and the chart sheet, plot Data, which their
        # outputs lack: they are named (two series of two formulas, one sparkline, one series).
        self.assertIn("7处图表、迷你图、数据透视表或控件引用了输出中没有的工作表", stderr)
        folder = glob.glob(os.path.join(self.tmp, "split", "a拆分_*"))[0]
        self.assertEqual(sorted(os.listdir(folder)),
                         sorted(["Summary.xlsx", "Data.xlsx", "Lists.xlsx", "趋势.xlsx"]))
        summary = os.path.join(folder, "Summary.xlsx")
        self.assertEqual(len(parts(summary, r"xl/charts/chart\d+\.xml")), 2)
        self.assertEqual(len(parts(summary, r"xl/media/.*")), 1)
        self.assertEqual(len(parts(summary, r"xl/tables/table\d+\.xml")), 1)
        self.assertIn("Summary!$C$9:$C$12", chart_formulas(summary, "Summary"))
        chart = os.path.join(folder, "趋势.xlsx")
        self.assertEqual(len(parts(chart, r"xl/chartsheets/sheet\d+\.xml")), 1)
        self.assertEqual(len(parts(chart, r"xl/charts/chart\d+\.xml")), 1)
        for path in (summary, chart):
            with self.subTest(path=os.path.basename(path)):
                self.check_package(path)

    def test_range_copies_name_what_they_leave_behind(self):
        out = os.path.join(self.tmp, "one.xlsx")
        code, stderr = run("merge-one-sheet", self.src, "-o", out, "--header-rows", "1")
        self.assertEqual(code, 0, stderr)
        lines = stderr.splitlines()
        done = next(i for i, l in enumerate(lines) if l.startswith("成功合并2个工作簿的"))
        left = lines[done + 1]
        self.assertTrue(left.startswith("以下内容未带到输出中："), left)
        # The logos in column A lie left of the copied cells (column A is empty), and the page
        # header's picture is no cell's. The charts come along but b.xlsx's first one: its top
        # row was the header row taken out, and its used cells begin below the chart's top.
        for kind in ("图片 4 个", "图表工作表 2 个",
                     "a.xlsx [Summary]", "b.xlsx [Summary]", "图表 1 个（来自 " + self.src +
                     "/b.xlsx [Summary]）"):
            self.assertIn(kind, left)
        self.assertEqual(len(parts(out, r"xl/charts/chart\d+\.xml")), 3)
        self.assertNotIn("表格", left)  # carried: the first whole, the second cut by the header

    def test_tables_through_range_copies(self):
        """Merged into one sheet, each source's table stays a table under a free name; split by
        value, the cut table leaves plain cells with its look and formulas that still count."""
        folder = os.path.join(self.tmp, "orders")
        os.makedirs(folder)
        for i in range(3):
            orders_book(os.path.join(folder, "o%d.xlsx" % i), i + 1)
        out = os.path.join(self.tmp, "orders_one.xlsx")
        code, stderr = run("merge-one-sheet", folder, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("表格", stderr)
        self.check_package(out)
        sheet = sheet_part(out, "合并Sheet")
        tables = [read(out, t) for t in rel_targets(out, sheet) if "/tables/" in t]
        refs = sorted(re.search(r' displayName="([^"]+)" ref="([^"]+)"', t).groups()
                      for t in tables)
        self.assertEqual(refs, [("Sales", "A1:D6"), ("Sales_2", "A7:D12"), ("Sales_3", "A13:D18")])
        ws = openpyxl.load_workbook(out)["合并Sheet"]
        self.assertEqual(sorted(ws.tables), ["Sales", "Sales_2", "Sales_3"])
        self.assertEqual(ws["F8"].value, "=SUM(Sales_2[Amount])")
        self.assertIn("Sales_3[", ws["D14"].value)
        calc = Calc(os.path.join(self.tmp, "calc")) if shutil.which("soffice") else None
        if calc:  # each source's formulas read its own table
            done = calc.recalc([out], os.path.join(self.tmp, "orders_calc"))[0]
            ws = openpyxl.load_workbook(done, data_only=True)["合并Sheet"]
            for block, scale in ((0, 1), (6, 2), (12, 3)):
                amounts = [q * scale * p for _, q, p in ORDERS]
                self.assertEqual([ws.cell(block + 2 + i, 4).value for i in range(4)], amounts)
                self.assertEqual(ws.cell(block + 2, 6).value, sum(amounts))

        split = os.path.join(self.tmp, "orders_split")
        os.makedirs(split)
        code, stderr = run("split-column", os.path.join(folder, "o1.xlsx"), "-d", split,
                           "--column", "1")
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("表格", stderr)
        east = os.path.join(split, "East.xlsx")
        self.check_package(east)
        self.assertEqual(parts(east, r"xl/tables/.*"), [])
        ws = openpyxl.load_workbook(east).active
        self.assertTrue(ws["B1"].font.b)
        header_fill = ws["B1"].fill.fgColor.rgb
        self.assertEqual(ws["B1"].fill.fill_type, "solid")
        # Banded as in the source: rows 2 and 4 of the table are its first stripe.
        self.assertEqual(ws["B2"].fill.fill_type, "solid")
        self.assertNotEqual(ws["B2"].fill.fgColor.rgb, header_fill)
        self.assertEqual([ws["D2"].value, ws["D3"].value], ["=B2*C2", "=B3*C3"])
        if calc:  # recalculated, the amounts are those of the source
            done = calc.recalc([east], os.path.join(self.tmp, "orders_calc"))[0]
            ws = openpyxl.load_workbook(done, data_only=True).active
            want = [q * 2 * p for r, q, p in ORDERS if r == "East"]
            self.assertEqual([ws["D2"].value, ws["D3"].value], want)

    def check_charts_plot_their_data(self, path, sheet):
        """Every series formula of the sheet's charts reads, in the output, the values the
        series shows (its cache, taken from the source)."""
        wb = openpyxl.load_workbook(path, data_only=True)
        part = sheet_part(path, sheet)
        checked = 0
        for drawing in (t for t in rel_targets(path, part) if "/drawings/drawing" in t):
            for chart in (t for t in rel_targets(path, drawing) if "/charts/chart" in t):
                xml = read(path, chart)
                for f, cache in re.findall(r"<c:(?:numRef|strRef)><c:f>([^<]*)</c:f>"
                                           r"<c:(?:numCache|strCache)>(.*?)</c:(?:num|str)Cache>",
                                           xml):
                    name, ref = f.rsplit("!", 1)
                    cells = wb[name.strip("'")][ref.replace("$", "")]
                    got = [c.value for row in (cells if isinstance(cells, tuple) else ((cells,),))
                           for c in (row if isinstance(row, tuple) else (row,))]
                    want = re.findall(r"<c:v>([^<]*)</c:v>", cache)
                    self.assertEqual([str(v) if not isinstance(v, float) else "%g" % v
                                      for v in got], want, (chart, f))
                    checked += 1
        return checked

    def test_merge_one_sheet_carries_logo_and_charts(self):
        folder = os.path.join(self.tmp, "labelled")
        os.makedirs(folder)
        sales_report(os.path.join(folder, "a.xlsx"), self.logo, "华东", 1, label=True)
        sales_report(os.path.join(folder, "b.xlsx"), self.logo, "华南", 2, label=True)
        out = os.path.join(self.tmp, "labelled_one.xlsx")
        code, stderr = run("merge-one-sheet", folder, "-o", out)
        self.assertEqual(code, 0, stderr)
        left = next((l for l in stderr.splitlines() if l.startswith("以下内容未带到输出中")), "")
        self.assertIn("图片 2 个", left)  # the page headers' pictures only
        self.assertNotIn("图表 ", left)
        drawing = read(out, "xl/drawings/drawing1.xml")
        self.assertEqual(drawing.count("<xdr:pic>"), 2)  # a logo per source, stored once
        self.assertEqual(len(parts(out, r"xl/media/.*")), 1)
        self.assertEqual(len(parts(out, r"xl/charts/chart\d+\.xml")), 4)
        shape_ids = re.findall(r'cNvPr id="(\d+)"', drawing)
        self.assertEqual(len(shape_ids), len(set(shape_ids)))
        # The logos sit on the rows where each source's first row landed.
        wb = openpyxl.load_workbook(out)
        ws = wb["合并Sheet"]
        tops = [r for r in range(1, ws.max_row + 1)
                if str(ws.cell(r, 4).value or "").startswith("销售报告")]
        logo_rows = [int(m) + 1 for m in re.findall(
            r"<xdr:twoCellAnchor editAs=\"oneCell\"><xdr:from><xdr:col>0</xdr:col>"
            r"<xdr:colOff>0</xdr:colOff><xdr:row>(\d+)</xdr:row>", drawing)]
        self.assertEqual(logo_rows, tops)
        # Both charts of each source plot where its data landed: Data's rows and the table's.
        self.assertEqual(self.check_charts_plot_their_data(out, "合并Sheet"), 12)
        self.assertTrue(all(f.startswith("'合并Sheet'!") for f in chart_formulas(out, "合并Sheet")))
        self.check_package(out)

        # Header rows taken once: the later sources lose their first rows before the copy, and
        # the charts that come along still read their own data (the table's rows moved up), or
        # show the values they showed (Data lost its header row: its rows as read are gone).
        moved = os.path.join(self.tmp, "labelled_header.xlsx")
        code, stderr = run("merge-one-sheet", folder, "-o", moved, "--header-rows", "1")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(self.check_charts_plot_their_data(moved, "合并Sheet"), 4)
        self.assertEqual(len(parts(moved, r"xl/charts/chart\d+\.xml")), 3)
        self.check_package(moved)
        text = pdf_text(out, self.tmp, "pdf_one")
        if text is not None:
            self.assertGreaterEqual(text.count("收入与成本"), 2)

    def test_split_by_value_carries_each_rows_pictures(self):
        import xlsxwriter
        folder = os.path.join(self.tmp, "products")
        os.makedirs(folder)
        book = os.path.join(folder, "products.xlsx")
        wb = xlsxwriter.Workbook(book)
        ws = wb.add_worksheet("产品")
        ws.write_row(0, 0, ["类别", "名称", "价格", "图片"])
        rows = [("水果", "苹果"), ("蔬菜", "白菜"), ("水果", "香蕉"), ("蔬菜", "萝卜"),
                ("水果", "梨"), ("饮料", "茶")]
        pictures = {}
        for i, (kind, name) in enumerate(rows):
            ws.write_row(i + 1, 0, [kind, name, i + 1])
            data = png(16, 8, (30 * i, 90, 200 - 20 * i))
            pictures[name] = data
            path = os.path.join(folder, "p%d.png" % i)
            with open(path, "wb") as f:
                f.write(data)
            ws.insert_image(i + 1, 3, path)
        ws.insert_image(0, 5, self.logo)  # in the header row, right of the copied columns
        ws.insert_textbox(3, 1, "香蕉到货", {"width": 120, "height": 30})  # on 香蕉's row
        wb.close()
        out_dir = os.path.join(self.tmp, "products_out")
        os.makedirs(out_dir)
        code, stderr = run("split-column", book, "-d", out_dir, "--column", "1",
                           "--header-rows", "1")
        self.assertEqual(code, 0, stderr)
        self.assertIn("以下内容未带到输出中：图片 1 个", stderr)  # the logo, once
        for kind in ("水果", "蔬菜", "饮料"):
            with self.subTest(kind=kind):
                path = os.path.join(out_dir, kind + ".xlsx")
                names = [n for k, n in rows if k == kind]
                drawing = read(path, "xl/drawings/drawing1.xml")
                anchored = [int(r) + 1 for r in re.findall(
                    r"<xdr:from><xdr:col>3</xdr:col><xdr:colOff>0</xdr:colOff>"
                    r"<xdr:row>(\d+)</xdr:row>", drawing)]
                self.assertEqual(anchored, list(range(2, 2 + len(names))))
                # Each row's own picture, in the order of the rows.
                targets = dict(re.findall(r'Id="([^"]+)"[^>]*Target="([^"]+)"',
                                          read(path, "xl/drawings/_rels/drawing1.xml.rels")))
                blips = re.findall(r'r:embed="([^"]+)"', drawing)
                with zipfile.ZipFile(path) as z:
                    shown = [z.read("xl/" + targets[b].replace("../", "")) for b in blips]
                self.assertEqual(shown, [pictures[n] for n in names])
                self.assertEqual(drawing.count("<xdr:sp>") + drawing.count("<xdr:sp "),
                                 1 if kind == "水果" else 0)
                self.check_package(path)
        self.assertNotIn("形状", stderr)

    def test_range_copies_carry_extension_rules_and_sparklines(self):
        import xlsxwriter
        src = os.path.join(self.tmp, "trend")
        os.makedirs(src)
        for n in (1, 2):
            wb = xlsxwriter.Workbook(os.path.join(src, "book%d.xlsx" % n))
            ws = wb.add_worksheet("Data")
            ws.write_row(0, 0, ["Cat", "Q1", "Q2", "Q3", "Q4", "Trend"])
            for r in range(1, 7):
                ws.write_row(r, 0, ["A" if r % 2 else "B", r * n, r + 3, 10 - r, r * 2])
                ws.add_sparkline(r, 5, {"range": "Data!B%d:E%d" % (r + 1, r + 1)})
            ws.conditional_format("B2:B7", {"type": "data_bar", "bar_solid": True})
            wb.close()

        def sparklines(path):
            """(cell, values plotted) of every sparkline of the first sheet."""
            name = openpyxl.load_workbook(path).sheetnames[0]
            xml = read(path, sheet_part(path, name))
            ws = openpyxl.load_workbook(path)[name]
            out = []
            for f, cell in re.findall(r"<xm:f>([^<]*)</xm:f><xm:sqref>([^<]*)</xm:sqref>", xml):
                sheet, area = f.rsplit("!", 1)
                self.assertEqual(sheet.strip("'"), name, f)
                out.append((cell, [c.value for row in ws[area] for c in row]))
            return xml, sorted(out, key=lambda x: int(x[0][1:]))

        out = os.path.join(self.tmp, "trend.xlsx")
        code, stderr = run("merge-one-sheet", src, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("扩展规则与迷你图", stderr)
        xml, sparks = sparklines(out)
        # Each sparkline stays beside its row and plots the cells that row landed on.
        self.assertEqual(len(sparks), 12)
        for cell, values in sparks:
            row = int(cell[1:])
            ws = openpyxl.load_workbook(out)["合并Sheet"]
            self.assertEqual(values, [ws.cell(row, c).value for c in range(2, 6)], cell)
        # The data bar keeps its 2010 look: the classic rule names its twin, which covers the
        # same cells, one rule over both blocks.
        twin = re.search(r'<cfRule type="dataBar"[^>]*>.*?<x14:id>([^<]+)</x14:id>', xml)
        self.assertIsNotNone(twin, xml)
        classic = re.search(r'<conditionalFormatting sqref="([^"]+)"><cfRule type="dataBar"', xml)
        ext = re.search(r'<x14:cfRule type="dataBar" id="%s">.*?<xm:sqref>([^<]+)</xm:sqref>'
                        % re.escape(twin.group(1)), xml)
        self.assertIsNotNone(ext, xml)
        self.assertEqual(ext.group(1), classic.group(1))
        self.assertEqual(classic.group(1), "B2:B7 B9:B14")
        self.check_package(out)

        # With the header only once, the later source loses its top row before it is copied:
        # its rule moves up with its rows; its sparklines, whose column has no value left, are
        # outside the copied cells and named.
        once = os.path.join(self.tmp, "trend_once.xlsx")
        code, stderr = run("merge-one-sheet", src, "-o", once, "--header-rows", "1")
        self.assertEqual(code, 0, stderr)
        self.assertIn("扩展规则与迷你图 6 个（来自 %s [Data]）" % os.path.join(src, "book2.xlsx"),
                      stderr)
        xml, sparks = sparklines(once)
        self.assertEqual(len(sparks), 6)
        ws = openpyxl.load_workbook(once)["合并Sheet"]
        for cell, values in sparks:
            self.assertEqual(values, [ws.cell(int(cell[1:]), c).value for c in range(2, 6)], cell)
        self.assertIn("<xm:sqref>B2:B13</xm:sqref>", xml)

        # Split by the category: each output has the sparklines of its own rows.
        folder = os.path.join(self.tmp, "trend_split")
        os.makedirs(folder)
        code, stderr = run("split-column", os.path.join(src, "book2.xlsx"), "-d", folder,
                           "--column", "1")
        self.assertEqual(code, 0, stderr)
        for cat, rows in (("A", (1, 3, 5)), ("B", (2, 4, 6))):
            path = os.path.join(folder, cat + ".xlsx")
            _, sparks = sparklines(path)
            self.assertEqual([v for _, v in sparks],
                             [[r * 2, r + 3, 10 - r, r * 2] for r in rows], cat)
            self.check_package(path)

        # Sparklines outside the copied cells stay behind, and are named.
        one = os.path.join(self.tmp, "one_ext.xlsx")
        code, stderr = run("merge-one-sheet", self.src, "-o", one)
        self.assertEqual(code, 0, stderr)
        self.assertIn("扩展规则与迷你图 4 个", stderr)

    def test_xls_outputs_name_the_parts_they_cannot_hold(self):
        for job, sheet in (("merge-files", "[Summary]"), ("merge-one-sheet", "[合并Sheet]")):
            with self.subTest(job=job):
                out = os.path.join(self.tmp, job + ".xls")
                code, stderr = run(job, self.src, "-o", out, "--xls")
                self.assertEqual(code, 0, stderr)
                left = next(l for l in stderr.splitlines() if l.startswith("以下内容未带到输出中："))
                for kind in ("图表 4 个", "表格 2 个", "扩展规则与迷你图", sheet):
                    self.assertIn(kind, left)

    def test_page_setup_of_xlsx_and_xls_sources(self):
        folder = os.path.join(self.tmp, "page")
        os.makedirs(folder)
        import xlsxwriter
        book = os.path.join(folder, "p.xlsx")
        wb = xlsxwriter.Workbook(book)
        ws = wb.add_worksheet("P")
        ws.write("A1", "x")
        ws.set_landscape()
        ws.fit_to_pages(1, 0)
        ws.set_margins(left=0.3, right=0.4, top=1.1, bottom=1.2)
        ws.set_paper(9)
        wb.close()
        sources = [book]
        if shutil.which("soffice"):  # the same page set-up in a 97-2003 workbook
            xls_dir = os.path.join(self.tmp, "page_xls")
            subprocess.run(["soffice", "--headless",
                            "-env:UserInstallation=file://" + os.path.join(self.tmp, "lo"),
                            "--convert-to", "xls", "--outdir", xls_dir, book],
                           capture_output=True, timeout=240)
            sources.append(os.path.join(xls_dir, "p.xls"))
        for source in sources:
            with self.subTest(source=os.path.basename(source)):
                one = os.path.join(self.tmp, "one_" + os.path.basename(source).replace(".", "_"))
                os.makedirs(one)
                shutil.copy(source, one)
                code, stderr = run("merge-files", one, "-o", one + "_out")
                self.assertEqual(code, 0, stderr)
                sheet = read(one + "_out.xlsx", sheet_part(one + "_out.xlsx", "P"))
                self.assertIn('<pageSetUpPr fitToPage="1"/>', sheet)
                self.assertRegex(sheet, r'<pageMargins left="0.3" right="0.4" top="1.1" '
                                        r'bottom="1.2"')
                setup = re.search(r"<pageSetup [^>]*>", sheet).group(0)
                for attr in ('paperSize="9"', 'fitToHeight="0"', 'orientation="landscape"'):
                    self.assertIn(attr, setup)
                self.assertNotRegex(setup, r'fitToWidth="(?!1")')  # one page wide

    def test_threaded_comments_keep_their_people(self):
        import xlsxwriter
        folder = os.path.join(self.tmp, "threads")
        os.makedirs(folder)
        plain = os.path.join(self.tmp, "thread_plain.xlsx")
        wb = xlsxwriter.Workbook(plain)
        ws = wb.add_worksheet("T")
        ws.write("A1", 1)
        ws.write_comment("A1", "[Threaded comment] 看一下")
        wb.close()
        person = "{11111111-2222-3333-4444-555555555555}"
        persons = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<personList '
                   'xmlns="http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments" '
                   'xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><person '
                   'displayName="张三" id="%s" userId="zs" providerId="None"/></personList>' % person)
        thread = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<ThreadedComments '
                  'xmlns="http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments">'
                  '<threadedComment ref="A1" dT="2024-01-01T00:00:00.00" personId="%s" '
                  'id="{AAAAAAAA-0000-0000-0000-000000000001}"><text>看一下</text></threadedComment>'
                  '</ThreadedComments>' % person)
        rel_person = ('<Relationship Id="rId99" Type="http://schemas.microsoft.com/office/2017/10/'
                      'relationships/person" Target="persons/person.xml"/>')
        rel_thread = ('<Relationship Id="rId98" Type="http://schemas.microsoft.com/office/2017/10/'
                      'relationships/threadedComment" Target="../threadedComments/threadedComment1.xml"/>')
        for n in ("1", "2"):
            with zipfile.ZipFile(plain) as src, zipfile.ZipFile(os.path.join(folder, n + ".xlsx"),
                                                                 "w") as dst:
                for item in src.infolist():
                    data = src.read(item.filename).decode("utf-8")
                    if item.filename == "[Content_Types].xml":
                        data = data.replace("</Types>",
                                            '<Override PartName="/xl/persons/person.xml" '
                                            'ContentType="application/vnd.ms-excel.person+xml"/>'
                                            '<Override PartName="/xl/threadedComments/threadedComment1.xml" '
                                            'ContentType="application/vnd.ms-excel.threadedcomments+xml"/>'
                                            "</Types>")
                    elif item.filename == "xl/_rels/workbook.xml.rels":
                        data = data.replace("</Relationships>", rel_person + "</Relationships>")
                    elif item.filename == "xl/worksheets/_rels/sheet1.xml.rels":
                        data = data.replace("</Relationships>", rel_thread + "</Relationships>")
                    dst.writestr(item.filename, data)
                dst.writestr("xl/persons/person.xml", persons)
                dst.writestr("xl/threadedComments/threadedComment1.xml", thread)
        out = os.path.join(self.tmp, "threads_out")
        code, stderr = run("merge-files", folder, "-o", out)
        self.assertEqual(code, 0, stderr)
        out += ".xlsx"
        self.assertEqual(len(parts(out, r"xl/threadedComments/threadedComment\d+\.xml")), 2)
        people = read(out, "xl/persons/person.xml")
        self.assertEqual(people.count("<person "), 1)  # the same person, once
        self.assertIn('displayName="张三"', people)
        self.assertIn("relationships/person", read(out, "xl/_rels/workbook.xml.rels"))
        for name in ("T", "T (2)"):
            self.assertTrue(any("threadedComment" in t
                                for t in rel_targets(out, sheet_part(out, name))), name)
        self.check_package(out)

    def test_pivot_tables_keep_their_caches(self):
        src = os.path.join(CORPUS, "xlsx", "WithChartSheet.xlsx")
        if not os.path.exists(src):
            self.skipTest("corpus file missing")
        folder = os.path.join(self.tmp, "pivot")
        os.makedirs(folder)
        shutil.copy(src, os.path.join(folder, "1.xlsx"))
        shutil.copy(src, os.path.join(folder, "2.xlsx"))
        out = os.path.join(self.tmp, "pivots")
        code, stderr = run("merge-files", folder, "-o", out)
        self.assertEqual(code, 0, stderr)
        out += ".xlsx"
        self.assertEqual(len(parts(out, r"xl/pivotTables/pivotTable\d+\.xml")),
                         2 * len(parts(src, r"xl/pivotTables/pivotTable\d+\.xml")))
        self.assertEqual(len(parts(out, r"xl/pivotCache/pivotCacheDefinition\d+\.xml")),
                         2 * len(parts(src, r"xl/pivotCache/pivotCacheDefinition\d+\.xml")))
        listed = re.findall(r'<pivotCache cacheId="(\d+)"', read(out, "xl/workbook.xml"))
        self.assertEqual(len(listed), len(set(listed)))
        for p in parts(out, r"xl/pivotTables/pivotTable\d+\.xml"):
            self.assertIn(re.search(r'cacheId="(\d+)"', read(out, p)).group(1), listed)
        # The caches of the second copy read the sheets of the second copy.
        sources = {re.search(r'<worksheetSource [^>]*sheet="([^"]+)"', read(out, p)).group(1)
                   for p in parts(out, r"xl/pivotCache/pivotCacheDefinition\d+\.xml")
                   if "worksheetSource" in read(out, p) and 'sheet="' in read(out, p)}
        self.assertTrue(any(s.endswith(" (2)") for s in sources), sources)
        self.check_package(out)

    def test_rows_deleted_before_a_sheet_copy_move_its_pictures_and_charts(self):
        """Rows without a key go before the first "Data" is copied whole: the pictures and
        the chart under the table move up with the rows, and the chart plots the rows left."""
        folder = os.path.join(self.tmp, "keys")
        os.makedirs(folder)
        for name, scale in (("a", 1), ("b", 2)):
            wb = xlsxwriter.Workbook(os.path.join(folder, name + ".xlsx"))
            ws = wb.add_worksheet("Data")
            ws.write_row(0, 0, ["月份", "收入"])
            for i, (key, value) in enumerate([("一月", 10), (None, 99), ("二月", 20), (None, 98),
                                               (None, 97), ("三月", 30)]):
                if key:
                    ws.write(i + 1, 0, key)
                ws.write(i + 1, 1, value * scale)
            ws.insert_image("D7", self.logo)  # below the rows that go
            ws.insert_image("F5", self.logo)  # on a row that goes: it lands on the next one
            chart = wb.add_chart({"type": "column"})
            chart.add_series({"categories": "=Data!$A$2:$A$7", "values": "=Data!$B$2:$B$7"})
            ws.insert_chart("D10", chart)
            wb.close()
        out = os.path.join(self.tmp, "keys.xlsx")
        code, stderr = run("merge-files", folder, "-o", out, "--same-name", "--drop-empty-key", "1")
        self.assertEqual(code, 0, stderr)
        rows = list(openpyxl.load_workbook(out)["Data"].iter_rows(values_only=True))
        self.assertEqual(rows[:4], [("月份", "收入"), ("一月", 10), ("二月", 20), ("三月", 30)])
        drawing = read(out, "xl/drawings/drawing1.xml")
        self.assertEqual([int(r) for r in re.findall(
            r"<xdr:from><xdr:col>\d+</xdr:col><xdr:colOff>\d+</xdr:colOff><xdr:row>(\d+)</xdr:row>",
            drawing)], [3, 3, 6])
        self.assertEqual(chart_formulas(out, "Data"), ["Data!$A$2:$A$4", "Data!$B$2:$B$4"])
        self.check_package(out)

if __name__ == "__main__":
    unittest.main()
