// Pieces shared by the object model's sources; not part of its interface.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "application.h"
#include "reference_policy.h"
#include "spreadsheet/carry/preserved.h"
#include "spreadsheet/carry/reference_map.h"
#include "spreadsheet/carry/table_copy.h"
#include "spreadsheet/carry/table_styles.h"

namespace automation {

namespace detail {

// What a Range handle points to. The worksheet holds a weak reference and moves the areas when
// rows are inserted or deleted; `sheet` becomes null when the sheet goes away.
struct RangeState {
    Worksheet* sheet = nullptr;
    std::vector<ss::CellRange> areas;  // in sheet order; SpecialCells gives row bands
};

// A filter criterion: the whole text must match; "*" any text, "?" one character, "~" makes the
// next character literal. The empty criterion selects blank cells.
class Criterion {
public:
    explicit Criterion(std::string_view pattern);
    bool matches(std::string_view text) const;

private:
    enum class Kind : uint8_t { Literal, One, Any };
    struct Token {
        Kind kind;
        char32_t ch;
    };
    std::vector<Token> tokens_;
    bool plain_ = true;    // no wildcard: a byte comparison with `literal_` decides
    std::string literal_;  // the pattern with its escapes removed
};

// The shared strings of `from` at `order` (distinct indexes) found or added in `to`, in that
// order, as one by one; plain texts go in batches (ss::SharedStrings::addAll). An index past
// `from`'s table stands for the empty text.
std::vector<uint32_t> addStrings(const ss::SharedStrings& from, ss::SharedStrings& to,
                                 std::span<const uint32_t> order);

// Source index -> destination index, made once per index: a hash map while few indexes are
// asked for, a table over all of them once a large copy comes.
class IndexMap {
public:
    template <class Make>
    uint32_t get(uint32_t i, Make make) {
        if (i < dense_.size()) {
            if (dense_[i] >= kAhead) dense_[i] = make(i);
            return dense_[i];
        }
        auto it = sparse_.find(i);
        if (it != sparse_.end()) return it->second;
        return sparse_[i] = make(i);
    }
    // Marks a table entry not made yet as wanted ahead; true if it was not marked before.
    bool markAhead(uint32_t i) {
        if (i >= dense_.size() || dense_[i] != UINT32_MAX) return false;
        dense_[i] = kAhead;
        return true;
    }
    void set(uint32_t i, uint32_t v) { dense_[i] = v; }
    void makeDense(size_t size) {
        if (dense_.size() >= size) return;
        dense_.resize(size, UINT32_MAX);
        for (auto [k, v] : sparse_)
            if (k < size) dense_[k] = v;
        sparse_.clear();
    }

private:
    static constexpr uint32_t kAhead = UINT32_MAX - 1;
    std::vector<uint32_t> dense_;
    std::unordered_map<uint32_t, uint32_t> sparse_;
};

// How the shared strings and cell formats of one workbook map into another. Kept by the
// application for each pair that cells were copied between, until either workbook closes:
// tables only grow, so what was mapped stays right, and a copy made row by row interns each
// format once, not once per row.
class CopyMaps {
public:
    CopyMaps(const ss::Workbook& from, ss::Workbook& to)
        : from_(from), to_(to), interner_(from.styles, to.styles) {}
    // A copy of about `cells` cells follows: big enough, and the maps become tables.
    void prepare(uint64_t cells) {
        if (cells >= from_.strings.size()) strings_.makeDense(from_.strings.size());
        if (cells >= from_.styles.cellXfs.size()) styles_.makeDense(from_.styles.cellXfs.size());
    }
    uint32_t style(uint32_t xf) {
        return styles_.get(xf, [&](uint32_t i) { return interner_(i); });
    }
    // Notes that a copy will map string `sst`; mapAhead() maps the noted ones in one batch, in
    // the order first noted. Only a table (see prepare) notes anything.
    void noteString(uint32_t sst) {
        if (strings_.markAhead(sst)) ahead_.push_back(sst);
    }
    void mapAhead() {
        if (ahead_.empty()) return;
        const std::vector<uint32_t> to = addStrings(from_.strings, to_.strings, ahead_);
        for (size_t k = 0; k < ahead_.size(); ++k) strings_.set(ahead_[k], to[k]);
        ahead_.clear();
    }
    uint32_t string(uint32_t sst) {
        return strings_.get(sst, [&](uint32_t k) {
            if (k >= from_.strings.size()) return to_.strings.add("");
            const auto* rich = from_.strings.runs(k);
            return rich ? to_.strings.addRich(*rich) : to_.strings.add(from_.strings.text(k));
        });
    }

private:
    const ss::Workbook& from_;
    ss::Workbook& to_;
    ss::StyleInterner interner_;
    IndexMap styles_, strings_;
    std::vector<uint32_t> ahead_;
};

// Code points of a UTF-8 text; a byte that does not start a valid sequence stands for itself.
void decodeUtf8(std::string_view s, std::u32string& out);

// The differential formats of `from` in `to` (found, or added): index in `from` -> in `to`.
std::vector<uint32_t> dxfMap(const ss::Workbook& from, ss::Workbook& to);

// ---- Date systems (date_system.cpp)

// Restates the date values of copied cells for a workbook of the other date system: the 1904
// system counts its serials from 1904-01-01, 1462 days after the day the 1900 system gives the
// same serial. A number is a date value when its cell has a date or time format
// (ss::StyleTable::isDateFormat) and is 1 or more: a time of day whose day is not shown is a
// date too (moved by whole days it shows the same time, and sums with the dates beside it stay
// right). Durations (ss::isDurationFormatCode) and numbers below 1 (a time of day alone) stay as
// they are. A formula's stored value is restated alike, its text is not. Made only for a copy
// between workbooks of different systems.
class DateShift {
public:
    // `styles`: the table the cells' formats index (the destination's, once mapped).
    DateShift(const ss::StyleTable& styles, bool from1904)
        : styles_(styles), from1904_(from1904), kinds_(styles.cellXfs.size(), -1) {}
    void apply(std::vector<ss::Row>& rows);
    // Adds what was restated, and what could not be, to the report.
    void report(ReferenceReport& report) const;

private:
    bool isDate(uint32_t xf);
    const ss::StyleTable& styles_;
    bool from1904_;
    std::vector<int8_t> kinds_;  // by format: -1 not looked at yet, 0 no date, 1 a date
    uint64_t shifted_ = 0, kept_ = 0;
};

// ---- References through copies (reference_policy.cpp)

// The names already looked at for copies from one workbook into one sheet (those carried are
// in the copies' reference map), by their spelling in lower case, "sheet\x01name" for a name
// local to a sheet; and those that did not fit yet (name, key): tried again once the copies are
// all in.
struct NameMemo {
    std::set<std::string> decided;
    std::vector<std::pair<std::string, std::string>> retry;
};

// A formula of a range copy that names cells, sheets or names its source has not (yet) copied
// into the target sheet: its cell holds the stored value until every block of the source is in,
// then the formula is restated against all of them (a summary that reads the ledger below it).
struct WaitingFormula {
    uint64_t key;       // the target cell
    std::string home;   // the source sheet
    uint32_t row, col;  // the source cell
    std::string text;
    bool spoiled = false;  // rows of the source moved since and cut a reference of it
};

// A kept text (rule, validation list, hyperlink location) in the same wait: its element holds
// `mark` in the text's place.
struct WaitingText {
    std::string mark;
    ss::KeptText kind;
    std::string home, text;
    bool spoiled = false;
};

// What the range copies from one workbook into one target sheet built up: where the cells of
// each source sheet landed in that sheet, the names brought along, and what waits for the
// blocks still to come.
struct CopyRefs {
    ss::ReferenceMap map;
    NameMemo names;
    Workbook* source = nullptr;
    Workbook* target = nullptr;
    ss::Worksheet* sheet = nullptr;                // the target sheet
    std::vector<const ss::Worksheet*> copiedFrom;  // source sheets with cells in it
    std::vector<WaitingFormula> formulas;
    std::vector<WaitingText> texts;
    bool extWaiting = false;  // some of `texts` wait in the target's extension list
    bool namesDone = false;   // every name of the source looked at (ReferenceState::merging)
    bool waiting(bool merging) const {
        return !formulas.empty() || !texts.empty() || !names.retry.empty() ||
               (merging && !namesDone);
    }
};

// A whole-sheet copy whose texts still name what its source names: they are restated once every
// sheet of the source that goes into the same target is there (the source closes, the target
// is saved, or a copy is made from the target).
struct PendingCopy {
    Workbook* source = nullptr;
    Workbook* target = nullptr;
    ss::Worksheet* copy = nullptr;
    std::string sourceName;
};

struct ReferenceState {
    ReferenceReport report;
    bool valuesOnly = false;
    // The copies merge (see Application::MergeReferences): texts of range copies wait for the
    // blocks still to come, and every defined name of a source is accounted for.
    bool merging = false;
    uint64_t marks = 0;  // marks given to kept texts that wait (see WaitingText)
    // While copies settle together (settlePending), the names one of them leaves behind are
    // named only at the end, and only when no other one carried them (blocks and whole sheets
    // of one source in one output).
    int holding = 0;
    struct HeldName {
        const ss::Workbook* from;
        const ss::Workbook* to;
        std::string key, label;
    };
    std::vector<HeldName> heldNames;
    std::set<std::tuple<const ss::Workbook*, const ss::Workbook*, std::string>> carriedNames;
    // By the serials of the source and target workbooks and the target sheet.
    std::map<std::tuple<uint64_t, uint64_t, const ss::Worksheet*>, CopyRefs> copies;
    std::vector<PendingCopy> pending;
    // Tables of source workbooks (rebuilt when a sheet's parts change), table names in use in
    // target workbooks, and table looks laid over their formats: by workbook serial.
    struct SourceTables {
        std::vector<const ss::SheetParts*> parts;
        std::vector<std::shared_ptr<const ss::SheetParts>> keep;
        ss::TableIndex index;
    };
    std::map<uint64_t, SourceTables> sourceTables;
    std::map<uint64_t, ss::TableNames> tableNames;
    std::map<uint64_t, std::unique_ptr<ss::LookApplier>> looks;

