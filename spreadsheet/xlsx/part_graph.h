// Copying the parts that hang off a sheet from one package into another. One table of part
// kinds (by relationship type) says what each kind is: carried as bytes, restated (its
// references or its workbook-wide ids rewritten), or left behind and reported.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "../model/parts.h"
#include "../model/worksheet.h"
#include "package.h"

namespace ss::xlsx {

struct RelInfo {
    std::string id, type, target;  // target resolved to a part name unless external
    bool external = false;
};

// How a relationship of a sheet is treated.
enum class SheetLinkUse : uint8_t {
    Carry,     // copied with its parts when the sheet's XML names it (or always, for kinds
               // only the relationship attaches, like pivot tables)
    Attached,  // carried whether or not the sheet's XML names it
    Model,     // read into the model elsewhere (notes, links out of the workbook)
    Dropped,   // left behind; `droppedName` says what to report
};
SheetLinkUse sheetLinkUse(std::string_view relType, std::string* droppedName = nullptr);

// Reads parts with everything they link to. Parts reached twice (a cache shared by two pivot
// tables) are read once and shared.
class PartGraphReader {
public:
    using RelsFn = std::function<std::vector<RelInfo>(const std::string& part)>;
    using TypeFn = std::function<std::string(const std::string& part)>;
    PartGraphReader(ZipReader& zip, RelsFn rels, TypeFn types)
        : zip_(zip), rels_(std::move(rels)), types_(std::move(types)) {}

    // Null when the part is missing, unreadable or of a kind not carried; what is left behind
    // is counted in `dropped`.
    std::shared_ptr<const PackagePart> read(const std::string& name, std::string_view relType,
                                            std::map<std::string, uint32_t>& dropped);
    // A relationship as a link: to its part, read with what it reaches, or to a target outside
    // the package. Nothing when the part is left behind (counted in `dropped`).
    std::optional<PartLink> link(const RelInfo& r, std::map<std::string, uint32_t>& dropped);
    // The XML parts left out since the last call because they do not parse (a legacy drawing's
    // unclosed line breaks are closed first), each with the reason.
    std::vector<std::string> takeMalformed() { return std::exchange(malformed_, {}); }
    void noteMalformed(std::string reason) { malformed_.push_back(std::move(reason)); }

private:
    ZipReader& zip_;
    RelsFn rels_;
    TypeFn types_;
    std::map<std::string, std::shared_ptr<PackagePart>> cache_;
    std::vector<std::string> malformed_;
    int depth_ = 0;
};

// Rewrites the relationship ids of a raw sheet element (attributes "<prefix>:id" whose prefix
// is in `relPrefixes`) through `ids`. An extension list loses the extensions that name an id
// not in `ids`; another element naming one is refused (returns false). `dropped` counts the
// extensions left out by what they were.
bool remapRawElement(RawSheetElement& e, const std::set<std::string>& relPrefixes,
                     const std::map<std::string, std::string>& ids,
                     std::map<std::string, uint32_t>& dropped);

// The name a slicer or timeline cache part gives itself (its root's "name"); empty when none.
std::string cacheName(std::string_view xml);
// The key of a cache name in PartOrigin::slicerCaches (names are the same whatever their case).
std::string cacheKey(std::string_view name);

// The ids of the tables a sheet carries, as its table parts give them.
std::vector<uint32_t> tableIds(const SheetParts& parts);

// The relationship ids a raw element names.
std::vector<std::string> rawElementIds(std::string_view xml,
                                       const std::set<std::string>& relPrefixes);

struct Restater;

// Writes the carried parts of the sheets of one package: free part names, content types,
// table ids and names, pivot cache ids, persons; references restated for the names the sheets
// have in this package; identical pictures stored once.
class PartGraphWriter {
public:
    struct OutPart {
        std::string name, contentType;
        std::shared_ptr<const std::string> data;
        std::string rels;  // the part's relationships part, empty when it has none
    };
    // A slicer or timeline cache written into the package; the workbook lists it by kind.
    struct CacheOut {
        enum Kind : uint8_t { PivotSlicer, TableSlicer, Timeline };
        std::string name, part;
        Kind kind = PivotSlicer;
    };
    struct SheetOut {
        std::string rels;        // <Relationship> elements for the sheet's relationships part
        std::string namespaces;  // declarations the raw elements need
        std::vector<RawSheetElement> elements;
        std::string autoFilter, sortState;  // kept forms, when still valid
        std::string chartsheet;             // a chart sheet's part
        // The shapes of controls and embedded objects for the sheet's legacy drawing, the
        // declarations they need and the drawing's relationships they name.
        std::string legacyShapes, legacyNamespaces, legacyRels;
        // Tables of the sheet's origin renamed in this package (lower-case old name -> new).
        const std::map<std::string, std::string>* tableRenames = nullptr;
    };

