// Speed and memory of the folder merges, on 100 workbooks of 5,000 rows x 12 columns (styled
// header, numbers, dates, repeated Chinese and ASCII categories, 18-digit IDs as text, some empty
// cells), or with --multi on 30 workbooks of 4 sheets ("一月" to "四月" in each) x 2,000 rows x
// 10 columns, merged into one workbook with one sheet per source sheet, and into one sheet. Each
// figure is printed beside the floor: inflating and scanning every input once, plus deflating
// the output's bytes with the writer's compressor and level (ISA-L level 3). `ssconvert
// --merge-to` (Debian's gnumeric, installed when missing) runs on the same folder, alternating
// with our two jobs PAIRS times (3 by default); ratios are the median over those rounds. Each job
// runs in a new process of this program (`merge_bench run ... --quiet`), as a user starts it and
// as ssconvert runs, so that its time and peak memory are its own; the peak is printed beside
// the memory of the merged output plus one source workbook.
//
//   merge_bench [--multi] [--pairs N] [BOOKS [ROWS]]
//
// It also runs one merge job on a folder or workbook of your own, with the window's start-up
// options, answering the save question with OUTPUT (--quiet: without the job's texts):
//   merge_bench run files|one-sheet|sheets SOURCE OUTPUT [--quiet] [--stop-after SECONDS]
// (--stop-after: the stop button pressed that long after the start; prints how long the job
// took to end after it)
// and writes the corpus into a folder, to try other programs on it:
//   merge_bench corpus FOLDER [BOOKS [ROWS]]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "floor.h"
#include "jobs/jobs.h"
#include "run.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace fs = std::filesystem;

namespace {

uint32_t kColumns = 12;  // 10 with --multi
int kSheets = 1;         // sheets per workbook: 4 with --multi

// Prints the job's texts (unless quiet), answers the save question with a fixed path and asks
// the job to stop when `stop` says so.
class PrintingHost : public JobHost {
public:
    PrintingHost(std::string output, bool quiet, const bench::StopRequest& stop)
        : output_(std::move(output)), quiet_(quiet), stop_(stop) {}
    void text(const std::string& message) override {
        if (!quiet_) std::fprintf(stderr, "%s\n", message.c_str());
    }
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return output_;
    }
    bool cancelRequested() const override { return stop_.asked(); }

private:
    std::string output_;
    bool quiet_;
    const bench::StopRequest& stop_;
};

// The options as the window shows them at start-up.
JobOptions startupOptions() {
    JobOptions o;
    o.skipEmptySheets = true;
    o.sheetMergeVertical = true;
    o.sheetMergeOrganise = true;
    return o;
}

