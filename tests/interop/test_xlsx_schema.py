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
                with zipfile.ZipFile(out) as z:
                    names = z.namelist()
                    for required in ("[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                     "xl/styles.xml", "xl/theme/theme1.xml", "docProps/app.xml",
                                     "docProps/core.xml"):
                        self.assertIn(required, names, out)
                    for name in names:
                        schema = schema_for(name)
                        if schema is None:
                            continue
                        with self.subTest(file=os.path.basename(path), part=name):
                            self.assertIsNone(validate(z.read(name), schema))
                            checked += 1
        self.assertGreater(checked, 100)


if __name__ == "__main__":
    unittest.main()
