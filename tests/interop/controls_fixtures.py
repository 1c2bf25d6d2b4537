"""Workbooks with controls and an embedded object: a button running a macro beside a note
(xlsxwriter), and a check box, a drop-down, an ActiveX text box and an embedded document laid out
as the desktop application saves them (written by hand)."""
import zipfile

import xlsxwriter

from parts_fixtures import png


def button_book(path):
    """Sheet "Form": a button running macro "say_hello" and a note on B2 (their shapes share the
    legacy drawing); sheet "Data" beside it."""
    wb = xlsxwriter.Workbook(path)
    form = wb.add_worksheet("Form")
    wb.add_worksheet("Data").write("A1", 1)
    form.write("A1", "按钮")
    form.write_comment("B2", "备注在此", {"visible": True})
    form.insert_button("D2", {"macro": "say_hello", "caption": "Press Me"})
    wb.close()


NS = ('xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
      'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"')
MC = 'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"'
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"


def anchor(c1, r1, c2, r2):
    cell = "<xdr:col>%d</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>%d</xdr:row><xdr:rowOff>0</xdr:rowOff>"
    return ('<anchor moveWithCells="1"><from>' + cell % (c1, r1) + "</from><to>" + cell % (c2, r2) +
            "</to></anchor>")


def control(shape, rid, name, a):
    return ("<mc:AlternateContent %s><mc:Choice Requires=\"x14\"><control shapeId=\"%d\" r:id=\"%s\" "
            "name=\"%s\"><controlPr defaultSize=\"0\" autoFill=\"0\" autoLine=\"0\" autoPict=\"0\">%s"
            "</controlPr></control></mc:Choice><mc:Fallback><control shapeId=\"%d\" r:id=\"%s\" "
            "name=\"%s\"/></mc:Fallback></mc:AlternateContent>" % (MC, shape, rid, name, a, shape, rid,
                                                                 name))


def vml_control(shape, kind, a, body, z):
    return ('<v:shape id="_x0000_s%d" type="#_x0000_t201" style="position:absolute;margin-left:48pt;'
            'margin-top:15pt;width:96pt;height:18pt;z-index:%d;mso-wrap-style:tight" filled="f" '
            'fillcolor="window [65]" stroked="f" strokecolor="windowText [64]" o:insetmode="auto">'
            '<v:path shadowok="t" strokeok="t" fillok="t"/><o:lock v:ext="edit" rotation="t"/>'
            '<v:textbox style="mso-direction-alt:auto" o:singleclick="f"><div style="text-align:left">'
            '<font face="Segoe UI" size="160" color="auto">%s</font></div></v:textbox>'
            '<x:ClientData ObjectType="%s"><x:MoveWithCells/><x:SizeWithCells/><x:Anchor>%s</x:Anchor>'
            '<x:AutoFill>False</x:AutoFill><x:AutoLine>False</x:AutoLine>%s</x:ClientData></v:shape>'
            % (shape, z, kind, kind, a, body))


