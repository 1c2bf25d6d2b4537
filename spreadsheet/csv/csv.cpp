#include "csv.h"

#include <fstream>
#include <system_error>

#include "../read_stop.h"
#include "../text/codepage.h"
#include "../text/value_text.h"

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
        text::TypedValue v = text::typeValue(field);
        if (v.kind == text::TypedValue::Kind::Number) {
            c.type = CellType::Number;
            c.number = v.number;
            if (v.numFmtId != 0) c.style = style(v.numFmtId);
        } else if (v.kind == text::TypedValue::Kind::Boolean) {
            c.type = CellType::Boolean;
            c.boolean = v.number != 0;
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
