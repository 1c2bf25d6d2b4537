// Object-model row operations on a sheet of N rows x 12 columns, at 250k, 500k and 1M rows:
// filtering a column, deleting the visible rows of a filter result (the empty-key removal),
// copying the used range into another workbook, copying a filtered range, copying row by row
// (one call per row) and inserting or deleting a row at the top. Prints each time and its cost
// per cell; a linear operation keeps that cost flat as N grows. An argument runs one size only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sheet_routines.h"

using namespace automation;

namespace {

constexpr uint32_t kCols = 12;

// Fills the first sheet of a new workbook: a header row, then N rows; column 2 is the key and is
// blank on every third row, column 1 cycles through 50 city names.
Worksheet& fill(Application& app, uint32_t n) {
    Workbook& wb = *app.Workbooks()->Add();
    Worksheet& s = *wb.WorkSheets(1);
    ss::Workbook& m = wb.model();
    ss::Worksheet& ws = s.model();
    std::vector<uint32_t> cities;
    for (int i = 0; i < 50; ++i) cities.push_back(m.strings.add("城市" + std::to_string(i)));
    for (uint32_t c = 1; c <= kCols; ++c)
        ws.setString(1, c, m.strings.add("列" + std::to_string(c)));
    for (uint32_t r = 2; r <= n + 1; ++r) {
        ws.setString(r, 1, cities[r % 50]);
        if (r % 3 != 0) ws.setString(r, 2, m.strings.add("K" + std::to_string(r % 1000)));
        for (uint32_t c = 3; c <= kCols; ++c) ws.setNumber(r, c, double(r) * c + 0.5);
    }
    return s;
}

double seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void report(const char* what, uint32_t rows, double s) {
    double cells = double(rows) * kCols;
    std::printf("%-34s %9u rows  %8.3f s  %7.1f ns/cell\n", what, rows, s, s * 1e9 / cells);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> sizes = {250'000, 500'000, 1'000'000};
    if (argc > 1) sizes = {uint32_t(std::strtoul(argv[1], nullptr, 10))};
    for (uint32_t n : sizes) {
        {
            Application app;
            Worksheet& s = fill(app, n);
            Range before = s.UsedRange();
            report("filter one column (blanks)", n,
                   seconds([&] { (void)s.UsedRange().AutoFilter(2, ""); }));
            s.AutoFilterMode(false);
            report("empty-key removal (all steps)", n,
                   seconds([&] { (void)removeEmptyKeyRows(s, 2); }));
            std::printf("%-34s %9u rows left, live range now %s\n", "", s.UsedRange().RowCount(),
                        before.Address().c_str());
        }
        {
            Application app;
            Worksheet& s = fill(app, n);
            Worksheet& d = *app.Workbooks()->Add()->WorkSheets(1);
            report("used-range copy to a new workbook", n,
                   seconds([&] { (void)s.UsedRange().Copy(d.Cells(1, 1)); }));
            Worksheet& f = *app.Workbooks()->Add()->WorkSheets(1);
            (void)s.Range("A1").AutoFilter(1, "*城市1*");
            Range data = s.Range(rangeText(2, 1, n + 1, kCols));
            report("filtered copy (11 of 50 values)", n,
                   seconds([&] { (void)data.Copy(f.Cells(2, 1)); }));
            s.AutoFilterMode(false);
            Worksheet& byRow = *app.Workbooks()->Add()->WorkSheets(1);
            report("row-by-row copy (one call per row)", n, seconds([&] {
                       for (uint32_t r = 2; r <= n + 1; ++r)
                           (void)s.Range(rangeText(r, 1, r, kCols)).Copy(byRow.Cells(r, 1));
                   }));
            Range live = s.UsedRange();
            report("insert one row at the top", n, seconds([&] { (void)s.Rows(1).Insert(); }));
            report("delete one row at the top", n, seconds([&] { (void)s.Rows(1).Delete(); }));
            std::printf("%-34s %9u rows copied, filtered copy %u rows, live range %s\n", "",
                        d.UsedRange().RowCount(), f.UsedRange().RowCount() - 1,
                        live.Address().c_str());
        }
    }
    return 0;
}