def controls_book(path, form="Form", lists="Lists"):
    """Sheet `form`: a check box setting Lists!$B$1, a drop-down listing Lists!$A$1:$A$3 into $C$3,
    an ActiveX text box linked to Lists!$B$2 (its binary and preview with it), an embedded
    document with its preview picture, and a note on A1; sheet `lists` holds the list. The controls are wrapped as the 2010 format writes them, the shapes live in the legacy
    drawing beside the note's box."""
    q = lambda s: "'%s'" % s if " " in s else s  # noqa: E731
    sheet = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet %s '
             'xmlns:xdr="http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing" '
             'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main" %s '
             'mc:Ignorable="x14ac" xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac">'
             '<dimension ref="A1:C3"/><sheetViews><sheetView workbookViewId="0"/></sheetViews>'
             '<sheetFormatPr defaultRowHeight="15"/><sheetData>'
             '<row r="1"><c r="A1" t="inlineStr"><is><t>表单</t></is></c></row>'
             '<row r="3"><c r="C3"><v>2</v></c></row></sheetData>'
             '<pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3"/>'
             '<legacyDrawing r:id="rId2"/>'
             '<oleObjects><mc:AlternateContent %s><mc:Choice Requires="x14"><oleObject progId="Package" '
             'shapeId="1027" r:id="rId3"><objectPr defaultSize="0" autoPict="0" r:id="rId4">%s'
             '</objectPr></oleObject></mc:Choice><mc:Fallback><oleObject progId="Package" '
             'shapeId="1027" r:id="rId3"/></mc:Fallback></mc:AlternateContent></oleObjects>'
             '<mc:AlternateContent %s><mc:Choice Requires="x14"><controls>%s%s'
             '<mc:AlternateContent %s><mc:Choice Requires="x14"><control shapeId="1029" r:id="rId7" '
             'name="TextBox1"><controlPr defaultSize="0" autoLine="0" linkedCell="%s!$B$2" '
             'r:id="rId4">%s</controlPr></control></mc:Choice><mc:Fallback><control shapeId="1029" '
             'r:id="rId7" name="TextBox1"/></mc:Fallback></mc:AlternateContent>'
             '</controls></mc:Choice></mc:AlternateContent></worksheet>'
             % (NS, MC, MC, anchor(4, 1, 6, 5), MC,
                control(1025, "rId5", "Check Box 1", anchor(1, 1, 2, 2)),
                control(1026, "rId6", "Drop Down 2", anchor(1, 2, 2, 3)), MC, q(lists),
                anchor(1, 6, 3, 8)))
    vml = ('<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:o="urn:schemas-microsoft-com:office:office" '
           'xmlns:x="urn:schemas-microsoft-com:office:excel">\n'
           ' <o:shapelayout v:ext="edit">\n  <o:idmap v:ext="edit" data="1"/>\n </o:shapelayout>'
           '<v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202" path="m,l,21600r21600,l21600,xe">'
           '<v:stroke joinstyle="miter"/><v:path gradientshapeok="t" o:connecttype="rect"/></v:shapetype>'
           '<v:shape id="_x0000_s1028" type="#_x0000_t202" style="position:absolute;margin-left:59.25pt;'
           'margin-top:1.5pt;width:108pt;height:59.25pt;z-index:4;visibility:hidden" fillcolor="#ffffe1" '
           'o:insetmode="auto"><v:fill color2="#ffffe1"/><v:textbox/><x:ClientData ObjectType="Note">'
           '<x:MoveWithCells/><x:SizeWithCells/><x:Anchor>1, 15, 0, 2, 3, 15, 4, 4</x:Anchor>'
           '<x:AutoFill>False</x:AutoFill><x:Row>0</x:Row><x:Column>0</x:Column></x:ClientData></v:shape>'
           '<v:shapetype id="_x0000_t201" coordsize="21600,21600" o:spt="201" path="m,l,21600r21600,l21600,xe">'
           '<v:stroke joinstyle="miter"/><v:path shadowok="f" o:extrusionok="f" strokeok="f" fillok="f" '
           'o:connecttype="rect"/><o:lock v:ext="edit" shapetype="t"/></v:shapetype>'
           + vml_control(1025, "Checkbox", "1, 0, 1, 0, 2, 40, 2, 0",
                         "<x:TextVAlign>Center</x:TextVAlign><x:FmlaLink>%s!$B$1</x:FmlaLink>"
                         "<x:NoThreeD/>" % q(lists), 1)
           + vml_control(1026, "Drop", "1, 0, 2, 0, 2, 40, 3, 0",
                         "<x:FmlaLink>$C$3</x:FmlaLink><x:FmlaRange>%s!$A$1:$A$3</x:FmlaRange>"
                         "<x:Sel>2</x:Sel><x:NoThreeD2/><x:Val>0</x:Val><x:DropStyle>Combo</x:DropStyle>"
                         "<x:DropLines>8</x:DropLines>" % q(lists), 2) +
           '<v:shapetype id="_x0000_t75" coordsize="21600,21600" o:spt="75" o:preferrelative="t" '
           'path="m@4@5l@4@11@9@11@9@5xe" filled="f" stroked="f"><v:stroke joinstyle="miter"/>'
           '<v:path o:extrusionok="f" gradientshapeok="t" o:connecttype="rect"/>'
           '<o:lock v:ext="edit" aspectratio="t"/></v:shapetype>'
           '<v:shape id="_x0000_s1027" type="#_x0000_t75" style="position:absolute;margin-left:192pt;'
           'margin-top:15pt;width:96pt;height:60pt;z-index:3" filled="t" fillcolor="window [65]" '
           'stroked="t" strokecolor="windowText [64]" o:insetmode="auto"><v:fill color2="window [65]"/>'
           '<v:imagedata o:relid="rId1" o:title=""/><x:ClientData ObjectType="Pict"><x:SizeWithCells/>'
           '<x:Anchor>4, 0, 1, 0, 6, 0, 5, 0</x:Anchor><x:CF>Pict</x:CF><x:AutoPict/></x:ClientData>'
           '</v:shape><v:shape id="TextBox1" o:spid="_x0000_s1029" type="#_x0000_t75" '
           'style="position:absolute;margin-left:48pt;margin-top:90pt;width:144pt;height:30pt;z-index:5" '
           'stroked="t" strokecolor="windowText [64]" o:insetmode="auto"><v:imagedata o:relid="rId2" '
           'o:title=""/><x:ClientData ObjectType="Pict"><x:SizeWithCells/>'
           '<x:Anchor>1, 0, 6, 0, 3, 0, 8, 0</x:Anchor><x:CF>Pict</x:CF><x:AutoPict/></x:ClientData>'
           '</v:shape></xml>')
    activex = ('<?xml version="1.0" encoding="UTF-8" standalone="no"?>\n<ax:ocx '
               'ax:classid="{8BD21D10-EC42-11CE-9E0D-00AA006002F3}" ax:persistence="persistStreamInit" '
               'r:id="rId1" xmlns:ax="http://schemas.microsoft.com/office/2006/activeX" '
               'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"/>')
    ctrl1 = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<formControlPr '
             'xmlns="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main" objectType="CheckBox" '
             'fmlaLink="%s!$B$1" lockText="1" noThreeD="1"/>' % q(lists))
    ctrl2 = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<formControlPr '
             'xmlns="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main" objectType="Drop" '
             'dropStyle="combo" dx="16" fmlaLink="$C$3" fmlaRange="%s!$A$1:$A$3" noThreeD="1" sel="2" '
             'val="0"/>' % q(lists))
    list_sheet = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet %s><sheetData>'
                  % NS + "".join('<row r="%d"><c r="A%d" t="inlineStr"><is><t>%s</t></is></c>%s</row>'
                                 % (i + 1, i + 1, c, '<c r="B1" t="b"><v>1</v></c>' if i == 0 else "")
                                 for i, c in enumerate(["北京", "上海", "广州"]))
                  + "</sheetData></worksheet>")
    comments = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<comments %s><authors>'
                '<author>作者</author></authors><commentList><comment ref="A1" authorId="0"><text><r>'
                '<t>表单说明</t></r></text></comment></commentList></comments>' % NS)
    ct = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types '
          'xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
          '<Default Extension="xml" ContentType="application/xml"/>'
          '<Default Extension="png" ContentType="image/png"/>'
          '<Default Extension="bin" ContentType="application/vnd.openxmlformats-officedocument.oleObject"/>'
          '<Default Extension="vml" ContentType="application/vnd.openxmlformats-officedocument.vmlDrawing"/>'
          '<Override PartName="/xl/workbook.xml" '
          'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
          '<Override PartName="/xl/worksheets/sheet1.xml" '
          'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
          '<Override PartName="/xl/worksheets/sheet2.xml" '
          'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
          '<Override PartName="/xl/comments1.xml" '
          'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml"/>'
          '<Override PartName="/xl/ctrlProps/ctrlProp1.xml" '
          'ContentType="application/vnd.ms-excel.controlproperties+xml"/>'
          '<Override PartName="/xl/ctrlProps/ctrlProp2.xml" '
          'ContentType="application/vnd.ms-excel.controlproperties+xml"/>'
          '<Override PartName="/xl/activeX/activeX1.xml" ContentType="application/vnd.ms-office.activeX+xml"/>'
          '<Override PartName="/xl/activeX/activeX1.bin" ContentType="application/vnd.ms-office.activeX"/>'
          '</Types>')

    def rels(*items):
        return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships '
                'xmlns="http://schemas.openxmlformats.org/package/2006/relationships">' +
                "".join('<Relationship Id="%s" Type="%s" Target="%s"/>' % i for i in items) +
                "</Relationships>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", ct)
        z.writestr("_rels/.rels", rels(("rId1", REL + "officeDocument", "xl/workbook.xml")))
        z.writestr("xl/workbook.xml", '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<workbook %s><sheets><sheet name="%s" sheetId="1" r:id="rId1"/>'
                   '<sheet name="%s" sheetId="2" r:id="rId2"/></sheets></workbook>' % (NS, form, lists))
        z.writestr("xl/_rels/workbook.xml.rels",
                   rels(("rId1", REL + "worksheet", "worksheets/sheet1.xml"),
                        ("rId2", REL + "worksheet", "worksheets/sheet2.xml")))
        z.writestr("xl/worksheets/sheet1.xml", sheet)
        z.writestr("xl/worksheets/sheet2.xml", list_sheet)
        z.writestr("xl/worksheets/_rels/sheet1.xml.rels",
                   rels(("rId1", REL + "comments", "../comments1.xml"),
                        ("rId2", REL + "vmlDrawing", "../drawings/vmlDrawing1.vml"),
                        ("rId3", REL + "oleObject", "../embeddings/oleObject1.bin"),
                        ("rId4", REL + "image", "../media/image1.png"),
                        ("rId5", REL + "ctrlProp", "../ctrlProps/ctrlProp1.xml"),
                        ("rId6", REL + "ctrlProp", "../ctrlProps/ctrlProp2.xml"),
                        ("rId7", REL + "control", "../activeX/activeX1.xml")))
        z.writestr("xl/comments1.xml", comments)
        z.writestr("xl/drawings/vmlDrawing1.vml", vml)
        z.writestr("xl/drawings/_rels/vmlDrawing1.vml.rels",
                   rels(("rId1", REL + "image", "../media/image1.png"),
                        ("rId2", REL + "image", "../media/image1.png")))
        z.writestr("xl/activeX/activeX1.xml", activex)
        z.writestr("xl/activeX/_rels/activeX1.xml.rels",
                   rels(("rId1", "http://schemas.microsoft.com/office/2006/relationships/"
                         "activeXControlBinary", "activeX1.bin")))
        z.writestr("xl/activeX/activeX1.bin", bytes(range(64)) * 4)
        z.writestr("xl/ctrlProps/ctrlProp1.xml", ctrl1)
        z.writestr("xl/ctrlProps/ctrlProp2.xml", ctrl2)
        z.writestr("xl/embeddings/oleObject1.bin", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504))
        z.writestr("xl/media/image1.png", png(64, 40, (30, 120, 200)))
