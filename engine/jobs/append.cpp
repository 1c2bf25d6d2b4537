#include "append.h"

#include <algorithm>
#include <map>

#include "job_options.h"
#include "sheet_routines.h"
#include "spreadsheet/model/cell.h"
#include "spreadsheet/utf8.h"

using automation::Range;
using automation::Worksheet;

namespace jobs {

namespace {

// Decodes one UTF-8 code point at `i` (advancing it); a broken sequence gives its first byte.
char32_t nextCodePoint(std::string_view s, size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + extra >= s.size()) {
        ++i;
        return b;
    }
    char32_t cp = b & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return b;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    i += extra + 1;
    return cp;
}

bool isBlank(char32_t cp) {
    return cp == U' ' || cp == U'\t' || cp == U'\r' || cp == U'\n' || cp == 0xA0 || cp == 0x3000;
}

std::string truncatedName(const std::string& name, size_t suffixBytes) {
    // Sheet names hold at most 31 characters; cut whole code points.
    std::vector<size_t> starts;
    for (size_t i = 0; i < name.size();) {
        starts.push_back(i);
        (void)nextCodePoint(name, i);
    }
    const size_t room = suffixBytes >= 31 ? 0 : 31 - suffixBytes;
    if (starts.size() <= room) return name;
    return name.substr(0, starts[room]);
}

}  // namespace

std::string headerKey(std::string_view text) {
    struct Piece {
        char32_t cp;
        std::string_view raw;  // the bytes as they were (a broken sequence stays as it is)
        bool mapped;
    };
    std::vector<Piece> pieces;
    for (size_t i = 0; i < text.size();) {
        const size_t from = i;
        char32_t cp = nextCodePoint(text, i);
        const char32_t before = cp;
        if (cp >= 0xFF01 && cp <= 0xFF5E) cp -= 0xFEE0;  // full-width ASCII forms
        if (cp >= U'A' && cp <= U'Z') cp += U'a' - U'A';
        pieces.push_back({cp, text.substr(from, i - from), cp != before});
    }
    size_t b = 0, e = pieces.size();
    while (b < e && isBlank(pieces[b].cp)) ++b;
    while (e > b && isBlank(pieces[e - 1].cp)) --e;
    std::string out;
    for (size_t i = b; i < e; ++i) {
        if (pieces[i].mapped)
            ss::appendUtf8(out, pieces[i].cp);
        else
            out += pieces[i].raw;
    }
    return out;
}

std::string continuationNote(int count) {
    if (count <= 0) return {};
    return "超出行数上限的数据已续写到" + std::to_string(count) + "个续表。";
}

std::string appendNote(const AppendResult& result) {
    std::string note;
    if (!result.addedColumns.empty()) {
        note = "新增列：";
        for (size_t i = 0; i < result.addedColumns.size(); ++i)
            note += (i ? "、" : "") + result.addedColumns[i];
    }
    if (!result.missingColumns.empty()) {
        note += note.empty() ? "缺少列：" : "；缺少列：";
        for (size_t i = 0; i < result.missingColumns.size(); ++i)
            note += (i ? "、" : "") + result.missingColumns[i];
    }
    if (result.continuationSheets > 0)
        note += (note.empty() ? "" : "；") + std::string("新建续表") +
                std::to_string(result.continuationSheets) + "个";
    return note;
}

AppendSettings appendSettings(const JobOptions& options, bool xlsOutput, bool headerRowsOnce,
                              int headerRowCount) {
    AppendSettings s;
    s.align = options.alignHeaders;
    s.sourceColumns = options.sourceColumns;
    s.spill = options.spill;
    s.rowLimit = ss::kXlsxMaxRows;
    if (s.spill && xlsOutput) s.rowLimit = ss::kXlsMaxRows;
    if (options.rowLimit > 0) s.rowLimit = std::min<uint32_t>(options.rowLimit, ss::kXlsxMaxRows);
    s.headerRows = headerRowsOnce && headerRowCount >= 1 ? headerRowCount : 0;
    if (s.align && s.headerRows < 1) s.headerRows = 1;
    // A header taller than the limit leaves no room for data on a continuation sheet.
    if (s.spill && uint32_t(std::max(s.headerRows, 1)) >= s.rowLimit) s.spill = false;
    return s;
}

AppendTarget::AppendTarget(Worksheet& sheet, const AppendSettings& settings)
    : settings_(settings), sheets_{&sheet}, baseName_(sheet.Name()) {
    labelled_ = settings_.sourceColumns;
    dataCol_ = labelled_ ? 3 : 1;
}

