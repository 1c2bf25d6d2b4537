// The in-memory workbook: ordered sheets, one style table, shared strings, defined names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cell.h"
#include "strings.h"
#include "styles.h"
#include "worksheet.h"

namespace ss {

struct DefinedName {
    std::string name;
    std::string formula;                 // without "="
    std::optional<uint32_t> localSheet;  // 0-based sheet position for a sheet-local name
    bool hidden = false;
    std::string comment;
    bool operator==(const DefinedName&) const = default;
};

class Workbook {
public:
    Workbook() = default;
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    // A new workbook with exactly one empty worksheet "Sheet1".
    static std::unique_ptr<Workbook> createDefault();

    std::vector<std::unique_ptr<Worksheet>> sheets;
    size_t activeSheet = 0;  // 0-based
    size_t firstVisibleTab = 0;
    bool date1904 = false;
    std::vector<DefinedName> names;
    StyleTable styles;
    SharedStrings strings;
    std::string themeXml;    // the theme part as read; empty: the writer's default theme
    std::string vbaProject;  // vbaProject.bin of an .xlsm, kept as bytes
    std::string sourcePath;  // file this workbook was read from, if any
    // What reading changed so that the workbook can be saved again (a sheet renamed, a text
    // cut at the cell limit), one text per change, "[sheet] ..." (see ss::fitReadWorkbook).
    std::vector<std::string> readNotes;

    Worksheet& addSheet(std::string name, std::optional<size_t> position = std::nullopt);
    // Sheet whose name equals `name` without regard to case (ASCII and full Unicode simple
    // case folding of Latin letters); null when there is none.
    Worksheet* sheetByName(std::string_view name);
    int indexOf(const Worksheet* sheet) const;  // -1 when not in this workbook
    bool hasFormulas() const;

    // The text of a cell for matching and naming: strings as they are; numbers in their
    // shortest form (at most 15 significant digits); date-formatted numbers as yyyy-MM-dd
    // (with " hh:mm:ss" when there is a time part); TRUE/FALSE; errors as their code.
    std::string cellText(const Cell& c) const;
};

// Number formatting used by cellText, exposed for the readers and tests.
std::string formatGeneralNumber(double v);
std::string formatDateSerial(double serial, bool date1904);

}  // namespace ss