    // `sheets`: the sheets written, in order; `reservedNames`: part names the writer uses.
    PartGraphWriter(const std::vector<const Worksheet*>& sheets,
                    std::set<std::string> reservedNames, std::set<std::string> definedNames);

    // Plans sheet i, written as part `sheetPart` with its legacy drawing as `legacyPart`.
    SheetOut sheet(size_t i, const std::string& sheetPart, const std::string& legacyPart = {});

    const std::vector<OutPart>& parts() const { return parts_; }
    const std::vector<std::pair<uint32_t, std::string>>& pivotCaches() const {
        return pivotCaches_;
    }
    const std::string& personsXml() const { return persons_; }
    // Writes the slicer and timeline caches the planned sheets use; after the last sheet.
    void finish();
    const std::vector<CacheOut>& caches() const { return cachesOut_; }
    // Slicers and timelines left out because what they filter is not in the package.
    uint32_t droppedSlicers() const { return droppedSlicers_; }
    // The tables of the sheet's origin that were renamed here; null when none was.
    const std::map<std::string, std::string>* tableRenames(const Worksheet& ws) const;
    // References into sheets the package does not have (left as they were).
    uint32_t uncoveredReferences() const { return uncovered_; }

private:
    // A cache that slicers or timelines of the package name, to be written by finish().
    struct CachePlan {
        const PackagePart* part;
        const PartOrigin* origin;
        size_t key;    // the copy of the sheets it belongs with (as for emitted parts)
        size_t sheet;  // the sheet whose slicer planned it, and that sheet's source name
        std::string home, name;
    };
    std::string emit(const PackagePart& p, size_t sheet, const Restater& renames);
    std::string freeName(const std::string& sourceName);
    // Plans the slicers and timelines of sheet i: their names here, the caches they name, and
    // which go; the parts left with none are added to `empty`.
    void planSlicers(size_t i, size_t key, std::set<const PackagePart*>& empty);
    const CachePlan* planCache(const SheetParts& sp, std::string_view cache, size_t i, size_t key);
    // The sheet a sheet of an origin (by source name) is written as; npos when not here.
    size_t landing(const PartOrigin* origin, std::string_view sourceName) const;
    std::string restateSlicerPart(std::string xml) const;
    std::string restateSlicerFrames(std::string xml) const;

    const std::vector<const Worksheet*>& sheets_;
    std::set<std::string> used_;  // lower case
    std::map<std::string, uint32_t> nextNumber_;
    std::set<std::string> tableNames_;  // lower case
    uint32_t nextTableId_ = 1, nextCacheId_ = 1;
    std::map<std::pair<const PackagePart*, size_t>, std::string> written_;
    // (hash, size) -> positions in parts_ of the pictures with those bytes
    std::map<std::pair<size_t, size_t>, std::vector<size_t>> media_;
    std::map<const PartOrigin*, std::map<std::string, std::string>> renames_, tableRenames_;
    const PartOrigin* current_ = nullptr;  // origin of the sheet being planned
    std::vector<OutPart> parts_;
    std::vector<std::pair<uint32_t, std::string>> pivotCaches_;
    std::vector<const PartOrigin*> personOrigins_;
    std::string persons_;
    uint32_t uncovered_ = 0;
    // Blocks of 1024 shape ids the legacy drawings planned so far claim, and how far the shape
    // ids of the sheet being planned move to stay clear of them.
    std::set<uint32_t> shapeBlocks_;
    int64_t shapeShift_ = 0;
    // Slicers and timelines: where each sheet of an origin lands first; the caches planned;
    // names taken; the new ids of tables and pivot caches (origin, id as read, copy key); the
    // renames of the sheet being planned (name as read -> name and cache here; empty: left out).
    std::map<std::pair<const PartOrigin*, std::string>, size_t> firstLanding_;
    std::map<std::pair<const PackagePart*, size_t>, size_t> cacheIndex_;
    std::vector<CachePlan> cachePlans_;
    std::vector<CacheOut> cachesOut_;
    std::set<std::string> slicerNames_;  // lower case
    std::map<std::tuple<const PartOrigin*, std::string, size_t>, std::string> tableIds_,
        pivotCacheIds_;
    std::set<uint64_t> pivotCacheIdsUsed_;
    std::map<std::string, std::pair<std::string, std::string>> slicerRenames_;
    bool slicersChanged_ = false;
    uint32_t droppedSlicers_ = 0;
};

// A relationship target from part `from` to part `to` (both package names), relative.
std::string relativeTarget(std::string_view from, std::string_view to);

}  // namespace ss::xlsx