AppendTarget AppendTarget::adopt(Worksheet& sheet, const AppendSettings& settings) {
    AppendTarget t(sheet, settings);
    t.labelled_ = false;
    Range used = sheet.UsedRange();
    t.started_ = true;
    t.headerTop_ = used.Row();
    t.leftCol_ = t.dataCol_ = used.Column();
    t.nextRow_ = used.Row() + used.RowCount();
    t.keys_ = t.keysOf(sheet, used.Row(), used.Column(), used.ColumnCount());
    return t;
}

std::vector<std::string> AppendTarget::keysOf(Worksheet& sheet, uint32_t row, uint32_t col,
                                              uint32_t cols) const {
    std::vector<std::string> keys(cols);
    if (!settings_.align) return keys;
    for (uint32_t j = 0; j < cols; ++j)
        for (int r = 0; r < settings_.headerRows; ++r) {
            if (r > 0) keys[j] += '\x1f';
            keys[j] += headerKey(sheet.Cells(row + uint32_t(r), col + j).Value());
        }
    return keys;
}

bool AppendTarget::openContinuation(std::string* reason) {
    Worksheet* last = sheets_.back();
    Worksheet* sheet = last->Parent().Sheets().Add(*last);
    if (!sheet) {
        *reason = "无法新建续表。";
        return false;
    }
    bool named = false;
    for (size_t n = sheets_.size() + 1; !named && n < sheets_.size() + 1000; ++n) {
        const std::string suffix = " (" + std::to_string(n) + ")";
        named = sheet->SetName(truncatedName(baseName_, suffix.size()) + suffix).ok();
    }
    sheets_.push_back(sheet);
    nextRow_ = 1;
    const uint32_t h = uint32_t(std::max(settings_.headerRows, 0));
    if (h > 0) {
        Worksheet& first = *sheets_.front();
        const uint32_t lastCol = std::max<uint32_t>(dataCol_ + uint32_t(keys_.size()), 1) - 1;
        Range header = first.Range(automation::rangeText(headerTop_, leftCol_, headerTop_ + h - 1,
                                                         std::max(lastCol, leftCol_)));
        BlockCopy c = copyBlock(header, *sheet, 1, leftCol_, reason);
        if (c == BlockCopy::TooBig || c == BlockCopy::Failed) return false;
        nextRow_ = h + 1;
    }
    return true;
}

AppendResult AppendTarget::place(Worksheet& source, uint32_t firstRow, uint32_t lastRow,
                                 uint32_t firstCol, const std::vector<uint32_t>& targetIndex,
                                 const std::string& fileLabel, const std::string& sheetLabel,
                                 bool labelHeader) {
    AppendResult res;
    if (lastRow < firstRow || targetIndex.empty()) return res;
    const uint64_t n = uint64_t(lastRow) - firstRow + 1;
    const uint32_t limit = settings_.rowLimit;
    uint32_t widest = 0;
    for (uint32_t t : targetIndex) widest = std::max(widest, t);
    if (uint64_t(dataCol_) + widest > ss::kXlsxMaxCols ||
        (!settings_.spill && uint64_t(nextRow_) + n - 1 > limit)) {
        res.copy = BlockCopy::TooBig;
        res.reason = "超出表格行列上限";
        return res;
    }
    // Runs of source columns that land side by side are copied in one piece.
    struct Run {
        uint32_t from, to, count;
    };
    std::vector<Run> runs;
    for (uint32_t j = 0; j < targetIndex.size(); ++j) {
        if (!runs.empty() && runs.back().from + runs.back().count == j &&
            runs.back().to + runs.back().count == targetIndex[j])
            ++runs.back().count;
        else
            runs.push_back({j, targetIndex[j], 1});
    }
    const uint32_t headerRows =
        labelHeader ? uint32_t(std::clamp(settings_.headerRows, 1, int(n))) : 0;
    uint32_t r = firstRow;
    while (r <= lastRow) {
        if (nextRow_ > limit) {
            if (!openContinuation(&res.reason)) {
                res.copy = BlockCopy::Failed;
                return res;
            }
            ++res.continuationSheets;
        }
        const uint32_t chunk = std::min(lastRow - r + 1, limit - nextRow_ + 1);
        Worksheet& dest = *sheets_.back();
        for (const Run& run : runs) {
            Range from = source.Range(automation::rangeText(r, firstCol + run.from, r + chunk - 1,
                                                            firstCol + run.from + run.count - 1));
            BlockCopy c = copyBlock(from, dest, nextRow_, dataCol_ + run.to, &res.reason);
            if (c == BlockCopy::TooBig || c == BlockCopy::Failed) {
                res.copy = c;
                return res;
            }
        }
        if (labelled_) {
            uint32_t valueFrom = nextRow_;
            if (r == firstRow && headerRows > 0) {
                (void)dest.Cells(nextRow_, 1).SetValue(kSourceFileHeader);
                (void)dest.Cells(nextRow_, 2).SetValue(kSourceSheetHeader);
                valueFrom = nextRow_ + std::min(headerRows, chunk);
            }
            const uint32_t valueTo = nextRow_ + chunk - 1;
            if (valueFrom <= valueTo) {
                (void)dest.Range(automation::rangeText(valueFrom, 1, valueTo, 1))
                    .SetValue(fileLabel);
                (void)dest.Range(automation::rangeText(valueFrom, 2, valueTo, 2))
                    .SetValue(sheetLabel);
            }
        }
        if (std::find(res.outputSheets.begin(), res.outputSheets.end(), dest.Name()) ==
            res.outputSheets.end())
            res.outputSheets.push_back(dest.Name());
        nextRow_ += chunk;
        r += chunk;
        res.rows += chunk;
    }
    res.copy = BlockCopy::Copied;
    return res;
}

