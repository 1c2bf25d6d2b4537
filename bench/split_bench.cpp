// Speed of the split jobs on one sheet of many rows (200,000 x 12 by default):
//   - classification by a column with 100 and with 5,000 distinct values, row by row and with the
//     filter, one workbook per value;
//   - even split into blocks of 10,000 rows.
// Each is printed beside the least work the job has to do: reading the source once and writing
// the same outputs straight from the workbook model.
//
//   split_bench [ROWS]
//
// It also runs one split job on a workbook of your own, printing the job's texts:
//   split_bench run sheets SOURCE [--xls]
//   split_bench run rows SOURCE FOLDER ROWS [--header N] [--last-column N]
//   split_bench run column SOURCE FOLDER KEY [--values a|b] [--names x|y] [--header N]
//                          [--last-column N] [--full-match] [--one-workbook] [--filter]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "jobs/jobs.h"
#include "spreadsheet/io.h"
#include "spreadsheet/workbook.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kColumns = 12;
constexpr uint32_t kKey100 = 2, kKey5000 = 3;  // key columns with 100 and 5,000 distinct texts

class PrintingHost : public JobHost {
public:
    void text(const std::string& message) override {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return std::nullopt;
    }
};

std::vector<std::string> splitAtBar(const std::string& text) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t bar; (bar = text.find('|', from)) != std::string::npos; from = bar + 1)
        parts.push_back(text.substr(from, bar - from));
    parts.push_back(text.substr(from));
    return parts;
}

int runOne(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string job = argv[2], source = argv[3];
    JobOptions o;
    int rest = 4;
    if (job == "rows" || job == "column") {
        if (argc < 6) return 2;
        o.splitSaveDir = std::string(argv[4]) + "/";
        if (job == "rows")
            o.rowsPerWorkbook = std::atoi(argv[5]);
        else
            o.classifyColumn = std::atoi(argv[5]);
        rest = 6;
    }
    for (int i = rest; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--xls") {
            o.splitAsXlsx = false;
        } else if (a == "--header") {
            o.evenHeaderRows = o.classifyHeaderRows = true;
            o.evenHeaderRowCount = o.classifyHeaderRowCount = std::atoi(v), ++i;
        } else if (a == "--last-column") {
            o.evenLastColumnSet = o.classifyLastColumnSet = true;
            o.evenLastColumn = o.classifyLastColumn = std::atoi(v), ++i;
        } else if (a == "--values") {
            o.classifyValues = splitAtBar(v), ++i;
        } else if (a == "--names") {
            o.classifyFileNames = splitAtBar(v), ++i;
        } else if (a == "--one-workbook") {
            o.toOneWorkbook = true;
        } else if (a == "--filter") {
            o.highSpeedMode = true;
        } else if (a == "--full-match") {
            o.fullMatch = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!o.classifyValues.empty() && o.classifyFileNames.empty())
        o.classifyFileNames = o.classifyValues;
    PrintingHost host;
    if (job == "sheets")
        ExcelFileSplitJob(source, o, host);
    else if (job == "rows")
        TransformAverageJob(source, o, host);
    else if (job == "column")
        TransformJob(source, o, host);
    else
        return 2;
    return 0;
}

class QuietHost : public JobHost {
public:
    void text(const std::string& message) override { last = message; }
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return std::nullopt;
    }
    std::string last;
};

double seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A sales-like table: a bold, filled header; two key columns; amounts with a number format;
// dates; free text.
void makeSource(const fs::path& path, uint32_t rows) {
    ss::Workbook wb;
    ss::Worksheet& s = wb.addSheet("数据");
    ss::Font bold;
    bold.bold = true;
    ss::Fill fill;
    fill.patternType = "solid";
    fill.fg = ss::Color::rgb(0xFFDDEBF7);
    ss::CellFormat headerXf;
    headerXf.fontId = wb.styles.internFont(bold);
    headerXf.fillId = wb.styles.internFill(fill);
    headerXf.applyFont = headerXf.applyFill = true;
    uint32_t headerStyle = wb.styles.internCellFormat(headerXf);
    ss::CellFormat amountXf;
    amountXf.numFmtId = wb.styles.internNumberFormat("#,##0.00");
    amountXf.applyNumberFormat = true;
    uint32_t amountStyle = wb.styles.internCellFormat(amountXf);
    ss::CellFormat dateXf;
    dateXf.numFmtId = wb.styles.internNumberFormat("yyyy-mm-dd");
    dateXf.applyNumberFormat = true;
    uint32_t dateStyle = wb.styles.internCellFormat(dateXf);

    const char* titles[kColumns] = {"编号", "地区", "客户", "日期", "产品", "数量",
                                    "单价", "金额", "成本", "利润", "备注", "经办人"};
    for (uint32_t c = 1; c <= kColumns; ++c)
        s.setString(1, c, wb.strings.add(titles[c - 1]), headerStyle);
    uint64_t x = 88172645463325252ull;
    auto next = [&] {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return x;
    };
    for (uint32_t r = 2; r <= rows + 1; ++r) {
        s.setNumber(r, 1, r - 1);
        s.setString(r, kKey100, wb.strings.add("地区" + std::to_string(next() % 100)));
        s.setString(r, kKey5000, wb.strings.add("客户" + std::to_string(next() % 5000)));
        s.setNumber(r, 4, 45000 + double(next() % 730), dateStyle);
        s.setString(r, 5, wb.strings.add("产品" + std::to_string(next() % 300)));
        double qty = double(next() % 100 + 1), price = double(next() % 100000) / 100;
        s.setNumber(r, 6, qty);
        s.setNumber(r, 7, price, amountStyle);
        s.setNumber(r, 8, qty * price, amountStyle);
        s.setNumber(r, 9, qty * price * 0.7, amountStyle);
        s.setNumber(r, 10, qty * price * 0.3, amountStyle);
        s.setString(r, 11, wb.strings.add("备注" + std::to_string(next() % 1000)));
        s.setString(r, 12, wb.strings.add("经办人" + std::to_string(next() % 50)));
    }
    auto st = ss::saveWorkbook(wb, path, ss::FileFormat::Xlsx);
    if (!st.ok()) {
        std::fprintf(stderr, "cannot write the source: %s\n", st.message().c_str());
        std::exit(1);
    }
}

// The least work of a split: the source read once, and every group of rows (header first)
// written as a workbook of its own straight from the model, styles carried over.
double referenceSeconds(const fs::path& source, const fs::path& outDir,
                        const std::function<std::vector<std::vector<uint32_t>>(
                            const ss::Workbook&, const ss::Worksheet&)>& groupsOf) {
    fs::remove_all(outDir);
    fs::create_directories(outDir);
    return seconds([&] {
        auto opened = ss::openWorkbook(source);
        if (!opened.ok()) std::exit(1);
        const ss::Workbook& src = *opened.value();
        const ss::Worksheet& sheet = *src.sheets[0];
        auto groups = groupsOf(src, sheet);
        for (size_t g = 0; g < groups.size(); ++g) {
            ss::Workbook out;
            out.styles = src.styles;
            ss::Worksheet& o = out.addSheet("Sheet1");
            uint32_t at = 1;
            auto copyRow = [&](uint32_t r) {
                const ss::Row* row = sheet.findRow(r);
                if (row)
                    for (const ss::Cell& c : row->cells) {
                        if (c.type == ss::CellType::String)
                            o.setString(at, c.col, out.strings.add(src.strings.text(c.sst)),
                                        c.style);
                        else
                            o.setNumber(at, c.col, c.number, c.style);
                    }
                ++at;
            };
            copyRow(1);
            for (uint32_t r : groups[g]) copyRow(r);
            auto st =
                ss::saveWorkbook(out, outDir / (std::to_string(g) + ".xlsx"), ss::FileFormat::Xlsx);
            if (!st.ok()) std::exit(1);
        }
    });
}

std::vector<std::vector<uint32_t>> byKey(const ss::Workbook& wb, const ss::Worksheet& sheet,
                                         uint32_t column) {
    std::unordered_map<std::string, size_t> at;
    std::vector<std::vector<uint32_t>> groups;
    for (const ss::Row& row : sheet.rows()) {
        if (row.index == 1) continue;
        const ss::Cell* c = sheet.find(row.index, column);
        std::string key = c ? wb.cellText(*c) : "";
        auto [it, added] = at.try_emplace(key, groups.size());
        if (added) groups.emplace_back();
        groups[it->second].push_back(row.index);
    }
    return groups;
}

size_t countFiles(const fs::path& dir) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file();
    return n;
}

// Whether an output kept the header's bold font and the amount column's number format.
bool formatsKept(const fs::path& file) {
    auto opened = ss::openWorkbook(file);
    if (!opened.ok()) return false;
    const ss::Workbook& wb = *opened.value();
    const ss::Worksheet& s = *wb.sheets[0];
    const ss::Cell* h = s.find(1, 1);
    const ss::Cell* amount = s.find(2, 8);
    if (!h || !amount) return false;
    const auto& styles = wb.styles;
    bool bold = styles.fonts[styles.cellXfs[h->style].fontId].bold;
    return bold && styles.numberFormatCode(styles.cellXfs[amount->style].numFmtId) == "#,##0.00";
}

