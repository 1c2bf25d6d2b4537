"""Workbooks with an open password on the command line: --password (repeatable),
--passwords-file and --encrypt-password. Protected sources open with a password from either,
outputs are saved encrypted and decrypt with an independent tool (msoffcrypto-tool), and no
password ever shows in the texts, the report or the list of files not merged.

Usage: /usr/bin/python3 test_passwords.py PATH_TO_TABLAWEAVER
"""

import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import openpyxl

EXE = None
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus", "broken")
AGILE = os.path.join(CORPUS, "agile_AES256_SHA512_CBC_pwd_password.xlsx")
STANDARD = os.path.join(CORPUS, "standard_AES128_SHA1_ECB_pwd_password.xlsx")


def run(*args):
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    env["LC_ALL"] = "C.UTF-8"
    p = subprocess.run([EXE, *args], capture_output=True, text=True, timeout=300, env=env)
    return p.returncode, p.stdout, p.stderr


def decrypted(path, password):
    import msoffcrypto
    with open(path, "rb") as f:
        office = msoffcrypto.OfficeFile(f)
        office.load_key(password=password, verify_password=True)
        out = io.BytesIO()
        office.decrypt(out, verify_integrity=True)
    return openpyxl.load_workbook(out)


class Passwords(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw-secrets-")
        self.src = os.path.join(self.dir, "来源")
        os.makedirs(self.src)
        wb = openpyxl.Workbook()
        wb.active.title = "明细"
        wb.active.append(["姓名", "金额"])
        wb.active.append(["张三", 100])
        wb.save(os.path.join(self.src, "a.xlsx"))
        # Protected by other applications, password "password"; named so that the word does not
        # appear in any text for another reason.
        shutil.copy(AGILE, os.path.join(self.src, "b.xlsx"))
        shutil.copy(STANDARD, os.path.join(self.src, "c.xlsx"))

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_protected_sources_and_encrypted_output_never_show_a_password(self):
        out = os.path.join(self.dir, "结果.xlsx")
        report = os.path.join(self.dir, "报告.json")
        plist = os.path.join(self.dir, "密码.txt")
        with open(plist, "wb") as f:
            f.write("\ufeffzz-wrong-2\r\n\r\npassword\r\n".encode("utf-8"))
        code, stdout, stderr = run("merge-files", self.src, "-o", out, "--password", "zz-wrong-1",
                                   "--passwords-file", plist, "--encrypt-password", "出口pw",
                                   "--report", report)
        self.assertEqual(code, 0, stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(8), bytes.fromhex("D0CF11E0A1B11AE1"))
        book = decrypted(out, "出口pw")
        cells = [c.value for ws in book.worksheets for row in ws.iter_rows() for c in row]
        self.assertIn("张三", cells)
        self.assertEqual(cells.count("Password: password"), 2)

        with open(report, encoding="utf-8") as f:
            report_text = f.read()
        json.loads(report_text)
        leftovers = ""
        for base, _, files in os.walk(self.dir):
            for name in files:
                if name.endswith(".txt") and name != "密码.txt":
                    with open(os.path.join(base, name), encoding="utf-8", errors="replace") as f:
                        leftovers += f.read()
        for secret in ("zz-wrong-1", "zz-wrong-2", "password", "出口pw"):
            for where, text in (("stdout", stdout), ("stderr", stderr), ("report", report_text),
                                ("lists", leftovers)):
                self.assertNotIn(secret, text, where)

    def test_refused_without_the_right_password(self):
        out = os.path.join(self.dir, "结果.xlsx")
        fail_list = os.path.join(self.src, "无法合并的文件目录.txt")

        def listed():
            with open(fail_list, encoding="utf-8") as f:
                return f.read()

        run("merge-files", self.src, "-o", out)
        self.assertEqual(listed().count(
            "工作簿已加密（设有打开密码），请用 --password 或在“高级选项”中给出密码。"), 2)
        code, stdout, stderr = run("merge-files", self.src, "-o", out, "--overwrite",
                                   "--password", "zz-wrong-1")
        self.assertEqual(listed().count("工作簿已加密，密码不对。"), 2)
        self.assertNotIn("zz-wrong-1", stdout + stderr + listed())
        self.assertEqual([ws.title for ws in openpyxl.load_workbook(out).worksheets], ["明细"])

    def test_usage_errors(self):
        out = os.path.join(self.dir, "结果.xlsx")
        for args, message in (
                (["--passwords-file", os.path.join(self.dir, "none.txt")], "无法读取密码文件"),
                (["--password", ""], "选项 --password 的值不能为空"),
                (["--encrypt-password", "zz-secret", "--xls"], "不能与 --xls 一起使用"),
        ):
            code, stdout, stderr = run("merge-files", self.src, "-o", out, *args)
            self.assertEqual(code, 2, args)
            self.assertIn(message, stderr)
            self.assertNotIn("zz-secret", stdout + stderr)
        self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main()
