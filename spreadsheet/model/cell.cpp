#include "cell.h"

#include <array>

namespace ss {

namespace {
constexpr std::array<std::string_view, 8> kErrorTexts = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA"};
}

std::string_view errorText(ErrorCode e) {
    return kErrorTexts[static_cast<size_t>(e)];
}

std::optional<ErrorCode> parseErrorText(std::string_view s) {
    for (size_t i = 0; i < kErrorTexts.size(); ++i)
        if (kErrorTexts[i] == s) return static_cast<ErrorCode>(i);
    return std::nullopt;
}

std::string columnLetters(uint32_t col) {
    std::string s;
    while (col > 0) {
        uint32_t d = (col - 1) % 26;
        s.insert(s.begin(), char('A' + d));
        col = (col - 1) / 26;
    }
    return s;
}

std::string cellName(uint32_t row, uint32_t col) {
    return columnLetters(col) + std::to_string(row);
}

std::string CellRange::toA1() const {
    if (firstRow == lastRow && firstCol == lastCol) return cellName(firstRow, firstCol);
    return cellName(firstRow, firstCol) + ":" + cellName(lastRow, lastCol);
}

namespace {

// One side of a reference: letters and/or digits, each optionally preceded by "$".
struct Part {
    uint32_t row = 0, col = 0;
};

bool parsePart(std::string_view s, Part& out) {
    size_t i = 0;
    if (i < s.size() && s[i] == '$') ++i;
    uint64_t col = 0;
    size_t letters = 0;
    while (i < s.size() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) {
        char ch = s[i] >= 'a' ? char(s[i] - 32) : s[i];
        col = col * 26 + uint64_t(ch - 'A' + 1);
        if (++letters > 3) return false;
        ++i;
    }
    if (i < s.size() && s[i] == '$') {
        if (letters == 0) {
            if (i != 0) return false;
        }
        ++i;
    }
    uint64_t row = 0;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        row = row * 10 + uint64_t(s[i] - '0');
        if (++digits > 7) return false;
        ++i;
    }
    if (i != s.size() || (letters == 0 && digits == 0)) return false;
    if (letters && col > kXlsxMaxCols) return false;
    if (digits && (row == 0 || row > kXlsxMaxRows)) return false;
    out.col = uint32_t(col);
    out.row = uint32_t(row);
    return true;
}

}  // namespace

std::optional<CellRange> parseRange(std::string_view text) {
    size_t colon = text.find(':');
    std::string_view a = text.substr(0, colon);
    std::string_view b = colon == std::string_view::npos ? a : text.substr(colon + 1);
    Part p, q;
    if (!parsePart(a, p) || !parsePart(b, q)) return std::nullopt;
    CellRange r;
    bool pWholeCol = p.row == 0, qWholeCol = q.row == 0;
    bool pWholeRow = p.col == 0, qWholeRow = q.col == 0;
    if (pWholeCol != qWholeCol || pWholeRow != qWholeRow) return std::nullopt;
    if ((pWholeCol || pWholeRow) && colon == std::string_view::npos) return std::nullopt;
    r.firstRow = pWholeCol ? 1 : std::min(p.row, q.row);
    r.lastRow = pWholeCol ? kXlsxMaxRows : std::max(p.row, q.row);
    r.firstCol = pWholeRow ? 1 : std::min(p.col, q.col);
    r.lastCol = pWholeRow ? kXlsxMaxCols : std::max(p.col, q.col);
    return r;
}

}  // namespace ss
