"""Every .csv of the corpus: our reader sees the same records and fields as Python's csv module
(an independent parser), with numbers typed and identifiers kept as text."""
import codecs
import csv
import io
import json
import os
import subprocess
import sys
import unittest

BUILD = os.environ.get("TW_BUILD_DIR", "build")
CORPUS = os.environ.get("TW_CORPUS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus"))
DUMP = os.path.join(BUILD, "tests", "xlsx_dump")


def decode(raw):
    for bom, enc in ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
                     (codecs.BOM_UTF16_BE, "utf-16-be")):
        if raw.startswith(bom):
            return raw[len(bom):].decode(enc)
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("gb18030")


def general(v):
    """The number as a person typed it back: 20.0 -> '20'."""
    return str(int(v)) if float(v).is_integer() and abs(v) < 1e15 else repr(v)


class CsvCorpus(unittest.TestCase):
    def test_fields_match_python_csv(self):
        folder = os.path.join(CORPUS, "csv")
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            with self.subTest(file=name):
                with open(path, "rb") as f:
                    rows = list(csv.reader(io.StringIO(decode(f.read()), newline="")))
                p = subprocess.run([DUMP, path], capture_output=True, timeout=60)
                ours = json.loads(p.stdout.decode("utf-8"))
                self.assertNotIn("error", ours)
                self.assertEqual(len(ours["sheets"]), 1)
                self.assertEqual(ours["sheets"][0]["name"], os.path.splitext(name)[0])
                cells = {(r, c): (k, v, fmt) for r, c, k, v, _f, fmt in ours["sheets"][0]["cells"]}
                for r, row in enumerate(rows, 1):
                    for c, field in enumerate(row, 1):
                        got = cells.pop((r, c), None)
                        where = f"{name} {r},{c} {field!r}"
                        if field == "":
                            self.assertIsNone(got, where)
                        elif got[0] == "s":
                            self.assertEqual(got[1], field, where)
                        elif got[0] == "n" and got[2] == "General":
                            self.assertEqual(general(got[1]), field, where)
                        else:
                            self.assertIn(got[0], ("n", "b"), where)
                        if field.isdigit() and (field.startswith("0") and len(field) > 1
                                                or len(field) > 15):
                            self.assertEqual(got[0], "s", f"{where}: identifier kept as text")
                self.assertEqual(cells, {}, name)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
