"""The options beyond the window's form on the command line: --align-headers, --source-columns,
--report, --dry-run and --settings; and, on the bundled examples, that every job with all of
them off gives the same files and texts whichever way "off" is reached.

Usage: /usr/bin/python3 test_advanced_options.py PATH_TO_TABLAWEAVER
"""

import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import openpyxl

EXE = None
HERE = os.path.dirname(os.path.abspath(__file__))


def environment():
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    env["LC_ALL"] = "C.UTF-8"
    return env


def run(*args, cwd=None):
    p = subprocess.run([EXE, *args], capture_output=True, text=True, timeout=300,
                       env=environment(), cwd=cwd)
    return p.returncode, p.stdout.splitlines(), p.stderr.splitlines()


def make_book(path, sheets):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name, rows in sheets:
        ws = wb.create_sheet(name)
        for row in rows:
            ws.append(row)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    wb.save(path)


def values(path, sheet=0):
    wb = openpyxl.load_workbook(path)
    return [list(r) for r in wb.worksheets[sheet].iter_rows(values_only=True)]


def listing(root):
    out = []
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            out.append(os.path.relpath(os.path.join(base, name), root))
    return sorted(out)


# The write time in an .xlsx package's core properties is the only part that differs between
# two runs of the same job.
CORE_TIMES = re.compile(rb"<dcterms:(created|modified)[^>]*>[^<]*</dcterms:\1>")


def same_file(a, b):
    if not a.lower().endswith((".xlsx", ".xlsm")):
        return filecmp.cmp(a, b, shallow=False)
    with zipfile.ZipFile(a) as za, zipfile.ZipFile(b) as zb:
        if za.namelist() != zb.namelist():
            return False
        for name in za.namelist():
            x, y = za.read(name), zb.read(name)
            if name == "docProps/core.xml":
                x, y = CORE_TIMES.sub(b"", x), CORE_TIMES.sub(b"", y)
            if x != y:
                return False
    return True


def texts(lines, root):
    """The job's texts with the elapsed time, the run's folder and time tags made neutral."""
    out = []
    for line in lines:
        line = line.replace(root, "ROOT")
        line = re.sub(r"耗时\d+秒", "耗时N秒", line)
        line = re.sub(r"拆分_\d{6}", "拆分_T", line)
        out.append(line)
    return out


