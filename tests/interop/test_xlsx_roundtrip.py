"""Read every corpus workbook, write it, and let openpyxl compare source and output: values,
number formats, fonts, fills, borders, alignment, hyperlinks, notes, merged ranges, column widths, row
heights."""
import os
import sys
import tempfile
import unittest
import warnings

import openpyxl

sys.path.insert(0, os.path.dirname(__file__))
from xlsx_common import close, corpus_files, decode_xstring, dump, openpyxl_number, roundtrip  # noqa: E402


def color_key(c):
    if c is None:
        return None
    if c.type == "rgb":
        rgb = c.rgb if isinstance(c.rgb, str) else "00000000"
        return ("rgb", rgb[-6:].upper(), round(c.tint or 0, 6))
    return (c.type, getattr(c, c.type), round(c.tint or 0, 6))


def font_key(f):
    return (f.name, f.sz and float(f.sz), bool(f.b), bool(f.i), f.u, bool(f.strike),
            f.vertAlign, color_key(f.color))


def fill_key(f):
    if f is None:
        return None
    if getattr(f, "fill_type", None) is None and hasattr(f, "stop"):
        return ("gradient", f.type, f.degree, tuple((s.position, color_key(s.color)) for s in f.stop))
    if f.fill_type in (None, "none"):
        return None
    return (f.fill_type, color_key(f.fgColor), color_key(f.bgColor))


def side_key(s):
    if s is None or s.style is None:
        return None
    return (s.style, color_key(s.color))


def border_key(b):
    return tuple(side_key(getattr(b, n)) for n in ("left", "right", "top", "bottom", "diagonal"))


def align_key(a):
    return (a.horizontal or "general", a.vertical or "bottom", bool(a.wrap_text),
            int(a.text_rotation or 0), int(a.indent or 0), bool(a.shrink_to_fit))


def load(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return openpyxl.load_workbook(path, data_only=True)


class RoundTrip(unittest.TestCase):
    def compare_sheet(self, name, a, b, epoch_a, epoch_b):
        for row in [[c] for c in list(a._cells.values())]:
            for ca in row:
                cb = b.cell(row=ca.row, column=ca.column)
                where = (name, ca.coordinate)
                va, vb = ca.value, cb.value
                if isinstance(va, str) or isinstance(vb, str) or isinstance(va, bool):
                    va, vb = decode_xstring(va), decode_xstring(vb)
                    self.assertEqual(va if va != "" else None, vb if vb != "" else None, where)
                elif va is None or vb is None:
                    self.assertEqual(va, vb, where)
                else:
                    na, nb = openpyxl_number(va, epoch_a), openpyxl_number(vb, epoch_b)
                    self.assertTrue(close(float(na), float(nb)), (where, va, vb))
                if ca.has_style or va is not None:
                    self.assertEqual(ca.number_format, cb.number_format, where)
                    self.assertEqual(font_key(ca.font), font_key(cb.font), where)
                    self.assertEqual(fill_key(ca.fill), fill_key(cb.fill), where)
                    self.assertEqual(border_key(ca.border), border_key(cb.border), where)
                    self.assertEqual(align_key(ca.alignment), align_key(cb.alignment), where)
        # Hyperlinks, inside the workbook and out of it (web and mail addresses, files).
        links = lambda ws: sorted((c.coordinate, c.hyperlink.target, c.hyperlink.location)
                                  for c in ws._cells.values() if c.hyperlink)
        self.assertEqual(links(a), links(b), name)
        notes = lambda ws: sorted((c.coordinate, c.comment.author, c.comment.text)
                                  for c in ws._cells.values() if c.comment)
        self.assertEqual(notes(a), notes(b), name)
        self.assertEqual(sorted(str(m) for m in a.merged_cells.ranges),
                         sorted(str(m) for m in b.merged_cells.ranges), name)
        for key, dim in a.column_dimensions.items():
            if dim.customWidth and dim.width:
                other = b.column_dimensions[key]
                self.assertAlmostEqual(dim.width, other.width, 6, (name, key))
        for key, dim in a.row_dimensions.items():
            if dim.height is not None:
                self.assertAlmostEqual(dim.height, b.row_dimensions[key].height, 2, (name, key))

    def test_corpus_round_trip(self):
        files = corpus_files()
        self.assertTrue(files)
        with tempfile.TemporaryDirectory() as tmp:
            for path in files:
                with self.subTest(file=path):
                    out = os.path.join(tmp, os.path.basename(path))
                    roundtrip(path, out)
                    try:
                        src = load(path)
                    except Exception as e:
                        print("openpyxl cannot read %s: %s" % (path, e))
                        continue
                    dst = load(out)
                    self.assertEqual(src.epoch, dst.epoch)
                    # Dialog sheets are not written (see docs/fidelity.md); openpyxl cannot read
                    # Strict worksheets at all.
                    dialogs = {s["name"] for s in dump(path)["sheets"] if s["kind"] == 3}
                    names = [ws.title for ws in src.worksheets
                             if hasattr(ws, "iter_rows") and ws.title not in dialogs]
                    if not names:
                        print("openpyxl sees no worksheets in %s" % path)
                        continue
                    self.assertEqual(names, [ws.title for ws in dst.worksheets])
                    for n in names:
                        self.assertEqual(src[n].sheet_state, dst[n].sheet_state, n)
                        self.assertEqual(src[n].freeze_panes, dst[n].freeze_panes, n)
                        self.compare_sheet(n, src[n], dst[n], src.epoch, dst.epoch)


if __name__ == "__main__":
    unittest.main()
