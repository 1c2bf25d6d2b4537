// Reading .xlsx/.xlsm packages into the workbook model. Parts are found through the content
// types and relationships; every part is streamed through expat. This file holds the workbook
// part, the order in which the parts are read, and the entry points.
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstring>
#include <exception>
#include <map>
#include <new>

#include "read_internal.h"

namespace ss {

namespace xlsx::detail {

namespace {

// The last segment of a relationship type: "worksheet", "officeDocument", ...
std::string_view relKind(std::string_view type) {
    size_t slash = type.rfind('/');
    return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

bool isWorkbookType(std::string_view ct) {
    return ct.find("spreadsheetml.sheet.main+xml") != std::string_view::npos ||
           ct.find("spreadsheetml.template.main+xml") != std::string_view::npos ||
           ct.find("ms-excel.sheet.macroEnabled.main+xml") != std::string_view::npos ||
           ct.find("ms-excel.template.macroEnabled.main+xml") != std::string_view::npos;
}

struct SheetEntry {
    std::string name, relId;
    uint32_t sheetId = 0;
    SheetState state = SheetState::Visible;
};

class WorkbookHandler : public SaxHandler {
public:
    std::vector<SheetEntry> sheets;
    std::vector<DefinedName> names;
    bool date1904 = false;
    size_t activeTab = 0, firstSheet = 0;

    void start(std::string_view name, const char** atts) override {
        if (name == "workbookPr") {
            date1904 = parseBool(attr(atts, "date1904"), false);
        } else if (name == "workbookView" && !sawView_) {
            sawView_ = true;
            activeTab = parseU32(attr(atts, "activeTab"), 0);
            firstSheet = parseU32(attr(atts, "firstSheet"), 0);
        } else if (name == "sheet") {
            SheetEntry e;
            const char* n = attr(atts, "name");
            e.name = n ? n : "";
            const char* id = nullptr;
            for (const char** a = atts; *a; a += 2)  // r:id (any prefix), not sheetId
                if (std::strchr(a[0], ':') && xlsx::localName(a[0]) == "id") id = a[1];
            e.relId = id ? id : "";
            e.sheetId = parseU32(attr(atts, "sheetId"), 0);
            const char* st = attr(atts, "state");
            if (st && std::strcmp(st, "hidden") == 0) e.state = SheetState::Hidden;
            if (st && std::strcmp(st, "veryHidden") == 0) e.state = SheetState::VeryHidden;
            sheets.push_back(std::move(e));
        } else if (name == "definedName") {
            inName_ = true;
            DefinedName d;
            const char* n = attr(atts, "name");
            d.name = n ? n : "";
            if (const char* l = attr(atts, "localSheetId")) d.localSheet = parseU32(l, 0);
            d.hidden = parseBool(attr(atts, "hidden"), false);
            if (const char* c = attr(atts, "comment")) d.comment = c;
            names.push_back(std::move(d));
        }
    }
    void end(std::string_view name) override {
        if (name == "definedName") inName_ = false;
    }
    void text(const char* s, int n) override {
        if (inName_) names.back().formula.append(s, size_t(n));
    }

private:
    bool sawView_ = false, inName_ = false;
};

Result<std::unique_ptr<Workbook>> readPackage(ZipReader& zip, const ReadLimits& limits) {
    if (!zip.has("[Content_Types].xml"))
        return fail("缺少 [Content_Types].xml，不是 xlsx 工作簿（可能是其他 zip 文件）。");
    ContentTypesHandler types;
    if (Status st = xlsx::parsePart(zip, "[Content_Types].xml", types); !st.ok()) return st.error();
    if (!types.sawRoot) return fail("[Content_Types].xml 已损坏。");

    if (!zip.has("_rels/.rels")) return fail("缺少包关系部件 _rels/.rels，文件已损坏。");
    auto rootRels = readRels(zip, "");
    if (!rootRels.ok()) return fail("包关系部件 _rels/.rels 已损坏：" + rootRels.message());
    std::string wbPart;
    for (const Relationship& r : *rootRels)
        if (!r.external && relKind(r.type) == "officeDocument") wbPart = r.target;
    if (wbPart.empty() || !zip.has(wbPart)) return fail("包中找不到工作簿部件，不是 xlsx 工作簿。");
    std::string wbType = types.typeOf(wbPart);
    if (!isWorkbookType(wbType)) {
        if (wbType.find("wordprocessingml") != std::string::npos ||
            wbType.find("presentationml") != std::string::npos)
            return fail("这是其他 Office 文档（不是工作簿）。");
        if (wbType.find("spreadsheetml.sheet.binary") != std::string::npos ||
            wbType.find("ms-excel.sheet.binary") != std::string::npos)
            return fail("不支持二进制工作簿格式（xlsb）。");
        return fail("工作簿部件的内容类型不对（" + wbType + "），不是 xlsx 工作簿。");
    }

    auto wb = std::make_unique<Workbook>();
    WorkbookHandler wh;
    if (Status st = xlsx::parsePart(zip, wbPart, wh); !st.ok()) return st.error();
    if (wh.sheets.empty()) return fail("工作簿中没有任何工作表。");
    wb->date1904 = wh.date1904;
    wb->names = std::move(wh.names);

    auto wbRels = readRels(zip, wbPart);
    if (!wbRels.ok()) return wbRels.error();
    std::map<std::string, const Relationship*> byId;
    for (const Relationship& r : *wbRels) {
        byId[r.id] = &r;
        if (r.external || !zip.has(r.target)) continue;
        std::string_view kind = relKind(r.type);
        if (kind == "theme" && wb->themeXml.empty()) {
            if (Status st = readTheme(zip, r.target, *wb); !st.ok()) return st.error();
        } else if (kind == "vbaProject") {
            if (Status st = zip.readKept(r.target, wb->vbaProject); !st.ok()) return st.error();
        }
    }
    for (const Relationship& r : *wbRels) {
        if (r.external || relKind(r.type) != "styles" || !zip.has(r.target)) continue;
        if (Status st = readStyles(zip, r.target, wb->styles); !st.ok()) return st.error();
        break;
    }
    std::vector<uint32_t> sst;
    for (const Relationship& r : *wbRels) {
        if (r.external || relKind(r.type) != "sharedStrings" || !zip.has(r.target)) continue;
        if (Status st = readSharedStrings(zip, r.target, wb->strings, sst); !st.ok())
            return st.error();
        break;
    }

    // Every sheet's part counted each time a sheet uses it, before any is read: a file whose
    // many sheets share one large part is refused at once, not after inflating it again and
    // again.
    uint64_t planned = 0;
    for (const SheetEntry& e : wh.sheets) {
        auto it = byId.find(e.relId);
        if (it == byId.end() || it->second->external) continue;
        planned += zip.declaredSize(it->second->target);
    }
    if (Status st = zip.checkPlanned(planned); !st.ok()) return st.error();

    // Parts that hang off the sheets: read as bytes, shared where two sheets reach one.
    auto origin = std::make_shared<PartOrigin>();
    for (const Relationship& r : *wbRels)
        if (!r.external && relKind(r.type) == "person" && zip.has(r.target)) {
            if (!zip.readKept(r.target, origin->personsXml).ok()) origin->personsXml.clear();
            break;
        }
    for (const SheetEntry& e : wh.sheets)
        if (e.sheetId) origin->sheetIds.emplace(e.sheetId, e.name);
    xlsx::PartGraphReader graph(
        zip,
        [&zip](const std::string& part) {
            std::vector<xlsx::RelInfo> out;
            if (auto rels = readRels(zip, part); rels.ok())
                for (const Relationship& r : rels.value())
                    out.push_back(xlsx::RelInfo{r.id, r.type, r.target, r.external});
            return out;
        },
        [&types](const std::string& part) { return types.typeOf(part); });
    // Slicer and timeline caches, with the defined names that stand for them (written anew
    // with the caches that are carried).
    {
        std::map<std::string, uint32_t> unused;
        for (const Relationship& r : *wbRels) {
            const std::string_view kind = relKind(r.type);
            if (r.external || (kind != "slicerCache" && kind != "timelineCache")) continue;
            std::shared_ptr<const PackagePart> cache = graph.read(r.target, r.type, unused);
            if (!cache) continue;
            const std::string name = xlsx::cacheName(*cache->data);
            if (!name.empty()) origin->slicerCaches.emplace(xlsx::cacheKey(name), std::move(cache));
        }
        if (!origin->slicerCaches.empty())
            std::erase_if(wb->names, [&](const DefinedName& d) {
                return !d.localSheet && d.formula == "#N/A" &&
                       origin->slicerCaches.count(xlsx::cacheKey(d.name));
            });
    }

    // Parts left out because they do not parse are named; a refusal of the limits met where
    // a part's reader goes on without it refuses the workbook.
    auto afterParts = [&](const std::string& sheet) -> Status {
        for (std::string& why : graph.takeMalformed())
            wb->readNotes.push_back((sheet.empty() ? "" : "[" + sheet + "] ") + why +
                                    "该部件未能读取，已略过");
        return zip.refusal();
    };
    if (Status st = afterParts(""); !st.ok()) return st.error();

    uint64_t budget = limits.maxCells;
    for (const SheetEntry& e : wh.sheets) {
        auto it = byId.find(e.relId);
        const Relationship* rel = it == byId.end() ? nullptr : it->second;
        std::string_view kind = rel ? relKind(rel->type) : std::string_view();
        Worksheet& ws = wb->addSheet(e.name);
        ws.state = e.state;
        if (kind == "chartsheet") {
            ws.kind = SheetKind::Chartsheet;
            readChartsheet(zip, graph, origin, rel->target, ws);
            if (Status st = afterParts(ws.name); !st.ok()) return st.error();
            continue;
        }
        if (kind == "dialogsheet") {
            ws.kind = SheetKind::Dialogsheet;
            continue;
        }
        if (kind == "xlMacrosheet" || kind == "macrosheet")
            ws.kind = SheetKind::Macrosheet;
        else if (kind != "worksheet")
            return fail("工作表“" + e.name + "”的关系缺失或类型不明。");
        if (!zip.has(rel->target))
            return fail("缺少工作表“" + e.name + "”的部件 " + rel->target + "。");
        // Hyperlinks out of the workbook name their targets in the sheet's relationships; a
        // damaged relationships part costs those links, not the workbook.
        std::map<std::string, std::string, std::less<>> links;
        std::string commentsPart;
        std::vector<Relationship> sheetRels;
        if (auto read = readRels(zip, rel->target); read.ok()) sheetRels = std::move(read.value());
        for (const Relationship& r : sheetRels) {
            if (r.external && relKind(r.type) == "hyperlink" && !r.id.empty())
                links.emplace(r.id, r.target);
            if (!r.external && relKind(r.type) == "comments" && zip.has(r.target))
                commentsPart = r.target;
        }
        auto kept = readWorksheet(zip, rel->target, *wb, ws, sst, budget, std::move(links));
        if (!kept.ok()) return kept.error();
        attachParts(zip, graph, origin, sheetRels, *kept, ws);
        // Notes: a damaged comments part costs the notes, not the workbook.
        if (!commentsPart.empty())
            readNotes(zip, commentsPart, sheetRels, kept->legacyDrawingId, ws);
        if (Status st = afterParts(ws.name); !st.ok()) return st.error();
    }
    if (!origin->slicerCaches.empty())
        for (const auto& ws : wb->sheets)
            if (ws->parts)
                for (uint32_t id : xlsx::tableIds(*ws->parts))
                    origin->tableSheets.emplace(id, ws->name);
    wb->activeSheet = wh.activeTab < wb->sheets.size() ? wh.activeTab : 0;
    wb->firstVisibleTab = wh.firstSheet < wb->sheets.size() ? wh.firstSheet : 0;
    return wb;
}

// Runs a read; an exception from anywhere inside it (memory running out above all) ends it
// with an error value instead of leaving the reader.
template <class Read>
Result<std::unique_ptr<Workbook>> guarded(Read&& read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return fail(kOutOfMemory);
    } catch (const std::exception& e) {
        return fail("读取时出错（" + std::string(e.what()) + "）。");
    }
}

}  // namespace

}  // namespace xlsx::detail

Result<std::unique_ptr<Workbook>> readXlsxMemory(const void* data, size_t size,
                                                 const ReadLimits& limits) {
    return xlsx::detail::guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        auto zip = xlsx::ZipReader::openMemory(data, size, limits);
        if (!zip.ok()) return zip.error();
        return xlsx::detail::readPackage(**zip, limits);
    });
}

constexpr uint64_t kTrimAfterBytes = 16u << 20;

Result<std::unique_ptr<Workbook>> readXlsx(const std::filesystem::path& path,
                                           const ReadLimits& limits) {
    auto prefix = [&](const std::string& reason) {
        return fail("无法打开文件 " + path.string() + "：" + reason);
    };
    uint64_t bytesRead = 0;
    auto wb = xlsx::detail::guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        auto zip = xlsx::ZipReader::open(path, limits);
        if (!zip.ok()) return zip.error();
        auto read = xlsx::detail::readPackage(**zip, limits);
        bytesRead = (*zip)->bytesRead();
        return read;
    });
#ifdef __GLIBC__
    // The inflate and parse buffers of a large part are freed by now; hand the pages back, so
    // that the model is what stays resident. After a small workbook the freed memory is left
    // for the next one to reuse (a folder of thousands would fault its pages in again each time).
    if (bytesRead >= kTrimAfterBytes) malloc_trim(0);
#endif
    if (!wb.ok()) return prefix(wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

}  // namespace ss
