// Reading an OpenDocument spreadsheet: the package (libzip), styles.xml and content.xml
// streamed through expat a piece at a time, each table's rows straight into the sheet.
#include <zip.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>

#include "ods.h"
#include "ods_internal.h"
#include "../read_stop.h"
#include "../text/xml_text.h"

namespace ss {

namespace ods {

namespace {

constexpr const char* kMimeOds = "application/vnd.oasis.opendocument.spreadsheet";
constexpr const char* kMimeOts = "application/vnd.oasis.opendocument.spreadsheet-template";
// Copies that repeats of cells with a value make (number-columns-repeated on a cell, rows
// repeated with such cells): a repeat is stored once, so a small file can ask for billions.
constexpr uint64_t kRepeatedValueBudget = 4'000'000;
// Blank formatted cells and formatted empty rows that repeats make; beyond it they are left
// out and named.
constexpr uint64_t kRepeatedFormatBudget = 1'000'000;
constexpr uint64_t kRatioCheckAfter = uint64_t(16) << 20;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxTextBytes = kMaxCellTextUnits * 4 + 4;

std::string zipReason(int code) {
    switch (code) {
        case ZIP_ER_NOZIP:
            return "文件不是 zip 压缩包，或压缩包的目录已丢失（文件可能不完整）。";
        case ZIP_ER_INCONS:
            return "zip 压缩包已损坏（目录不一致）。";
        case ZIP_ER_CRC:
            return "zip 压缩包已损坏（校验和不符）。";
        case ZIP_ER_COMPNOTSUPP:
            return "zip 压缩包使用了不支持的压缩方式。";
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return "zip 压缩包中的内容已加密。";
        case ZIP_ER_MEMORY:
            return "内存不足。";
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
            return "无法读取文件。";
        default: {
            zip_error_t e;
            zip_error_init_with_code(&e, code);
            std::string what = zip_error_strerror(&e);
            zip_error_fini(&e);
            return "zip 压缩包已损坏（" + what + "）。";
        }
    }
}

// The entries of the package, each inflated within the limits.
class Package {
public:
    ~Package() {
        if (zip_) zip_discard(zip_);
    }
    static Result<std::unique_ptr<Package>> open(const std::filesystem::path& path,
                                                 const ReadLimits& limits) {
        int err = 0;
        zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
        if (!z) return fail(zipReason(err));
        return std::unique_ptr<Package>(new Package(z, limits));
    }
    static Result<std::unique_ptr<Package>> openMemory(const void* data, size_t size,
                                                       const ReadLimits& limits) {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* src = zip_source_buffer_create(data, size, 0, &error);
        if (!src) {
            zip_error_fini(&error);
            return fail(zipReason(ZIP_ER_MEMORY));
        }
        zip_t* z = zip_open_from_source(src, ZIP_RDONLY, &error);
        if (!z) {
            int code = zip_error_code_zip(&error);
            zip_source_free(src);
            zip_error_fini(&error);
            return fail(zipReason(code));
        }
        zip_error_fini(&error);
        return std::unique_ptr<Package>(new Package(z, limits));
    }

    zip_int64_t find(const char* name) const { return zip_name_locate(zip_, name, 0); }
    zip_t* zip() const { return zip_; }

    // Inflates the entry a piece at a time into `sink` (false from it stops the read).
    Status stream(const char* name, uint64_t cap,
                  const std::function<bool(const char*, size_t)>& sink) {
        zip_int64_t index = find(name);
        if (index < 0) return fail("缺少部件 " + std::string(name) + "。");
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, zip_uint64_t(index), 0, &st) != 0)
            return fail(zipReason(zip_get_error(zip_)->zip_err));
        cap = std::min(cap, limits_.maxPartBytes);
        if ((st.valid & ZIP_STAT_SIZE) && st.size > cap) return tooLarge(name, st.size, cap);
        const uint64_t compressed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
        zip_file_t* f = zip_fopen_index(zip_, zip_uint64_t(index), 0);
        if (!f)
            return fail("部件 " + std::string(name) + " 无法解压：" +
                        zipReason(zip_get_error(zip_)->zip_err));
        std::unique_ptr<char[]> buf(new char[kChunk]);
        uint64_t got = 0;
        Status result = okStatus();
        for (;;) {
            zip_int64_t n = zip_fread(f, buf.get(), kChunk);
            if (n < 0) {
                result = fail("部件 " + std::string(name) + " 无法解压：" +
                              zipReason(zip_file_get_error(f)->zip_err));
                break;
            }
            if (n == 0) break;
            got += uint64_t(n);
            total_ += uint64_t(n);
            if (got > cap) {
                result = tooLarge(name, got, cap);
                break;
            }
            if (total_ > limits_.maxTotalBytes) {
                result = fail("工作簿解压后共 " + std::to_string(total_) + " 字节，超过上限 " +
                              std::to_string(limits_.maxTotalBytes) + " 字节，疑似压缩炸弹。");
                break;
            }
            if (got > kRatioCheckAfter &&
                got / std::max<uint64_t>(compressed, 1) > limits_.maxCompressionRatio) {
                result = fail("部件 " + std::string(name) + " 的压缩比超过 " +
                              std::to_string(limits_.maxCompressionRatio) + ":1，疑似压缩炸弹。");
                break;
            }
            if (!sink(buf.get(), size_t(n))) break;
        }
        zip_fclose(f);
        return result;
    }

