"""A folder as offices receive it: a workbook, an old .xls, a web page and a 2003 XML
spreadsheet both named ".xls", an OpenDocument file, a WPS file and a workbook with an open
password, merged into one workbook; the report says what each file really was.

Usage: /usr/bin/python3 test_received_files.py PATH_TO_TABLAWEAVER
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import openpyxl

EXE = None
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus")

PAGE = """<html><head><meta http-equiv="Content-Type" content="text/html; charset=gbk">
<style>.id {mso-number-format:"\\@";}</style></head><body>
<table><tr><td>账户明细</td></tr></table>
<table border=1><tr><th>户名</th><th>证件号</th><th>金额</th></tr>
<tr><td>张三</td><td class=id>110101199003071234</td><td>1,234.50</td></tr>
<tr><td>李四</td><td class=id>00123</td><td>(20.00)</td></tr></table></body></html>"""

XML2003 = """<?xml version="1.0"?>
<?mso-application progid="Excel.Sheet"?>
<Workbook xmlns="urn:schemas-microsoft-com:office:spreadsheet"
 xmlns:ss="urn:schemas-microsoft-com:office:spreadsheet">
 <Worksheet ss:Name="导出"><Table>
  <Row><Cell><Data ss:Type="String">门店</Data></Cell><Cell><Data ss:Type="String">销量</Data></Cell></Row>
  <Row><Cell><Data ss:Type="String">一店</Data></Cell><Cell><Data ss:Type="Number">12</Data></Cell></Row>
  <Row><Cell><Data ss:Type="String">合计</Data></Cell><Cell ss:Formula="=SUM(R[-1]C)"><Data ss:Type="Number">12</Data></Cell></Row>
 </Table></Worksheet>
</Workbook>"""


def run(*args):
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    env["LC_ALL"] = "C.UTF-8"
    p = subprocess.run([EXE, *args], capture_output=True, text=True, timeout=300, env=env)
    return p.returncode, p.stdout, p.stderr


class ReceivedFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw_received_")
        self.src = os.path.join(self.dir, "src")
        os.makedirs(self.src)
        book = openpyxl.Workbook()
        book.active.title = "总部"
        book.active.append(["部门", "人数"])
        book.active.append(["财务", 5])
        book.save(os.path.join(self.src, "a.xlsx"))
        with open(os.path.join(self.src, "bank.xls"), "wb") as f:
            f.write(PAGE.encode("gbk"))
        with open(os.path.join(self.src, "erp.xls"), "w", encoding="utf-8") as f:
            f.write(XML2003)
        for rel, name in (("other/sushi.ods", "ledger.ods"), ("other/fn.et", "wps.et"),
                          ("broken/agile_AES256_SHA512_CBC_pwd_password.xlsx", "locked.xlsx")):
            shutil.copy(os.path.join(CORPUS, rel), os.path.join(self.src, name))

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_every_file_merged_and_named_for_what_it_is(self):
        out = os.path.join(self.dir, "合并.xlsx")
        report = os.path.join(self.dir, "报告.json")
        code, stdout, stderr = run("merge-files", self.src, "-o", out, "--report", report,
                                   "--password", "password")
        self.assertEqual(code, 0, stderr)
        with open(os.path.join(self.src, "无法合并的文件目录.txt"), encoding="utf-8") as f:
            listed = f.read()
        # No file is left out; what a reader left behind is named: the page's title table.
        self.assertNotIn("无法打开", listed)
        self.assertIn("bank.xls [bank] 网页中有2个表格，只读取了最大的一个", listed)
        with open(report, encoding="utf-8") as f:
            rows = json.load(f)
        formats = {r["文件"]: r["文件格式"] for r in rows if r["结果"] == "已合并"}
        self.assertEqual(formats, {
            "a.xlsx": "xlsx 工作簿",
            "bank.xls": "HTML 表格（扩展名 .xls）",
            "erp.xls": "2003 XML 表格（扩展名 .xls）",
            "ledger.ods": "OpenDocument 表格",
            "locked.xlsx": "加密的 xlsx 工作簿",
            "wps.et": "97-2003 工作簿",
        })

        merged = openpyxl.load_workbook(out)
        by_first = {ws["A1"].value: ws for ws in merged.worksheets}
        bank = by_first["户名"]
        # The IDs the page marks as text stay text, with their digits and leading zeros.
        self.assertEqual(bank["B2"].value, "110101199003071234")
        self.assertEqual(bank["B3"].value, "00123")
        self.assertEqual(bank["C2"].value, 1234.5)
        self.assertEqual(bank["C3"].value, -20)
        erp = by_first["门店"]
        self.assertEqual(erp["B3"].value, "=SUM(B2)")
        self.assertEqual(by_first["部门"]["B2"].value, 5)
        self.assertIn("🍣", by_first)


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main()
