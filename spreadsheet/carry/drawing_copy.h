// Pictures, shapes and charts of a sheet's drawing that travel with a copy of some of its cells.
// An anchor whose top-left cell lies in the copied cells goes along, moved with that cell, into
// the drawing of the destination sheet; carried charts become parts of their own with their
// formulas restated for where the copied data landed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../model/parts.h"
#include "preserved.h"

namespace ss {

class Worksheet;

// Slicers and timelines show what their caches hold: their frames go only with whole sheets.
enum class AnchorKind : uint8_t { Picture, Chart, Shape, Slicer, Timeline };
// The word the job texts use for a kind ("图片", "图表", "形状", "切片器", "日程表").
const char* anchorKindName(AnchorKind kind);

// A top-level anchor of a drawing part (an anchor element, or markup-compatibility content whose
// choice is one). Rows and columns are 1-based.
struct DrawingAnchor {
    size_t begin = 0, end = 0;  // its span in the part's XML
    AnchorKind kind = AnchorKind::Shape;
    bool cellAnchored = false;  // twoCellAnchor or oneCellAnchor (absoluteAnchor: false)
    bool controlBox = false;    // the box of a legacy form control
    uint32_t fromRow = 0, fromCol = 0, toRow = 0, toCol = 0;  // to = from for a oneCellAnchor
};

// The anchors of a drawing part's XML in document order; the boxes of legacy form controls
// (which belong to their controls) are listed only with `controlBoxes`.
std::vector<DrawingAnchor> drawingAnchors(std::string_view xml, bool controlBoxes = false);

// The drawing part the sheet's <drawing> element names; null when it has none.
std::shared_ptr<const PackagePart> sheetDrawing(const SheetParts& parts);

// A chart formula restated for the destination; nothing when its data is not there.
using ChartFormulaFn = std::function<std::optional<std::string>(std::string_view)>;

// A chart part's XML with every formula restated. A series whose data is not covered keeps its
// cached values as literal data (its name as text), an extension that names uncovered cells
// goes, and so does the link of a pivot chart to its pivot table. In the newer chart kinds
// (chartex) a data formula that is not covered goes, leaving the cached data it holds. `uncovered`
// counts the formulas that were not restated. `keepPivotLink` keeps a pivot chart's link (its
// pivot table stays beside it).
std::string restateChart(std::string_view xml, const ChartFormulaFn& restate,
                         uint32_t* uncovered = nullptr, bool keepPivotLink = false);

// The anchors of a source sheet's drawing, following the sheet's row inserts and deletes (the
// part's XML keeps the rows it was read with).
class DrawingSource {
public:
    explicit DrawingSource(std::shared_ptr<const PackagePart> drawing);

    const std::shared_ptr<const PackagePart>& drawing() const { return drawing_; }
    // The length of the part's XML when it was read (a destination's drawing grows).
    size_t readSize() const { return readSize_; }
    const std::vector<DrawingAnchor>& anchors() const { return anchors_; }
    // Whether the anchor's rows were all deleted.
    bool gone(size_t i) const { return now_[i].gone; }

    void moveRows(const RowMove& move);
    bool moved() const { return !moves_.empty(); }
    // The row a current row had when the part was read; 0 for a row inserted since.
    uint32_t originalRow(uint32_t row) const;

    // The anchors (indices) whose top-left cell is now in rows first..last, columns c1..c2.
    void select(uint32_t first, uint32_t last, uint32_t c1, uint32_t c2,
                std::vector<size_t>& out) const;

    // Declarations of the root element (prefix, "" for the default namespace -> URI).
    const std::map<std::string, std::string>& rootNamespaces() const { return rootNs_; }
    const std::set<std::string>& relPrefixes() const { return relPrefixes_; }
    std::string_view head() const { return head_; }  // XML declaration and root start tag
    std::string_view tail() const { return tail_; }  // the root's end tag
    const PartLink* link(const std::string& id) const {
        auto it = links_.find(id);
        return it == links_.end() ? nullptr : it->second;
    }

    struct Now {
        uint32_t fromRow = 0, toRow = 0;
        bool gone = false;
    };
    const Now& now(size_t i) const { return now_[i]; }

private:
    void index();

    std::shared_ptr<const PackagePart> drawing_;
    std::vector<DrawingAnchor> anchors_;
    std::vector<Now> now_;
    std::vector<size_t> byRow_;  // cell anchors by current top row
    std::vector<RowMove> moves_;
    std::map<std::string, const PartLink*> links_;  // the part's relationships by id
    std::map<std::string, std::string> rootNs_;
    std::set<std::string> relPrefixes_;
    std::string head_, tail_;
    size_t readSize_ = 0;
};

// The drawing of a destination sheet that range copies add anchors to. The first copy gives the
// sheet a drawing of its own (a copy of what it had); later copies append to it, so that many
// copies into one sheet cost what their anchors cost.
class DrawingTarget {
public:
    // Makes sure the sheet's drawing is this target's; `source` gives the root of a new one.
    void attach(Worksheet& ws, const DrawingSource& source);
    // Where an added anchor goes (0-based, as drawings count).
    struct Place {
        uint32_t fromRow = 0, toRow = 0, fromCol = 0, toCol = 0;
    };
    // Appends an anchor of `source` at `place`, its shape ids and relationship ids renumbered
    // here; `link` gives what a relationship id of the anchor leads to (a chart as its restated
    // copy). False when the anchor names a relationship `link` cannot give (it is not added).
    bool add(std::string_view anchorXml, const Place& place, const DrawingSource& source,
             const std::function<const PartLink*(const std::string&)>& link);

private:
    std::shared_ptr<PackagePart> part_;
    std::shared_ptr<std::string> xml_;
    size_t tail_ = 0;  // length of the root's end tag at the end of xml_
    uint32_t nextShape_ = 1, nextRel_ = 1;
    std::set<std::string> relIds_;
    std::map<std::string, std::string> rootNs_;
};

// A chart part made for a carried anchor, with the source part it restates.
struct CarriedChart {
    std::shared_ptr<PackagePart> part;
    std::shared_ptr<const PackagePart> source;
    uint32_t uncovered = 0;  // formulas not restated
};

struct CarriedAnchor {
    AnchorKind kind;
    uint32_t item;  // the anchor's position in the source drawing
    std::vector<CarriedChart> charts;
};

// Carries the anchors of `source` whose top-left cell lies in the copied cells of `block` into
// `dest` (through `target`): moved by the rows of their run and the block's columns, offsets
// and size kept. Charts are new parts whose formulas go through `restate`.
std::vector<CarriedAnchor> carryAnchors(const DrawingSource& source, const CopiedBlock& block,
                                        Worksheet& dest, DrawingTarget& target,
                                        const ChartFormulaFn& restate);

}  // namespace ss