class OptionsOff(unittest.TestCase):
    """Every job on the examples: a plain run, a run whose settings file holds the new keys
    turned off as the window stores them, and a run that also writes a report elsewhere give
    the same files byte for byte (the write time aside) and the same texts."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tw-options-off-")
        cls.examples = os.path.join(cls.dir, "examples")
        made = subprocess.run([sys.executable, os.path.join(HERE, "..", "..", "examples",
                                                            "make_examples.py"),
                               cls.examples, "--tablaweaver", EXE],
                              capture_output=True, text=True, timeout=120)
        assert made.returncode == 0, made.stderr
        cls.off = os.path.join(cls.dir, "off.zrk")
        with open(cls.off, "wb") as f:
            f.write(b"AlignHeaders=n\r\nSourceColumns=n\r\nSpillOver=n\r\nReportBesideOutput=n\r\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    JOBS = [
        ["merge-files", "销售", "-o", "out/files.xlsx"],
        ["merge-files", "销售", "--same-name", "--header-rows", "1", "-o", "out/same.xlsx"],
        ["merge-one-sheet", "销售", "--header-rows", "1", "--xls", "-o", "out/one.xls"],
        ["merge-one-sheet", "销售", "--drop-empty-key", "1", "-o", "out/one.xlsx"],
        ["merge-sheets", "销售/2024年01月销售.xlsx", "--header-rows", "1", "-o", "out/sheets.xlsx"],
        ["split-sheets", "销售/2024年01月销售.xlsx"],
        ["split-rows", "门店明细.xlsx", "-d", "out", "--rows", "40", "--header-rows", "1"],
        ["split-column", "门店明细.xlsx", "-d", "out", "--column", "2", "--header-rows", "1"],
    ]

    def run_in_copy(self, name, args):
        root = os.path.join(self.dir, name)
        shutil.copytree(self.examples, root)
        os.makedirs(os.path.join(root, "out"))
        before = set(listing(root))
        code, stdout, stderr = run(*args, cwd=root)
        made = [p for p in listing(root) if p not in before]
        return root, code, texts(stdout, root), texts(stderr, root), made

    def test_every_job_unchanged_with_the_options_off(self):
        for n, job in enumerate(self.JOBS):
            with self.subTest(" ".join(job)):
                plain = self.run_in_copy(f"{n}-plain", job)
                self.assertEqual(plain[1], 0, plain[3])
                self.assertTrue(plain[4], "the job wrote something")
                os.makedirs(os.path.join(self.dir, "reports"), exist_ok=True)
                report = os.path.join(self.dir, "reports", f"{n}.json")
                variants = {
                    "settings": job + ["--settings", self.off],
                    "report": job + ["--report", report],
                }
                for what, args in variants.items():
                    root, code, stdout, stderr, made = self.run_in_copy(f"{n}-{what}", args)
                    self.assertEqual(code, 0, stderr)
                    norm = [re.sub(r"拆分_\d{6}", "拆分_T", p) for p in made]
                    self.assertEqual(norm, [re.sub(r"拆分_\d{6}", "拆分_T", p)
                                            for p in plain[4]], what)
                    for mine, theirs in zip(made, plain[4]):
                        a, b = os.path.join(root, mine), os.path.join(plain[0], theirs)
                        if os.path.isfile(a):
                            self.assertTrue(same_file(a, b), f"{what}: {mine}")
                    if what == "report":
                        self.assertIn("报告已保存：" + report, stderr)
                        stderr = [t for t in stderr if not t.startswith("报告已保存：")]
                        with open(report, encoding="utf-8") as f:
                            self.assertTrue(json.load(f))
                    self.assertEqual(stdout, plain[2], what)
                    self.assertEqual(stderr, plain[3], what)


class Flags(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw-options-")
        self.src = os.path.join(self.dir, "src")
        make_book(os.path.join(self.src, "a.xlsx"), [("Jan", [["ID", "Name"], [1, "x"]])])
        make_book(os.path.join(self.src, "sub", "b.xlsx"),
                  [("Feb", [[" name", "ＩＤ", "Extra"], ["y", 2, "e"]])])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_align_headers_and_source_columns(self):
        out = os.path.join(self.dir, "out.xlsx")
        code, stdout, stderr = run("merge-one-sheet", self.src, "--align-headers",
                                   "--source-columns", "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(values(out), [["来源文件", "来源工作表", "ID", "Name", "Extra"],
                                       ["a.xlsx", "Jan", 1, "x", None],
                                       ["sub/b.xlsx", "Feb", 2, "y", "e"]])

    def test_dry_run_prints_the_plan_and_writes_nothing(self):
        before = listing(self.dir)
        code, stdout, stderr = run("merge-one-sheet", self.src, "--dry-run", "--align-headers")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(stderr[-1], "预览完成，未写入任何文件。")
        self.assertEqual(listing(self.dir), before)
        self.assertEqual(stdout[0].split(), ["文件", "工作表", "结果", "取用行数", "去掉的表头行",
                                             "删除的空关键行", "输出文件", "输出位置", "说明",
                                             "保留为文本的列", "冻结的公式", "未带到输出的内容",
                                             "文件格式"])
        self.assertEqual(stdout[2].split(), ["sub/b.xlsx", "Feb", "已合并", "1", "1", "0",
                                             "FileMerge.xlsx", "合并Sheet", "新增列：Extra", "0",
                                             "xlsx", "工作簿"])

        # With --report the plan is also written in the report's form.
        plan = os.path.join(self.dir, "plan.json")
        code, _, stderr = run("merge-one-sheet", self.src, "--dry-run", "--report", plan)
        self.assertEqual(code, 0, stderr)
        with open(plan, encoding="utf-8") as f:
            rows = json.load(f)
        self.assertEqual([(r["文件"], r["结果"], r["取用行数"]) for r in rows],
                         [("a.xlsx", "已合并", 2), ("sub/b.xlsx", "已合并", 2)])

    def test_report_as_csv_beside_a_run(self):
        out = os.path.join(self.dir, "out.xlsx")
        report = os.path.join(self.dir, "report.csv")
        with open(os.path.join(self.src, "broken.xlsx"), "wb") as f:
            f.write(b"PK\x03\x04broken")
        code, stdout, stderr = run("merge-files", self.src, "-o", out, "--report", report)
        self.assertEqual(code, 0, stderr)
        with open(report, encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 4)
        self.assertTrue(lines[1].startswith("a.xlsx,Jan,已合并,2,0,0," + out + ",Jan"))
        self.assertTrue(lines[2].startswith("broken.xlsx,,失败："), lines[2])

    def test_report_never_replaces_a_source(self):
        book = os.path.join(self.src, "a.xlsx")
        with open(book, "rb") as f:
            before = f.read()
        cases = [("merge-files", self.src, "-o", os.path.join(self.dir, "o.xlsx")),
                 ("merge-sheets", book, "-o", os.path.join(self.dir, "s.xlsx"))]
        for args in cases:
            with self.subTest(job=args[0]):
                code, _, stderr = run(*args, "--report", book)
                self.assertEqual(code, 1, stderr)
                self.assertIn("报告不能保存为源文件", stderr[-1])
                with open(book, "rb") as f:
                    self.assertEqual(f.read(), before)

    def test_settings_file_gives_paths_and_options(self):
        settings = os.path.join(self.dir, "Tablaweaver.zrk")
        with open(settings, "wb") as f:
            f.write(("sourcePath=" + self.src + "\r\nAlignHeaders=y\r\nSourceColumns=n\r\n")
                    .encode("utf-8"))
        out = os.path.join(self.dir, "out.xlsx")
        code, stdout, stderr = run("merge-one-sheet", "--settings", settings, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(values(out), [["ID", "Name", "Extra"], [1, "x", None], [2, "y", "e"]])
        # Flags and the folder on the command line win.
        other = os.path.join(self.dir, "other")
        make_book(os.path.join(other, "c.xlsx"), [("S", [["ID"], [3]])])
        code, _, stderr = run("merge-one-sheet", other, "--settings", settings,
                              "--source-columns", "-o", out, "--overwrite")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(values(out), [["来源文件", "来源工作表", "ID"], ["c.xlsx", "S", 3]])

        # A split set up in the window: workbook, folder, rows per workbook and header rows.
        book = os.path.join(self.src, "a.xlsx")
        folder = os.path.join(self.dir, "parts")
        os.makedirs(folder)
        make_book(book, [("Jan", [["ID"], [1], [2], [3]])])
        with open(settings, "wb") as f:
            f.write(("splitFilePathAverage=" + book + "\r\nsPathAverage=" + folder +
                     "\r\nrowsAverage=2\r\nAppointedHRowAverage=y\r\n"
                     "NumOfAppointedHRAverage=1\r\n").encode("utf-8"))
        code, _, stderr = run("split-rows", "--settings", settings)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(sorted(os.listdir(folder)), ["a_1.xlsx", "a_2.xlsx"])
        self.assertEqual(values(os.path.join(folder, "a_2.xlsx")), [["ID"], [3]])

    def test_usage_errors(self):
        out = os.path.join(self.dir, "out.xlsx")
        cases = [
            (["merge-files", self.src, "--align-headers", "-o", out],
             "选项 --align-headers 需要与 --same-name 一起使用"),
            (["merge-sheets", out, "--horizontal", "--spill", "-o", out],
             "选项 --spill 不能与 --horizontal 一起使用"),
            (["split-rows", out, "-d", self.dir, "--rows", "2", "--source-columns"],
             "子命令 split-rows 没有选项 --source-columns"),
            (["merge-one-sheet", self.src, "--report", os.path.join(self.dir, "no", "r.csv"),
              "-o", out], "保存报告的文件夹不存在："),
            (["merge-one-sheet", "--settings", os.path.join(self.dir, "none.zrk"), "-o", out],
             "无法读取设置文件："),
        ]
        for args, message in cases:
            with self.subTest(message):
                code, _, stderr = run(*args)
                self.assertEqual(code, 2, stderr)
                self.assertTrue(stderr[0].startswith("tablaweaver: " + message), stderr)


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
