// The object model the jobs are written against: application, workbooks, workbook, sheets,
// worksheet and range, over the embedded engine. Every method is named after the call it stands
// for and has the effect the jobs rely on.
//
// Ownership: the Application owns its workbooks, a Workbook owns its sheets. The pointers handed
// out (Workbook*, Worksheet*) stay valid until the workbook is closed (Close, Quit) or the sheet
// is deleted (Delete). A Range is a small value handle that the worksheet keeps up to date: a
// range fetched before rows are inserted or deleted describes the same cells afterwards. A range
// whose rows were all deleted, or whose sheet or workbook is gone, becomes invalid.
//
// Nothing throws. A refused call returns a failure value (an invalid Range, a null pointer, an
// ss::Status or ss::Result with a Chinese reason) that the caller may ignore; the workbook is then
// left as it was.
//
// Rows and columns are 1-based everywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "reference_policy.h"
#include "spreadsheet/model/cell.h"
#include "spreadsheet/carry/preserved.h"
#include "spreadsheet/result.h"
#include "spreadsheet/model/workbook.h"
#include "spreadsheet/model/worksheet.h"

namespace automation {

class Application;
class Workbooks;
class Workbook;
class Sheets;
class Worksheet;
class Range;

// Format codes of Workbook::SaveAs(path, code).
inline constexpr int kFormatXlsx = 51;       // .xlsx workbook
inline constexpr int kFormatXls = 56;        // 97-2003 binary workbook (.xls)
inline constexpr int kFormatNormal = -4143;  // the normal format: .xlsx content whatever the name

// Type of Range::SpecialCells.
inline constexpr int kCellTypeVisible = 12;  // the cells of rows that are not hidden

// Direction of Range::End.
enum class Direction : int { ToLeft = 1, ToRight = 2, Up = 3, Down = 4 };

namespace detail {
struct RangeState;      // the areas of a live range and the sheet that keeps them up to date
class CopyMaps;         // strings and formats of one workbook mapped into another
struct ReferenceState;  // where copies put what formulas name, and what they could not carry
struct SheetDrawings;   // the anchors range copies carry out of a sheet and into it
}  // namespace detail

// A rectangle of cells, or several row bands of one column span (the visible rows of a filtered
// range, see SpecialCells). Rows(), Columns() and Cells() give views whose Count() counts rows,
// columns or cells, as in `sheet->UsedRange().Rows().Count()`.
class Range {
public:
    Range() = default;  // no range: every call on it is refused

    bool valid() const;
    explicit operator bool() const { return valid(); }

    Worksheet* Parent() const;  // null for an invalid range

    // First row and first column of the (first area of the) range; 0 for an invalid range.
    uint32_t Row() const;
    uint32_t Column() const;

    // Views of the same cells; their Count() counts rows, columns or cells.
    Range Rows() const;
    Range Columns() const;
    Range Cells() const;
    // Rows: rows of all areas; Columns: columns of the first area; Cells: cells of all areas.
    uint64_t Count() const;
    // Shorthands for Rows().Count() and Columns().Count().
    uint32_t RowCount() const;
    uint32_t ColumnCount() const;

    // The text of the range's top-left cell (ss::Workbook::cellText; a formula gives its cached
    // value); "" for an empty cell or an invalid range.
    std::string Value() const;

    // Puts the value into every cell of the range, keeping each cell's format and dropping its
    // formula. Refused for ranges over 16,777,216 cells.
    ss::Status SetValue(std::string_view text);
    ss::Status SetValue(const char* text) { return SetValue(std::string_view(text)); }
    ss::Status SetValue(const std::string& text) { return SetValue(std::string_view(text)); }
    ss::Status SetValue(double number);
    ss::Status SetValue(int number) { return SetValue(double(number)); }

