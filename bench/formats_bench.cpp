// Reading what offices receive besides .xlsx: 100 web-page exports (an HTML table under an
// ".xls" name, as banks and ERP systems write them) and 100 OpenDocument spreadsheets of
// 5,000 rows x 12 columns, beside the .xlsx read of the same data. Every file goes through
// ss::openWorkbook, which decides by content, as the jobs do.
//   formats_bench [dir] [count] [rows]
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/text/xml_text.h"

namespace fs = std::filesystem;

namespace {

bool isDateText(const std::string& t) {
    return t.size() == 10 && t[4] == '-' && t[7] == '-' &&
           std::all_of(t.begin(), t.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

// An export as such systems write it: one table, the IDs marked as text with the office
// number format, dates and numbers as shown.
std::string htmlOf(const ss::Workbook& wb) {
    std::string out =
        "<html xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n<head><meta "
        "http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n<style>.t "
        "{mso-number-format:\"\\@\";}</style></head>\n<body><table border=\"1\">\n";
    for (const ss::Row& r : wb.sheets[0]->rows()) {
        out += "<tr>";
        uint32_t col = 1;
        for (const ss::Cell& c : r.cells) {
            for (; col < c.col; ++col) out += "<td></td>";
            const std::string t = wb.cellText(c);
            const bool text =
                c.type == ss::CellType::String && !t.empty() && t.size() > 15 &&
                std::all_of(t.begin(), t.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
            out += text ? "<td class=\"t\">" : r.index == 1 ? "<td><b>" : "<td>";
            out += ss::xml::escaped(t, false);
            out += r.index == 1 ? "</b></td>" : "</td>";
            ++col;
        }
        out += "</tr>\n";
    }
    out += "</table></body></html>\n";
    return out;
}

std::string odsContentOf(const ss::Workbook& wb) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.3\">"
        "<office:body><office:spreadsheet><table:table table:name=\"Sheet1\">";
    for (const ss::Row& r : wb.sheets[0]->rows()) {
        out += "<table:table-row>";
        uint32_t col = 1;
        for (const ss::Cell& c : r.cells) {
            if (c.col > col)
                out += "<table:table-cell table:number-columns-repeated=\"" +
                       std::to_string(c.col - col) + "\"/>";
            col = c.col + 1;
            const std::string t = wb.cellText(c);
            if (c.type == ss::CellType::Number && isDateText(t)) {
                out += "<table:table-cell office:value-type=\"date\" office:date-value=\"" + t +
                       "\"><text:p>" + t + "</text:p></table:table-cell>";
            } else if (c.type == ss::CellType::Number) {
                char v[32];
                std::snprintf(v, sizeof v, "%.17g", c.number);
                out +=
                    std::string("<table:table-cell office:value-type=\"float\" office:value=\"") +
                    v + "\"><text:p>" + t + "</text:p></table:table-cell>";
            } else {
                out += "<table:table-cell office:value-type=\"string\"><text:p>" +
                       ss::xml::escaped(t, false) + "</text:p></table:table-cell>";
            }
        }
        out += "</table:table-row>";
    }
    out += "</table:table></office:spreadsheet></office:body></office:document-content>";
    return out;
}

bool writeOds(const fs::path& path, const std::string& content) {
    static const std::string mimetype = "application/vnd.oasis.opendocument.spreadsheet";
    static const std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
        "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
        "manifest:version=\"1.3\"><manifest:file-entry manifest:full-path=\"/\" "
        "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>"
        "<manifest:file-entry manifest:full-path=\"content.xml\" "
        "manifest:media-type=\"text/xml\"/></manifest:manifest>";
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z) return false;
    auto add = [&](const char* name, const std::string& bytes, bool store) {
        zip_source_t* s = zip_source_buffer(z, bytes.data(), bytes.size(), 0);
        if (!s) return false;
        zip_int64_t i = zip_file_add(z, name, s, ZIP_FL_OVERWRITE);
        if (i < 0) {
            zip_source_free(s);
            return false;
        }
        return zip_set_file_compression(z, zip_uint64_t(i), store ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                        store ? 0 : 6) == 0;
    };
    bool ok = add("mimetype", mimetype, true) && add("META-INF/manifest.xml", manifest, false) &&
              add("content.xml", content, false);
    if (!ok) {
        zip_discard(z);
        return false;
    }
    return zip_close(z) == 0;
}

// Best of three reads of every file, in seconds, or a negative value when one fails.
double readAll(const std::vector<fs::path>& files, size_t& cells) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        cells = 0;
        const double t = bench::now();
        for (const fs::path& f : files) {
            auto wb = ss::openWorkbook(f);
            if (!wb.ok()) {
                std::fprintf(stderr, "%s\n", wb.message().c_str());
                return -1;
            }
            for (const ss::Row& r : wb.value()->sheets[0]->rows()) cells += r.cells.size();
        }
        best = std::min(best, bench::now() - t);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = argc > 1 ? argv[1] : fs::temp_directory_path() / "tw-bench-formats";
    const int count = argc > 2 ? std::atoi(argv[2]) : 100;
    const uint32_t rows = argc > 3 ? uint32_t(std::atol(argv[3])) : 5000, cols = 12;
    fs::create_directories(dir);
    std::string error;
    const std::vector<fs::path> xlsx =
        bench::writeBenchCorpus(dir / "xlsx", count, rows, cols, error);
    if (xlsx.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<fs::path> html, ods;
    fs::create_directories(dir / "html");
    fs::create_directories(dir / "ods");
    for (int i = 1; i <= count; ++i) {
        auto wb = bench::generateBenchWorkbook(rows, cols, uint64_t(i));
        char name[32];
        std::snprintf(name, sizeof name, "bench_%04d", i);
        html.push_back(dir / "html" / (std::string(name) + ".xls"));
        std::ofstream(html.back(), std::ios::binary) << htmlOf(*wb);
        ods.push_back(dir / "ods" / (std::string(name) + ".ods"));
        if (!writeOds(ods.back(), odsContentOf(*wb))) {
            std::fprintf(stderr, "cannot write %s\n", ods.back().c_str());
            return 1;
        }
    }
    size_t cells[3] = {};
    const double tx = readAll(xlsx, cells[0]);
    const double th = readAll(html, cells[1]);
    const double to = readAll(ods, cells[2]);
    if (tx < 0 || th < 0 || to < 0) return 1;
    std::printf(
        "%d workbooks of %u x %u, read through openWorkbook, best of three (goal: within "
        "2x of .xlsx)\n",
        count, rows, cols);
    std::printf("  .xlsx             %8.3f s  %zu cells\n", tx, cells[0]);
    std::printf("  HTML as .xls      %8.3f s  %zu cells  %5.2fx\n", th, cells[1], th / tx);
    std::printf("  OpenDocument .ods %8.3f s  %zu cells  %5.2fx\n", to, cells[2], to / tx);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
