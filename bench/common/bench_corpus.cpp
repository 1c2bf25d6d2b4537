#include "bench_corpus.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "spreadsheet/io/io.h"

namespace bench {

namespace {

// splitmix64: small, fast and the same on every machine.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }
};

const char* kChinese[] = {"华东区", "华南区",   "华北区",   "西南区", "东北区",   "西北区",
                          "华中区", "办公用品", "电子产品", "家具",   "食品饮料", "服装鞋帽"};
const char* kAscii[] = {"North",   "South",  "East",   "West",
                        "Central", "Online", "Retail", "Wholesale"};

}  // namespace

std::unique_ptr<ss::Workbook> generateBenchWorkbook(uint32_t rows, uint32_t cols, uint64_t seed) {
    auto wb = std::make_unique<ss::Workbook>();
    ss::Worksheet& ws = wb->addSheet("数据");
    ss::StyleTable& st = wb->styles;

    ss::Font bold;
    bold.bold = true;
    bold.name = "宋体";
    bold.color = ss::Color::rgb(0xFFFFFFFF);
    ss::Fill fill;
    fill.patternType = "solid";
    fill.fg = ss::Color::rgb(0xFF4472C4);
    ss::Border border;
    for (ss::BorderSide* s : {&border.left, &border.right, &border.top, &border.bottom})
        s->style = "thin";
    ss::CellFormat header;
    header.fontId = st.internFont(bold);
    header.fillId = st.internFill(fill);
    header.borderId = st.internBorder(border);
    header.alignment.horizontal = "center";
    header.applyFont = header.applyFill = header.applyBorder = header.applyAlignment = true;
    uint32_t headerXf = st.internCellFormat(header);
    ss::CellFormat date;
    date.numFmtId = st.internNumberFormat("yyyy-mm-dd");
    date.applyNumberFormat = true;
    uint32_t dateXf = st.internCellFormat(date);
    ss::CellFormat money;
    money.numFmtId = 4;  // #,##0.00
    money.applyNumberFormat = true;
    uint32_t moneyXf = st.internCellFormat(money);
    ss::CellFormat text;
    text.numFmtId = 49;  // @
    text.applyNumberFormat = true;
    uint32_t textXf = st.internCellFormat(text);

    static const char* kHeads[] = {"身份证号", "日期", "区域", "Channel", "数量", "金额"};
    for (uint32_t c = 1; c <= cols; ++c) {
        std::string h = c <= 6 ? kHeads[c - 1] : "指标" + std::to_string(c);
        ws.setString(1, c, wb->strings.add(h), headerXf);
        ss::ColumnInfo ci;
        ci.first = ci.last = c;
        ci.width = c == 1 ? 22 : 12;
        ci.customWidth = true;
        ws.columns.push_back(ci);
    }
    ws.frozenRows = 1;

    Rng rng{seed * 7919 + 17};
    ws.mutableRows().reserve(rows + 1);
    for (uint32_t r = 2; r <= rows + 1; ++r) {
        ss::Row& row = ws.row(r);
        row.cells.reserve(cols);
        for (uint32_t c = 1; c <= cols; ++c) {
            if (c > 2 && rng.below(100) < 3) continue;  // some empty cells
            switch (c) {
                case 1: {
                    char id[24];
                    std::snprintf(id, sizeof id, "%06u%08u%04u", 110000 + rng.below(550000),
                                  19500101 + rng.below(500000), rng.below(10000));
                    ws.setString(r, c, wb->strings.add(id), textXf);
                    break;
                }
                case 2:
                    ws.setNumber(r, c, 43831 + rng.below(1500), dateXf);
                    break;
                case 3:
                    ws.setString(r, c, wb->strings.add(kChinese[rng.below(12)]));
                    break;
                case 4:
                    ws.setString(r, c, wb->strings.add(kAscii[rng.below(8)]));
                    break;
                case 5:
                    ws.setNumber(r, c, double(rng.below(1000)));
                    break;
                default:
                    ws.setNumber(r, c, double(rng.below(10000000)) / 100.0, moneyXf);
                    break;
            }
        }
    }
    return wb;
}

std::vector<std::filesystem::path> writeBenchCorpus(const std::filesystem::path& dir, int count,
                                                    uint32_t rows, uint32_t cols,
                                                    std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::vector<std::filesystem::path> out;
    for (int i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bench_%04d.xlsx", i);
        auto wb = generateBenchWorkbook(rows, cols, uint64_t(i));
        auto st = ss::saveWorkbook(*wb, dir / name, ss::FileFormat::Xlsx);
        if (!st.ok()) {
            error = st.message();
            return {};
        }
        out.push_back(dir / name);
    }
    return out;
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

uint64_t peakRss() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return uint64_t(u.ru_maxrss) * 1024;
}

}  // namespace bench
