"""A workbook with slicers and a timeline, made by hand: xlsxwriter writes the cells and the
table, and the pivot table, its cache, the slicers, the timeline and their caches are added to
the package as the desktop application lays them out.

Sheets: "Data" (the table "Sales" with a slicer on it), "Pivot" (a pivot table of the table's
cells, a slicer and a timeline on it) and "Dash" (a second slicer of the pivot table's slicer
cache, on a sheet of its own)."""
import datetime
import re
import shutil
import zipfile

import xlsxwriter

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
X14 = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"
X15 = "http://schemas.microsoft.com/office/spreadsheetml/2010/11/main"
MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PIVOT_CACHE_ID = "1234567"

ROWS = [("华东", datetime.date(2024, 1, 1), 10), ("华北", datetime.date(2024, 2, 1), 20),
        ("华东", datetime.date(2024, 3, 1), 30), ("华北", datetime.date(2024, 4, 1), 40),
        ("华东", datetime.date(2024, 5, 1), 50)]


def frame(col, name, kind):
    """A drawing anchor holding the frame of a slicer ("slicer", "table") or a timeline."""
    if kind == "timeline":
        requires = 'xmlns:tsle="http://schemas.microsoft.com/office/drawing/2012/timeslicer" ' \
                   'Requires="tsle"'
        data = ('<a:graphicData uri="http://schemas.microsoft.com/office/drawing/2012/timeslicer">'
                '<tsle:timeslicer xmlns:tsle="http://schemas.microsoft.com/office/drawing/2012/'
                'timeslicer" name="%s"/></a:graphicData>' % name)
    else:
        requires = ('xmlns:sle15="http://schemas.microsoft.com/office/drawing/2012/slicer" '
                    'Requires="sle15"' if kind == "table" else
                    'xmlns:a14="http://schemas.microsoft.com/office/drawing/2010/main" '
                    'Requires="a14"')
        data = ('<a:graphicData uri="http://schemas.microsoft.com/office/drawing/2010/slicer">'
                '<sle:slicer xmlns:sle="http://schemas.microsoft.com/office/drawing/2010/slicer" '
                'name="%s"/></a:graphicData>' % name)
    return (
        '<xdr:twoCellAnchor editAs="oneCell"><xdr:from><xdr:col>%d</xdr:col><xdr:colOff>0'
        '</xdr:colOff><xdr:row>1</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from><xdr:to>'
        '<xdr:col>%d</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>12</xdr:row><xdr:rowOff>0'
        '</xdr:rowOff></xdr:to><mc:AlternateContent xmlns:mc="%s"><mc:Choice %s>'
        '<xdr:graphicFrame macro=""><xdr:nvGraphicFramePr><xdr:cNvPr id="%d" name="%s"/>'
        '<xdr:cNvGraphicFramePr/></xdr:nvGraphicFramePr><xdr:xfrm><a:off x="0" y="0"/>'
        '<a:ext cx="0" cy="0"/></xdr:xfrm><a:graphic>%s</a:graphic></xdr:graphicFrame>'
        '</mc:Choice><mc:Fallback><xdr:sp macro="" textlink=""><xdr:nvSpPr>'
        '<xdr:cNvPr id="0" name=""/><xdr:cNvSpPr><a:spLocks noTextEdit="1"/></xdr:cNvSpPr>'
        '</xdr:nvSpPr><xdr:spPr><a:xfrm><a:off x="2438400" y="190500"/>'
        '<a:ext cx="1828800" cy="2095500"/></a:xfrm><a:prstGeom prst="rect"><a:avLst/>'
        '</a:prstGeom></xdr:spPr><xdr:txBody><a:bodyPr/><a:lstStyle/><a:p><a:r>'
        '<a:rPr lang="zh-CN" sz="1100"/><a:t>切片器</a:t></a:r></a:p></xdr:txBody></xdr:sp>'
        '</mc:Fallback></mc:AlternateContent><xdr:clientData/></xdr:twoCellAnchor>'
        % (col, col + 3, MC, requires, col + 2, name, data))


def drawing(*anchors):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<xdr:wsDr xmlns:xdr="http://schemas.openxmlformats.org/drawingml/2006/'
            'spreadsheetDrawing" xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main">'
            + "".join(anchors) + '</xdr:wsDr>')


def slicers(*items):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<slicers xmlns="%s" xmlns:mc="%s" mc:Ignorable="x" xmlns:x="%s">' % (X14, MC, MAIN)
            + "".join('<slicer name="%s" cache="%s" caption="地区" rowHeight="241300"/>' % i
                      for i in items) + '</slicers>')


def rels(*items):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            + "".join('<Relationship Id="%s" Type="%s" Target="%s"/>' % i for i in items)
            + '</Relationships>')


