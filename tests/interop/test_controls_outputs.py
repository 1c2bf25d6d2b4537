"""Form controls, a button running a macro and an embedded object go with their sheet in
whole-sheet copies (a workbook read and written again, a folder merged into sheets, a workbook
split into one per sheet): parts and relationships are counted against the source, the shapes of
the legacy drawing against the ids the sheet names, the controls' formulas follow the names the
sheets have in the output, and openpyxl and LibreOffice open the results. Range copies and .xls
outputs name them as left behind."""
import glob
import os
import re
import shutil
import sys
import tempfile
import unittest

import openpyxl

sys.path.insert(0, os.path.dirname(__file__))
from controls_fixtures import button_book, controls_book  # noqa: E402
import test_parts_outputs as base  # noqa: E402
from test_parts_outputs import EXE, parts, pdf_text, read, rel_targets, run, sheet_part  # noqa: E402


def legacy_drawing(path, sheet):
    """The sheet's legacy drawing and the relationship targets of that drawing."""
    vml = [t for t in rel_targets(path, sheet_part(path, sheet)) if t.endswith(".vml")]
    assert len(vml) == 1, vml
    return read(path, vml[0]), vml[0]


def shape_ids(vml, kind=None):
    """Numbers of the shape ids of the drawing, of one ObjectType or of all."""
    out = []
    for shape in re.findall(r"<v:shape .*?</v:shape>", vml, re.S):
        if kind is None or 'ObjectType="%s"' % kind in shape:
            out.append(int(re.search(r'id="_x0000_s(\d+)"', shape).group(1)))
    return out


def ctrl_props(path, sheet):
    """The form-control properties the sheet names, by control name."""
    xml = read(path, sheet_part(path, sheet))
    targets = dict(zip(re.findall(r'Id="([^"]+)"', read(path, sheet_part(path, sheet).replace(
        "worksheets/", "worksheets/_rels/") + ".rels")), rel_targets(path, sheet_part(path, sheet))))
    return {name: read(path, targets[rid]) for rid, name in
            set(re.findall(r'<control shapeId="\d+" r:id="([^"]+)" name="([^"]+)"', xml))}