    // A sheet's rows moved, or the sheet went (`gone`): what copies recorded about it is
    // forgotten.
    void forgetSheet(uint64_t book, const ss::Worksheet* sheet, bool gone);
    // Rows of a sheet moved: the texts that wait for blocks of its workbook follow the move, and
    // those waiting in the sheet settle now (a target's landed blocks are no longer where the
    // map says); then forgetSheet.
    void rowsMoved(uint64_t book, ss::Worksheet* sheet, const ss::RowMove& move);
    // A workbook closed.
    void forgetBook(uint64_t book);
};

// The one policy for texts that refer to what a copy does not carry: it restates through the
// map, or decides the outcome (stored value, inline list, left out) and counts it.
class ReferencePolicy {
public:
    ReferencePolicy(ReferenceState& state, const ss::ReferenceMap& map, const ss::Workbook& source,
                    std::string sourceBook);
    // A cell formula of source sheet `home` at (row, col): the restated text, or nothing: the
    // cell is written with its stored value. With `wait`, a formula that does not fit yet waits
    // there (for target cell `key`) instead of being counted.
    std::optional<std::string> cellFormula(std::string_view text, std::string_view home,
                                           uint32_t row, uint32_t col,
                                           std::vector<WaitingFormula>* wait = nullptr,
                                           uint64_t key = 0);
    // A kept element's text (see ss::KeptRestater): restated, an inline list, or nothing. With
    // `wait`, a text that does not fit yet gives a mark that stands in for it until it settles.
    std::optional<std::string> kept(ss::KeptText kind, std::string_view text, std::string_view home,
                                    std::vector<WaitingText>* wait = nullptr);
    // A formula that could not be carried: counted, and listed among the first few.
    void frozen(std::string_view home, uint32_t row, uint32_t col);
    // A defined name left behind (`sheet`: the sheet it is local to, if any): counted and named.
    // With `to` and its key (see NameMemo), named once the copies settling together are done
    // and none of them carried it into `to` (see carriedName).
    void droppedName(const ss::DefinedName& name, std::string_view sheet,
                     const ss::Workbook* to = nullptr, std::string key = {});
    void carriedName(const ss::Workbook* to, std::string key);

private:
    ReferenceState& state_;
    const ss::ReferenceMap& map_;
    const ss::Workbook& source_;
    std::string sourceBook_;
};

// A source sheet and the target sheet its cells went to.
struct CopiedSheet {
    const ss::Worksheet* source;
    const ss::Worksheet* copy;
};

// The formula texts of kept elements (rule and validation formulas, hyperlink locations).
std::vector<std::string> keptFormulaTexts(const std::vector<ss::PreservedXml>& preserved);
// Defined names the texts use (each once).
std::vector<std::string> namesUsedBy(const std::vector<std::string_view>& texts);
// The values of a dropdown's list (a range or a name of `wb`) as an inline list ("\"a,b\""), when
// they fit 255 characters and hold no comma or quote.
std::optional<std::string> inlineList(const ss::Workbook& wb, std::string_view formula,
                                      std::string_view homeSheet);

// How carryNames goes about it.
struct NameCarry {
    // Every name local to the copied sheets comes too (print areas, titles ...).
    bool localNames = false;
    // Every name of `from` is looked at: those that fit come, the others are counted and named.
    bool everyName = false;
    // The copies are blocks in one target sheet: a name whose spelling the target has for
    // another meaning takes a free spelling ("Rate_2"), as a table does; a print area or another
    // built-in name the sheet has already stays behind. Otherwise such a workbook-level name
    // becomes local to each copied sheet.
    bool blocks = false;
    // Names already decided for this pair of workbooks are not looked at again; with `wait`,
    // names that do not fit yet go to its retry list instead of being counted.
    NameMemo* memo = nullptr;
    bool wait = false;
};

// Brings the defined names of `from` that `used` names (and those they use, and what `how` adds)
// into `to`, their formulas restated through `map`, and adds them to `map` under their spelling
// in `to`. A name that does not fit the map stays behind (counted and named).
void carryNames(ReferencePolicy& policy, ss::ReferenceMap& map, const ss::Workbook& from,
                ss::Workbook& to, const std::vector<CopiedSheet>& sheets,
                const std::vector<std::string>& used, const NameCarry& how);

// After sheet `renamed` of `wb` was renamed from `oldName`: the workbook's formulas, names and
// kept texts that named it name it anew.
void renameReferences(ss::Workbook& wb, const ss::Worksheet& renamed, std::string_view oldName);

// Restates the whole-sheet copies pending for which `which` holds, each group of copies from one
// source into one target together.
void settlePending(ReferenceState& state, const std::function<bool(const PendingCopy&)>& which);

// Sorted, disjoint row bands [first, last] of the given areas (columns ignored).
std::vector<std::pair<uint32_t, uint32_t>> rowBands(const std::vector<ss::CellRange>& areas);

// The tables of a range copy's source sheet (tables.cpp). A table whose cells the copy takes
// whole, landing as one block, becomes a table of the target sheet under a name free there;
// formulas naming it keep their structured references. Of a table the copy cuts, the cells
// keep its look as direct formats, and structured references to it (and to tables not carried
// into the target) are written as ordinary references before the formulas are restated.
class RangeTables {
public:
    struct Copy {
        const ss::Workbook* source;
        uint64_t sourceSerial;
        const ss::Worksheet* sourceSheet;
        ss::Workbook* target;
        uint64_t targetSerial;
        uint32_t c1, c2;
        int64_t dCol;
        std::vector<ss::CopiedBlock::Run> runs;  // source rows and how far they move, in order
        ss::ReferenceMap* map;                   // into another workbook: where its references go
    };
    RangeTables(ReferenceState& state, Copy copy);
    // A formula of source cell (row, col), made ready to be restated (another workbook) or
    // shifted (the same one).
    std::string formula(std::string_view text, uint32_t row, uint32_t col) const;
    // Once the cells are in: the tables carried whole join `target`, the cut ones lend their
    // look; each table carried either way is noted on `source`.
    void finish(ss::Worksheet& target, const Worksheet& source);

private:
    struct Whole {
        const ss::TableIndex::Entry* entry;
        std::string name;
    };
    ReferenceState& state_;
    Copy copy_;
    ss::TableIndex index_;  // the source's tables whose header row still reads as read
    std::vector<Whole> whole_;
    std::vector<const ss::TableIndex::Entry*> cut_;
    std::map<std::string, std::string> renames_;  // lower-case old name -> new (same workbook)
};

}  // namespace detail

struct Worksheet::Filter {
    std::shared_ptr<detail::RangeState> range;       // the filtered table, header row first
    std::map<uint32_t, detail::Criterion> criteria;  // by field, 1-based from the first column
};

}  // namespace automation