    Result<std::string> readSmall(const char* name, uint64_t cap) {
        std::string out;
        Status st = stream(name, cap, [&](const char* p, size_t n) {
            out.append(p, n);
            return true;
        });
        if (!st.ok()) return st.error();
        return out;
    }

private:
    Package(zip_t* z, const ReadLimits& limits) : zip_(z), limits_(limits) {}
    static Status tooLarge(const char* name, uint64_t size, uint64_t cap) {
        return fail("部件 " + std::string(name) + " 解压后过大（" + std::to_string(size) +
                    " 字节，上限 " + std::to_string(cap) + " 字节），疑似压缩炸弹。");
    }
    zip_t* zip_ = nullptr;
    ReadLimits limits_;
    uint64_t total_ = 0;
};

bool isSpreadsheetMime(std::string_view m) {
    while (!m.empty() && (m.back() == '\n' || m.back() == '\r' || m.back() == ' '))
        m.remove_suffix(1);
    return m == kMimeOds || m == kMimeOts;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

template <class T>
bool number(std::string_view s, size_t& i, size_t digits, T& out) {
    if (i + digits > s.size()) return false;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + digits, out);
    if (ec != std::errc() || p != s.data() + i + digits) return false;
    i += digits;
    return true;
}

// "2024-01-15" or "2024-01-15T10:30:00.5" as days (with the day's fraction) from 1970-01-01.
std::optional<double> parseDateTime(std::string_view s) {
    size_t i = 0;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    if (!number(s, i, 4, y) || i >= s.size() || s[i++] != '-' || !number(s, i, 2, m) ||
        i >= s.size() || s[i++] != '-' || !number(s, i, 2, d) || m < 1 || m > 12 || d < 1 || d > 31)
        return std::nullopt;
    double days = double(daysFromCivil(y, m, d));
    if (i == s.size()) return days;
    if (s[i++] != 'T') return std::nullopt;
    unsigned hh = 0, mm = 0;
    double ss = 0;
    if (!number(s, i, 2, hh) || i >= s.size() || s[i++] != ':' || !number(s, i, 2, mm))
        return std::nullopt;
    if (i < s.size() && s[i] == ':') {
        ++i;
        size_t j = i;
        while (j < s.size() && (std::isdigit((unsigned char)s[j]) || s[j] == '.')) ++j;
        auto [p, ec] = std::from_chars(s.data() + i, s.data() + j, ss);
        if (ec != std::errc()) return std::nullopt;
        i = j;
    }
    if (hh > 24 || mm > 59 || !(ss >= 0 && ss < 61)) return std::nullopt;
    return days + (hh * 3600.0 + mm * 60.0 + ss) / 86400.0;
}

// "PT10H30M00S", "-PT1H", "P1DT2H" as a fraction of days.
std::optional<double> parseDuration(std::string_view s) {
    bool negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty() || s[0] != 'P') return std::nullopt;
    double seconds = 0;
    bool time = false;
    size_t i = 1;
    while (i < s.size()) {
        if (s[i] == 'T') {
            time = true;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && (std::isdigit((unsigned char)s[j]) || s[j] == '.')) ++j;
        if (j == i || j >= s.size()) return std::nullopt;
        double v = 0;
        auto [p, ec] = std::from_chars(s.data() + i, s.data() + j, v);
        if (ec != std::errc()) return std::nullopt;
        char unit = s[j];
        if (unit == 'D' && !time)
            seconds += v * 86400;
        else if (unit == 'H' && time)
            seconds += v * 3600;
        else if (unit == 'M' && time)
            seconds += v * 60;
        else if (unit == 'S' && time)
            seconds += v;
        else
            return std::nullopt;
        i = j + 1;
    }
    if (!std::isfinite(seconds)) return std::nullopt;
    return (negative ? -seconds : seconds) / 86400.0;
}

uint32_t count(const char* v, uint32_t fallback = 1) {
    if (!v) return fallback;
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v, v + std::strlen(v), n);
    if (ec != std::errc() || n == 0) return fallback;
    return uint32_t(std::min<uint64_t>(n, UINT32_MAX));
}

enum class Value : uint8_t { None, Float, Percentage, Currency, Date, Time, Boolean, String };

// The cell being read.
struct CellRead {
    uint32_t repeat = 1, colSpan = 1, rowSpan = 1;
    std::string style;
    bool hasStyle = false;
    Value type = Value::None;
    bool error = false;  // calcext:value-type="error"
    double number = 0;
    bool boolean = false;
    std::string dateValue, timeValue;
    bool hasStringValue = false;
    std::string stringValue;  // office:string-value
    std::string text;         // the paragraphs
    int paragraphs = 0;
    std::string formula;
    bool hasFormula = false;
    // Its note (office:annotation).
    bool hasNote = false, noteShown = false;
    std::string noteAuthor, noteText;
};

