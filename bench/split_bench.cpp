// Speed of the split jobs on one sheet of many rows (200,000 x 12 by default):
//   - classification by a column with 100 and with 5,000 distinct values, row by row and with the
//     filter, one workbook per value;
//   - even split into blocks of 10,000 rows.
// Each is printed beside the least work the job has to do: reading the source once and writing
// the same outputs straight from the workbook model.
//
//   split_bench [ROWS]
//
// Against the pandas script a user would write (bench/peers/split_pandas.py; python3-pandas,
// -openpyxl and -xlsxwriter installed when missing), alternating the two sides PAIRS times
// (3 by default), each side run as a new process (ours: `split_bench run ... --quiet`), and
// checking that both wrote the same rows:
// classification with 100 and 5,000 values and the even split on ROWS x 12, the split by sheet
// on 40 sheets x 3,000 rows x 8 columns:
//   split_bench peers [PAIRS [ROWS [value100|value5000|rows|sheets ...]]]
//
// It writes the two sources of the comparison into a folder, to profile the jobs on them:
//   split_bench sources FOLDER [ROWS]
// It also runs one split job on a workbook of your own, printing the job's texts:
//   split_bench run sheets SOURCE [--xls]
//   split_bench run rows SOURCE FOLDER ROWS [--header N] [--last-column N]
//   split_bench run column SOURCE FOLDER KEY [--values a|b] [--names x|y] [--header N]
//                          [--last-column N] [--full-match] [--one-workbook] [--filter]
// (--quiet: without the job's texts; --stop-after SECONDS: the stop button pressed that long
// after the start, and how long the job took to end after it). The exit status is 0 when the
// job told of success.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <map>

#include "jobs/jobs.h"
#include "run.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kColumns = 12;
constexpr uint32_t kKey100 = 2, kKey5000 = 3;  // key columns with 100 and 5,000 distinct texts

// Prints the job's texts unless quiet, keeps the last, and asks the job to stop when `stop`
// (if any) says so.
class PrintingHost : public JobHost {
public:
    explicit PrintingHost(bool quiet, const bench::StopRequest* stop = nullptr)
        : quiet_(quiet), stop_(stop) {}
    bool cancelRequested() const override { return stop_ && stop_->asked(); }
    void text(const std::string& message) override {
        if (!quiet_) std::fprintf(stderr, "%s\n", message.c_str());
        last = message;
    }
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return std::nullopt;
    }
    std::string last;

private:
    bool quiet_;
    const bench::StopRequest* stop_;
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
    bool quiet = false;
    double stopAfter = -1;
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
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--stop-after") {
            stopAfter = std::atof(v), ++i;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!o.classifyValues.empty() && o.classifyFileNames.empty())
        o.classifyFileNames = o.classifyValues;
    const bench::StopRequest stop(stopAfter);
    PrintingHost host(quiet, &stop);
    if (job == "sheets")
        ExcelFileSplitJob(source, o, host);
    else if (job == "rows")
        TransformAverageJob(source, o, host);
    else if (job == "column")
        TransformJob(source, o, host);
    else
        return 2;
    if (stopAfter >= 0) {
        if (stop.sinceAsked() < 0)
            std::printf("stop asked after %.2f s: the job ended before\n", stopAfter);
        else
            std::printf("stop asked after %.2f s: the job ended %.3f s later (%s)\n", stopAfter,
                        stop.sinceAsked(), host.last.c_str());
        return 0;
    }
    return host.last.rfind("成功拆分", 0) == 0 ? 0 : 1;
}

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
    return std::system(
               "/usr/bin/python3 -c 'import pandas, openpyxl, xlsxwriter' >/dev/null 2>&1") == 0;
}