    // Copies the range to the sheet of `destination` with its top-left cell at the destination's
    // top-left cell, in the same or another workbook: values, formulas (in the same workbook,
    // relative references shifted; into another, restated: references to cells this copy or an
    // earlier one from the same workbook into the same sheet brought follow them, the names
    // they use come along, and a formula referring to anything else keeps only its cached
    // value, see reference_policy.h), cell formats (interned into the destination workbook), merged
    // ranges that lie inside the source, the custom heights, hidden state and outline groups of
    // the copied rows, which land with their rows, and of the copied columns, which land in the
    // destination columns: a width for those without a width of their own, hidden and grouped
    // when the source or the destination says so (a copy never shows what the destination hid).
    // From a workbook of the other date system, the date values are restated for the
    // destination's (see detail::DateShift) and counted in the session's ReferenceReport. The
    // destination area is cleared first. Rows hidden by the source sheet's filter are skipped
    // and the visible rows land packed one below the other; a multi-area range (SpecialCells) is
    // copied the same way. A copy that would not fit the destination sheet (1,048,576 rows x
    // 16,384 columns) is refused, not cut.
    ss::Status Copy(const Range& destination) const;

    // Inserts as many whole rows as the range has, before its first row; rows below shift down.
    ss::Status Insert();
    // Deletes the whole rows of every area; rows below shift up. Live ranges, merged ranges,
    // formulas and the filter follow.
    ss::Status Delete();
    // The whole rows (columns 1 to 16,384) of the range's areas.
    Range EntireRow() const;

    // From the top-left cell, moving in `direction`: to the last non-empty cell of the block of
    // non-empty cells it is in, or when it or its neighbour is empty, to the next non-empty cell;
    // the edge of the sheet when there is none.
    Range End(Direction direction) const;

    // Filters the rows of the range by the text of its `field`th column (counted from the range's
    // first column). A one-cell range is first extended to the block of non-empty cells around
    // it, and on down to the last row with a value in the block's columns (a table with an empty
    // row inside is filtered whole); a cell inside the sheet's current filter means that filter.
    // The first row of the filtered table is its header and stays visible; every other row is
    // shown when its cell matches `criterion`, hidden otherwise. The criterion matches the whole
    // cell text (Value()) case-sensitively; "*" stands for any text, "?" for one character, "~"
    // makes the next "*", "?" or "~" literal; the empty criterion selects blank cells. A second
    // call on the same table adds or replaces the condition of its field; all conditions must
    // hold. A filter on another table replaces the sheet's filter.
    ss::Status AutoFilter(int field, std::string_view criterion);

    // kCellTypeVisible: the cells of the range in rows that are not hidden, as row bands; an
    // invalid range when there is none or for another type.
    Range SpecialCells(int type) const;

    // The areas of the range (one rectangle, or the bands of a SpecialCells result).
    size_t AreaCount() const;
    ss::CellRange Area(size_t i) const;
    // "A1:F9" ("B2" for one cell) of the first area; "" for an invalid range.
    std::string Address() const;

private:
    friend class Worksheet;
    enum class View : uint8_t { Cells, Rows, Columns };
    Range(std::shared_ptr<detail::RangeState> state, View view)
        : state_(std::move(state)), view_(view) {}
    std::shared_ptr<detail::RangeState> state_;
    View view_ = View::Cells;
};

// A sheet of a workbook (Sheets::Item gives chart sheets too; Workbook::WorkSheets only
// worksheets).
class Worksheet {
public:
    Worksheet(Workbook& parent, ss::Worksheet& model);
    ~Worksheet();
    Worksheet(const Worksheet&) = delete;
    Worksheet& operator=(const Worksheet&) = delete;

    Workbook& Parent() const { return *parent_; }
    ss::Worksheet& model() const { return *model_; }
    bool isWorksheet() const { return model_->kind == ss::SheetKind::Worksheet; }
    int Index() const;  // 1-based position among the workbook's sheets

    std::string Name() const { return model_->name; }
    // Renames the sheet: 1 to 31 characters, none of : \ / ? * [ ], not beginning or ending with
    // an apostrophe, unique in the workbook without regard to case (its own name in another case
    // is allowed). A refused name leaves the old one and gives the reason.
    ss::Status SetName(std::string_view name);

    // Deletes the sheet; this object and its ranges become invalid. The last visible sheet of a
    // workbook cannot be deleted.
    ss::Status Delete();