bool runJob(const std::string& job, const std::string& source, const std::string& output,
            bool quiet, const bench::StopRequest& stop = bench::StopRequest(-1)) {
    JobOptions options = startupOptions();
    PrintingHost host(output, quiet, stop);
    if (job == "files")
        ExcelFileMergeJob(source, options, host);
    else if (job == "one-sheet")
        FilesToOneSheetJob(source, options, host);
    else if (job == "sheets")
        ExcelSheetMergeJob(source, options, host);
    else
        return false;
    return true;
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

using bench::ChildFigures;
using bench::inChild;

// ---- the corpus ----------------------------------------------------------------------------

std::unique_ptr<ss::Workbook> salesBook(int book, uint32_t rows) {
    auto wb = std::make_unique<ss::Workbook>();
    ss::StyleTable& st = wb->styles;
    ss::Font bold;
    bold.bold = true;
    bold.color = ss::Color::rgb(0xFFFFFFFF);
    ss::Fill fill;
    fill.patternType = "solid";
    fill.fg = ss::Color::rgb(0xFF1F4E78);
    ss::Border border;
    border.left.style = border.right.style = border.top.style = border.bottom.style = "thin";
    ss::CellFormat header;
    header.fontId = st.internFont(bold);
    header.fillId = st.internFill(fill);
    header.borderId = st.internBorder(border);
    header.applyFont = header.applyFill = header.applyBorder = true;
    const uint32_t headerXf = st.internCellFormat(header);
    ss::CellFormat date;
    date.numFmtId = st.internNumberFormat("yyyy-mm-dd");
    date.applyNumberFormat = true;
    const uint32_t dateXf = st.internCellFormat(date);
    ss::CellFormat money;
    money.numFmtId = st.internNumberFormat("#,##0.00");
    money.applyNumberFormat = true;
    const uint32_t moneyXf = st.internCellFormat(money);

    static const char* kRegions[] = {"华东", "华南", "华北", "西南", "东北", "西北"};
    static const char* kProducts[] = {"Widget", "Gadget", "Sprocket", "Gizmo", "Doohickey"};
    static const char* kHeader[12] = {"编号", "日期", "地区", "产品", "数量", "单价",
                                      "金额", "折扣", "税额", "合计", "备注", "客户"};
    static const char* kMonths[] = {"一月", "二月", "三月", "四月", "五月", "六月"};
    for (int sheet = 0; sheet < kSheets; ++sheet) {
        ss::Worksheet& ws = wb->addSheet(kSheets == 1 ? "销售" + std::to_string(book)
                                                      : std::string(kMonths[sheet % 6]));
        for (uint32_t c = 1; c <= kColumns; ++c)
            ws.setString(1, c, wb->strings.add(kHeader[c - 1]), headerXf);
        uint32_t seed = 2654435761u * uint32_t(book + 1) + uint32_t(sheet);
        auto next = [&] { return seed = seed * 1103515245u + 12345u; };
        for (uint32_t r = 2; r <= rows + 1; ++r) {
            char id[32];
            std::snprintf(id, sizeof id, "%06d%012u", 110101 + book, r);
            ws.setString(r, 1, wb->strings.add(id));
            ws.setNumber(r, 2, 45292 + double(next() % 366), dateXf);
            ws.setString(r, 3, wb->strings.add(kRegions[next() % 6]));
            ws.setString(r, 4, wb->strings.add(kProducts[next() % 5]));
            const double qty = double(1 + next() % 200), price = double(next() % 100000) / 100.0;
            ws.setNumber(r, 5, qty);
            ws.setNumber(r, 6, price, moneyXf);
            ws.setNumber(r, 7, qty * price, moneyXf);
            ws.setNumber(r, 8, double(next() % 30) / 100.0);
            ws.setNumber(r, 9, qty * price * 0.13, moneyXf);
            ws.setNumber(r, 10, qty * price * 1.13, moneyXf);
            if (kColumns < 12) continue;
            if (r % 7 != 0) ws.setString(r, 11, wb->strings.add(r % 3 ? "正常" : "加急"));
            ws.setString(r, 12, wb->strings.add("客户" + std::to_string(next() % 500)));
        }
        for (uint32_t c = 1; c <= kColumns; ++c) {
            ss::ColumnInfo col;
            col.first = col.last = c;
            col.width = c == 1 ? 22 : 12;
            col.customWidth = true;
            ws.columns.push_back(col);
        }
        ws.frozenRows = 1;
    }
    return wb;
}

bool makeCorpus(const fs::path& dir, int books, uint32_t rows) {
    fs::create_directories(dir);
    for (int b = 0; b < books; ++b) {
        char name[32];
        std::snprintf(name, sizeof name, "sales_%03d.xlsx", b + 1);
        ss::Status st = ss::saveWorkbook(*salesBook(b, rows), dir / name, ss::FileFormat::Xlsx);
        if (!st.ok()) {
            std::fprintf(stderr, "%s\n", st.message().c_str());
            return false;
        }
    }
    return true;
}

// ---- the comparison ------------------------------------------------------------------------

// CPU seconds of this process (the machine is shared: wall time depends on the other users).
double cpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// One line of figures: CPU time over the floor is the work done beyond the least possible;
// wall time over the floor is how long the user waits compared with that work done on one core
// (the engine deflates and reads ahead on a second core).
void row(const char* what, double wall, double cpu, double floorCpu, double peakMb,
         double budgetMb) {
    char wallText[16] = "-", wallRatio[16] = "-";
    if (wall >= 0) {
        std::snprintf(wallText, sizeof wallText, "%.2f", wall);
        if (floorCpu > 0) std::snprintf(wallRatio, sizeof wallRatio, "%.2fx", wall / floorCpu);
    }
    char budgetText[16] = "-";
    if (budgetMb > 0) std::snprintf(budgetText, sizeof budgetText, "%.1f", budgetMb);
    std::printf("%-30s %8s %8.2f %8.2f %6.2fx %7s %9.1f %9s\n", what, wallText, cpu, floorCpu,
                floorCpu > 0 ? cpu / floorCpu : 0.0, wallRatio, peakMb, budgetText);
}

int benchmark(int books, uint32_t rows, int pairs) {
    const fs::path dir = fs::temp_directory_path() / ("tw_merge_bench_" + std::to_string(getpid()));
    const fs::path src = dir / "src";
    std::printf(
        "corpus: %d workbooks of %d sheet(s) of %u rows x %u columns (%.1f million "
        "cells); load average %.2f\n",
        books, kSheets, rows, kColumns, double(books) * kSheets * (rows + 1) * kColumns / 1e6,
        bench::loadAverage());
    auto t0 = std::chrono::steady_clock::now();
    if (!makeCorpus(src, books, uint32_t(rows))) return 1;
    std::printf("  generated in %.2f s\n", since(t0));
    std::vector<fs::path> inputs;
    for (const auto& e : fs::directory_iterator(src)) inputs.push_back(e.path());

    double c0 = cpuNow();
    const bench::InflateScan scanned = bench::inflateAndScan(inputs);
    const double readFloor = cpuNow() - c0;
    if (scanned.tags == 0) return 1;
    const uint64_t inflated = scanned.bytes;
    std::printf("floor, inflate and scan every input: %.2f s CPU (%.1f MB of XML)\n\n", readFloor,
                double(inflated) / 1e6);

    auto baseline = inChild([] { return true; });
    auto idle = bench::runOwnJob({"idle"});
    auto source = inChild([&] { return ss::openWorkbook(inputs.front()).ok(); });
    auto readAll = inChild([&] {
        for (const auto& f : inputs)
            if (!ss::openWorkbook(f).ok()) return false;
        return true;
    });
    std::printf("%-30s %8s %8s %8s %7s %7s %9s %9s\n", "", "wall s", "CPU s", "floor s", "CPU/fl",
                "wall/fl", "peak MB", "budget MB");
    if (readAll)
        row("engine: read every input", readAll->seconds, readAll->cpuSeconds, readFloor,
            readAll->peakMb, 0);
    int status = 0;
    const char* jobs[] = {"files", "one-sheet"};
    const char* labels[] = {"into sheets", "into one sheet"};
    auto ourJob = [&](int j) {
        const fs::path out = dir / (std::string(jobs[j]) + ".xlsx");
        fs::remove(out);
        // In a new process of this program, as ssconvert runs.
        auto f = bench::runOwnJob({"run", jobs[j], src.string(), out.string(), "--quiet"});
        return f && fs::exists(out) ? f : std::nullopt;
    };

    // The peer, installed when missing.
    std::optional<std::string> ssconvert;
    if (bench::ensurePackages({"gnumeric"}, [] { return bool(bench::findProgram("ssconvert")); }))
        ssconvert = bench::findProgram("ssconvert");
    std::vector<std::string> peerArgs;
    if (ssconvert) {
        peerArgs = {*ssconvert, "--merge-to=" + (dir / "ssconvert.xlsx").string()};
        for (const auto& f : inputs) peerArgs.push_back(f.string());
    }

    // Rounds of: into sheets, into one sheet, ssconvert; each job's figures are the medians.
    std::vector<ChildFigures> runs[2], theirs;
    std::vector<double> ratio[2];
    for (int round = 0; round < pairs; ++round) {
        std::optional<ChildFigures> f[2];
        for (int j = 0; j < 2; ++j)
            if (!(f[j] = ourJob(j))) {
                std::printf("%s failed\n", labels[j]);
                return 1;
            }
        for (int j = 0; j < 2; ++j) runs[j].push_back(*f[j]);
        if (!ssconvert) continue;
        auto t = bench::runProgram(peerArgs);
        if (!t) {
            std::printf("ssconvert --merge-to: failed\n");
            ssconvert.reset();
            continue;
        }
        theirs.push_back(*t);
        for (int j = 0; j < 2; ++j) ratio[j].push_back(t->seconds / f[j]->seconds);
    }

    double peak[2] = {0, 0};
    for (int j = 0; j < 2; ++j) {
        const fs::path out = dir / (std::string(jobs[j]) + ".xlsx");
        const auto parts = bench::packageParts(out);
        uint64_t compressed = 0, zlib6 = 0;
        c0 = cpuNow();
        bench::isalDeflateAll(parts, compressed);  // the writer's compressor and level
        const double writeFloor = cpuNow() - c0;
        bench::deflateAll(parts, 6, zlib6);
        uint64_t raw = 0;
        for (const auto& p : parts) raw += p.size();
        // The merged output alone: read it, and write it again.
        auto outputRead = inChild([&] { return ss::openWorkbook(out).ok(); });
        auto outputWrite = inChild([&] {
            auto wb = ss::openWorkbook(out);
            return wb.ok() &&
                   ss::saveWorkbook(*wb.value(), dir / "again.xlsx", ss::FileFormat::Xlsx).ok();
        });
        // The forked children start from the benchmark's pages, the job from a new process's.
        const double budget =
            outputWrite && source && baseline && idle
                ? outputWrite->peakMb + source->peakMb - 2 * baseline->peakMb + idle->peakMb
                : 0;
        const double fileMb = double(fs::file_size(out)) / 1e6;
        std::printf(
            "%s: output %.1f MB of XML, file %.2f MB = %.2fx zlib-6 (%.2f MB); floor to "
            "deflate it %.2f s CPU\n",
            labels[j], double(raw) / 1e6, fileMb, fileMb * 1e6 / double(zlib6), double(zlib6) / 1e6,
            writeFloor);
        peak[j] = bench::medianOf(runs[j], &ChildFigures::peakMb);
        row((std::string("  job ") + labels[j] + " (median)").c_str(),
            bench::medianOf(runs[j], &ChildFigures::seconds),
            bench::medianOf(runs[j], &ChildFigures::cpuSeconds), readFloor + writeFloor, peak[j],
            budget);
        if (outputRead && outputWrite)
            row("  engine: write the output", -1, outputWrite->cpuSeconds - outputRead->cpuSeconds,
                writeFloor, outputWrite->peakMb, 0);
    }
    std::printf(
        "(budget: peak of reading and writing the merged output plus one source workbook)\n");
    if (!theirs.empty()) {
        std::printf(
            "ssconvert --merge-to, %zu runs: median %.2f s wall, %.2f s CPU, peak %.1f MB\n",
            theirs.size(), bench::medianOf(theirs, &ChildFigures::seconds),
            bench::medianOf(theirs, &ChildFigures::cpuSeconds),
            bench::medianOf(theirs, &ChildFigures::peakMb));
        for (int j = 0; j < 2; ++j) {
            std::string each;
            for (double r : ratio[j]) each += " " + std::to_string(r).substr(0, 5);
            std::printf(
                "  ours %s: %.1fx faster (wall, median of alternating runs:%s), %.0f%% of "
                "its peak memory\n",
                labels[j], bench::median(ratio[j]), each.c_str(),
                100.0 * peak[j] / bench::medianOf(theirs, &ChildFigures::peakMb));
        }
    } else if (!ssconvert) {
        std::printf("ssconvert: absent (gnumeric could not be installed), no comparison with it\n");
    }
    std::printf("load average at end %.2f\n", bench::loadAverage());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "idle") == 0) {  // a new process's own size
        bench::printOwnPeak();
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        bool quiet = false, usage = argc < 5;
        double stopAfter = -1;
        for (int i = 5; i < argc; ++i) {
            if (std::strcmp(argv[i], "--quiet") == 0)
                quiet = true;
            else if (std::strcmp(argv[i], "--stop-after") == 0 && i + 1 < argc)
                stopAfter = std::atof(argv[++i]);
            else
                usage = true;
        }
        if (usage) {
            std::fprintf(stderr,
                         "usage: %s run files|one-sheet|sheets SOURCE OUTPUT [--quiet] "
                         "[--stop-after SECONDS]\n",
                         argv[0]);
            return 2;
        }
        auto t0 = std::chrono::steady_clock::now();
        const bench::StopRequest stop(stopAfter);
        if (!runJob(argv[2], argv[3], argv[4], quiet, stop)) {
            std::fprintf(stderr, "unknown job %s (files, one-sheet, sheets)\n", argv[2]);
            return 2;
        }
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        std::printf("%s: %.3f s, peak memory %.1f MB\n", argv[2], since(t0),
                    double(ru.ru_maxrss) / 1024);
        bench::printOwnPeak();
        if (stopAfter >= 0)
            std::printf(
                "stop asked after %.2f s: %s\n", stopAfter,
                stop.sinceAsked() < 0
                    ? "the job ended before"
                    : ("the job ended " + std::to_string(stop.sinceAsked()) + " s later").c_str());
        return 0;
    }
    int pairs = 3;
    bool multi = false;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--multi") == 0)
            multi = true;
        else if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc)
            pairs = std::max(1, std::atoi(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    argc = int(rest.size());
    argv = rest.data();
    if (multi) {
        kColumns = 10;
        kSheets = 4;
    }
    const bool corpusOnly = argc >= 3 && std::strcmp(argv[1], "corpus") == 0;
    const int first = corpusOnly ? 3 : 1;
    const int books = argc > first ? std::atoi(argv[first]) : multi ? 30 : 100;
    const long rows = argc > first + 1 ? std::atol(argv[first + 1]) : multi ? 2000 : 5000;
    if (books < 1 || rows < 1 || rows >= long(ss::kXlsxMaxRows)) {
        std::fprintf(
            stderr,
            "usage: %s [--multi] [--pairs N] [BOOKS [ROWS]] | corpus FOLDER [BOOKS [ROWS]]\n",
            argv[0]);
        return 2;
    }
    if (corpusOnly) return makeCorpus(argv[2], books, uint32_t(rows)) ? 0 : 1;
    return benchmark(books, uint32_t(rows), pairs);
}