// Each output file's rows as texts (cells joined by tabs), by file name.
std::map<std::string, std::vector<std::string>> rowsIn(const fs::path& folder) {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        auto opened = ss::openWorkbook(e.path());
        auto& rows = out[e.path().filename().string()];
        if (!opened.ok()) {
            rows.push_back("unreadable");
            continue;
        }
        const ss::Workbook& wb = *opened.value();
        for (const ss::Row& r : wb.sheets[0]->rows()) {
            std::string line;
            uint32_t col = 1;
            for (const ss::Cell& c : r.cells) {
                for (; col < c.col; ++col) line += '\t';
                line += wb.cellText(c);
            }
            rows.push_back(std::move(line));
        }
    }
    return out;
}

// Several sheets of many rows, for the split by sheet.
void makeSheetsSource(const fs::path& path, int sheets, uint32_t rows, uint32_t cols) {
    ss::Workbook wb;
    ss::Font bold;
    bold.bold = true;
    ss::CellFormat headerXf;
    headerXf.fontId = wb.styles.internFont(bold);
    headerXf.applyFont = true;
    const uint32_t headerStyle = wb.styles.internCellFormat(headerXf);
    uint64_t x = 88172645463325252ull;
    for (int k = 1; k <= sheets; ++k) {
        ss::Worksheet& s = wb.addSheet("门店" + std::to_string(k));
        for (uint32_t c = 1; c <= cols; ++c)
            s.setString(1, c, wb.strings.add("列" + std::to_string(c)), headerStyle);
        for (uint32_t r = 2; r <= rows + 1; ++r)
            for (uint32_t c = 1; c <= cols; ++c) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                if (c % 3 == 1)
                    s.setString(r, c, wb.strings.add("项" + std::to_string(x % 400)));
                else
                    s.setNumber(r, c, double(x % 1000000) / 100);
            }
    }
    if (!ss::saveWorkbook(wb, path, ss::FileFormat::Xlsx).ok()) std::exit(1);
}