bool pandasInstalled() {
    return std::system("/usr/bin/python3 -c 'import pandas' >/dev/null 2>&1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "run") {
        int status = runOne(argc, argv);
        if (status == 2) std::fprintf(stderr, "usage: see the head of bench/split_bench.cpp\n");
        return status;
    }
    uint32_t rows = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 200000;
    fs::path dir = fs::temp_directory_path() / ("tw_split_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path source = dir / "source.xlsx";
    makeSource(source, rows);
    std::printf("source: %u rows x %u columns, %.1f MB\n", rows, kColumns,
                double(fs::file_size(source)) / 1e6);

    double readOnce = seconds([&] {
        auto wb = ss::openWorkbook(source);
        if (!wb.ok()) std::exit(1);
    });
    std::printf("reading the source once: %.2f s\n\n", readOnce);

    std::printf("%-44s %8s %8s %7s %6s %s\n", "job", "ours s", "least s", "ratio", "files",
                "formats");
    for (uint32_t key : {kKey100, kKey5000}) {
        const fs::path refDir = dir / "reference";
        double least = referenceSeconds(
            source, refDir, [&](const auto& wb, const auto& s) { return byKey(wb, s, key); });
        size_t groups = countFiles(refDir);
        for (bool filter : {false, true}) {
            const fs::path out = dir / "out";
            fs::remove_all(out);
            fs::create_directories(out);
            JobOptions o;
            o.splitSaveDir = out.string() + "/";
            o.classifyColumn = int(key);
            o.fullMatch = true;
            o.highSpeedMode = filter;
            QuietHost host;
            double t = seconds([&] { TransformJob(source.string(), o, host); });
            fs::path sample =
                out / (o.classifyFileNames.empty() ? "" : o.classifyFileNames[0] + ".xlsx");
            std::printf("%-44s %8.2f %8.2f %6.2fx %6zu %s\n",
                        ("classify, " + std::to_string(groups) + " values, " +
                         (filter ? "filter" : "row by row"))
                            .c_str(),
                        t, least, t / least, countFiles(out),
                        formatsKept(sample) ? "kept" : "LOST");
            if (host.last.rfind("成功拆分出", 0) != 0)
                std::printf("  unexpected result: %s\n", host.last.c_str());
        }
    }

    {
        const uint32_t perBook = 10000;
        const fs::path refDir = dir / "reference";
        double least = referenceSeconds(source, refDir, [&](const auto&, const auto& s) {
            std::vector<std::vector<uint32_t>> blocks;
            for (const ss::Row& row : s.rows()) {
                if (row.index == 1) continue;
                if ((row.index - 2) % perBook == 0) blocks.emplace_back();
                blocks.back().push_back(row.index);
            }
            return blocks;
        });
        const fs::path out = dir / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        JobOptions o;
        o.splitSaveDir = out.string() + "/";
        o.rowsPerWorkbook = int(perBook);
        o.evenHeaderRows = true;
        o.evenHeaderRowCount = 1;
        QuietHost host;
        double t = seconds([&] { TransformAverageJob(source.string(), o, host); });
        std::printf("%-44s %8.2f %8.2f %6.2fx %6zu %s\n", "even split, 10,000 rows per workbook", t,
                    least, t / least, countFiles(out),
                    formatsKept(out / "source_1.xlsx") ? "kept" : "LOST");
    }

    if (pandasInstalled()) {
        // The same classification by 100 values with pandas: read, group, one file per group.
        const fs::path script = dir / "pandas_split.py", out = dir / "pandas_out";
        fs::create_directories(out);
        if (FILE* f = std::fopen(script.c_str(), "w")) {
            std::fprintf(f,
                         "import sys, time, pandas\n"
                         "t = time.time()\n"
                         "df = pandas.read_excel(sys.argv[1])\n"
                         "for key, group in df.groupby(df.columns[%u], sort=False):\n"
                         "    group.to_excel(sys.argv[2] + '/' + str(key) + '.xlsx', "
                         "index=False)\n"
                         "print('%%.2f' %% (time.time() - t))\n",
                         kKey100 - 1);
            std::fclose(f);
        }
        std::string cmd =
            "/usr/bin/python3 " + script.string() + " " + source.string() + " " + out.string();
        std::printf("\npandas groupby + to_excel, 100 values (no formats kept), seconds: ");
        std::fflush(stdout);
        if (std::system(cmd.c_str()) != 0) std::printf("failed\n");
    } else {
        std::printf(
            "\npandas groupby + to_excel: not measured, python3-pandas is not installed "
            "(reference figure: 57 s for 100 values, formats not kept)\n");
    }
    fs::remove_all(dir);
    return 0;
}