    // Copies the sheet with everything it carries (cells, formats, formulas, merges, column
    // widths, row heights, freeze panes, filter, view settings, conditional formats ...) into a
    // new workbook, which becomes the active workbook. Gives the copy.
    ss::Result<Worksheet*> Copy();
    // Copies the sheet into the workbook of `before` (the same or another), before that sheet.
    // A name that clashes becomes "Name (2)", "Name (3)" ... The copy becomes the active sheet.
    // Into another workbook, the copy's formulas, names and kept texts are restated once every
    // sheet of its workbook that is copied there is in (when the source closes, the target is
    // saved, or something is copied out of the target): references to those sheets follow their
    // copies, the names they use come along, and what is left behind is settled by the one
    // policy (see reference_policy.h). Into a workbook of the other date system, the copy's date
    // values are restated for it, as range copies do. (Copy() gives the new workbook the source's
    // date system: nothing to restate.)
    ss::Result<Worksheet*> Copy(Worksheet& before);

    // Makes this sheet the active sheet of its workbook.
    ss::Status Select();

    // The bounding box of every cell that holds a value or a format other than the default; A1
    // for an empty sheet.
    automation::Range UsedRange();
    // One cell; invalid outside the sheet.
    automation::Range Cells(uint32_t row, uint32_t col);
    // Every cell of the sheet.
    automation::Range Cells();
    // The whole row `row`; invalid outside the sheet.
    automation::Range Rows(uint32_t row);

    // Whether the sheet has a filter. Setting false removes the filter and shows the rows it hid;
    // setting true does nothing (a filter is made with Range::AutoFilter).
    bool AutoFilterMode() const;
    void AutoFilterMode(bool on);

    // The range an A1 text names ("A1", "$B$2", "A1:F9", "A:C", "3:5"); invalid for any other
    // text.
    automation::Range Range(std::string_view a1);
    // The areas at once, as a text "A2:L2,A5:L7" would name them (a copy packs them one below
    // the other); invalid when there are none or one lies outside the sheet.
    automation::Range Areas(std::vector<ss::CellRange> areas);

    // What range copies out of this sheet carried of the parts that hang off it: a kind in the
    // words of `ss::describeParts` ("图片", "表格" ...) and an item of that kind (numbered by
    // whoever carries it, each counted once however often it is copied).
    void noteCarried(std::string_view kind, uint32_t item) const;
    // The parts of the sheet that no range copy carried, by kind with counts, and what its
    // reader already left behind: what a job that copies the sheet's cells names as left.
    std::map<std::string, uint32_t> partsNotCarried() const;
    // The parts that hang off the sheet as a save would write them (with what range copies
    // built up in it), by kind in the words of `ss::describeParts`.
    std::map<std::string, uint32_t> partsHeld();

private:
    friend class automation::Range;
    friend class Workbook;
    friend class Sheets;
    friend struct detail::SheetDrawings;
    std::shared_ptr<detail::RangeState> track(std::vector<ss::CellRange> areas);
    automation::Range make(std::vector<ss::CellRange> areas);
    void rowsMoved(const ss::RowMove& move);  // live ranges follow inserted or deleted rows
    void detach();  // invalidates every live range (sheet deleted or workbook closed)
    // Drops the filter and shows the rows firstShown..lastShown.
    void removeFilter(uint32_t firstShown, uint32_t lastShown);

    Workbook* parent_;
    ss::Worksheet* model_;
    std::vector<std::weak_ptr<detail::RangeState>> live_;
    size_t pruneAt_ = 64;
    struct Filter;
    std::unique_ptr<Filter> filter_;
    mutable std::map<std::string, std::set<uint32_t>, std::less<>> carried_;
    // The extension list range copies build up in this sheet, written into its parts by
    // flushExtensions (before a save, a copy out of the workbook or a row move).
    std::unique_ptr<ss::ExtensionCopier> extensions_;
    void flushExtensions();
    mutable std::unique_ptr<detail::SheetDrawings> drawings_;
};

// The sheets of a workbook, in tab order.
class Sheets {
public:
    explicit Sheets(Workbook& parent) : parent_(&parent) {}
    int Count() const;
    // Sheet i (1-based), any kind; null outside 1..Count().
    Worksheet* Item(int i) const;
    // A new empty worksheet named "Sheet<n>", inserted before the active sheet; it becomes the
    // active sheet.
    Worksheet* Add();
    // A new empty worksheet named "Sheet<n>", inserted after `after` (a sheet of this workbook);
    // the active sheet stays. Null when `after` is not in the workbook.
    Worksheet* Add(Worksheet& after);

private:
    Workbook* parent_;
};

// An open workbook.
class Workbook {
public:
    Workbook(Application& app, std::unique_ptr<ss::Workbook> model);
    ~Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    Application& Parent() const { return *app_; }
    ss::Workbook& model() const { return *model_; }

