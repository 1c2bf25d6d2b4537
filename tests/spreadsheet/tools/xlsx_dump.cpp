// Prints a workbook as JSON for the interop scripts: sheets, cell values with their number
// formats, formulas, merged ranges, column widths and row heights.
//   xlsx_dump <file>                 dump
//   xlsx_dump <file> --write <out>   read, then write <out> (round trip); exit 1 on error
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/xlsx.h"

namespace {

std::string json(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

std::string num(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xlsx_dump <file> [--write <out>]\n");
        return 2;
    }
    auto wb = ss::openWorkbook(argv[1]);
    if (!wb.ok()) {
        std::printf("{\"error\": %s}\n", json(wb.message()).c_str());
        return 1;
    }
    if (argc == 4 && std::strcmp(argv[2], "--write") == 0) {
        std::string out = argv[3];
        bool macro = out.size() > 5 && out.substr(out.size() - 5) == ".xlsm";
        bool xls = out.size() > 4 && out.substr(out.size() - 4) == ".xls";
        auto st = ss::saveWorkbook(**wb, out,
                                   xls     ? ss::FileFormat::Xls
                                   : macro ? ss::FileFormat::Xlsm
                                           : ss::FileFormat::Xlsx);
        if (!st.ok()) {
            std::fprintf(stderr, "%s\n", st.message().c_str());
            return 1;
        }
        return 0;
    }
    const ss::Workbook& w = **wb;
    std::string o = "{\"date1904\": ";
    o += w.date1904 ? "true" : "false";
    o += ", \"sheets\": [";
    for (size_t si = 0; si < w.sheets.size(); ++si) {
        const ss::Worksheet& ws = *w.sheets[si];
        if (si) o += ", ";
        o += "{\"name\": " + json(ws.name) + ", \"state\": " + std::to_string(int(ws.state)) +
             ", \"kind\": " + std::to_string(int(ws.kind)) + ", \"cells\": [";
        bool first = true;
        for (const ss::Row& r : ws.rows()) {
            for (const ss::Cell& c : r.cells) {
                if (!first) o += ", ";
                first = false;
                o += "[" + std::to_string(r.index) + ", " + std::to_string(c.col) + ", ";
                switch (c.type) {
                    case ss::CellType::Empty:
                        o += "\"empty\", null";
                        break;
                    case ss::CellType::Number:
                        o += "\"n\", " + num(c.number);
                        break;
                    case ss::CellType::String:
                        o += "\"s\", " + json(w.strings.text(c.sst));
                        break;
                    case ss::CellType::Boolean:
                        o += std::string("\"b\", ") + (c.boolean ? "true" : "false");
                        break;
                    case ss::CellType::Error:
                        o += "\"e\", " + json(ss::errorText(c.error));
                        break;
                }
                const ss::Formula* f = c.hasFormula() ? ws.formula(r.index, c.col) : nullptr;
                o += ", " + (f ? json(f->text) : std::string("null"));
                uint32_t fmt =
                    c.style < w.styles.cellXfs.size() ? w.styles.cellXfs[c.style].numFmtId : 0;
                o += ", " + json(w.styles.numberFormatCode(fmt)) + "]";
            }
        }
        o += "], \"merges\": [";
        for (size_t i = 0; i < ws.merges.size(); ++i)
            o += (i ? ", " : "") + json(ws.merges[i].toA1());
        o += "], \"notes\": [";
        for (size_t i = 0; i < ws.notes.size(); ++i) {
            const auto& n = ws.notes[i];
            o += std::string(i ? ", " : "") + "[" + std::to_string(n.row) + ", " +
                 std::to_string(n.col) + ", " + json(n.author) + ", " + json(n.textXml) + "]";
        }
        o += "], \"cols\": [";
        for (size_t i = 0; i < ws.columns.size(); ++i) {
            const auto& c = ws.columns[i];
            o += std::string(i ? ", " : "") + "[" + std::to_string(c.first) + ", " +
                 std::to_string(c.last) + ", " + num(c.width) + "]";
        }
        o += "], \"rows\": [";
        first = true;
        for (const ss::Row& r : ws.rows()) {
            if (!r.customHeight) continue;
            o += std::string(first ? "" : ", ") + "[" + std::to_string(r.index) + ", " +
                 num(r.height) + "]";
            first = false;
        }
        o += "]}";
    }
    o += "]}\n";
    std::fwrite(o.data(), 1, o.size(), stdout);
    return 0;
}
