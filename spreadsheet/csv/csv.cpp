#include "csv.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <system_error>

#include "../read_stop.h"
#include "../text/codepage.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

std::string openError(const fs::path& path, const std::string& reason) {
    return "无法打开文件 " + path.string() + "：" + reason;
}

// Text of the file as UTF-8: a byte-order mark decides; otherwise valid UTF-8 is taken as it
// is, and anything else is read as GB18030 (a superset of GBK).
std::optional<std::string> decode(std::string bytes) {
    auto starts = [&](std::initializer_list<unsigned char> bom) {
        if (bytes.size() < bom.size()) return false;
        size_t i = 0;
        for (unsigned char b : bom)
            if (static_cast<unsigned char>(bytes[i++]) != b) return false;
        return true;
    };
    if (starts({0xEF, 0xBB, 0xBF})) return bytes.substr(3);
    if (starts({0xFF, 0xFE})) return text::utf16ToUtf8(std::string_view(bytes).substr(2), false);
    if (starts({0xFE, 0xFF})) return text::utf16ToUtf8(std::string_view(bytes).substr(2), true);
    if (text::isValidUtf8(bytes)) return bytes;
    return text::toUtf8(bytes, "GB18030");
}

// The separator: a comma, unless the first line (outside quotes) has more semicolons or tabs
// than commas (a semicolon list with decimal commas, a tab-separated export).
char detectSeparator(std::string_view s) {
    size_t commas = 0, semis = 0, tabs = 0;
    bool quoted = false;
    for (char c : s) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;
        if (c == ',') ++commas;
        if (c == ';') ++semis;
        if (c == '\t') ++tabs;
    }
    if (commas >= semis && commas >= tabs) return ',';
    return tabs >= semis ? '\t' : ';';
}

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468 + 25569;  // 25569: 1899-12-30 .. 1970-01-01
}

bool readUInt(std::string_view s, size_t& i, size_t minDigits, size_t maxDigits, unsigned& out) {
    size_t start = i;
    unsigned v = 0;
    while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9')
        v = v * 10 + unsigned(s[i++] - '0');
    if (i - start < minDigits) return false;
    out = v;
    return true;
}

// "h:mm" or "h:mm:ss" from position i to the end; the day fraction.
bool parseTime(std::string_view s, size_t i, double& frac, bool& seconds) {
    unsigned h, m, sec = 0;
    if (!readUInt(s, i, 1, 2, h) || i >= s.size() || s[i++] != ':' || !readUInt(s, i, 2, 2, m))
        return false;
    seconds = false;
    if (i < s.size()) {
        if (s[i++] != ':' || !readUInt(s, i, 2, 2, sec) || i != s.size()) return false;
        seconds = true;
    }
    if (h > 23 || m > 59 || sec > 59) return false;
    frac = (h * 3600.0 + m * 60.0 + sec) / 86400.0;
    return true;
}

// 2024-01-05, 2024/1/5, optionally followed by a time; the serial number in the 1900 system.
bool parseDate(std::string_view s, double& serial, bool& hasTime) {
    size_t i = 0;
    unsigned y, m, d;
    if (!readUInt(s, i, 4, 4, y) || i >= s.size()) return false;
    char sep = s[i++];
    if (sep != '-' && sep != '/') return false;
    if (!readUInt(s, i, 1, 2, m) || i >= s.size() || s[i++] != sep || !readUInt(s, i, 1, 2, d))
        return false;
    if (y < 1900 || m < 1 || m > 12 || d < 1) return false;
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[m - 1] + (m == 2 && leap)) return false;
    int64_t days = daysFromCivil(y, m, d);
    if (days < 61) days -= 1;  // before 1900-03-01 the 1900 system has no phantom leap day yet
    serial = double(days);
    hasTime = false;
    if (i == s.size()) return true;
    if (s[i] != ' ') return false;
    while (i < s.size() && s[i] == ' ') ++i;
    double frac;
    bool sec;
    if (!parseTime(s, i, frac, sec)) return false;
    serial += frac;
    hasTime = true;
    return true;
}

enum class NumberKind { None, Plain, Grouped, Percent };

struct ParsedNumber {
    NumberKind kind = NumberKind::None;
    double value = 0;
    bool decimals = false;
};