class ControlsOutputs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(EXE, os.X_OK):
            raise unittest.SkipTest("program not built: " + EXE)
        cls.tmp = tempfile.mkdtemp()
        cls.src = os.path.join(cls.tmp, "src")
        os.makedirs(cls.src)
        controls_book(os.path.join(cls.src, "a.xlsx"))
        controls_book(os.path.join(cls.src, "b.xlsx"))
        cls.button = os.path.join(cls.tmp, "button", "button.xlsx")
        os.makedirs(os.path.dirname(cls.button))
        button_book(cls.button)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    check_package = base.PartsOutputs.check_package

    def check_sheet(self, out, sheet):
        """Every id the sheet's controls and objects name is a kept shape of its own drawing; no
        note's box takes one; the drawing's relationships lead to parts of the package."""
        xml = read(out, sheet_part(out, sheet))
        vml, name = legacy_drawing(out, sheet)
        named = {int(i) for i in re.findall(r' shapeId="(\d+)"', xml)}
        kept = set(shape_ids(vml)) - set(shape_ids(vml, "Note"))
        self.assertEqual(named, kept - set(shape_ids(vml, "Button")))
        self.assertEqual(len(shape_ids(vml)), len(set(shape_ids(vml))))
        blocks = {int(b) for b in re.search(r'<o:idmap v:ext="edit" data="([^"]+)"', vml)
                  .group(1).split(",")}
        self.assertEqual({i // 1024 for i in shape_ids(vml)}, blocks)
        self.assertEqual(vml.count("<v:shapetype "), len(set(re.findall(r'type="#([^"]+)"', vml))))
        relids = set(re.findall(r'o:relid="([^"]+)"', vml))
        if relids:
            self.assertEqual(len(rel_targets(out, name)), len(relids))
        return xml, vml

    def test_merge_files_carries_controls_and_objects(self):
        out = os.path.join(self.tmp, "merged")
        code, stderr = run("merge-files", self.src, "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("以下内容未带到输出中", stderr)
        out += ".xlsx"
        src = os.path.join(self.src, "a.xlsx")
        self.assertEqual(openpyxl.load_workbook(out).sheetnames,
                         ["Form", "Lists", "Form (2)", "Lists (2)"])
        for pattern in (r"xl/ctrlProps/ctrlProp\d+\.xml", r"xl/embeddings/.*", r"xl/activeX/.*",
                        r"xl/drawings/vmlDrawing\d+\.vml", r"xl/drawings/_rels/.*\.vml\.rels"):
            with self.subTest(pattern=pattern):
                self.assertEqual(len(parts(out, pattern)), 2 * len(parts(src, pattern)))
        self.assertEqual(len(parts(out, r"xl/media/.*")), 1)  # the preview, stored once
        claimed = []
        for sheet, lists in (("Form", "Lists"), ("Form (2)", "'Lists (2)'")):
            with self.subTest(sheet=sheet):
                xml, vml = self.check_sheet(out, sheet)
                claimed.append({i // 1024 for i in shape_ids(vml)})
                self.assertEqual(xml.count("<mc:AlternateContent"), 5)
                self.assertIn('linkedCell="%s!$B$2"' % lists, xml)  # the ActiveX text box's
                self.assertEqual(re.findall(r"<x:Fmla\w+>([^<]*)<", vml),
                                 [lists + "!$B$1", "$C$3", lists + "!$A$1:$A$3"])
                props = ctrl_props(out, sheet)
                self.assertIn('fmlaLink="%s!$B$1"' % lists, props["Check Box 1"])
                self.assertIn('fmlaLink="$C$3" fmlaRange="%s!$A$1:$A$3"' % lists,
                              props["Drop Down 2"])
                # The note is still there, hidden as it was, its box beside the controls.
                self.assertEqual(len(shape_ids(vml, "Note")), 1)
                self.assertIn("visibility:hidden", vml)
                self.assertEqual(openpyxl.load_workbook(out)[sheet]["A1"].comment.text, "表单说明")
        self.assertFalse(claimed[0] & claimed[1])  # the copy's shapes took ids of their own
        self.check_package(out)

        # LibreOffice imports the controls and the object's preview: the check box's label is
        # on the page of each copy (the pages were looked at by hand).
        text = pdf_text(out, self.tmp, "pdf")
        if text is not None:
            self.assertEqual(text.count("Checkbox"), 2)

    def test_round_trip_keeps_button_macro_and_note(self):
        out = os.path.join(self.tmp, "button_out")
        code, stderr = run("merge-files", os.path.dirname(self.button), "-o", out)
        self.assertEqual(code, 0, stderr)
        self.assertNotIn("以下内容未带到输出中", stderr)
        out += ".xlsx"
        xml, vml = self.check_sheet(out, "Form")
        src_vml = read(self.button, "xl/drawings/vmlDrawing1.vml")
        button = re.search(r'<v:shape id="_x0000_s(\d+)"[^>]*o:button="t".*?</v:shape>', src_vml,
                           re.S)
        self.assertIn(button.group(0), vml)  # as written, its macro with it
        self.assertIn("<x:FmlaMacro>[0]!say_hello</x:FmlaMacro>", vml)
        self.assertEqual(shape_ids(vml, "Button"), [int(button.group(1))])
        self.assertNotIn(int(button.group(1)), shape_ids(vml, "Note"))
        self.assertEqual(vml.count("<x:Visible/>"), 1)  # the note shown all the time still is
        self.assertIn("<legacyDrawing ", xml)
        self.check_package(out)

    def test_split_sheets_drops_links_to_sheets_left_out(self):
        book = os.path.join(self.tmp, "split", "a.xlsx")
        os.makedirs(os.path.dirname(book))
        controls_book(book)
        code, stderr = run("split-sheets", book)
        self.assertEqual(code, 0, stderr)
        folder = glob.glob(os.path.join(self.tmp, "split", "a拆分_*"))[0]
        form = os.path.join(folder, "Form.xlsx")
        for pattern in (r"xl/ctrlProps/ctrlProp\d+\.xml", r"xl/embeddings/.*", r"xl/media/.*",
                        r"xl/activeX/.*"):
            with self.subTest(pattern=pattern):
                self.assertEqual(len(parts(form, pattern)), len(parts(book, pattern)))
        self.assertEqual(parts(os.path.join(folder, "Lists.xlsx"), r"xl/(ctrlProps|drawings)/.*"),
                         [])
        # "Lists" is not in this workbook: the links into it go, the one into the sheet stays.
        _, vml = self.check_sheet(form, "Form")
        self.assertEqual(re.findall(r"<x:Fmla\w+>([^<]*)<", vml), ["$C$3"])
        props = ctrl_props(form, "Form")
        self.assertNotIn("fmla", props["Check Box 1"])
        self.assertIn('fmlaLink="$C$3" noThreeD', props["Drop Down 2"])
        self.assertNotIn("linkedCell", read(form, sheet_part(form, "Form")))
        self.check_package(form)

    def test_deleted_rows_move_the_anchors(self):
        folder = os.path.join(self.tmp, "keyed")
        os.makedirs(folder)
        controls_book(os.path.join(folder, "a.xlsx"))
        out = os.path.join(self.tmp, "keyed_out")
        code, stderr = run("merge-files", folder, "-o", out, "--same-name", "--drop-empty-key", "1")
        self.assertEqual(code, 0, stderr)
        out += ".xlsx"
        xml, vml = self.check_sheet(out, "Form")
        # Rows 2 and 3 had no key: corners in them move to the top of the row that took their
        # place, those below move up two rows (the object, then the three controls).
        self.assertEqual(re.findall(r"<xdr:row>(\d+)</xdr:row><xdr:rowOff>0<", xml),
                         ["1", "3", "1", "1", "1", "1", "4", "6"])
        for moved in ("4, 0, 1, 0, 6, 0, 3, 0", "1, 0, 1, 0, 2, 40, 1, 0", "1, 0, 4, 0, 3, 0, 6, 0"):
            self.assertIn("<x:Anchor>%s</x:Anchor>" % moved, vml)
        self.check_package(out)

    def test_range_copies_and_xls_name_them_left_behind(self):
        for args, where in ((["merge-one-sheet", self.src, "-o", os.path.join(self.tmp, "one")],
                             "a.xlsx [Form]"),
                            (["merge-files", self.src, "-o", os.path.join(self.tmp, "x"), "--xls"],
                             "[Form (2)]")):
            with self.subTest(job=args[0]):
                code, stderr = run(*args)
                self.assertEqual(code, 0, stderr)
                self.assertRegex(stderr, r"嵌入对象 2 个（来自 [^）]*%s" % re.escape(where))
                self.assertRegex(stderr, r"表单控件 6 个（来自 [^）]*%s" % re.escape(where))
                self.assertNotIn("图片", stderr)  # the object's preview is not counted apart


if __name__ == "__main__":
    unittest.main()