class Reader : public xml::StreamHandler {
public:
    Reader(Workbook& wb, const ReadLimits& limits)
        : wb_(wb), limits_(limits), styles_(wb.styles, names_) {}

    void start(xml::QName name, const char** atts) override;
    void end(xml::QName name) override;
    void text(std::string_view s) override;
    // The styles are all known once the body starts.
    void stylesDone() {
        if (!stylesDone_) styles_.finish();
        stylesDone_ = true;
    }

private:
    void startTable(const char** atts);
    void endTable();
    void definedName(bool range, const char** atts);
    void column(const char** atts);
    void startRow(const char** atts);
    void endRow();
    void startCell(bool covered, const char** atts);
    void noteStart(Ns ns, std::string_view local, const char** atts);
    void appendCharacters(std::string& to, std::string_view local, const char** atts);
    void endCell();
    Row& currentRow();
    bool addCell(uint32_t col, const Cell& c, const std::string* formula);
    uint32_t columnDefault(uint32_t col) const {
        return col <= colDefaults_.size() ? colDefaults_[col - 1] : 0;
    }
    void note(uint32_t row, uint32_t col, const std::string& what) {
        wb_.readNotes.push_back("[" + ws_->name + "] " + cellName(row, col) + " " + what);
    }

    Workbook& wb_;
    ReadLimits limits_;
    Names names_;
    Styles styles_;
    bool stylesDone_ = false;
    int styleDepth_ = 0;  // inside a part of the document's styles
    int skipDepth_ = 0;
    // Tables.
    Worksheet* ws_ = nullptr;
    uint32_t row_ = 1, col_ = 1, nextColumn_ = 1;
    std::vector<uint32_t> colDefaults_;
    // The row being read.
    bool inRow_ = false;
    uint32_t rowRepeat_ = 1;
    Styles::RowFormat rowFormat_;
    bool rowHidden_ = false;
    std::optional<uint32_t> rowStyle_;
    Row* rowObj_ = nullptr;
    bool rowHasValue_ = false;
    bool beyondNoted_ = false, formatNoted_ = false;
    // The cell being read.
    bool inCell_ = false;
    CellRead cell_;
    int textDepth_ = 0;  // inside a paragraph of the cell
    // Inside the cell's note: its depth, the depth of its author and of its paragraphs.
    int noteDepth_ = 0, noteAuthorDepth_ = 0, noteTextDepth_ = 0, noteParagraphs_ = 0;
    uint64_t cells_ = 0, repeatedValues_ = 0, repeatedFormats_ = 0;
    uint32_t rowsSeen_ = 0;
};

void Reader::text(std::string_view s) {
    if (skipDepth_) return;
    if (styleDepth_) {
        styles_.text(s);
        return;
    }
    if (noteDepth_) {
        if (noteAuthorDepth_ && cell_.noteAuthor.size() < 1024)
            cell_.noteAuthor.append(s);
        else if (noteTextDepth_ && cell_.noteText.size() < kMaxTextBytes)
            cell_.noteText.append(s);
        return;
    }
    if (inCell_ && textDepth_ && cell_.text.size() < kMaxTextBytes) cell_.text.append(s);
}

// The characters text:s, text:tab and text:line-break stand for, while the text is within
// what a cell holds (a run of them is markup the size of a few bytes each).
void Reader::appendCharacters(std::string& to, std::string_view local, const char** atts) {
    if (to.size() >= kMaxTextBytes) return;
    if (local == "s")
        to.append(std::min<uint32_t>(count(names_.attr(atts, Ns::Text, "c")), 1024), ' ');
    else if (local == "tab")
        to += '\t';
    else if (local == "line-break")
        to += '\n';
}

// An element of a cell's note: the author (dc:creator) and the paragraphs are kept, as the
// cell's own text is.
void Reader::noteStart(Ns ns, std::string_view local, const char** atts) {
    ++noteDepth_;
    if (noteTextDepth_) {
        ++noteTextDepth_;
        if (ns == Ns::Text) appendCharacters(cell_.noteText, local, atts);
    } else if (ns == Ns::Text && (local == "p" || local == "h")) {
        if (noteParagraphs_++ > 0 && cell_.noteText.size() < kMaxTextBytes) cell_.noteText += '\n';
        noteTextDepth_ = 1;
    } else if (ns == Ns::Dc && local == "creator" && !noteAuthorDepth_) {
        noteAuthorDepth_ = noteDepth_;
    }
}