    automation::Sheets& Sheets() { return sheets_; }
    // Worksheet i (1-based) counting worksheets only (chart sheets skipped); null when none.
    Worksheet* WorkSheets(int i);
    Worksheet* ActiveSheet();

    // The file name of the workbook (as opened or last saved), or "Book<n>" for a new one.
    std::string Name() const;

    // Saves in the format the file name's extension asks for (.xlsx, .xlsm, .xls, .csv; any other
    // name gets .xlsx content). The workbook then carries the new name.
    ss::Status SaveAs(const std::filesystem::path& path);
    // Saves with a format code: kFormatXlsx, kFormatXls or kFormatNormal; other codes are refused.
    ss::Status SaveAs(const std::filesystem::path& path, int formatCode);

    // Closes the workbook; every pointer into it becomes invalid. Close(false) never writes
    // anything. Close(true) first saves to the file the workbook was opened from or last saved
    // as (refused, and the workbook stays open, when it has none or the save fails).
    ss::Status Close(bool saveChanges = false);
    // Counts, for the closing text (Application::References), the references of the parts its
    // sheets carry whole (chart series, pivot sources, links of controls) that name a sheet it
    // does not hold. Called once, for an output about to be saved as .xlsx.
    void NoteUnlinkedReferences();
    // Closes the workbook (as Close(false)) and hands over its model, with every copy into it
    // settled, for writing elsewhere (another thread).
    std::unique_ptr<ss::Workbook> CloseKeepingModel();

    // Lookup of the wrapper of a model sheet of this workbook; null when it is not one of ours.
    Worksheet* wrap(const ss::Worksheet* sheet) const;

private:
    friend class automation::Sheets;
    friend class automation::Range;
    friend class Application;
    friend class Worksheet;
    friend class Workbooks;
    void syncSheets();  // one wrapper per model sheet, in order
    // Restates the sheets copied into this workbook whose texts still name their sources'.
    void settleCopiesInto();
    // Writes what range copies built in the extension list of `sheet` into its parts.
    void flushExtensionsOf(const ss::Worksheet* sheet);
    Application* app_;
    std::unique_ptr<ss::Workbook> model_;
    std::vector<std::unique_ptr<Worksheet>> wrappers_;
    automation::Sheets sheets_{*this};
    std::string name_;
    uint64_t serial_;
};

// The open workbooks of the application, in the order they were opened or added.
class Workbooks {
public:
    explicit Workbooks(Application& app) : app_(&app) {}

    // A new workbook with exactly one worksheet "Sheet1"; it becomes the active workbook.
    Workbook* Add();
    // Opens a workbook by its content and extension (.xlsx, .xlsm; .xls and .csv where the
    // engine reads them); it becomes the active workbook. A file that cannot be opened gives no
    // workbook and the reason.
    ss::Result<Workbook*> Open(const std::filesystem::path& path);
    // Starts reading a workbook that is to be opened soon on a thread of its own, while the
    // caller works on the current one; an Open of the same path takes what was read. Two
    // reads may run ahead when both files are small (so that both cores read while the caller
    // copies); otherwise a second request is ignored. An Open of a path not read ahead, or the
    // end of the session, waits for the reads and drops them; an Open of the second one drops
    // the first.
    void Prefetch(const std::filesystem::path& path);

    // While Open waits for a read, it asks `stop` every few hundredths of a second (on the
    // caller's thread); once it says yes, every read of the collection ends early and Open
    // gives no workbook: a stop pressed during a read of a large workbook does not wait for it.
    void StopReadsWhen(std::function<bool()> stop) { stopCheck_ = std::move(stop); }
    // True once reads were ended that way.
    bool ReadsStopped() const { return stopReads_.load(); }

    int Count() const;
    Workbook* Item(int i) const;  // 1-based; null outside 1..Count()

