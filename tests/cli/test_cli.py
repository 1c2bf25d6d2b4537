"""The command line as a black box: invocations of the built program, their exit statuses,
texts and output files, read back with openpyxl.

Usage: /usr/bin/python3 test_cli.py PATH_TO_TABLAWEAVER
"""

import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import openpyxl

EXE = None

HEADER = ["日期", "城市", "产品", "数量"]


def make_book(path, sheets):
    """sheets: list of (name, rows); rows is a list of lists (an empty list: an empty sheet)."""
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name, rows in sheets:
        ws = wb.create_sheet(name)
        for row in rows:
            ws.append(row)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    wb.save(path)


def sales_rows(n, start=1):
    cities = ["北京", "上海", "广州"]
    return [HEADER] + [
        [f"2024-01-{(i % 28) + 1:02d}", cities[i % 3], f"产品{i}", i] for i in range(start, start + n)
    ]


def values(path, sheet=None):
    wb = openpyxl.load_workbook(path)
    ws = wb[sheet] if sheet else wb.worksheets[0]
    return [list(r) for r in ws.iter_rows(values_only=True)]


def environment():
    env = dict(os.environ)
    # The command line must not need a display.
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    env["LC_ALL"] = "C.UTF-8"
    return env


def run(*args, cwd=None):
    p = subprocess.run([EXE, *args], capture_output=True, text=True, cwd=cwd, env=environment(),
                       timeout=120)
    return p.returncode, p.stdout.splitlines(), p.stderr.splitlines()


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw-cli-")
        self.out = os.path.join(self.dir, "out")
        os.makedirs(self.out)
        # Folder for the merges: files in name order regardless of case, subfolder last, one
        # file that cannot be opened, one empty sheet, one lock file.
        self.folder = os.path.join(self.dir, "销售")
        make_book(os.path.join(self.folder, "b.xlsx"), [("一月", sales_rows(3)), ("空", [])])
        make_book(os.path.join(self.folder, "A.xlsx"), [("一月", sales_rows(2, 10))])
        make_book(os.path.join(self.folder, "分店", "c.xlsx"), [("二月", sales_rows(1, 20))])
        with open(os.path.join(self.folder, "坏文件.xlsx"), "wb") as f:
            f.write(b"this is not a workbook")
        shutil.copy(os.path.join(self.folder, "A.xlsx"), os.path.join(self.folder, "~$A.xlsx"))
        # Workbook for the sheet jobs and the splits.
        self.book = os.path.join(self.dir, "book", "汇总.xlsx")
        make_book(self.book, [("S1", sales_rows(4)), ("S2", sales_rows(2, 50)), ("S3", [])])
        self.table = os.path.join(self.dir, "table", "明细.xlsx")
        make_book(self.table, [("数据", sales_rows(5))])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def assert_result(self, stderr, prefix):
        self.assertTrue(stderr, "no text on standard error")
        self.assertTrue(stderr[-1].startswith(prefix), f"last line {stderr[-1]!r}")

    def test_each_job_runs_with_its_main_options(self):
        folder, out, book, table = self.folder, self.out, self.book, self.table
        fail_list = os.path.join(folder, "无法合并的文件目录.txt")

        def merged_per_sheet(stdout, stderr):
            # The missing extension is appended; the list of unmergeable files is written and
            # its path printed; the merged workbook's path is the last line of standard output.
            self.assertEqual(stdout, [fail_list, os.path.join(out, "merged.xlsx")])
            with open(fail_list, encoding="utf-8") as f:
                self.assertIn("坏文件.xlsx 内容不是受支持的表格文件", f.read())
            wb = openpyxl.load_workbook(stdout[-1])
            self.assertEqual(len(wb.worksheets), 3)
            # A.xlsx, b.xlsx, 分店/c.xlsx in that order; the empty sheet is skipped.
            self.assertEqual([ws.max_row for ws in wb.worksheets], [3, 4, 2])
            self.assertEqual(wb.worksheets[0]["C2"].value, "产品10")
            self.assertTrue(any(line.startswith("进度 ") for line in stderr))

        def merged_one_sheet(stdout, stderr):
            rows = values(stdout[-1], "合并Sheet")
            self.assertEqual(rows[0], HEADER)
            self.assertEqual(len(rows), 1 + 2 + 3 + 1)
            self.assertNotIn(HEADER, rows[1:])

        def merged_sheets(stdout, stderr):
            self.assertEqual(stdout, [os.path.join(out, "sheets.xls")])
            self.assertTrue(os.path.getsize(stdout[0]) > 0)
            # The organised temporary copy is gone.
            self.assertEqual(os.listdir(os.path.dirname(book)), ["汇总.xlsx"])

        def split_by_sheet(stdout, stderr):
            folder_made = stderr[-1].split(" 到 ", 1)[1]
            self.assertEqual(os.path.dirname(folder_made), os.path.dirname(book))
            self.assertEqual(sorted(os.listdir(folder_made)), ["S1.xlsx", "S2.xlsx"])
            self.assertEqual(len(values(os.path.join(folder_made, "S2.xlsx"))), 3)

        def split_by_rows(stdout, stderr):
            names = sorted(os.listdir(os.path.join(out, "rows")))
            self.assertEqual(names, ["明细_1.xlsx", "明细_2.xlsx", "明细_3.xlsx"])
            last = values(os.path.join(out, "rows", "明细_3.xlsx"))
            self.assertEqual(last[0], HEADER)
            self.assertEqual([r[2] for r in last[1:] if r[2]], ["产品5"])

        def split_by_column(stdout, stderr):
            self.assertEqual(sorted(os.listdir(os.path.join(out, "col"))), ["bj.xlsx", "sh.xlsx"])
            rows = values(os.path.join(out, "col", "sh.xlsx"))
            self.assertEqual(rows[0], HEADER)
            self.assertEqual({r[1] for r in rows[1:] if r[1]}, {"上海"})

        os.makedirs(os.path.join(out, "rows"))
        os.makedirs(os.path.join(out, "col"))
        cases = [
            (["merge-files", folder, "-o", os.path.join(out, "merged")],
             "成功合并3个工作簿的3个sheet到一个工作簿。", merged_per_sheet),
            (["merge-one-sheet", folder, "-o", os.path.join(out, "one.xlsx"), "--header-rows", "1"],
             "成功合并3个工作簿的3个sheet到一个工作簿。", merged_one_sheet),
            (["merge-sheets", book, "-o", os.path.join(out, "sheets"), "--xls", "--header-rows",
              "1"], "成功汇总2个sheet,", merged_sheets),
            (["split-sheets", book], "成功拆分2个sheet 到 ", split_by_sheet),
            (["split-rows", table, "-d", os.path.join(out, "rows"), "--rows", "2",
              "--header-rows", "1"], "成功拆分出3个excel文件!", split_by_rows),
            (["split-column", table, "-d", os.path.join(out, "col"), "--column", "2", "--values",
              "北京|上海", "--names", "bj|sh"], "成功拆分出2个excel文件!", split_by_column),
        ]
        for args, result, check in cases:
            with self.subTest(args[0]):
                code, stdout, stderr = run(*args)
                self.assertEqual(code, 0, stderr)
                self.assert_result(stderr, result)
                if args[0] in ("merge-files", "merge-one-sheet"):
                    self.assertRegex(stderr[-1], "耗时[0-9]+秒。注意：有1个文件无法打开，"
                                                 "已列入无法合并的文件目录.txt。")
                check(stdout, stderr)

    def test_the_bundled_examples_merge(self):
        script = os.path.join(os.path.dirname(__file__), "..", "..", "examples",
                              "make_examples.py")
        dest = os.path.join(self.dir, "examples")
        made = subprocess.run([sys.executable, script, dest, "--tablaweaver", EXE],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(made.stderr, "")
        code, stdout, stderr = run("merge-files", os.path.join(dest, "销售"), "-o",
                                   os.path.join(dest, "合并结果.xlsx"))
        self.assertEqual(code, 0, stderr)
        # Three monthly workbooks of two sheets, the subfolder's, the .csv and the .xls.
        self.assert_result(stderr, "成功合并6个工作簿的10个sheet到一个工作簿。")
        self.assertEqual(stdout, [os.path.join(dest, "合并结果.xlsx")])
        wb = openpyxl.load_workbook(stdout[0])
        self.assertEqual(len(wb.worksheets), 10)
        first = wb.worksheets[0]
        self.assertEqual([c.value for c in first[1]], ["日期", "门店", "商品", "单价", "数量", "金额",
                                                        "销售员"])

    def test_start_checks_stop_with_the_window_messages(self):
        missing = os.path.join(self.dir, "没有")
        csv = os.path.join(self.dir, "明细.csv")
        with open(csv, "w", encoding="utf-8") as f:
            f.write("a,b\n1,2\n")
        cases = [
            (["merge-files", missing, "-o", os.path.join(self.out, "x")], "文件夹不存在"),
            (["merge-one-sheet", self.book, "-o", os.path.join(self.out, "x")], "文件夹不存在"),
            (["merge-sheets", missing, "-o", os.path.join(self.out, "x")], "文件不存在"),
            (["merge-sheets", self.folder, "-o", os.path.join(self.out, "x")],
             "汇总需要一个工作簿文件,不能汇总文件夹!"),
            (["merge-sheets", csv, "-o", os.path.join(self.out, "x")],
             "只能汇总扩展名为.xls、.xlsx、.xlsm(小写)的工作簿,请选择正确的文件!"),
            (["split-sheets", missing], "文件不存在"),
            (["split-rows", self.table, "-d", missing, "--rows", "2"],
             "Excel文件或文件夹不存在,请选择正确路径!"),
            (["split-rows", missing, "-d", self.out, "--rows", "2"],
             "Excel文件或文件夹不存在,请选择正确路径!"),
            (["split-column", self.table, "-d", self.out, "--column", "0"], "请正确填写列范围!"),
            (["split-column", self.table, "-d", self.out, "--column", "16385"], "请正确填写列范围!"),
            (["split-column", self.table, "-d", self.out, "--column", "2", "--values", "a|b|",
              "--names", "x|y"], "提取数据份数与文件份数不一致,请核对!"),
            (["split-column", missing, "-d", self.out, "--column", "2"],
             "Excel文件或文件夹不存在,请选择正确路径!"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args)
                self.assertEqual((code, stderr), (1, [message]))
                self.assertEqual(os.listdir(self.out), [])

    def test_a_merge_that_cannot_save_is_a_failure(self):
        # A folder stands where the workbook should go and may be replaced: the result text is
        # shown, the save fails.
        taken = os.path.join(self.out, "taken.xlsx")
        os.makedirs(taken)
        code, stdout, stderr = run("merge-sheets", self.book, "-o", taken, "--overwrite")
        self.assertEqual(code, 1)
        self.assertEqual(stdout, [])
        self.assertTrue(any(line.startswith("成功汇总") for line in stderr))
        self.assertFalse(stderr[-1].startswith("成功汇总"))
        self.assertEqual(os.listdir(self.out), ["taken.xlsx"])
        self.assertEqual(os.listdir(taken), [])

    def test_usage_errors(self):
        o = ["-o", os.path.join(self.out, "x")]
        cases = [
            (["merge-files", self.folder], "-o"),
            (["merge-files", *o], "文件夹"),
            (["merge-files", self.folder, self.book, *o], self.book),
            (["merge-sheets", self.book, *o, "--sheet", "A"], "--sheet"),
            (["merge-files", self.folder, *o, "--header-rows", "1"], "--same-name"),
            (["merge-files", self.folder, *o, "--file-name-as-sheet-name"], "--first-sheet"),
            (["merge-files", self.folder, *o, "--same-name", "--header-rows", "x"], "整数"),
            (["merge-files", self.folder, *o, "--same-name", "--drop-empty-key", "257"], "257"),
            (["merge-files", self.folder, "-o", os.path.join(self.dir, "无此文件夹", "x")],
             "无此文件夹"),
            (["split-rows", self.table, "-d", self.out, "--rows", "0"], "--rows"),
            (["split-rows", self.table, "-d", self.out], "--rows"),
            (["split-column", self.table, "-d", self.out, "--column"], "--column"),
            (["split-sheets", self.book, "--xls=1"], "--xls"),
        ]
        for args, mentioned in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args)
                self.assertEqual(code, 2)
                self.assertIn(mentioned, "\n".join(stderr))
                self.assertEqual(os.listdir(self.out), [])
                self.assertFalse(os.path.exists(os.path.join(self.folder, "无法合并的文件目录.txt")))

    def test_help_and_version(self):
        code, stdout, _ = run("--help")
        self.assertEqual(code, 0)
        text = "\n".join(stdout)
        for name in ["merge-files", "merge-one-sheet", "merge-sheets", "split-sheets",
                     "split-rows", "split-column", "--keep-empty-sheets", "--sheet",
                     "--first-sheet", "--file-name-as-sheet-name", "--same-name", "--header-rows",
                     "--drop-empty-key", "--horizontal", "--no-organise", "--xls", "--rows",
                     "--last-column", "--column", "--values", "--names", "--contains",
                     "--one-workbook", "--row-by-row", "--overwrite", "用法"]:
            self.assertIn(name, text)
        code, stdout, _ = run("--version")
        self.assertEqual(code, 0)
        self.assertRegex(stdout[0], r"^tablaweaver \d+\.\d+\.\d+$")

    def test_settings_file_beside_the_program_is_untouched(self):
        settings = os.path.join(os.path.dirname(EXE), "Tablaweaver.zrk")

        def content():
            if not os.path.exists(settings):
                return None
            with open(settings, "rb") as f:
                return f.read()

        before = content()
        code, _, _ = run("split-sheets", self.book)
        self.assertEqual(code, 0)
        self.assertEqual(content(), before)

    def test_settings_file_is_a_regular_file_with_either_line_end(self):
        fifo = os.path.join(self.dir, "pipe.zrk")
        os.mkfifo(fifo)
        code, _, stderr = run("split-sheets", "--settings", fifo)
        self.assertEqual(code, 2)
        self.assertIn("设置文件不是普通文件：" + fifo, stderr[0])
        for end in ("\n", "\r\n"):
            with self.subTest(line_end=repr(end)):
                settings = os.path.join(self.dir, "Tablaweaver.zrk")
                with open(settings, "w", encoding="utf-8", newline="") as f:
                    f.write("other=1" + end + "sheetSplitPath=" + self.book + end)
                code, _, stderr = run("split-sheets", "--settings", settings)
                self.assertEqual(code, 0, stderr)
                self.assert_result(stderr, "成功拆分2个sheet 到 ")

    def test_progress_bar_on_a_terminal(self):
        master, slave = pty.openpty()
        p = subprocess.Popen([EXE, "merge-files", self.folder, "-o",
                              os.path.join(self.out, "m.xlsx")], stdout=subprocess.DEVNULL,
                             stderr=slave, env=environment())
        os.close(slave)
        screen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        p.wait(timeout=60)
        os.close(master)
        text = screen.decode("utf-8", "replace")
        self.assertEqual(p.returncode, 0, text)
        # The bar: count of the total, elapsed time, current text; each text still on its line.
        self.assertRegex(text, r"\[[#.]{20}\] \d+/\d+  \d\d:\d\d")
        self.assertIn("成功合并3个工作簿的3个sheet到一个工作簿。", text)
        self.assertIn("注意：有1个文件无法打开，已列入无法合并的文件目录.txt。", text)
        self.assertNotIn("进度 ", text)

    def start_and_interrupt(self, args, ready):
        """Starts the program, sends SIGINT once ready(stderr lines so far) is true."""
        with subprocess.Popen([EXE, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, env=environment()) as p:
            lines = []
            for line in p.stderr:
                lines.append(line.rstrip("\n"))
                if ready(lines):
                    p.send_signal(signal.SIGINT)
                    break
            lines += p.stderr.read().splitlines()
            p.wait(timeout=120)
        return p.returncode, lines

    def test_interrupted_merges_save_nothing_and_leave_no_temporary_file(self):
        # Enough work that the job is still early on when the signal arrives.
        many = os.path.join(self.dir, "many")
        make_book(os.path.join(many, "f000.xlsx"), [("数据", sales_rows(2000))])
        for i in range(1, 100):
            shutil.copy(os.path.join(many, "f000.xlsx"), os.path.join(many, f"f{i:03d}.xlsx"))
        # A workbook of many sheets, merged with the organise step (a temporary copy beside it).
        sheets = os.path.join(self.dir, "sheets", "多表.xlsx")
        make_book(sheets, [(f"表{i}", sales_rows(1500)) for i in range(100)])
        cases = [
            (["merge-files", many], "f001.xlsx", ".xlsx", many, "成功合并"),
            (["merge-sheets", sheets], "表1", "表", os.path.dirname(sheets), "成功汇总"),
        ]
        for args, ready, unit, source_dir, result in cases:
            with self.subTest(args[0]):
                before = sorted(os.listdir(source_dir))
                code, lines = self.start_and_interrupt(
                    [*args, "-o", os.path.join(self.out, "merged.xlsx")],
                    lambda ls: any(l.endswith(ready) for l in ls))
                self.assertEqual(code, 130)
                self.assertEqual(lines[-1], "已取消。")
                self.assertFalse(any(l.startswith(result) for l in lines))
                done = [l for l in lines if l.endswith(unit) or l.startswith(unit)]
                self.assertLess(len(done), 100, "the job went on to the end")
                self.assertEqual(os.listdir(self.out), [])
                self.assertEqual(sorted(os.listdir(source_dir)), before)

    def test_interrupted_split_keeps_only_complete_outputs(self):
        big = os.path.join(self.dir, "big", "大表.xlsx")
        make_book(big, [("数据", sales_rows(3000))])
        dest = os.path.join(self.out, "parts")
        os.makedirs(dest)
        p = subprocess.Popen([EXE, "split-rows", big, "-d", dest, "--rows", "10", "--header-rows",
                              "1"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             env=environment())
        deadline = time.time() + 60
        while time.time() < deadline and p.poll() is None and len(os.listdir(dest)) < 3:
            time.sleep(0.01)
        p.send_signal(signal.SIGINT)
        p.wait(timeout=120)
        names = sorted(os.listdir(dest))
        if p.returncode == 130:
            self.assertLess(len(names), 300, "the job went on to the end")
        else:
            self.assertEqual(p.returncode, 0)
        # No temporary or half-written file: every file left is a complete block.
        self.assertTrue(names)
        for name in names:
            self.assertRegex(name, r"^大表_\d+\.xlsx$")
            rows = values(os.path.join(dest, name))
            self.assertEqual(rows[0], HEADER)
            self.assertEqual(len([r for r in rows[1:] if r[2]]), 10, name)


class PromisesTest(unittest.TestCase):
    """What the command line promises about the user's files: exit status and last line."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw-cli-promise-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_sources_and_existing_files_are_never_lost(self):
        make_book(self.path("two.xlsx"), [("S1", sales_rows(2)), ("S2", sales_rows(1))])
        make_book(self.path("f", "good_a.xlsx"), [("A", sales_rows(1))])
        os.makedirs(self.path("bad"))
        with open(self.path("bad", "1.xlsx"), "wb") as f:
            f.write(b"PK\x03\x04 damaged")
        make_book(self.path("kept.xlsx"), [("Mine", [["mine"]])])
        two, good, kept = (self.read(self.path(n)) for n in
                           ("two.xlsx", os.path.join("f", "good_a.xlsx"), "kept.xlsx"))
        cases = [
            (["merge-sheets", self.path("two.xlsx"), "-o", self.path("two")], "不能保存为源文件："),
            (["merge-files", self.path("f"), "-o", self.path("f", "good_a.xlsx")],
             "不能保存为源文件："),
            (["merge-sheets", self.path("bad", "1.xlsx"), "-o", self.path("kept.xlsx"),
              "--overwrite"], "没有可汇总的内容："),
            (["merge-files", self.path("bad"), "-o", self.path("kept.xlsx"), "--overwrite"],
             "没有可合并的内容：所有工作簿都无法打开"),
            (["split-sheets", self.path("bad", "1.xlsx")], "无法打开文件 "),
            (["split-rows", self.path("bad", "1.xlsx"), "-d", self.dir, "--rows", "1"],
             "无法打开文件 "),
        ]
        for args, last in cases:
            with self.subTest(args=args[:2]):
                code, stdout, stderr = run(*args)
                self.assertEqual(code, 1)
                self.assertTrue(stderr[-1].startswith(last), stderr[-1])
                self.assertNotIn(".xlsx", "".join(l for l in stdout if "无法合并" not in l))
                self.assertEqual(self.read(self.path("two.xlsx")), two)
                self.assertEqual(self.read(self.path("f", "good_a.xlsx")), good)
                self.assertEqual(self.read(self.path("kept.xlsx")), kept)
        self.assertEqual(sorted(os.listdir(self.dir)), ["bad", "f", "kept.xlsx", "two.xlsx"])

        # An existing -o is kept unless --overwrite; the path written is the last line.
        code, stdout, stderr = run("merge-sheets", self.path("two.xlsx"), "-o", self.path("kept"))
        self.assertEqual((code, stdout[-1]), (0, self.path("kept (2).xlsx")))
        self.assertEqual(stderr[-1], "因已有同名文件，结果另存为：" + self.path("kept (2).xlsx"))
        self.assertEqual(self.read(self.path("kept.xlsx")), kept)
        code, stdout, _ = run("merge-sheets", self.path("two.xlsx"), "-o", self.path("kept"),
                              "--overwrite")
        self.assertEqual((code, stdout[-1]), (0, self.path("kept.xlsx")))
        self.assertEqual(values(self.path("kept.xlsx"))[0], HEADER)

    def test_split_outputs_keep_unrelated_files_unless_overwrite(self):
        make_book(self.path("src.xlsx"), [("S", [["k"], ["keep"], ["x"]])])
        out = self.path("out")
        os.makedirs(out)
        with open(os.path.join(out, "keep.xlsx"), "wb") as f:
            f.write(b"someone's file")
        args = ["split-column", self.path("src.xlsx"), "-d", out, "--column", "1"]
        code, _, stderr = run(*args)
        self.assertEqual(code, 0)
        self.assertEqual(stderr[-1], "成功拆分出2个excel文件! 因已有同名文件，另存为：keep (2).xlsx")
        self.assertEqual(self.read(os.path.join(out, "keep.xlsx")), b"someone's file")
        self.assertEqual(values(os.path.join(out, "keep (2).xlsx")), [["k"], ["keep"]])
        code, _, stderr = run(*args, "--overwrite")
        self.assertEqual(code, 0)
        self.assertEqual(stderr[-1], "成功拆分出2个excel文件! 已替换原有文件：keep.xlsx、x.xlsx")
        self.assertEqual(values(os.path.join(out, "keep.xlsx")), [["k"], ["keep"]])

    def test_too_many_rows_for_xls_is_a_success_naming_the_xlsx(self):
        os.makedirs(self.path("src"))
        with open(self.path("src", "long.csv"), "w") as f:
            f.write("".join(f"{i},x\n" for i in range(65537)))
        code, stdout, stderr = run("merge-files", self.path("src"), "-o", self.path("out"),
                                   "--xls")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(stdout[-1], self.path("out.xlsx"))
        self.assertEqual(stderr[-1], "数据超出xls格式上限(65536行/256列)，已另存为：" +
                         self.path("out.xlsx"))
        self.assertFalse(os.path.exists(self.path("out.xls")))

    def test_a_split_that_cannot_save_an_output_is_a_failure(self):
        # Any output not saved makes the status 1, as a merge's save does.
        src = self.path("src.xlsx")
        make_book(src, [("数据", sales_rows(4))])
        out = self.path("out")
        os.makedirs(os.path.join(out, "src_2.xlsx"))  # a folder stands where an output goes
        os.makedirs(os.path.join(out, "拆分后.xlsx"))
        too_long = "长" * 100  # 300 bytes, longer than a file name may be
        cases = [
            (["split-rows", src, "-d", out, "--rows", "2", "--header-rows", "1", "--overwrite"],
             "成功拆分出1个excel文件!", "未能保存1个文件：src_2.xlsx"),
            (["split-column", src, "-d", out, "--column", "2", "--values", "北京|上海",
              "--names", "bj|" + too_long], "成功拆分出1个excel文件!", "未能保存1个文件："),
            (["split-column", src, "-d", out, "--column", "2", "--one-workbook", "--overwrite"],
             "成功拆分出0个sheet", "未能保存1个文件：拆分后.xlsx"),
        ]
        for args, result, failure in cases:
            with self.subTest(args=args[:1] + args[-2:]):
                code, _, stderr = run(*args)
                self.assertEqual(code, 1, stderr)
                line = next(l for l in stderr if l.startswith(result))
                self.assertIn(failure, line)
        code, _, stderr = run("split-rows", src, "-d", out, "--rows", "2", "--header-rows", "1")
        self.assertEqual(code, 0, stderr)

    def test_a_save_cut_short_names_why_in_chinese_and_leaves_nothing(self):
        make_book(self.path("src", "a.xlsx"), [("数据", sales_rows(200))])

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))

        p = subprocess.run([EXE, "merge-files", self.path("src"), "-o", self.path("out")],
                           capture_output=True, text=True, env=environment(),
                           preexec_fn=small_files, timeout=120)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn("保存失败：无法保存 " + self.path("out.xlsx") + "：文件太大，", p.stderr)
        self.assertEqual(p.stdout, "")
        # The name reserved for the result is gone with the save.
        self.assertEqual(os.listdir(self.dir), ["src"])

    def test_runs_at_once_with_the_same_output_keep_every_result(self):
        make_book(self.path("src", "a.xlsx"), [("数据", sales_rows(5000))])
        make_book(self.path("out.xlsx"), [("Mine", [["mine"]])])
        mine = self.read(self.path("out.xlsx"))
        runs = [subprocess.Popen([EXE, "merge-files", self.path("src"), "-o", self.path("out")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=environment()) for _ in range(4)]
        written = []
        for p in runs:
            stdout, stderr = p.communicate(timeout=120)
            self.assertEqual(p.returncode, 0, stderr)
            written.append(stdout.splitlines()[-1])
        self.assertEqual(sorted(written), [self.path(f"out ({n}).xlsx") for n in range(2, 6)])
        for path in written:
            self.assertEqual(len(values(path)), 5001, path)
        self.assertEqual(self.read(self.path("out.xlsx")), mine)

    def test_second_interrupt_during_the_save(self):
        # A save long enough to be interrupted: the status says whether the file was written.
        # Without --overwrite the result goes to the name reserved beside the file, which an
        # abandoned save removes again.
        os.makedirs(self.path("src"))
        make_book(self.path("src", "big.xlsx"), [("数据", sales_rows(60000))])
        out = self.path("out")
        os.makedirs(out)
        make_book(os.path.join(out, "m.xlsx"), [("Old", [["old"]])])
        for overwrite in (True, False):
            with self.subTest(overwrite=overwrite):
                self.interrupt_the_save(out, overwrite)

    def interrupt_the_save(self, out, overwrite):
        before = self.read(os.path.join(out, "m.xlsx"))
        result = os.path.join(out, "m.xlsx" if overwrite else "m (2).xlsx")
        with subprocess.Popen([EXE, "merge-files", self.path("src"), "-o",
                               os.path.join(out, "m.xlsx")] + (["--overwrite"] if overwrite else []),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=environment()) as p:
            # Two signals once the save's temporary file is there.
            deadline = time.time() + 60
            while time.time() < deadline and p.poll() is None:
                if any(".tw-" in n for n in os.listdir(out)):
                    p.send_signal(signal.SIGINT)
                    time.sleep(0.01)
                    p.send_signal(signal.SIGINT)
                    break
                time.sleep(0.001)
            stdout, stderr = p.communicate(timeout=120)
            stdout, rest = stdout.splitlines(), stderr.splitlines()
        names = sorted(os.listdir(out))
        self.assertEqual(self.read(os.path.join(out, "m.xlsx")) == before,
                         p.returncode == 130 or not overwrite)
        if p.returncode == 130:
            self.assertEqual(names, ["m.xlsx"], "a temporary or reserved file was left")
            self.assertTrue(any(l.startswith("保存失败：已取消保存 ") for l in rest), rest)
            self.assertEqual(rest[-1], "已取消。")
            self.assertEqual(stdout, [])
        else:
            self.assertEqual(p.returncode, 0, rest)
            self.assertEqual(names, sorted({"m.xlsx", os.path.basename(result)}),
                             "a temporary file was left")
            self.assertEqual(stdout[-1], result)
            self.assertEqual(values(result)[0], HEADER)
            if not overwrite:
                os.remove(result)

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_cli.py PATH_TO_TABLAWEAVER")
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