void Reader::start(xml::QName name, const char** atts) {
    if (skipDepth_) {
        ++skipDepth_;
        return;
    }
    if (atts[0] && !inCell_) names_.declare(atts);
    const Ns ns = names_.of(name.ns);
    std::string_view local = name.local;
    if (noteDepth_) {
        noteStart(ns, local, atts);
        return;
    }
    if (inCell_ && ns == Ns::Office && local == "annotation") {
        noteDepth_ = 1;
        noteAuthorDepth_ = noteTextDepth_ = noteParagraphs_ = 0;
        cell_.hasNote = true;
        const char* shown = names_.attr(atts, Ns::Office, "display");
        cell_.noteShown = shown && std::strcmp(shown, "true") == 0;
        return;
    }
    if (styleDepth_) {
        ++styleDepth_;
        styles_.start(ns, local, atts);
        return;
    }
    if (ns == Ns::Office) {
        if (local == "font-face-decls" || local == "styles" || local == "automatic-styles") {
            styleDepth_ = 1;
        } else if (local == "master-styles" || local == "scripts" || local == "forms" ||
                   local == "annotation" || local == "event-listeners") {
            skipDepth_ = 1;
        } else if (local == "body") {
            stylesDone();
        }
        return;
    }
    if (inCell_) {
        if (ns == Ns::Text) {
            if (local == "p" || local == "h") {
                if (textDepth_ == 0 && cell_.paragraphs++ > 0 && cell_.text.size() < kMaxTextBytes)
                    cell_.text += '\n';
                ++textDepth_;
            } else if (!textDepth_) {
                skipDepth_ = 1;
            } else if (local == "note" || local == "ruby-text") {
                skipDepth_ = 1;
            } else {
                // Spans, links and the characters below: their end closes them again.
                ++textDepth_;
                appendCharacters(cell_.text, local, atts);
            }
        } else {
            skipDepth_ = 1;  // shapes, frames, detective marks
        }
        return;
    }
    if (ns != Ns::Table) {
        if (ws_) skipDepth_ = 1;  // forms, shapes, kept extensions of a table
        return;
    }
    if (local == "table") {
        startTable(atts);
    } else if (local == "named-range" || local == "named-expression") {
        definedName(local == "named-range", atts);
        skipDepth_ = 1;
    } else if (!ws_) {
        if (local == "null-date") {
            const char* v = names_.attr(atts, Ns::Table, "date-value");
            wb_.date1904 = v && std::string_view(v).starts_with("1904-01-01");
        } else if (local == "database-ranges" || local == "content-validations" ||
                   local == "label-ranges" || local == "data-pilot-tables" ||
                   local == "consolidation" || local == "dde-links" || local == "tracked-changes") {
            skipDepth_ = 1;
        }
    } else if (local == "table-column") {
        column(atts);
    } else if (local == "table-row") {
        startRow(atts);
    } else if (local == "table-cell" || local == "covered-table-cell") {
        if (inRow_) startCell(local == "covered-table-cell", atts);
    } else if (local == "table-source" || local == "scenario" || local == "shapes" ||
               local == "table-template") {
        skipDepth_ = 1;
    }
    // table-header-rows, table-row-group, table-columns ... hold rows and columns as they are.
}

void Reader::end(xml::QName name) {
    if (skipDepth_) {
        --skipDepth_;
        return;
    }
    if (noteDepth_) {
        if (noteAuthorDepth_ == noteDepth_) noteAuthorDepth_ = 0;
        if (noteTextDepth_) --noteTextDepth_;
        --noteDepth_;
        return;
    }
    const Ns ns = names_.of(name.ns);
    std::string_view local = name.local;
    if (styleDepth_) {
        if (--styleDepth_ > 0) styles_.end(ns, local);
        return;
    }
    if (inCell_) {
        if (ns == Ns::Table && (local == "table-cell" || local == "covered-table-cell")) {
            endCell();
            inCell_ = false;
        } else if (ns == Ns::Text && textDepth_) {
            --textDepth_;
        }
        return;
    }
    if (ns != Ns::Table) return;
    if (local == "table-row" && inRow_) {
        endRow();
        inRow_ = false;
    } else if (local == "table" && ws_) {
        endTable();
    }
}

void Reader::startTable(const char** atts) {
    stylesDone();
    const char* name = names_.attr(atts, Ns::Table, "name");
    ws_ = &wb_.addSheet(name ? name : "Sheet" + std::to_string(wb_.sheets.size() + 1));
    if (const char* style = names_.attr(atts, Ns::Table, "style-name"))
        if (styles_.tableHidden(style)) ws_->state = SheetState::Hidden;
    row_ = 1;
    nextColumn_ = 1;
    colDefaults_.clear();
    beyondNoted_ = formatNoted_ = false;
}

// A named range or expression of the workbook, or of the table being read.
void Reader::definedName(bool range, const char** atts) {
    const char* name = names_.attr(atts, Ns::Table, "name");
    const char* what = range ? names_.attr(atts, Ns::Table, "cell-range-address")
                             : names_.attr(atts, Ns::Table, "expression");
    if (!name || !what) return;
    std::string text = range ? "of:=[" + std::string(what) + "]" : std::string(what);
    if (!range && text.find(":=") == std::string::npos && !text.starts_with("="))
        text = "of:=" + text;  // an expression written without its namespace
    auto formula = formulaToA1(text);
    if (!formula) {
        wb_.readNotes.push_back("[" + (ws_ ? ws_->name : std::string()) + "] 名称“" + name +
                                "”的引用无法转换为本程序的公式，已略过");
        return;
    }
    DefinedName d;
    d.name = name;
    d.formula = *formula;
    if (ws_) d.localSheet = uint32_t(wb_.sheets.size() - 1);
    wb_.names.push_back(std::move(d));
}