    ~Workbooks();
    Workbooks(const Workbooks&) = delete;
    Workbooks& operator=(const Workbooks&) = delete;

private:
    friend class Application;
    friend class Workbook;
    friend class Worksheet;
    using Read = ss::Result<std::unique_ptr<ss::Workbook>>;
    Workbook* adopt(std::unique_ptr<ss::Workbook> model);
    Read waitFor(std::future<Read>& read);
    std::vector<std::string> passwords() const;  // what a read tries on a protected file
    Application* app_;
    std::function<bool()> stopCheck_;
    std::atomic<bool> stopReads_{false};  // before the reads, which look at it to the end
    struct Prefetched {
        std::filesystem::path path;
        std::future<Read> model;
        bool small = false;  // small enough on disk to be read beside another
    };
    std::vector<Prefetched> prefetched_;  // in the order asked for
};

// The session: owns every workbook opened or added through it. Quit (or the destructor) closes
// them all without saving.
class Application {
public:
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The workbooks collection; never null for this engine.
    automation::Workbooks* Workbooks() { return &workbooks_; }
    // The workbook most recently added, opened or made by a sheet copy that is still open.
    Workbook* ActiveWorkBook() const;

    // Session settings. They are kept and reported back; the engine shows no window and asks no
    // questions, so they change no effect.
    void EnableEvents(bool on) { enableEvents_ = on; }
    bool EnableEvents() const { return enableEvents_; }
    void DisplayAlerts(bool on) { displayAlerts_ = on; }
    bool DisplayAlerts() const { return displayAlerts_; }
    void SetVisible(bool on) { visible_ = on; }
    bool Visible() const { return visible_; }

    // Closes every workbook without saving.
    void Quit();

    // Copies write every formula as its stored value (a frozen copy); off by default, when
    // formulas are restated for where their cells land (see Range::Copy, Worksheet::Copy).
    void FormulasAsValues(bool on);
    bool FormulasAsValues() const;
    // The copies of the session merge their sources into outputs (off by default). A formula,
    // rule, dropdown or hyperlink of a range copy that names cells its source has not copied into
    // that sheet yet waits until the source is done (closed, or the target saved or copied
    // from): the blocks copied later may hold them. And every defined name of a source is
    // accounted for: each one that fits where its sheets landed comes along, each other one is
    // counted and named in References() (otherwise only the names the copied texts use come).
    void MergeReferences(bool on);
    // What the copies of the session could not carry of references.
    const ReferenceReport& References();

    // Passwords of the session (UTF-8), kept in memory only: those tried, after the default
    // password of write-protected files, on every workbook opened with an open password; and
    // the one every .xlsx save encrypts its file with (empty: saved as it is).
    void OpenPasswords(std::vector<std::string> passwords) {
        openPasswords_ = std::move(passwords);
    }
    const std::vector<std::string>& OpenPasswords() const { return openPasswords_; }
    void SavePassword(std::string password) { savePassword_ = std::move(password); }
    const std::string& SavePassword() const { return savePassword_; }

private:
    friend class automation::Workbooks;
    friend class automation::Range;
    friend class Workbook;
    friend class Worksheet;
    void activate(Workbook* wb);
    void closed(Workbook* wb);
    // Before the copies from `source` settle: the extension lists their texts wait in are
    // written into their sheets' parts.
    void flushWaitingFrom(Workbook* source);
    // Keyed by the workbooks' serial numbers, which are never reused.
    detail::CopyMaps& copyMaps(const Workbook& from, Workbook& to);
    detail::ReferenceState& referenceState();

    automation::Workbooks workbooks_{*this};
    std::vector<std::unique_ptr<Workbook>> open_;
    std::map<std::pair<uint64_t, uint64_t>, std::unique_ptr<detail::CopyMaps>> copyMaps_;
    std::unique_ptr<detail::ReferenceState> references_;
    uint64_t serials_ = 0;
    Workbook* active_ = nullptr;
    bool enableEvents_ = true, displayAlerts_ = true, visible_ = false;
    int newBookCounter_ = 0;
    std::vector<std::string> openPasswords_;
    std::string savePassword_;
};

}  // namespace automation
