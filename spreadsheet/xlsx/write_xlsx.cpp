// Writing the workbook model as an .xlsx/.xlsm package: the entry points, the plans, the workbook
// and the package's own parts, then every part in order into the zip (the parts of styles,
// strings, sheets and notes come from the other write_*.cpp files).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>
#include <thread>

#include "../carry/legacy_shapes.h"
#include "write_internal.h"

namespace ss {

namespace {

using xml::appendXstring;

constexpr const char* kRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

// ISA-L deflate level of every part: level 3 keeps the merged sheets' XML within 1.2 times
// zlib level 6's size (level 1: 1.21-1.26) at 1.6 times zlib level 1's speed (bench/README.md).
constexpr int kDeflateLevel = 3;
// From this many cells on, a second thread deflates while the sheets are written.
constexpr uint64_t kThreadedCells = 20000;
constexpr uint64_t kSmallChunkCells = 200000;

// One pass over the written cells (the largest part of the model) for what both plans need:
// the cell formats in use (`usedXf`, by workbook index) and the strings. Returns the number
// of cells.
uint64_t scanCells(const Workbook& wb, const std::vector<const Worksheet*>& sheets,
                   std::vector<uint8_t>& usedXf, StringPlan& strings) {
    usedXf.assign(wb.styles.cellXfs.size(), 0);
    if (!usedXf.empty()) usedXf[0] = 1;
    const size_t xfs = usedXf.size();
    uint8_t* const used = usedXf.data();
    strings.map.assign(wb.strings.size(), UINT32_MAX);
    uint32_t* const map = strings.map.data();
    const size_t known = strings.map.size();
    uint64_t cells = 0;
    for (const Worksheet* ws : sheets) {
        for (const Row& r : ws->rows()) {
            if (r.customFormat && r.style < xfs) used[r.style] = 1;
            cells += r.cells.size();
            for (const Cell& c : r.cells) {
                if (c.style < xfs) used[c.style] = 1;
                if (c.type == CellType::String && !c.hasFormula() && c.sst < known) {
                    ++strings.refs;
                    if (map[c.sst] == UINT32_MAX) {
                        map[c.sst] = uint32_t(strings.order.size());
                        strings.order.push_back(c.sst);
                    }
                }
            }
        }
        for (const ColumnInfo& c : ws->columns)
            if (c.style < xfs) used[c.style] = 1;
    }
    return cells;
}

// ---- workbook, package parts -----------------------------------------------------------------

std::string_view defaultTheme();

std::string nowW3C() {
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A sheet name the format accepts: 1..31 characters, none of []:*?/\, not starting or ending
// with an apostrophe.
bool validSheetName(const std::string& n) {
    if (n.empty()) return false;
    size_t chars = 0;
    for (unsigned char c : n)
        if ((c & 0xC0) != 0x80) ++chars;
    if (chars > 31 || n.front() == '\'' || n.back() == '\'') return false;
    return n.find_first_of("[]:*?/\\") == std::string::npos;
}

struct Part {
    std::string name, data;
};

bool isChartsheet(const Worksheet* ws) {
    return ws->kind == SheetKind::Chartsheet && ws->parts && !ws->parts->chartsheetXml.empty();
}

// The sheets a package holds, in order: chart sheets are written with their parts as read;
// dialog sheets, and chart sheets of sources that gave none (.xls), are not carried.
// `writtenIndex` gives each sheet of the workbook its place among them (-1: not written).
std::vector<const Worksheet*> writtenSheets(const Workbook& wb, std::vector<int>* writtenIndex) {
    std::vector<const Worksheet*> sheets;
    if (writtenIndex) writtenIndex->assign(wb.sheets.size(), -1);
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        const Worksheet& ws = *wb.sheets[i];
        if (ws.kind == SheetKind::Dialogsheet) continue;
        if (ws.kind == SheetKind::Chartsheet && !isChartsheet(&ws)) continue;
        if (writtenIndex) (*writtenIndex)[i] = int(sheets.size());
        sheets.push_back(&ws);
    }
    return sheets;
}

// The parts hanging off the sheets, with the names they get in this package.
std::vector<xlsx::PartGraphWriter::SheetOut> planCarried(
    const Workbook& wb, const std::vector<const Worksheet*>& sheets,
    std::unique_ptr<xlsx::PartGraphWriter>& carried) {
    std::set<std::string> reserved;
    for (size_t i = 1; i <= sheets.size(); ++i) {
        const std::string n = std::to_string(i);
        for (const char* f : {"xl/worksheets/sheet", "xl/chartsheets/sheet", "xl/comments",
                              "xl/drawings/vmlDrawing"})
            reserved.insert(f + n +
                            (std::string_view(f) == "xl/drawings/vmlDrawing" ? ".vml" : ".xml"));
    }
    for (const char* n : {"xl/workbook.xml", "xl/styles.xml", "xl/sharedStrings.xml",
                          "xl/theme/theme1.xml", "xl/vbaProject.bin", "xl/persons/person.xml"})
        reserved.insert(n);
    std::set<std::string> definedNames;
    for (const DefinedName& d : wb.names) definedNames.insert(d.name);
    carried = std::make_unique<xlsx::PartGraphWriter>(sheets, std::move(reserved),
                                                      std::move(definedNames));
    std::vector<xlsx::PartGraphWriter::SheetOut> sheetParts;
    for (size_t i = 0; i < sheets.size(); ++i)
        sheetParts.push_back(carried->sheet(
            i,
            (isChartsheet(sheets[i]) ? "xl/chartsheets/sheet" : "xl/worksheets/sheet") +
                std::to_string(i + 1) + ".xml",
            "xl/drawings/vmlDrawing" + std::to_string(i + 1) + ".vml"));
    carried->finish();
    return sheetParts;
}

}  // namespace

UnlinkedParts unlinkedReferences(const Workbook& wb) {
    bool any = false;
    for (const auto& ws : wb.sheets) any = any || ws->parts;
    if (!any) return {};
    const std::vector<const Worksheet*> sheets = writtenSheets(wb, nullptr);
    std::unique_ptr<xlsx::PartGraphWriter> carried;
    planCarried(wb, sheets, carried);
    return {carried->uncoveredReferences(), carried->droppedSlicers()};
}

Status writeXlsx(const Workbook& wb, const std::filesystem::path& path, bool macroEnabled) {
    return writeXlsxTo(-1, wb, path, macroEnabled);
}

Status writeXlsxTo(int fd, const Workbook& wb, const std::filesystem::path& path,
                   bool macroEnabled) {
    std::vector<int> writtenIndex;
    std::vector<const Worksheet*> sheets = writtenSheets(wb, &writtenIndex);
    Worksheet blank("Sheet1");
    if (sheets.empty()) sheets.push_back(&blank);
    std::set<std::string> seen;
    for (const Worksheet* ws : sheets) {
        if (!validSheetName(ws->name))
            return fail("无法保存 " + path.string() + "：工作表名称“" + ws->name + "”无效。");
        std::string key = ws->name;
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
        if (!seen.insert(key).second)
            return fail("无法保存 " + path.string() + "：工作表名称“" + ws->name + "”重复。");
    }

    std::vector<uint8_t> usedXf;
    StringPlan strings;
    const uint64_t cells = scanCells(wb, sheets, usedXf, strings);
    StylePlan styles = planStyles(wb, usedXf);

    std::unique_ptr<xlsx::PartGraphWriter> carriedPlan;
    std::vector<xlsx::PartGraphWriter::SheetOut> sheetParts = planCarried(wb, sheets, carriedPlan);
    const xlsx::PartGraphWriter& carried = *carriedPlan;
    auto hasLegacyDrawing = [&](size_t i) {
        return !sheets[i]->notes.empty() || !sheetParts[i].legacyShapes.empty();
    };

    bool vba = macroEnabled && !wb.vbaProject.empty();
    std::vector<Part> parts;
    // [Content_Types].xml
    {
        std::string ct = kXmlDecl;
        ct +=
            "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
            "<Default Extension=\"rels\" "
            "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
            "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";
        if (vba)
            ct +=
                "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.vbaProject\"/>";
        bool legacy = false;
        for (size_t i = 0; i < sheets.size(); ++i) legacy = legacy || hasLegacyDrawing(i);
        if (legacy)
            ct +=
                "<Default Extension=\"vml\" "
                "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>";
        ct += "<Override PartName=\"/xl/workbook.xml\" ContentType=\"";
        ct += macroEnabled
                  ? "application/vnd.ms-excel.sheet.macroEnabled.main+xml"
                  : "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
        ct += "\"/>";
        for (size_t i = 0; i < sheets.size(); ++i)
            ct += isChartsheet(sheets[i])
                      ? "<Override PartName=\"/xl/chartsheets/sheet" + std::to_string(i + 1) +
                            ".xml\" ContentType=\"application/"
                            "vnd.openxmlformats-officedocument.spreadsheetml.chartsheet+xml\"/>"
                      : "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i + 1) +
                            ".xml\" "
                            "ContentType=\"application/"
                            "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
        for (const auto& p : carried.parts()) {
            ct += "<Override";
            attrS(ct, "PartName", "/" + p.name);
            attrS(ct, "ContentType", p.contentType);
            ct += "/>";
        }
        if (!carried.personsXml().empty())
            ct +=
                "<Override PartName=\"/xl/persons/person.xml\" "
                "ContentType=\"application/vnd.ms-excel.person+xml\"/>";
        for (size_t i = 0; i < sheets.size(); ++i)
            if (!sheets[i]->notes.empty())
                ct += "<Override PartName=\"/xl/comments" + std::to_string(i + 1) +
                      ".xml\" ContentType=\"application/"
                      "vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/>";
        ct +=
            "<Override PartName=\"/xl/theme/theme1.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
            "<Override PartName=\"/xl/styles.xml\" "
            "ContentType=\"application/"
            "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>";
        if (!strings.order.empty())
            ct +=
                "<Override PartName=\"/xl/sharedStrings.xml\" "
                "ContentType=\"application/"
                "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
        ct +=
            "<Override PartName=\"/docProps/core.xml\" "
            "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
            "<Override PartName=\"/docProps/app.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/"
            ">"
            "</Types>";
        parts.push_back({"[Content_Types].xml", std::move(ct)});
    }
    parts.push_back({"_rels/.rels",
                     std::string(kXmlDecl) +
                         "<Relationships "
                         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                         "<Relationship Id=\"rId1\" "
                         "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                         "relationships/officeDocument\" Target=\"xl/workbook.xml\"/>"
                         "<Relationship Id=\"rId2\" "
                         "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/"
                         "metadata/core-properties\" Target=\"docProps/core.xml\"/>"
                         "<Relationship Id=\"rId3\" "
                         "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                         "relationships/extended-properties\" Target=\"docProps/app.xml\"/>"
                         "</Relationships>"});
    {
        std::string now = nowW3C();
        parts.push_back(
            {"docProps/core.xml", std::string(kXmlDecl) +
                                      "<cp:coreProperties "
                                      "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/"
                                      "metadata/core-properties\" "
                                      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                                      "xmlns:dcterms=\"http://purl.org/dc/terms/\" "
                                      "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
                                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
                                      "<dc:creator>Tablaweaver</dc:creator>"
                                      "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
                                      now +
                                      "</dcterms:created>"
                                      "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">" +
                                      now +
                                      "</dcterms:modified>"
                                      "</cp:coreProperties>"});
        parts.push_back(
            {"docProps/app.xml", std::string(kXmlDecl) +
                                     "<Properties "
                                     "xmlns=\"http://schemas.openxmlformats.org/officeDocument/"
                                     "2006/extended-properties\" "
                                     "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/"
                                     "2006/docPropsVTypes\">"
                                     "<Application>Tablaweaver</Application><DocSecurity>0</"
                                     "DocSecurity></Properties>"});
    }
    // Workbook and its relationships.
    {
        size_t active = 0, firstTab = 0;
        if (wb.activeSheet < writtenIndex.size() && writtenIndex[wb.activeSheet] >= 0)
            active = size_t(writtenIndex[wb.activeSheet]);
        if (wb.firstVisibleTab < writtenIndex.size() && writtenIndex[wb.firstVisibleTab] >= 0)
            firstTab = size_t(writtenIndex[wb.firstVisibleTab]);
        // The active sheet must be visible.
        if (sheets[active]->state != SheetState::Visible)
            for (size_t i = 0; i < sheets.size(); ++i)
                if (sheets[i]->state == SheetState::Visible) {
                    active = i;
                    break;
                }
        std::string w = kXmlDecl;
        w += "<workbook xmlns=\"";
        w += kMainNs;
        w += "\" xmlns:r=\"";
        w += kRelNs;
        w += "\"><workbookPr";
        if (wb.date1904) w += " date1904=\"1\"";
        w += "/><bookViews><workbookView";
        if (firstTab) attrU(w, "firstSheet", firstTab);
        if (active) attrU(w, "activeTab", active);
        w += "/></bookViews><sheets>";
        for (size_t i = 0; i < sheets.size(); ++i) {
            w += "<sheet";
            attrS(w, "name", sheets[i]->name);
            attrU(w, "sheetId", i + 1);
            if (sheets[i]->state == SheetState::Hidden) w += " state=\"hidden\"";
            if (sheets[i]->state == SheetState::VeryHidden) w += " state=\"veryHidden\"";
            w += " r:id=\"rId" + std::to_string(i + 1) + "\"/>";
        }
        w += "</sheets>";
        std::string names;
        for (const DefinedName& d : wb.names) {
            if (d.name.empty()) continue;
            std::optional<size_t> local;
            if (d.localSheet) {
                if (*d.localSheet >= writtenIndex.size() || writtenIndex[*d.localSheet] < 0)
                    continue;
                local = size_t(writtenIndex[*d.localSheet]);
            }
            names += "<definedName";
            attrS(names, "name", d.name);
            if (!d.comment.empty()) attrS(names, "comment", d.comment);
            if (local) attrU(names, "localSheetId", *local);
            if (d.hidden) names += " hidden=\"1\"";
            names += '>';
            appendXstring(names, d.formula);
            names += "</definedName>";
        }
        // Slicer and timeline caches are defined names too.
        for (const auto& c : carried.caches()) {
            names += "<definedName";
            attrS(names, "name", c.name);
            names += ">#N/A</definedName>";
        }
        if (!names.empty()) w += "<definedNames>" + names + "</definedNames>";
        w += "<calcPr calcId=\"191029\"";
        if (wb.hasFormulas()) w += " fullCalcOnLoad=\"1\"";
        w += "/>";
        if (!carried.pivotCaches().empty()) {
            w += "<pivotCaches>";
            for (size_t k = 0; k < carried.pivotCaches().size(); ++k) {
                w += "<pivotCache";
                attrU(w, "cacheId", carried.pivotCaches()[k].first);
                w += " r:id=\"rIdPC" + std::to_string(k + 1) + "\"/>";
            }
            w += "</pivotCaches>";
        }
        // The workbook's lists of slicer caches (on pivot tables, then on tables) and of
        // timeline caches.
        if (!carried.caches().empty()) {
            using Cache = xlsx::PartGraphWriter::CacheOut;
            auto list = [&](Cache::Kind kind, std::string_view head, std::string_view item,
                            std::string_view tail) {
                std::string refs;
                for (size_t k = 0; k < carried.caches().size(); ++k)
                    if (carried.caches()[k].kind == kind) {
                        refs += '<';
                        refs += item;
                        refs += " r:id=\"rIdSC" + std::to_string(k + 1) + "\"/>";
                    }
                if (refs.empty()) return;
                w += head;
                w += refs;
                w += tail;
            };
            w += "<extLst>";
            list(Cache::PivotSlicer,
                 "<ext uri=\"{BBE1A952-AA13-448e-AADC-164F8A28A991}\" "
                 "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/"
                 "main\"><x14:slicerCaches>",
                 "x14:slicerCache", "</x14:slicerCaches></ext>");
            list(Cache::TableSlicer,
                 "<ext uri=\"{46BE6895-7355-4a93-B00E-2C351335B9C9}\" "
                 "xmlns:x15=\"http://schemas.microsoft.com/office/spreadsheetml/2010/11/"
                 "main\"><x15:slicerCaches "
                 "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">",
                 "x14:slicerCache", "</x15:slicerCaches></ext>");
            list(Cache::Timeline,
                 "<ext uri=\"{D0CA8CA8-9F24-4464-BF8E-62219DCF47F9}\" "
                 "xmlns:x15=\"http://schemas.microsoft.com/office/spreadsheetml/2010/11/"
                 "main\"><x15:timelineCacheRefs>",
                 "x15:timelineCacheRef", "</x15:timelineCacheRefs></ext>");
            w += "</extLst>";
        }
        w += "</workbook>";
        parts.push_back({"xl/workbook.xml", std::move(w)});

        std::string rels = kXmlDecl;
        rels +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        size_t id = 1;
        for (size_t i = 0; i < sheets.size(); ++i, ++id)
            rels += "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + kRelType +
                    (isChartsheet(sheets[i]) ? "chartsheet\" Target=\"chartsheets/sheet"
                                             : "worksheet\" Target=\"worksheets/sheet") +
                    std::to_string(i + 1) + ".xml\"/>";
        for (size_t k = 0; k < carried.pivotCaches().size(); ++k)
            rels += "<Relationship Id=\"rIdPC" + std::to_string(k + 1) + "\" Type=\"" + kRelType +
                    "pivotCacheDefinition\" Target=\"" +
                    xlsx::relativeTarget("xl/workbook.xml", carried.pivotCaches()[k].second) +
                    "\"/>";
        for (size_t k = 0; k < carried.caches().size(); ++k) {
            const bool timeline =
                carried.caches()[k].kind == xlsx::PartGraphWriter::CacheOut::Timeline;
            rels += "<Relationship Id=\"rIdSC" + std::to_string(k + 1) +
                    (timeline ? "\" Type=\"http://schemas.microsoft.com/office/2011/relationships/"
                                "timelineCache\" Target=\""
                              : "\" Type=\"http://schemas.microsoft.com/office/2007/relationships/"
                                "slicerCache\" Target=\"") +
                    xlsx::relativeTarget("xl/workbook.xml", carried.caches()[k].part) + "\"/>";
        }
        if (!carried.personsXml().empty())
            rels +=
                "<Relationship Id=\"rIdPersons\" "
                "Type=\"http://schemas.microsoft.com/office/2017/10/relationships/person\" "
                "Target=\"persons/person.xml\"/>";
        rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                "theme\" Target=\"theme/theme1.xml\"/>";
        rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                "styles\" Target=\"styles.xml\"/>";
        if (!strings.order.empty())
            rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                    "sharedStrings\" Target=\"sharedStrings.xml\"/>";
        if (vba)
            rels += "<Relationship Id=\"rId" + std::to_string(id++) +
                    "\" Type=\"http://schemas.microsoft.com/office/2006/relationships/vbaProject\" "
                    "Target=\"vbaProject.bin\"/>";
        rels += "</Relationships>";
        parts.push_back({"xl/_rels/workbook.xml.rels", std::move(rels)});
    }
    parts.push_back(
        {"xl/theme/theme1.xml", wb.themeXml.empty() ? std::string(defaultTheme()) : wb.themeXml});
    parts.push_back({"xl/styles.xml", stylesPart(wb.styles, styles)});

    // Drawing shape ids come in blocks of 1024 per workbook: the notes' boxes take blocks after
    // those the carried legacy drawings (header pictures) claim.
    uint32_t nextShapeBlock = 1;
    for (const auto& p : carried.parts()) {
        if (p.contentType.find("vmlDrawing") == std::string::npos) continue;
        size_t at = p.data->find("idmap");
        at = at == std::string::npos ? at : p.data->find("data=\"", at);
        if (at == std::string::npos) continue;
        uint32_t n = 0;
        for (size_t i = at + 6; i < p.data->size() && (*p.data)[i] != '"'; ++i) {
            char c = (*p.data)[i];
            if (c >= '0' && c <= '9') {
                n = std::min<uint32_t>(n * 10 + uint32_t(c - '0'), 1u << 20);
            } else {
                nextShapeBlock = std::max(nextShapeBlock, n + 1);
                n = 0;
            }
        }
        nextShapeBlock = std::max(nextShapeBlock, n + 1);
    }
    for (const auto& out : sheetParts)
        for (uint32_t id : legacyShapeIds(out.legacyShapes))
            nextShapeBlock = std::max(nextShapeBlock, id / 1024 + 1);
    // A small workbook is deflated as it is written; a large one on a second thread too, in
    // chunks small enough that a sheet of a few megabytes of XML gives that thread work while
    // the writer goes on (a larger workbook in larger chunks, which hold less memory per byte).
    xlsx::PartDeflater deflater(
        kDeflateLevel, cells >= kThreadedCells && std::thread::hardware_concurrency() > 1,
        cells < kSmallChunkCells ? xlsx::PartDeflater::kSmallChunk : xlsx::PartDeflater::kChunk);
    for (const Part& p : parts) {
        deflater.begin(p.name);
        deflater.out() += p.data;
        deflater.end();
    }
    if (!strings.order.empty()) {
        deflater.begin("xl/sharedStrings.xml");
        stringsPart(wb.strings, strings, deflater);
        deflater.end();
    }
    for (size_t i = 0; i < sheets.size(); ++i) {
        const std::string name = "sheet" + std::to_string(i + 1) + ".xml";
        if (isChartsheet(sheets[i])) {
            deflater.begin("xl/chartsheets/" + name);
            deflater.out() += sheetParts[i].chartsheet;
            deflater.end();
            if (sheetParts[i].rels.empty()) continue;
            deflater.begin("xl/chartsheets/_rels/" + name + ".rels");
            deflater.out() = kXmlDecl;
            deflater.out() +=
                "<Relationships "
                "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                sheetParts[i].rels + "</Relationships>";
            deflater.end();
            continue;
        }
        deflater.begin("xl/worksheets/" + name);
        sheetParts[i].tableRenames = carried.tableRenames(*sheets[i]);
        worksheetPart(wb, *sheets[i], styles, strings, deflater, sheetParts[i]);
        deflater.end();
        // The sheet's relationships: the targets of hyperlinks out of the workbook (for the
        // kept <hyperlinks> element), its notes with their boxes, and its carried parts.
        const Worksheet& ws = *sheets[i];
        const bool linked =
            !ws.externalLinks.empty() &&
            std::any_of(ws.preserved.begin(), ws.preserved.end(),
                        [](const PreservedXml& p) { return p.element == "hyperlinks"; });
        if (!linked && !hasLegacyDrawing(i) && sheetParts[i].rels.empty()) continue;
        const std::string number = std::to_string(i + 1);
        deflater.begin("xl/worksheets/_rels/" + name + ".rels");
        std::string& rels = deflater.out();
        rels = kXmlDecl;
        rels +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        for (size_t n = 0; linked && n < ws.externalLinks.size(); ++n) {
            rels += "<Relationship Id=\"rIdL" + std::to_string(n + 1) + "\" Type=\"" + kRelType +
                    "hyperlink\"";
            attrS(rels, "Target", ws.externalLinks[n]);
            rels += " TargetMode=\"External\"/>";
        }
        if (!ws.notes.empty())
            rels += std::string("<Relationship Id=\"rIdC1\" Type=\"") + kRelType +
                    "comments\" Target=\"../comments" + number + ".xml\"/>";
        if (hasLegacyDrawing(i))
            rels += std::string("<Relationship Id=\"rIdV1\" Type=\"") + kRelType +
                    "vmlDrawing\" Target=\"../drawings/vmlDrawing" + number + ".vml\"/>";
        rels += sheetParts[i].rels;
        rels += "</Relationships>";
        deflater.end();
        if (!ws.notes.empty()) {
            deflater.begin("xl/comments" + number + ".xml");
            notesPart(ws, deflater.out());
            deflater.end();
        }
        if (!hasLegacyDrawing(i)) continue;
        deflater.begin("xl/drawings/vmlDrawing" + number + ".vml");
        legacyDrawingPart(ws, sheetParts[i], nextShapeBlock, deflater.out());
        deflater.end();
        if (sheetParts[i].legacyRels.empty()) continue;
        deflater.begin("xl/drawings/_rels/vmlDrawing" + number + ".vml.rels");
        deflater.out() = kXmlDecl;
        deflater.out() +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
            sheetParts[i].legacyRels + "</Relationships>";
        deflater.end();
    }
    for (const auto& p : carried.parts()) {
        deflater.begin(p.name);
        deflater.out() += *p.data;
        deflater.end();
        if (p.rels.empty()) continue;
        size_t slash = p.name.rfind('/');
        deflater.begin(p.name.substr(0, slash + 1) + "_rels/" + p.name.substr(slash + 1) + ".rels");
        deflater.out() += p.rels;
        deflater.end();
    }
    if (!carried.personsXml().empty()) {
        deflater.begin("xl/persons/person.xml");
        deflater.out() += carried.personsXml();
        deflater.end();
    }
    if (vba) {
        deflater.begin("xl/vbaProject.bin");
        deflater.out() += wb.vbaProject;
        deflater.end();
    }
    auto deflated = deflater.finish();
    if (!deflated.ok()) return fail("无法保存 " + path.string() + "：" + deflated.message());
    return fd >= 0 ? writeZipTo(fd, path, deflated.value()) : writeZip(path, deflated.value());
}

namespace {

std::string_view defaultTheme() {
    static const std::string theme =
        std::string(kXmlDecl) +
        "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"Office "
        "Theme\">"
        "<a:themeElements><a:clrScheme name=\"Office\">"
        "<a:dk1><a:sysClr val=\"windowText\" lastClr=\"000000\"/></a:dk1>"
        "<a:lt1><a:sysClr val=\"window\" lastClr=\"FFFFFF\"/></a:lt1>"
        "<a:dk2><a:srgbClr val=\"44546A\"/></a:dk2><a:lt2><a:srgbClr val=\"E7E6E6\"/></a:lt2>"
        "<a:accent1><a:srgbClr val=\"4472C4\"/></a:accent1><a:accent2><a:srgbClr "
        "val=\"ED7D31\"/></a:accent2>"
        "<a:accent3><a:srgbClr val=\"A5A5A5\"/></a:accent3><a:accent4><a:srgbClr "
        "val=\"FFC000\"/></a:accent4>"
        "<a:accent5><a:srgbClr val=\"5B9BD5\"/></a:accent5><a:accent6><a:srgbClr "
        "val=\"70AD47\"/></a:accent6>"
        "<a:hlink><a:srgbClr val=\"0563C1\"/></a:hlink><a:folHlink><a:srgbClr "
        "val=\"954F72\"/></a:folHlink>"
        "</a:clrScheme><a:fontScheme name=\"Office\">"
        "<a:majorFont><a:latin typeface=\"Calibri Light\"/><a:ea typeface=\"\"/><a:cs "
        "typeface=\"\"/>"
        "<a:font script=\"Hans\" typeface=\"等线 Light\"/></a:majorFont>"
        "<a:minorFont><a:latin typeface=\"Calibri\"/><a:ea typeface=\"\"/><a:cs typeface=\"\"/>"
        "<a:font script=\"Hans\" typeface=\"等线\"/></a:minorFont></a:fontScheme>"
        "<a:fmtScheme name=\"Office\"><a:fillStyleLst>"
        "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:tint "
        "val=\"50000\"/></a:schemeClr></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:shade "
        "val=\"80000\"/></a:schemeClr></a:solidFill>"
        "</a:fillStyleLst><a:lnStyleLst>"
        "<a:ln w=\"6350\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "<a:ln w=\"12700\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "<a:ln w=\"19050\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "</a:lnStyleLst><a:effectStyleLst>"
        "<a:effectStyle><a:effectLst/></a:effectStyle><a:effectStyle><a:effectLst/></a:effectStyle>"
        "<a:effectStyle><a:effectLst/></a:effectStyle></a:effectStyleLst><a:bgFillStyleLst>"
        "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:tint "
        "val=\"95000\"/></a:schemeClr></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:shade "
        "val=\"90000\"/></a:schemeClr></a:solidFill>"
        "</a:bgFillStyleLst></a:fmtScheme></a:themeElements><a:objectDefaults/"
        "><a:extraClrSchemeLst/>"
        "</a:theme>";
    return theme;
}

}  // namespace

}  // namespace ss