AppendResult AppendTarget::append(Worksheet& source, const Range& block,
                                  const std::string& fileLabel, const std::string& sheetLabel) {
    // copyBlock takes the source's filter off (the rows it hid come along).
    const bool filtered = source.model().autoFilter.has_value();
    AppendResult res = appendBlock(source, block, fileLabel, sheetLabel);
    if (res.copy == BlockCopy::Copied) {
        res.filterLeft = filtered;
        automation::carryPrintSettings(source, *sheets_.front());
    }
    return res;
}

AppendResult AppendTarget::appendBlock(Worksheet& source, const Range& block,
                                       const std::string& fileLabel,
                                       const std::string& sheetLabel) {
    if (!block.valid()) return {};
    const uint32_t r0 = block.Row(), c0 = block.Column();
    const uint32_t rows = block.RowCount(), cols = block.ColumnCount();
    std::vector<uint32_t> targetIndex(cols);
    if (!started_) {
        keys_ = keysOf(source, r0, c0, cols);
        for (uint32_t j = 0; j < cols; ++j) targetIndex[j] = j;
        AppendResult res =
            place(source, r0, r0 + rows - 1, c0, targetIndex, fileLabel, sheetLabel, true);
        if (res.copy == BlockCopy::Copied) started_ = true;
        return res;
    }

    const uint32_t drop = std::min<uint32_t>(uint32_t(std::max(settings_.headerRows, 0)), rows);
    const size_t knownColumns = keys_.size();
    std::vector<uint32_t> added;  // source columns whose header is new
    if (settings_.align) {
        const std::vector<std::string> keys = keysOf(source, r0, c0, cols);
        std::map<std::string, int> seen;  // a header that repeats matches its n-th occurrence
        for (uint32_t j = 0; j < cols; ++j) {
            int wanted = seen[keys[j]]++;
            uint32_t t = uint32_t(knownColumns);
            for (size_t k = 0; k < knownColumns; ++k)
                if (keys_[k] == keys[j] && wanted-- == 0) {
                    t = uint32_t(k);
                    break;
                }
            if (t == knownColumns) {
                t = uint32_t(keys_.size());
                keys_.push_back(keys[j]);
                added.push_back(j);
            }
            targetIndex[j] = t;
        }
    } else {
        for (uint32_t j = 0; j < cols; ++j) targetIndex[j] = j;
        if (keys_.size() < cols) keys_.resize(cols);
    }

    AppendResult res;
    if (drop < rows)
        res =
            place(source, r0 + drop, r0 + rows - 1, c0, targetIndex, fileLabel, sheetLabel, false);
    res.headerRowsDropped = int(drop);
    if (res.copy == BlockCopy::TooBig || res.copy == BlockCopy::Failed) {
        if (res.continuationSheets == 0) keys_.resize(knownColumns);
        return res;
    }
    // New headers go to the header rows of the output sheet and of every continuation sheet.
    for (uint32_t j : added) {
        Range header = source.Range(
            automation::rangeText(r0, c0 + j, r0 + uint32_t(settings_.headerRows) - 1, c0 + j));
        for (size_t s = 0; s < sheets_.size(); ++s)
            (void)copyBlock(header, *sheets_[s], s == 0 ? headerTop_ : 1,
                            dataCol_ + targetIndex[j]);
        res.addedColumns.push_back(source.Cells(r0, c0 + j).Value());
    }
    if (settings_.align) {
        std::vector<bool> present(knownColumns, false);
        for (uint32_t t : targetIndex)
            if (t < knownColumns) present[t] = true;
        for (size_t k = 0; k < knownColumns; ++k)
            if (!present[k])
                res.missingColumns.push_back(
                    sheets_.front()->Cells(headerTop_, dataCol_ + uint32_t(k)).Value());
    }
    return res;
}

}  // namespace jobs