def ext_list(*exts):
    uris = {"slicers": ("{A8765BA9-456A-4dab-B4F3-ACF838C121DE}", "x14"),
            "table": ("{3A4CF648-6AED-40f4-86FF-DC5316D8AED3}", "x15"),
            "timeline": ("{7E03D99C-DC04-49d9-9315-930204A7B6E9}", "x15")}
    out = "<extLst>"
    for kind, rid in exts:
        uri, prefix = uris[kind]
        out += '<ext uri="%s" xmlns:%s="%s">' % (uri, prefix, X14 if prefix == "x14" else X15)
        if kind == "timeline":
            out += '<x15:timelineRefs><x15:timelineRef r:id="%s"/></x15:timelineRefs>' % rid
        else:
            out += ('<x14:slicerList xmlns:x14="%s"><x14:slicer r:id="%s"/></x14:slicerList>'
                    % (X14, rid))
        out += "</ext>"
    return out + "</extLst>"


def slicer_book(path):
    tmp = path + ".base.xlsx"
    wb = xlsxwriter.Workbook(tmp)
    date = wb.add_format({"num_format": "yyyy-mm-dd"})
    data = wb.add_worksheet("Data")
    data.add_table(0, 0, len(ROWS), 2, {
        "name": "Sales", "columns": [{"header": "Region"}, {"header": "Month", "format": date},
                                     {"header": "Amount"}],
        "data": [list(r) for r in ROWS]})
    pivot = wb.add_worksheet("Pivot")
    pivot.write_row(2, 0, ["Row Labels", "Sum of Amount"])
    pivot.write_row(3, 0, ["华北", 60])
    pivot.write_row(4, 0, ["华东", 90])
    pivot.write_row(5, 0, ["Grand Total", 150])
    dash = wb.add_worksheet("Dash")
    dash.write(0, 0, "看板")
    wb.close()

    with zipfile.ZipFile(tmp) as z:
        files = {n: z.read(n) for n in z.namelist()}
    text = {n: v.decode("utf-8") for n, v in files.items() if n.endswith((".xml", ".rels"))}

    def add(name, content, ctype):
        text[name] = content
        text["[Content_Types].xml"] = text["[Content_Types].xml"].replace(
            "</Types>", '<Override PartName="/%s" ContentType="%s"/></Types>' % (name, ctype))

    def sheet(name, before_tag, inject, ext):
        xml = text[name]
        if before_tag and before_tag in xml:
            xml = xml.replace(before_tag, inject + before_tag, 1)
        else:
            xml = xml.replace("</worksheet>", inject + "</worksheet>")
        text[name] = xml.replace("</worksheet>", ext + "</worksheet>")

    ms = "http://schemas.microsoft.com/office/"
    od = REL + "/"
    # The pivot table and its cache.
    shared = '<sharedItems count="2"><s v="华东"/><s v="华北"/></sharedItems>'
    add("xl/pivotCache/pivotCacheDefinition1.xml",
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<pivotCacheDefinition xmlns="%s" xmlns:r="%s" r:id="rId1" refreshOnLoad="1" '
        'recordCount="5" createdVersion="6" refreshedVersion="6" minRefreshableVersion="3">'
        '<cacheSource type="worksheet"><worksheetSource ref="A1:C6" sheet="Data"/></cacheSource>'
        '<cacheFields count="3"><cacheField name="Region" numFmtId="0">%s</cacheField>'
        '<cacheField name="Month" numFmtId="14"><sharedItems containsSemiMixedTypes="0" '
        'containsNonDate="0" containsDate="1" containsString="0" minDate="2024-01-01T00:00:00" '
        'maxDate="2024-05-02T00:00:00"/></cacheField><cacheField name="Amount" numFmtId="0">'
        '<sharedItems containsSemiMixedTypes="0" containsString="0" containsNumber="1" '
        'containsInteger="1" minValue="10" maxValue="50"/></cacheField></cacheFields>'
        '<extLst><ext uri="{725AE2AE-9491-48be-B2B4-4EB974FC3084}" xmlns:x14="%s">'
        '<x14:pivotCacheDefinition pivotCacheId="%s"/></ext></extLst></pivotCacheDefinition>'
        % (MAIN, REL, shared, X14, PIVOT_CACHE_ID),
        "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheDefinition+xml")
    records = "".join('<r><x v="%d"/><d v="%sT00:00:00"/><n v="%d"/></r>'
                      % (0 if r[0] == "华东" else 1, r[1].isoformat(), r[2]) for r in ROWS)
    add("xl/pivotCache/pivotCacheRecords1.xml",
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<pivotCacheRecords xmlns="%s" count="5">%s</pivotCacheRecords>' % (MAIN, records),
        "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheRecords+xml")
    text["xl/pivotCache/_rels/pivotCacheDefinition1.xml.rels"] = rels(
        ("rId1", od + "pivotCacheRecords", "pivotCacheRecords1.xml"))
    add("xl/pivotTables/pivotTable1.xml",
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<pivotTableDefinition xmlns="%s" name="PivotTable1" cacheId="5" dataCaption="Values" '
        'updatedVersion="6" minRefreshableVersion="3" createdVersion="6" '
        'applyNumberFormats="0" applyBorderFormats="0" applyFontFormats="0" '
        'applyPatternFormats="0" applyAlignmentFormats="0" applyWidthHeightFormats="1" '
        'useAutoFormatting="1" itemPrintTitles="1" indent="0" outline="1" outlineData="1">'
        '<location ref="A3:B6" firstHeaderRow="1" firstDataRow="1" firstDataCol="1"/>'
        '<pivotFields count="3"><pivotField axis="axisRow" showAll="0"><items count="3">'
        '<item x="1"/><item x="0"/><item t="default"/></items></pivotField>'
        '<pivotField numFmtId="14" showAll="0"/><pivotField dataField="1" showAll="0"/>'
        '</pivotFields><rowFields count="1"><field x="0"/></rowFields><rowItems count="3">'
        '<i><x/></i><i><x v="1"/></i><i t="grand"><x/></i></rowItems><colItems count="1"><i/>'
        '</colItems><dataFields count="1"><dataField name="Sum of Amount" fld="2" baseField="0" '
        'baseItem="0"/></dataFields></pivotTableDefinition>' % MAIN,
        "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotTable+xml")
    text["xl/pivotTables/_rels/pivotTable1.xml.rels"] = rels(
        ("rId1", od + "pivotCacheDefinition", "../pivotCache/pivotCacheDefinition1.xml"))

    # The caches, listed by the workbook.
    head = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n')
    add("xl/slicerCaches/slicerCache1.xml", head +
        '<slicerCacheDefinition xmlns="%s" xmlns:mc="%s" mc:Ignorable="x" xmlns:x="%s" '
        'name="Slicer_Region" sourceName="Region"><pivotTables><pivotTable tabId="2" '
        'name="PivotTable1"/></pivotTables><data><tabular pivotCacheId="%s"><items count="2">'
        '<i x="0" s="1"/><i x="1" s="1"/></items></tabular></data></slicerCacheDefinition>'
        % (X14, MC, MAIN, PIVOT_CACHE_ID), "application/vnd.ms-excel.slicerCache+xml")
    add("xl/slicerCaches/slicerCache2.xml", head +
        '<slicerCacheDefinition xmlns="%s" xmlns:mc="%s" mc:Ignorable="x x15" xmlns:x="%s" '
        'xmlns:x15="%s" name="Slicer_Region1" sourceName="Region"><extLst>'
        '<x:ext uri="{2F2917AC-EB37-4324-AD4E-5DD8C200BD13}" xmlns:x15="%s">'
        '<x15:tableSlicerCache tableId="1" column="1"/></x:ext></extLst>'
        '</slicerCacheDefinition>' % (X14, MC, MAIN, X15, X15),
        "application/vnd.ms-excel.slicerCache+xml")
    add("xl/timelineCaches/timelineCache1.xml", head +
        '<timelineCacheDefinition xmlns="%s" xmlns:mc="%s" mc:Ignorable="x" xmlns:x="%s" '
        'name="NativeTimeline_Month" sourceName="Month"><pivotTables><pivotTable tabId="2" '
        'name="PivotTable1"/></pivotTables><state minimalRefreshVersion="6" '
        'lastRefreshVersion="6" pivotCacheId="%s" filterType="unknown"><bounds '
        'startDate="2024-01-01T00:00:00" endDate="2025-01-01T00:00:00"/></state>'
        '</timelineCacheDefinition>' % (X15, MC, MAIN, PIVOT_CACHE_ID),
        "application/vnd.ms-excel.timelineCache+xml")

    # The slicers and the timeline, with the frames that show them.
    dr = "application/vnd.openxmlformats-officedocument.drawing+xml"
    add("xl/slicers/slicer1.xml", slicers(("Region 1", "Slicer_Region1")),
        "application/vnd.ms-excel.slicer+xml")
    add("xl/slicers/slicer2.xml", slicers(("Region", "Slicer_Region")),
        "application/vnd.ms-excel.slicer+xml")
    add("xl/slicers/slicer3.xml", slicers(("Region 2", "Slicer_Region")),
        "application/vnd.ms-excel.slicer+xml")
    add("xl/timelines/timeline1.xml", head +
        '<timelines xmlns="%s" xmlns:mc="%s" mc:Ignorable="x" xmlns:x="%s"><timeline '
        'name="Month" cache="NativeTimeline_Month" caption="Month" level="2" '
        'selectionLevel="2" scrollPosition="2024-01-01T00:00:00"/></timelines>' % (X15, MC, MAIN),
        "application/vnd.ms-excel.timeline+xml")
    add("xl/drawings/drawing1.xml", drawing(frame(4, "Region 1", "table")), dr)
    add("xl/drawings/drawing2.xml",
        drawing(frame(3, "Region", "slicer"), frame(7, "Month", "timeline")), dr)
    add("xl/drawings/drawing3.xml", drawing(frame(2, "Region 2", "slicer")), dr)

    def sheet_rels(n, *items):
        name = "xl/worksheets/_rels/sheet%d.xml.rels" % n
        if name in text:
            text[name] = text[name].replace(
                "</Relationships>", "".join('<Relationship Id="%s" Type="%s" Target="%s"/>' % i
                                            for i in items) + "</Relationships>")
        else:
            text[name] = rels(*items)

    sheet_rels(1, ("rIdD", od + "drawing", "../drawings/drawing1.xml"),
               ("rIdS", ms + "2007/relationships/slicer", "../slicers/slicer1.xml"))
    sheet(f"xl/worksheets/sheet1.xml", "<tableParts", '<drawing r:id="rIdD"/>',
          ext_list(("table", "rIdS")))
    sheet_rels(2, ("rIdD", od + "drawing", "../drawings/drawing2.xml"),
               ("rIdP", od + "pivotTable", "../pivotTables/pivotTable1.xml"),
               ("rIdS", ms + "2007/relationships/slicer", "../slicers/slicer2.xml"),
               ("rIdT", ms + "2011/relationships/timeline", "../timelines/timeline1.xml"))
    sheet("xl/worksheets/sheet2.xml", None, '<drawing r:id="rIdD"/>',
          ext_list(("slicers", "rIdS"), ("timeline", "rIdT")))
    sheet_rels(3, ("rIdD", od + "drawing", "../drawings/drawing3.xml"),
               ("rIdS", ms + "2007/relationships/slicer", "../slicers/slicer3.xml"))
    sheet("xl/worksheets/sheet3.xml", None, '<drawing r:id="rIdD"/>',
          ext_list(("slicers", "rIdS")))

    # The workbook: its pivot cache, the caches' lists and their defined names.
    text["xl/_rels/workbook.xml.rels"] = text["xl/_rels/workbook.xml.rels"].replace(
        "</Relationships>",
        '<Relationship Id="rIdPC" Type="%spivotCacheDefinition" '
        'Target="pivotCache/pivotCacheDefinition1.xml"/>'
        '<Relationship Id="rIdSC1" Type="%s2007/relationships/slicerCache" '
        'Target="slicerCaches/slicerCache1.xml"/>'
        '<Relationship Id="rIdSC2" Type="%s2007/relationships/slicerCache" '
        'Target="slicerCaches/slicerCache2.xml"/>'
        '<Relationship Id="rIdTC1" Type="%s2011/relationships/timelineCache" '
        'Target="timelineCaches/timelineCache1.xml"/></Relationships>' % (od, ms, ms, ms))
    wbx = text["xl/workbook.xml"]
    names = ('<definedNames><definedName name="NativeTimeline_Month">#N/A</definedName>'
             '<definedName name="Slicer_Region">#N/A</definedName>'
             '<definedName name="Slicer_Region1">#N/A</definedName></definedNames>')
    wbx = re.sub(r"</sheets>", "</sheets>" + names, wbx, count=1)
    wbx = wbx.replace(
        "</workbook>",
        '<pivotCaches><pivotCache cacheId="5" r:id="rIdPC"/></pivotCaches><extLst>'
        '<ext uri="{BBE1A952-AA13-448e-AADC-164F8A28A991}" xmlns:x14="%s"><x14:slicerCaches>'
        '<x14:slicerCache r:id="rIdSC1"/></x14:slicerCaches></ext>'
        '<ext uri="{46BE6895-7355-4a93-B00E-2C351335B9C9}" xmlns:x15="%s"><x15:slicerCaches '
        'xmlns:x14="%s"><x14:slicerCache r:id="rIdSC2"/></x15:slicerCaches></ext>'
        '<ext uri="{D0CA8CA8-9F24-4464-BF8E-62219DCF47F9}" xmlns:x15="%s">'
        '<x15:timelineCacheRefs><x15:timelineCacheRef r:id="rIdTC1"/></x15:timelineCacheRefs>'
        '</ext></extLst></workbook>' % (X14, X15, X14, X15))
    text["xl/workbook.xml"] = wbx

    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for n in list(files) + [n for n in text if n not in files]:
            z.writestr(n, text[n].encode("utf-8") if n in text else files[n])
    shutil.os.remove(tmp)