void Reader::endTable() {
    // Columns as wide as the rest of the sheet need no entry of their own.
    if (ws_->defaultColWidth)
        std::erase_if(ws_->columns, [&](const ColumnInfo& c) {
            return !c.hidden && c.style == 0 && c.width == *ws_->defaultColWidth;
        });
    ws_ = nullptr;
}

void Reader::column(const char** atts) {
    const uint32_t first = nextColumn_;
    const uint32_t repeat = count(names_.attr(atts, Ns::Table, "number-columns-repeated"));
    nextColumn_ = uint32_t(std::min<uint64_t>(uint64_t(first) + repeat, UINT32_MAX));
    if (first > kXlsxMaxCols) return;
    const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(first) + repeat - 1, kXlsxMaxCols));
    double widthPt = -1;
    if (const char* s = names_.attr(atts, Ns::Table, "style-name"))
        widthPt = styles_.columnWidth(s);
    const char* vis = names_.attr(atts, Ns::Table, "visibility");
    const bool hidden = vis && std::strcmp(vis, "visible") != 0;
    uint32_t xf = 0;
    if (const char* d = names_.attr(atts, Ns::Table, "default-cell-style-name"))
        xf = styles_.cellFormat(d);
    if (xf != 0) {
        if (colDefaults_.size() < last) colDefaults_.resize(last, 0);
        std::fill(colDefaults_.begin() + (first - 1), colDefaults_.begin() + last, xf);
    }
    // Characters as the other application counts them when it writes .xlsx: 7 points each (its
    // default column, 0.8299 in, is then the usual 8.54 characters).
    const double chars = widthPt > 0 ? std::round(std::min(widthPt / 7.0, 255.0) * 256) / 256 : 0;
    if (last == kXlsxMaxCols && !hidden && xf == 0 && last - first > 255) {
        if (chars > 0) ws_->defaultColWidth = chars;  // the rest of the sheet
        return;
    }
    if (chars <= 0 && !hidden && xf == 0) return;
    ColumnInfo ci;
    ci.first = first;
    ci.last = last;
    ci.width = chars;
    ci.customWidth = chars > 0;
    ci.hidden = hidden;
    ci.style = xf;
    ws_->columns.push_back(ci);
}

void Reader::startRow(const char** atts) {
    inRow_ = true;
    col_ = 1;
    rowObj_ = nullptr;
    rowHasValue_ = false;
    rowStyle_.reset();
    rowRepeat_ = count(names_.attr(atts, Ns::Table, "number-rows-repeated"));
    rowFormat_ = {};
    if (const char* s = names_.attr(atts, Ns::Table, "style-name"))
        rowFormat_ = styles_.rowFormat(s);
    const char* vis = names_.attr(atts, Ns::Table, "visibility");
    rowHidden_ = vis && std::strcmp(vis, "visible") != 0;
    if (const char* d = names_.attr(atts, Ns::Table, "default-cell-style-name")) {
        uint32_t xf = styles_.cellFormat(d);
        if (xf != 0) rowStyle_ = xf;
    }
    if ((++rowsSeen_ & 4095) == 0 && readStopped()) failure = kReadStopped;
}

Row& Reader::currentRow() {
    if (!rowObj_) rowObj_ = &ws_->row(row_);
    return *rowObj_;
}

bool Reader::addCell(uint32_t col, const Cell& c, const std::string* formula) {
    if (++cells_ > limits_.maxCells) {
        failure = "单元格数量超出限制。";
        return false;
    }
    Row& r = currentRow();
    r.cells.push_back(c);
    r.cells.back().col = uint16_t(col);
    if (formula) {
        Formula f;
        f.text = *formula;
        ws_->mutableFormulas()[Worksheet::key(row_, col)] = std::move(f);
    }
    return true;
}