// A decimal number as a person types it: sign, digits (optionally grouped by commas in threes),
// a fraction, an exponent, a trailing percent sign. Leading zeros (00123) and more than 15
// significant digits are not numbers here: they stay text so that nothing is lost.
ParsedNumber parseNumber(std::string_view s) {
    ParsedNumber r;
    size_t i = 0, n = s.size();
    if (n == 0) return r;
    bool percent = s[n - 1] == '%';
    if (percent) --n;
    std::string clean;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') clean += '-';
        ++i;
    }
    size_t intStart = i, intDigits = 0, significant = 0;
    bool grouped = false, seenNonZero = false;
    size_t groupLen = 0;
    for (; i < n; ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            clean += c;
            ++intDigits;
            ++groupLen;
            if (c != '0') seenNonZero = true;
            if (seenNonZero) ++significant;
        } else if (c == ',' && intDigits > 0 && (!grouped ? groupLen <= 3 : groupLen == 3)) {
            grouped = true;
            groupLen = 0;
        } else {
            break;
        }
    }
    if (grouped && groupLen != 3) return r;
    if (intDigits > 1 && s[intStart] == '0') return r;  // leading zeros: an identifier
    size_t fracDigits = 0;
    if (i < n && s[i] == '.') {
        clean += '.';
        for (++i; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
            clean += s[i];
            ++fracDigits;
            if (s[i] != '0') seenNonZero = true;
            if (seenNonZero) ++significant;
        }
    }
    if (intDigits + fracDigits == 0) return r;
    if (i < n && (s[i] == 'e' || s[i] == 'E') && !grouped) {
        clean += 'e';
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) clean += s[i++];
        size_t expDigits = 0;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, ++expDigits) clean += s[i];
        if (expDigits == 0) return r;
    }
    if (i != n) return r;
    if (significant > 15) return r;  // would be rounded: keep the digits as text
    double v = 0;
    auto res = std::from_chars(clean.data(), clean.data() + clean.size(), v);
    if (res.ec != std::errc() || res.ptr != clean.data() + clean.size() || !std::isfinite(v))
        return r;
    r.value = percent ? v / 100.0 : v;
    r.decimals = fracDigits > 0;
    r.kind = percent ? NumberKind::Percent : grouped ? NumberKind::Grouped : NumberKind::Plain;
    return r;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Sheet name from the file's base name: characters a sheet name cannot hold become "_", and the
// name is kept within 31 characters.
std::string sheetNameFor(const fs::path& path) {
    std::string stem = path.stem().string();
    std::string out;
    for (char c : stem) {
        if (c == '[' || c == ']' || c == ':' || c == '*' || c == '?' || c == '/' || c == '\\')
            out += '_';
        else
            out += c;
    }
    if (!out.empty() && out.front() == '\'') out.front() = '_';
    if (!out.empty() && out.back() == '\'') out.back() = '_';
    // Cut at a character boundary after 31 UTF-16 units.
    size_t units = 0, i = 0;
    while (i < out.size()) {
        auto c = static_cast<unsigned char>(out[i]);
        size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        size_t w = len == 4 ? 2 : 1;
        if (units + w > 31) break;
        units += w;
        i += len;
    }
    out.resize(std::min(i, out.size()));
    return out.empty() ? "Sheet1" : out;
}

class CellTyper {
public:
    explicit CellTyper(Workbook& wb) : wb_(wb) {}

    void put(Row& row, uint32_t col, std::string_view field) {
        if (field.empty()) return;
        Cell c;
        c.col = uint16_t(col);
        ParsedNumber num = parseNumber(field);
        double serial;
        bool hasTime;
        if (num.kind != NumberKind::None) {
            c.type = CellType::Number;
            c.number = num.value;
            if (num.kind == NumberKind::Percent) c.style = style(num.decimals ? 10 : 9);
            if (num.kind == NumberKind::Grouped) c.style = style(num.decimals ? 4 : 3);
        } else if ((field[0] >= '0' && field[0] <= '9') && parseDate(field, serial, hasTime)) {
            c.type = CellType::Number;
            c.number = serial;
            c.style = style(hasTime ? 22 : 14);
        } else if (bool sec;
                   field[0] >= '0' && field[0] <= '9' && parseTime(field, 0, serial, sec)) {
            c.type = CellType::Number;
            c.number = serial;
            c.style = style(sec ? 21 : 20);
        } else if (equalsNoCase(field, "TRUE") || equalsNoCase(field, "FALSE")) {
            c.type = CellType::Boolean;
            c.boolean = field.size() == 4;
        } else if (auto e = field[0] == '#' ? parseErrorText(field) : std::nullopt) {
            c.type = CellType::Error;
            c.error = *e;
        } else {
            c.type = CellType::String;
            c.number = 0;
            c.sst = wb_.strings.add(field);
        }
        row.cells.push_back(c);
    }

private:
    uint32_t style(uint32_t numFmtId) {
        uint32_t& slot = cache_[numFmtId];
        if (slot == 0) {
            CellFormat xf;
            xf.numFmtId = numFmtId;
            xf.applyNumberFormat = true;
            slot = wb_.styles.internCellFormat(xf);
        }
        return slot;
    }

