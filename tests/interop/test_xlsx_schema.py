"""Every part the writer produces validates against the ECMA-376 schemas (xmllint), for the
workbooks the engine writes from every corpus file. Markup-compatibility pre-processing
(strip-mce.xsl) only removes xml:space, which the schemas do not allow on <t> although every
reader honours it."""
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
from xlsx_common import SCHEMAS, corpus_files, roundtrip  # noqa: E402

OOXML = os.path.join(SCHEMAS, "ooxml")


def schema_for(name):
    if name.endswith(".rels"):
        return "opc-relationships.xsd"
    if name == "[Content_Types].xml":
        return "opc-contentTypes.xsd"
    if name.startswith("xl/theme/"):
        return "dml-main.xsd"
    if name == "docProps/app.xml":
        return "shared-documentPropertiesExtended.xsd"
    if name == "docProps/core.xml" or not name.endswith(".xml"):
        return None  # core.xml's schema imports Dublin Core from the network
    # Parts carried with the sheets: those of the 2006 schemas are checked; the later
    # extension parts (chart styles and colours, persons, threaded comments) have none here.
    base = os.path.basename(name)
    if name.startswith("xl/charts/"):
        return "dml-chart.xsd" if base.startswith("chart") else None
    if name.startswith("xl/drawings/"):
        return "dml-spreadsheetDrawing.xsd" if base.startswith("drawing") else None
    if name.startswith(("xl/persons/", "xl/threadedComments/")):
        return None
    if not name.startswith(("xl/workbook", "xl/worksheets/", "xl/chartsheets/", "xl/styles",
                            "xl/sharedStrings", "xl/comments", "xl/tables/", "xl/pivotTables/",
                            "xl/pivotCache/")):
        return None
    return "sml.xsd"


def validate(data, schema):
    strip = subprocess.run(["xsltproc", "--nonet", os.path.join(OOXML, "strip-mce.xsl"), "-"],
                           input=data, capture_output=True, timeout=60)
    if strip.returncode != 0:
        return strip.stderr.decode("utf-8", "replace")
    r = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", os.path.join(OOXML, schema), "-"],
                       input=strip.stdout, capture_output=True, timeout=60)
    return None if r.returncode == 0 else r.stderr.decode("utf-8", "replace")[:2000]


class Schema(unittest.TestCase):
    def test_written_parts_validate(self):
        files = corpus_files()
        self.assertTrue(files)
        checked = 0
        with tempfile.TemporaryDirectory() as tmp:
            for path in files:
                out = os.path.join(tmp, os.path.basename(path))
                roundtrip(path, out)
                # Parts carried byte for byte are the source's: what the source's writer got
                # wrong (some write negative chart axis ids) is not ours to check.
                with zipfile.ZipFile(path) as src:
                    verbatim = {src.read(i) for i in src.infolist()
                                if i.filename.startswith(("xl/charts/", "xl/drawings/"))}
                with zipfile.ZipFile(out) as z:
                    names = z.namelist()
                    for required in ("[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                     "xl/styles.xml", "xl/theme/theme1.xml", "docProps/app.xml",
                                     "docProps/core.xml"):
                        self.assertIn(required, names, out)
                    for name in names:
                        schema = schema_for(name)
                        if schema is None or (name.startswith(("xl/charts/", "xl/drawings/"))
                                              and z.read(name) in verbatim):
                            continue
                        with self.subTest(file=os.path.basename(path), part=name):
                            self.assertIsNone(validate(z.read(name), schema))
                            checked += 1
        self.assertGreater(checked, 100)


if __name__ == "__main__":
    unittest.main()