void Reader::startCell(bool, const char** atts) {
    inCell_ = true;
    textDepth_ = 0;
    cell_ = CellRead{};
    for (const char** a = atts; *a; a += 2) {
        xml::QName q = xml::splitPrefixed(a[0]);
        const Ns ns = names_.of(q.ns);
        const char* v = a[1];
        if (ns == Ns::Table) {
            if (q.local == "number-columns-repeated")
                cell_.repeat = count(v);
            else if (q.local == "style-name")
                cell_.style = v, cell_.hasStyle = true;
            else if (q.local == "formula")
                cell_.formula = v, cell_.hasFormula = true;
            else if (q.local == "number-columns-spanned")
                cell_.colSpan = count(v);
            else if (q.local == "number-rows-spanned")
                cell_.rowSpan = count(v);
        } else if (ns == Ns::Office) {
            if (q.local == "value-type") {
                std::string_view t(v);
                cell_.type = t == "float"        ? Value::Float
                             : t == "percentage" ? Value::Percentage
                             : t == "currency"   ? Value::Currency
                             : t == "date"       ? Value::Date
                             : t == "time"       ? Value::Time
                             : t == "boolean"    ? Value::Boolean
                             : t == "string"     ? Value::String
                                                 : Value::None;
            } else if (q.local == "value") {
                auto [p, ec] = std::from_chars(v, v + std::strlen(v), cell_.number);
                if (ec != std::errc() || !std::isfinite(cell_.number)) cell_.number = 0;
            } else if (q.local == "date-value") {
                cell_.dateValue = v;
            } else if (q.local == "time-value") {
                cell_.timeValue = v;
            } else if (q.local == "boolean-value") {
                cell_.boolean = std::strcmp(v, "true") == 0 || std::strcmp(v, "1") == 0;
            } else if (q.local == "string-value") {
                cell_.stringValue = v;
                cell_.hasStringValue = true;
            }
        } else if (ns == Ns::Calcext && q.local == "value-type") {
            cell_.error = std::strcmp(v, "error") == 0;
        }
    }
}

void Reader::endCell() {
    CellRead& cr = cell_;
    const uint32_t col = col_;
    col_ = uint32_t(std::min<uint64_t>(uint64_t(col_) + cr.repeat, UINT32_MAX));
    if (row_ > kXlsxMaxRows) {
        if (cr.type != Value::None || cr.hasFormula || !cr.text.empty()) rowHasValue_ = true;
        return;
    }
    Cell c;
    std::optional<std::string> defaultCode;  // number format when the style has none
    switch (cr.type) {
        case Value::Float:
            c.type = CellType::Number;
            c.number = cr.number;
            break;
        case Value::Percentage:
            c.type = CellType::Number;
            c.number = cr.number;
            defaultCode = "0%";
            break;
        case Value::Currency:
            c.type = CellType::Number;
            c.number = cr.number;
            defaultCode = "#,##0.00";
            break;
        case Value::Date: {
            auto days = parseDateTime(cr.dateValue);
            const int64_t base =
                wb_.date1904 ? daysFromCivil(1904, 1, 1) : daysFromCivil(1899, 12, 30);
            if (!days || *days < double(base) + (wb_.date1904 ? 0 : 2)) {
                // Before the first day a serial number can show: kept as the date's text.
                c.type = CellType::String;
                c.sst = wb_.strings.add(cr.dateValue);
                break;
            }
            double serial = *days - double(base);
            // The 1900 date system counts a 29 February 1900 that never was.
            if (!wb_.date1904 && serial < 61) serial -= 1;
            c.type = CellType::Number;
            c.number = serial;
            defaultCode = serial == std::floor(serial) ? "yyyy-mm-dd" : "yyyy-mm-dd hh:mm:ss";
            break;
        }
        case Value::Time: {
            auto t = parseDuration(cr.timeValue);
            c.type = CellType::Number;
            c.number = t ? *t : cr.number;
            defaultCode = c.number >= 1 || c.number < 0 ? "[h]:mm:ss" : "hh:mm:ss";
            break;
        }
        case Value::Boolean:
            c.type = CellType::Boolean;
            c.boolean = cr.boolean;
            break;
        case Value::String:
            c.type = CellType::String;
            break;
        case Value::None:
            break;
    }
    if (cr.error) {
        auto e = parseErrorText(cr.text);
        c.type = e ? CellType::Error : CellType::String;
        if (e) c.error = *e;
    }
    if (c.type == CellType::String && cr.type != Value::Date)
        c.sst = wb_.strings.add(cr.hasStringValue && !cr.error ? cr.stringValue : cr.text);
    if (c.type == CellType::Empty && !cr.text.empty()) {  // text without a value type
        c.type = CellType::String;
        c.sst = wb_.strings.add(cr.text);
    }

    std::optional<std::string> formula;
    if (cr.hasFormula) {
        // A logical result is stored as the number 1 or 0 and shown as TRUE or FALSE.
        if (cr.type == Value::Float && (cr.number == 0 || cr.number == 1) &&
            (cr.text == "TRUE" || cr.text == "FALSE")) {
            c.type = CellType::Boolean;
            c.boolean = cr.number == 1;
        }
        formula = formulaToA1(cr.formula);
        if (formula)
            c.flags |= Cell::kHasFormula;
        else if (col <= kXlsxMaxCols)
            note(row_, col, "的公式无法转换为本程序的公式，已保留计算结果");
    }
    if (cr.hasNote && col <= kXlsxMaxCols) {
        CellNote n;
        n.row = row_;
        n.col = col;
        n.author = cr.noteAuthor;
        n.visible = cr.noteShown;
        n.textXml = "<text><t xml:space=\"preserve\">";
        xml::appendXstring(n.textXml, cr.noteText);
        n.textXml += "</t></text>";
        ws_->notes.push_back(std::move(n));
    }
    const bool hasValue = c.type != CellType::Empty || formula;
    if (!hasValue && !cr.hasStyle && cr.colSpan == 1 && cr.rowSpan == 1) return;
    if (col > kXlsxMaxCols) {
        if (hasValue && !beyondNoted_) {
            note(row_, col, "起的内容超出表格的列数上限，已略过");
            beyondNoted_ = true;
        }
        return;
    }
    const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(col) + cr.repeat - 1, kXlsxMaxCols));
    if (hasValue && uint64_t(col) + cr.repeat - 1 > kXlsxMaxCols && !beyondNoted_) {
        note(row_, kXlsxMaxCols, "以右重复的内容超出表格的列数上限，已略过");
        beyondNoted_ = true;
    }
    if (cr.colSpan > 1 || cr.rowSpan > 1) {
        CellRange m{row_, col,
                    uint32_t(std::min<uint64_t>(uint64_t(row_) + cr.rowSpan - 1, kXlsxMaxRows)),
                    uint32_t(std::min<uint64_t>(uint64_t(col) + cr.colSpan - 1, kXlsxMaxCols))};
        if (m.lastRow > m.firstRow || m.lastCol > m.firstCol) ws_->merges.push_back(m);
    }
    const uint32_t styleXf = cr.hasStyle ? styles_.cellFormat(cr.style) : 0;
    auto xfAt = [&](uint32_t cc) {
        uint32_t xf = cr.hasStyle ? styleXf : columnDefault(cc);
        if (defaultCode && styles_.isGeneral(xf)) xf = styles_.withNumberFormat(xf, *defaultCode);
        return xf;
    };
    if (hasValue) {
        rowHasValue_ = true;
        repeatedValues_ += last - col;
        if (repeatedValues_ > kRepeatedValueBudget) {
            failure =
                "重复的单元格超过 " + std::to_string(kRepeatedValueBudget) + " 个，疑似恶意文件。";
            return;
        }
        for (uint32_t cc = col; cc <= last; ++cc) {
            c.style = xfAt(cc);
            if (!addCell(cc, c, formula ? &*formula : nullptr)) return;
        }
        return;
    }
    if (!cr.hasStyle) return;
    // A blank formatted run to the sheet's last column is the row's format.
    if (last == kXlsxMaxCols && last - col > 255) {
        if (styleXf != 0) rowStyle_ = styleXf;
        return;
    }
    for (uint32_t cc = col; cc <= last; ++cc) {
        if (styleXf == columnDefault(cc)) continue;
        if (cc > col && ++repeatedFormats_ > kRepeatedFormatBudget) {
            if (!formatNoted_) note(row_, cc, "起重复的空白单元格格式过多，未能全部读取");
            formatNoted_ = true;
            break;
        }
        c.style = styleXf;
        if (!addCell(cc, c, nullptr)) return;
    }
}