    Workbook& wb_;
    uint32_t cache_[32] = {};
};

}  // namespace

Result<std::unique_ptr<Workbook>> readCsv(const fs::path& path, const ReadLimits& limits) {
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) return fail(openError(path, "文件不存在或没有读取权限。"));
    if (size > limits.maxPartBytes) return fail(openError(path, "文件太大。"));
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(openError(path, "文件不存在或没有读取权限。"));
    std::string bytes(size, '\0');
    in.read(bytes.data(), std::streamsize(size));
    if (uint64_t(in.gcount()) != size) return fail(openError(path, "读取文件时出错。"));
    in.close();

    auto decoded = decode(std::move(bytes));
    if (!decoded) return fail(openError(path, "无法识别文件的文字编码。"));
    const std::string& s = *decoded;

    auto wb = std::make_unique<Workbook>();
    wb->sourcePath = path.string();
    Worksheet& ws = wb->addSheet(sheetNameFor(path));
    CellTyper typer(*wb);
    const char sep = detectSeparator(s);

    std::string field;
    // A field is kept only up to a little past what a cell holds (fitReadWorkbook cuts it at
    // the limit and names the cell), so that one endless line cannot take memory by itself.
    constexpr size_t kFieldCap = 3 * kMaxCellTextUnits + 4;
    auto keep = [&](size_t from, size_t len) {
        if (field.size() < kFieldCap)
            field.append(s, from, std::min(len, kFieldCap - field.size()));
    };
    uint32_t rowIndex = 1, col = 1;
    uint64_t cells = 0;
    Row* row = nullptr;
    auto endField = [&]() -> bool {
        if (!field.empty()) {
            if (col > kXlsxMaxCols || rowIndex > kXlsxMaxRows) return false;
            if (!row) row = &ws.row(rowIndex);
            typer.put(*row, col, field);
            ++cells;
        }
        field.clear();
        ++col;
        return true;
    };
    auto endRecord = [&] {
        ++rowIndex;
        col = 1;
        row = nullptr;
    };
    const std::string tooBig = "内容超出工作表的大小（1,048,576 行、16,384 列）。";

    size_t i = 0, n = s.size();
    bool recordOpen = false;  // something (even an empty field) was read on the current line
    bool fieldStart = true;
    while (i < n) {
        char c = s[i];
        if (c == '"' && fieldStart) {
            fieldStart = false;
            // Quoted field: doubled quotes stand for one; anything after the closing quote up
            // to the separator is kept as it is.
            ++i;
            for (;;) {
                size_t q = s.find('"', i);
                if (q == std::string::npos) {
                    keep(i, n - i);
                    i = n;
                    break;
                }
                keep(i, q - i);
                if (q + 1 < n && s[q + 1] == '"') {
                    keep(q, 1);
                    i = q + 2;
                } else {
                    i = q + 1;
                    break;
                }
            }
            recordOpen = true;
            continue;
        }
        if (c == sep) {
            if (!endField()) return fail(openError(path, tooBig));
            recordOpen = true;
            fieldStart = true;
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (!endField()) return fail(openError(path, tooBig));
            endRecord();
            recordOpen = false;
            fieldStart = true;
            i += (c == '\r' && i + 1 < n && s[i + 1] == '\n') ? 2 : 1;
            if (cells > limits.maxCells) return fail(openError(path, "单元格数量超出限制。"));
            if ((rowIndex & 4095) == 0 && readStopped()) return fail(kReadStopped);
            continue;
        }
        size_t stop = i;
        while (stop < n && s[stop] != sep && s[stop] != '\r' && s[stop] != '\n') ++stop;
        keep(i, stop - i);
        i = stop;
        recordOpen = true;
        fieldStart = false;
    }
    if (recordOpen && !endField()) return fail(openError(path, tooBig));
    if (cells > limits.maxCells) return fail(openError(path, "单元格数量超出限制。"));
    return wb;
}

}  // namespace ss
