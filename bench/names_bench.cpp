// Cost per file and per sheet when names repeat: folders of 500, 1,000 and 2,000 one-sheet
// workbooks that all have a sheet "Sheet1", merged with merge-files (one sheet per source),
// beside the same folders with a distinct sheet name in each file; then one workbook of 1,000,
// 2,000 and 3,000 sheets all named "Sheet1" beside one with distinct names. Each job runs in a
// child process; the two sides alternate, PAIRS times (median).
//
//   names_bench [PAIRS]
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "jobs/jobs.h"
#include "run.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace fs = std::filesystem;

namespace {

class QuietHost : public JobHost {
public:
    explicit QuietHost(std::string out) : out_(std::move(out)) {}
    void text(const std::string&) override {}
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return out_;
    }

private:
    std::string out_;
};

void fill(ss::Workbook& wb, ss::Worksheet& ws, int n) {
    for (uint32_t r = 1; r <= 3; ++r) {
        ws.setString(r, 1, wb.strings.add("项目" + std::to_string(r)));
        ws.setNumber(r, 2, n * 10 + r);
        ws.setNumber(r, 3, 45292 + r);
    }
}

bool writeFolder(const fs::path& dir, int count, bool sameName) {
    fs::create_directories(dir);
    for (int i = 1; i <= count; ++i) {
        ss::Workbook wb;
        fill(wb, wb.addSheet(sameName ? "Sheet1" : "月报" + std::to_string(i)), i);
        char name[32];
        std::snprintf(name, sizeof name, "book_%05d.xlsx", i);
        if (!ss::saveWorkbook(wb, dir / name, ss::FileFormat::Xlsx).ok()) return false;
    }
    return true;
}

// Every sheet of a saved workbook named "Sheet1", as some programs write them (the engine's
// writer never repeats a name).
bool renameAllSheets(const fs::path& file) {
    zip_t* z = zip_open(file.c_str(), 0, nullptr);
    if (!z) return false;
    zip_stat_t st;
    zip_file_t* f =
        zip_stat(z, "xl/workbook.xml", 0, &st) == 0 ? zip_fopen(z, "xl/workbook.xml", 0) : nullptr;
    std::string xml(f ? st.size : 0, '\0');
    const bool read = f && zip_fread(f, xml.data(), xml.size()) == zip_int64_t(xml.size());
    if (f) zip_fclose(f);
    const std::string renamed =
        std::regex_replace(xml, std::regex("<sheet name=\"[^\"]*\""), "<sheet name=\"Sheet1\"");
    zip_source_t* src = zip_source_buffer(z, renamed.data(), renamed.size(), 0);
    if (!read || !src || zip_file_add(z, "xl/workbook.xml", src, ZIP_FL_OVERWRITE) < 0) {
        zip_discard(z);
        return false;
    }
    return zip_close(z) == 0;
}

bool writeManySheets(const fs::path& file, int sheets, bool sameName) {
    fs::create_directories(file.parent_path());
    ss::Workbook wb;
    for (int i = 1; i <= sheets; ++i) fill(wb, wb.addSheet("S" + std::to_string(i)), i);
    return ss::saveWorkbook(wb, file, ss::FileFormat::Xlsx).ok() &&
           (!sameName || renameAllSheets(file));
}

std::optional<bench::ChildFigures> mergeFiles(const fs::path& folder, const fs::path& out) {
    return bench::inChild([&] {
        JobOptions o;
        o.skipEmptySheets = true;
        QuietHost host(out.string());
        ExcelFileMergeJob(folder.string(), o, host);
        return fs::exists(out);
    });
}

// One line: the median of each side, per unit, and the median of same / distinct per pair.
void report(const char* what, int units, const char* unit, const bench::PairRuns& r) {
    if (!r.ok) {
        std::printf("%-28s failed\n", what);
        return;
    }
    const double same = bench::medianOf(r.ours, &bench::ChildFigures::seconds);
    const double distinct = bench::medianOf(r.theirs, &bench::ChildFigures::seconds);
    const double sameCpu = bench::medianOf(r.ours, &bench::ChildFigures::cpuSeconds);
    std::vector<double> slower;
    for (size_t i = 0; i < r.ours.size(); ++i)
        slower.push_back(r.ours[i].seconds / r.theirs[i].seconds);
    std::printf(
        "%-28s %5d %-6s same %7.3f s (%6.3f ms/%s, CPU %6.3f s)  distinct %7.3f s "
        "(%6.3f ms/%s)  same/distinct %.2fx  peak %.0f MB\n",
        what, units, unit, same, 1000 * same / units, unit, sameCpu, distinct,
        1000 * distinct / units, unit, bench::median(slower),
        bench::medianOf(r.ours, &bench::ChildFigures::peakMb));
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path dir = fs::temp_directory_path() / ("tw_names_bench_" + std::to_string(getpid()));
    std::printf("load average at start %.2f; %d alternating pairs per line\n", bench::loadAverage(),
                pairs);
    int status = 0;
    for (int count : {500, 1000, 2000}) {
        const fs::path same = dir / ("same" + std::to_string(count));
        const fs::path distinct = dir / ("distinct" + std::to_string(count));
        if (!writeFolder(same, count, true) || !writeFolder(distinct, count, false)) return 1;
        auto r = bench::alternate(
            pairs, [&] { return mergeFiles(same, dir / "out_same.xlsx"); },
            [&] { return mergeFiles(distinct, dir / "out_distinct.xlsx"); });
        report("merge-files, one-sheet books", count, "file", r);
        status |= r.ok ? 0 : 1;
        std::error_code ec;
        fs::remove_all(same, ec);
        fs::remove_all(distinct, ec);
    }
    for (int sheets : {1000, 2000, 3000}) {
        const fs::path same = dir / ("wsame" + std::to_string(sheets));
        const fs::path distinct = dir / ("wdistinct" + std::to_string(sheets));
        if (!writeManySheets(same / "many.xlsx", sheets, true) ||
            !writeManySheets(distinct / "many.xlsx", sheets, false))
            return 1;
        auto r = bench::alternate(
            pairs, [&] { return mergeFiles(same, dir / "out_same.xlsx"); },
            [&] { return mergeFiles(distinct, dir / "out_distinct.xlsx"); });
        report("merge-files, one book", sheets, "sheet", r);
        status |= r.ok ? 0 : 1;
    }
    std::printf("load average at end %.2f\n", bench::loadAverage());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