void Reader::endRow() {
    const uint32_t first = row_;
    row_ = uint32_t(std::min<uint64_t>(uint64_t(row_) + rowRepeat_, UINT32_MAX));
    if (first > kXlsxMaxRows) {
        if (rowHasValue_ && !beyondNoted_) {
            note(first, 1, "起的内容超出表格的行数上限，已略过");
            beyondNoted_ = true;
        }
        return;
    }
    const bool formatted = rowFormat_.custom || rowHidden_ || rowStyle_;
    auto format = [&](Row& r) {
        if (rowFormat_.custom) {
            r.customHeight = true;
            r.height = float(std::min(rowFormat_.heightPt, 409.5));  // the most a row is
        }
        r.hidden = rowHidden_;
        if (rowStyle_) {
            r.customFormat = true;
            r.style = *rowStyle_;
        }
    };
    if (formatted) {
        if (!rowObj_) rowObj_ = &ws_->row(first);
        format(*rowObj_);
    }
    if (rowRepeat_ <= 1 || (!rowObj_ && !formatted)) return;
    const uint32_t copies = uint32_t(std::min<uint64_t>(rowRepeat_ - 1, kXlsxMaxRows - first));
    if (rowHasValue_ && copies < rowRepeat_ - 1 && !beyondNoted_) {
        note(kXlsxMaxRows, 1, "以下重复的内容超出表格的行数上限，已略过");
        beyondNoted_ = true;
    }
    const size_t perRow = rowObj_ ? rowObj_->cells.size() : 0;
    if (rowHasValue_) {
        repeatedValues_ += uint64_t(copies) * perRow;
        if (repeatedValues_ > kRepeatedValueBudget) {
            failure =
                "重复的单元格超过 " + std::to_string(kRepeatedValueBudget) + " 个，疑似恶意文件。";
            return;
        }
    } else {
        repeatedFormats_ += uint64_t(copies) * std::max<size_t>(perRow, 1);
        if (repeatedFormats_ > kRepeatedFormatBudget) {
            if (!formatNoted_)
                note(first + 1, 1,
                     "起重复的行格式过多（" + std::to_string(copies) + " 行），未能读取");
            formatNoted_ = true;
            return;
        }
    }
    cells_ += uint64_t(copies) * perRow;
    if (cells_ > limits_.maxCells) {
        failure = "单元格数量超出限制。";
        return;
    }
    const Row proto = *rowObj_;  // rowObj_ may move as rows are added
    auto& rows = ws_->mutableRows();
    auto& formulas = ws_->mutableFormulas();
    rows.reserve(rows.size() + copies);
    for (uint32_t k = 1; k <= copies; ++k) {
        rows.push_back(proto);
        rows.back().index = first + k;
        for (const Cell& c : proto.cells)
            if (c.hasFormula())
                formulas.emplace(Worksheet::key(first + k, c.col),
                                 formulas.at(Worksheet::key(first, c.col)));
    }
    rowObj_ = nullptr;
}

