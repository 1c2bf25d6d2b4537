// What hangs off a sheet in its package (drawings, pictures, charts, tables, pivot tables and
// their caches, threaded comments, header pictures, the sheet's extension list): a graph of
// parts kept as bytes, carried with the sheet through copies and written into whatever package
// the sheet lands in. Parts are parsed only where a reference in them must be restated.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ss {

struct PackagePart;

// A relationship of a part: to another carried part, or to a target outside the package.
struct PartLink {
    std::string id;    // as the source part's XML names it
    std::string type;  // relationship type (full URI)
    std::string externalTarget;
    std::shared_ptr<const PackagePart> part;  // null for an external target
};

struct PackagePart {
    std::string name;  // the part's name in the package it was read from (no leading "/")
    std::string contentType;
    std::shared_ptr<const std::string> data;
    std::vector<PartLink> links;
};

// The workbook a sheet was read from: sheets from the same one restate their references to
// each other through the names they carry in the written workbook.
struct PartOrigin {
    std::string personsXml;  // the people threaded comments name, as read (may be empty)
    // The workbook's slicer and timeline caches by lower-case name: they hang off the workbook,
    // and the slicers and timelines of its sheets name them.
    std::map<std::string, std::shared_ptr<const PackagePart>> slicerCaches;
    // What the caches name their pivot tables and tables by: sheet ids (sheetId -> sheet name)
    // and table ids (id -> the sheet that has the table).
    std::map<uint32_t, std::string> sheetIds, tableSheets;
};

// A sheet element kept as written in the source (names with their prefixes), e.g. <drawing>,
// <tableParts>, <extLst>; relationship ids in it are those of `SheetParts::links`. <controls>
// and <oleObjects> are kept with the compatibility wrapper the source put around them.
struct RawSheetElement {
    std::string element;  // local name
    std::string xml;
};

struct SheetParts {
    std::shared_ptr<const PartOrigin> origin;
    std::string originName;  // the sheet's name in its origin
    // Namespace declarations of the source sheet's root (" xmlns:x14=\"...\"" ...), which the
    // raw elements may use; the main and relationship namespaces are left out.
    std::string namespaces;
    std::vector<RawSheetElement> elements;
    std::vector<PartLink> links;  // the sheet's own relationships to carried parts
    // The autofilter as read, with its criteria and sort state; written back while the
    // sheet's filter range is still this one.
    std::string autoFilterXml, autoFilterRef;
    std::string sortStateXml;
    // A chart sheet: its part as read (its relationship ids are those of `links`).
    std::string chartsheetXml;
    // The shapes of the sheet's legacy drawing other than its notes' boxes (form controls,
    // ActiveX controls, embedded objects), with the shape types they use, as written: the
    // <controls> and <oleObjects> elements name them by shape id. They go into the one legacy
    // drawing written for the sheet, beside the notes' boxes written anew. Relationship ids in
    // them are those of `legacyLinks` (the drawing's own); `legacyNamespaces` are the drawing
    // root's declarations beyond v, o and x.
    std::string legacyShapes, legacyNamespaces;
    std::vector<PartLink> legacyLinks;
    // What the reader left behind, by kind ("外部数据查询" ...) with counts.
    std::map<std::string, uint32_t> dropped;
};

// The items of an extension list a copy of cells can carry one by one: 2010 conditional
// formats, data validations and sparklines.
uint32_t extensionItems(std::string_view extLst);

// The controls or embedded objects a kept <controls> or <oleObjects> element holds (its
// compatibility wrapper states each twice): its distinct shape ids.
uint32_t objectCount(std::string_view element);

// The names of the tables a sheet carries, as its parts give them.
std::vector<std::string> tableNames(const SheetParts& parts);

}  // namespace ss
