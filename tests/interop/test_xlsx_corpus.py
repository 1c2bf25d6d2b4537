"""Every .xlsx/.xlsm of the corpus: the values the engine reads equal openpyxl's."""
import sys
import unittest
import warnings

import openpyxl

sys.path.insert(0, __import__("os").path.dirname(__file__))
from xlsx_common import close, corpus_files, decode_xstring, dump, openpyxl_number  # noqa: E402


class CorpusValues(unittest.TestCase):
    def test_values_match_openpyxl(self):
        files = corpus_files()
        self.assertTrue(files, "no corpus files found")
        for path in files:
            with self.subTest(file=path):
                ours = dump(path)
                self.assertNotIn("error", ours)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    try:
                        wb = openpyxl.load_workbook(path, data_only=True)
                    except Exception as e:  # openpyxl cannot read it: nothing to compare
                        print("openpyxl cannot read %s: %s" % (path, e))
                        continue
                self.assertEqual(ours["date1904"], wb.epoch.year == 1904)
                sheets = {s["name"]: s for s in ours["sheets"]}
                for ws in wb.worksheets:
                    if not hasattr(ws, "iter_rows"):
                        continue
                    self.assertIn(ws.title, sheets)
                    mine = {(c[0], c[1]): c for c in sheets[ws.title]["cells"]}
                    # The stored cells only: iter_rows would walk a lying dimension cell by cell.
                    for row in [[c] for c in list(ws._cells.values())]:
                        for cell in row:
                            if cell.value is None:
                                c = mine.get((cell.row, cell.column))
                                if c is not None:
                                    self.assertIn(c[2], ("empty", "s"), (ws.title, cell.coordinate))
                                    if c[2] == "s":
                                        self.assertEqual(c[3], "", (ws.title, cell.coordinate))
                                continue
                            c = mine.get((cell.row, cell.column))
                            where = (ws.title, cell.coordinate, cell.value)
                            self.assertIsNotNone(c, where)
                            v = openpyxl_number(cell.value, wb.epoch)
                            if isinstance(v, bool):
                                self.assertEqual(c[2], "b", where)
                                self.assertEqual(c[3], v, where)
                            elif isinstance(v, (int, float)):
                                self.assertEqual(c[2], "n", where)
                                self.assertTrue(close(c[3], float(v)), (where, c[3]))
                            elif cell.data_type == "e":
                                self.assertEqual(c[2], "e", where)
                                self.assertEqual(c[3], v, where)
                            else:
                                self.assertEqual(c[2], "s", where)
                                self.assertEqual(c[3], decode_xstring(str(v)), where)
                    # No cell we read is missing from openpyxl's view either.
                    for (r, col), c in mine.items():
                        if c[2] in ("n", "s", "b", "e") and c[3] not in ("", None):
                            self.assertIsNotNone(getattr(ws._cells.get((r, col)), "value", None),
                                                 (ws.title, r, col, c))


if __name__ == "__main__":
    unittest.main()