// Whether the package's "mimetype" entry names a spreadsheet.
bool spreadsheetMime(Package& pkg) {
    if (pkg.find("mimetype") < 0) return false;
    auto mime = pkg.readSmall("mimetype", 256);
    return mime.ok() && isSpreadsheetMime(*mime);
}

// The active table and frozen panes of settings.xml. They are views only: a settings part
// that cannot be read leaves the workbook as it is.
void applyViewSettings(Package& pkg, const ReadLimits& limits, Workbook& wb) {
    if (pkg.find("settings.xml") < 0) return;
    ViewSettings views;
    SettingsReader reader(views);
    xml::StreamParser parser(reader, false);
    bool ok = true;
    Status st = pkg.stream("settings.xml", std::min<uint64_t>(limits.maxPartBytes, 64u << 20),
                           [&](const char* p, size_t n) { return ok = parser.feed(p, n, false); });
    if (!st.ok() || !ok || !parser.feed(nullptr, 0, true)) return;
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        Worksheet& ws = *wb.sheets[i];
        if (ws.name == views.activeTable && ws.state == SheetState::Visible) wb.activeSheet = i;
        auto it = views.tables.find(ws.name);
        if (it == views.tables.end()) continue;
        ws.frozenRows = std::min(it->second.frozenRows, kXlsxMaxRows - 1);
        ws.frozenCols = std::min(it->second.frozenCols, kXlsxMaxCols - 1);
    }
}

Result<std::unique_ptr<Workbook>> readPackage(Package& pkg, const ReadLimits& limits) {
    if (pkg.find("content.xml") < 0) return fail("缺少 content.xml，不是 OpenDocument 电子表格。");
    if (!spreadsheetMime(pkg)) return fail("这是其他 OpenDocument 文档（不是电子表格）。");
    if (pkg.find("META-INF/manifest.xml") >= 0) {
        auto manifest = pkg.readSmall("META-INF/manifest.xml", uint64_t(4) << 20);
        if (manifest.ok() && manifest->find("encryption-data") != std::string::npos)
            return fail("工作簿已加密（设有打开密码），请先在表格软件中取消密码。");
    }
    auto wb = std::make_unique<Workbook>();
    Reader reader(*wb, limits);
    for (const char* part : {"styles.xml", "content.xml"}) {
        if (pkg.find(part) < 0) continue;
        xml::StreamParser parser(reader, false);
        bool ok = true;
        Status st = pkg.stream(part, limits.maxPartBytes, [&](const char* p, size_t n) {
            ok = parser.feed(p, n, false);
            return ok;
        });
        if (!st.ok()) return st.error();
        if (ok) ok = parser.feed(nullptr, 0, true);
        if (!ok) {
            std::string why = parser.reason();
            if (why == kReadStopped) return fail(why);
            return fail("部件 " + std::string(part) + " " + why);
        }
    }
    reader.stylesDone();
    if (wb->sheets.empty()) return fail("工作簿中没有任何工作表。");
    applyViewSettings(pkg, limits, *wb);
    return wb;
}

template <class Read>
Result<std::unique_ptr<Workbook>> guarded(Read&& read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return fail("内存不足。");
    } catch (const std::exception& e) {
        return fail("读取时出错（" + std::string(e.what()) + "）。");
    }
}

}  // namespace

}  // namespace ods

Result<std::unique_ptr<Workbook>> readOdsMemory(const void* data, size_t size,
                                                const ReadLimits& limits) {
    return ods::guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        auto pkg = ods::Package::openMemory(data, size, limits);
        if (!pkg.ok()) return pkg.error();
        return ods::readPackage(**pkg, limits);
    });
}

Result<std::unique_ptr<Workbook>> readOds(const std::filesystem::path& path,
                                          const ReadLimits& limits) {
    auto wb = ods::guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        auto pkg = ods::Package::open(path, limits);
        if (!pkg.ok()) return pkg.error();
        return ods::readPackage(**pkg, limits);
    });
    if (!wb.ok()) return fail("无法打开文件 " + path.string() + "：" + wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

bool isOdsPackage(const std::filesystem::path& path) {
    try {
        auto pkg = ods::Package::open(path, ReadLimits{});
        if (!pkg.ok()) return false;
        const char* first = zip_get_name((*pkg)->zip(), 0, 0);
        const bool mimeFirst = first && std::strcmp(first, "mimetype") == 0;
        if (!mimeFirst && (*pkg)->find("content.xml") < 0) return false;
        return ods::spreadsheetMime(**pkg);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace ss