int peers(int pairs, uint32_t rows, const std::vector<std::string>& only) {
    const fs::path scriptPath = fs::path(TW_SOURCE_DIR) / "bench" / "peers" / "split_pandas.py";
    if (!bench::ensurePackages({"python3-pandas", "python3-openpyxl", "python3-xlsxwriter"},
                               pandasInstalled)) {
        std::printf("pandas: absent (could not be installed), no comparison\n");
        return 1;
    }
    fs::path dir = fs::temp_directory_path() / ("tw_split_peers_" + std::to_string(::getpid()));
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "many");
    const fs::path source = dir / "one" / "source.xlsx", sheets = dir / "many" / "stores.xlsx";
    makeSource(source, rows);
    makeSheetsSource(sheets, 40, 3000, 8);
    std::printf("load average %.2f; %d alternating pairs; pandas script %s\n", bench::loadAverage(),
                pairs, scriptPath.c_str());
    std::printf("%-34s %9s %9s %9s %9s %8s %8s %s\n", "job", "ours s", "ours CPU", "pandas s",
                "pandas CPU", "ratio", "peak MB", "rows");
    struct Job {
        std::string label, kind;
        fs::path source;
        int arg;
        std::string name;
    } jobs[] = {{"split by value, 100 values", "value", source, int(kKey100), "value100"},
                {"split by value, 5,000 values", "value", source, int(kKey5000), "value5000"},
                {"split by rows, 10,000 per book", "rows", source, 10000, "rows"},
                {"split by sheet, 40 x 3,000 x 8", "sheets", sheets, 0, "sheets"}};
    int status = 0;
    for (const Job& job : jobs) {
        if (!only.empty() && std::find(only.begin(), only.end(), job.name) == only.end()) continue;
        // Each run writes into a new folder, as a user's split does: creating thousands of
        // files right after deleting the last run's thousands costs the file system far more
        // (it looks for recently freed entries on every file made), on both sides.
        fs::path ours = dir / "ours", theirs = dir / "pandas";
        int run = 0;
        auto runOurs = [&]() {
            ours = dir / (job.name + "-ours" + std::to_string(++run));
            fs::create_directories(ours);
            // The split by sheet writes into a new folder beside the source.
            for (const auto& e : fs::directory_iterator(job.source.parent_path()))
                if (e.is_directory()) fs::remove_all(e.path());
            // In a new process of this program (`split_bench run ... --quiet`), as pandas runs.
            std::vector<std::string> argv{"run"};
            if (job.kind == "value")
                argv.insert(argv.end(), {"column", job.source.string(), ours.string(),
                                         std::to_string(job.arg), "--full-match"});
            else if (job.kind == "rows")
                argv.insert(argv.end(), {"rows", job.source.string(), ours.string(),
                                         std::to_string(job.arg), "--header", "1"});
            else
                argv.insert(argv.end(), {"sheets", job.source.string()});
            argv.push_back("--quiet");
            return bench::runOwnJob(argv);
        };
        auto runTheirs = [&]() {
            theirs = dir / (job.name + "-pandas" + std::to_string(run));
            std::vector<std::string> argv{"/usr/bin/python3", scriptPath.string(), job.kind,
                                          job.source.string(), theirs.string()};
            if (job.kind != "sheets") argv.push_back(std::to_string(job.arg));
            return bench::runProgram(argv);
        };
        bench::PairRuns r = bench::alternate(pairs, runOurs, runTheirs);
        if (!r.ok) {
            std::printf("%-34s failed\n", job.label.c_str());
            status = 1;
            continue;
        }
        fs::path oursOut = ours;
        if (job.kind == "sheets")
            for (const auto& e : fs::directory_iterator(job.source.parent_path()))
                if (e.is_directory()) oursOut = e.path();
        const bool same = rowsIn(oursOut) == rowsIn(theirs);
        std::printf("%-34s %9.2f %9.2f %9.2f %9.2f %7.1fx %8.0f %s\n", job.label.c_str(),
                    bench::medianOf(r.ours, &bench::ChildFigures::seconds),
                    bench::medianOf(r.ours, &bench::ChildFigures::cpuSeconds),
                    bench::medianOf(r.theirs, &bench::ChildFigures::seconds),
                    bench::medianOf(r.theirs, &bench::ChildFigures::cpuSeconds),
                    bench::median(r.wallRatio),
                    bench::medianOf(r.ours, &bench::ChildFigures::peakMb),
                    same ? "same rows" : "ROWS DIFFER");
        std::string each;
        for (double x : r.wallRatio) each += " " + std::to_string(x).substr(0, 5);
        std::printf("  wall ratio per pair:%s; CPU ratio median %.1fx\n", each.c_str(),
                    bench::median(r.cpuRatio));
        status |= same ? 0 : 1;
    }
    std::printf("load average at end %.2f\n", bench::loadAverage());
    fs::remove_all(dir);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "run") {
        int status = runOne(argc, argv);
        if (status == 2) std::fprintf(stderr, "usage: see the head of bench/split_bench.cpp\n");
        bench::printOwnPeak();
        return status;
    }
    if (argc > 2 && std::string(argv[1]) == "sources") {
        const fs::path dir = argv[2];
        fs::create_directories(dir / "many");
        makeSource(dir / "source.xlsx",
                   argc > 3 ? uint32_t(std::strtoul(argv[3], nullptr, 10)) : 200000);
        makeSheetsSource(dir / "many" / "stores.xlsx", 40, 3000, 8);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "peers")
        return peers(argc > 2 ? std::max(1, std::atoi(argv[2])) : 3,
                     argc > 3 ? uint32_t(std::strtoul(argv[3], nullptr, 10)) : 200000,
                     std::vector<std::string>(argv + std::min(argc, 4), argv + argc));
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
            PrintingHost host(true);
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
        PrintingHost host(true);
        double t = seconds([&] { TransformAverageJob(source.string(), o, host); });
        std::printf("%-44s %8.2f %8.2f %6.2fx %6zu %s\n", "even split, 10,000 rows per workbook", t,
                    least, t / least, countFiles(out),
                    formatsKept(out / "source_1.xlsx") ? "kept" : "LOST");
    }

    std::printf("\n(against pandas: split_bench peers)\n");
    fs::remove_all(dir);
    return 0;
}
