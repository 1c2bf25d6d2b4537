// Writing BIFF8 workbooks ([MS-XLS]) in a compound file. Formulas are written as their cached
// values: the formula text is not compiled into tokens.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <unordered_map>

#include "biff.h"
#include "bytes.h"
#include "cfb.h"
#include "../text/codepage.h"
#include "xls.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxRecordData = 8224;  // [MS-XLS] 2.1.4: larger records continue
constexpr uint32_t kMaxCellFormats = 4000;

// The default theme's colours (lt1, dk1, lt2, dk2, accents 1-6, hlink, folHlink) for theme
// references of a workbook that carries no theme colours of its own.
constexpr uint32_t kDefaultTheme[12] = {0xFFFFFFFF, 0xFF000000, 0xFFEEECE1, 0xFF1F497D,
                                        0xFF4F81BD, 0xFFC0504D, 0xFF9BBB59, 0xFF8064A2,
                                        0xFF4BACC6, 0xFFF79646, 0xFF0000FF, 0xFF800080};

// Applies a tint to an RGB colour the way theme colours are lightened or darkened (in HLS).
uint32_t applyTint(uint32_t argb, double tint) {
    if (tint == 0.0) return argb;
    double r = ((argb >> 16) & 0xFF) / 255.0, g = ((argb >> 8) & 0xFF) / 255.0,
           b = (argb & 0xFF) / 255.0;
    double mx = std::max({r, g, b}), mn = std::min({r, g, b});
    double l = (mx + mn) / 2, h = 0, s = 0;
    if (mx != mn) {
        double d = mx - mn;
        s = l > 0.5 ? d / (2 - mx - mn) : d / (mx + mn);
        if (mx == r)
            h = (g - b) / d + (g < b ? 6 : 0);
        else if (mx == g)
            h = (b - r) / d + 2;
        else
            h = (r - g) / d + 4;
        h /= 6;
    }
    l = tint < 0 ? l * (1 + tint) : l * (1 - tint) + tint;
    auto hue = [](double p, double q, double t) {
        if (t < 0) t += 1;
        if (t > 1) t -= 1;
        if (t < 1.0 / 6) return p + (q - p) * 6 * t;
        if (t < 0.5) return q;
        if (t < 2.0 / 3) return p + (q - p) * (2.0 / 3 - t) * 6;
        return p;
    };
    if (s == 0) {
        r = g = b = l;
    } else {
        double q = l < 0.5 ? l * (1 + s) : l + s - l * s, p = 2 * l - q;
        r = hue(p, q, h + 1.0 / 3);
        g = hue(p, q, h);
        b = hue(p, q, h - 1.0 / 3);
    }
    auto to8 = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    return 0xFF000000u | (to8(r) << 16) | (to8(g) << 8) | to8(b);
}

size_t utf16Units(std::string_view s) {
    return text::utf16Length(s);
}

std::string quoteName(const std::string& name) {
    return "“" + name + "”";
}

// Strings in the BIFF8 form: 8-bit when every character fits, UTF-16LE otherwise.
struct EncodedString {
    std::string bytes;
    size_t chars = 0;
    bool wide = false;
};

EncodedString encode(std::string_view utf8) {
    EncodedString e;
    std::string u = text::utf8ToUtf16le(utf8);
    e.chars = u.size() / 2;
    for (size_t i = 1; i < u.size(); i += 2)
        if (u[i] != 0) e.wide = true;
    if (e.wide) {
        e.bytes = std::move(u);
    } else {
        e.bytes.reserve(e.chars);
        for (size_t i = 0; i < u.size(); i += 2) e.bytes += u[i];
    }
    return e;
}

void putString(std::string& out, std::string_view utf8, bool shortCount) {
    EncodedString e = encode(utf8);
    if (shortCount)
        bin::put8(out, uint8_t(std::min<size_t>(e.chars, 255)));
    else
        bin::put16(out, uint16_t(e.chars));
    bin::put8(out, e.wide ? 1 : 0);
    out += e.bytes;
}

void record(std::string& out, uint16_t type, std::string_view data) {
    size_t first = std::min(data.size(), kMaxRecordData);
    bin::put16(out, type);
    bin::put16(out, uint16_t(first));
    out.append(data.substr(0, first));
    for (size_t at = first; at < data.size(); at += kMaxRecordData) {
        size_t n = std::min(data.size() - at, kMaxRecordData);
        bin::put16(out, biff::kContinue);
        bin::put16(out, uint16_t(n));
        out.append(data.substr(at, n));
    }
}

template <class... V>
std::string u16s(V... v) {
    std::string s;
    (bin::put16(s, uint16_t(v)), ...);
    return s;
}

// Palette indexes for the colours of the workbook: exact default entries where they exist,
// otherwise entries of the custom palette replaced by the needed colours, and the nearest
// entry only when more colours are needed than the palette holds.
class PaletteMapper {
public:
    explicit PaletteMapper(const StyleTable& st) : st_(st) {
        for (uint32_t i = 8; i < 64; ++i) palette_[i - 8] = st.paletteColor(i) | 0xFF000000u;
    }

    // ARGB of a colour; none for automatic (system) colours.
    std::optional<uint32_t> resolve(const Color& c) const {
        switch (c.kind) {
            case Color::Kind::Rgb:
                return applyTint(c.value | 0xFF000000u, c.tint);
            case Color::Kind::Indexed:
                if (c.value >= 64) return std::nullopt;
                return applyTint(st_.paletteColor(c.value) | 0xFF000000u, c.tint);
            case Color::Kind::Theme: {
                uint32_t base = c.value < st_.themeColors.size() ? st_.themeColors[c.value]
                                : c.value < 12                   ? kDefaultTheme[c.value]
                                                                 : 0xFF000000u;
                return applyTint(base | 0xFF000000u, c.tint);
            }
            default:
                return std::nullopt;
        }
    }

    void need(const Color& c) {
        if (auto v = resolve(c))
            if (std::find(needed_.begin(), needed_.end(), *v) == needed_.end())
                needed_.push_back(*v);
    }

    void finish() {
        std::vector<bool> used(56, false);
        std::vector<uint32_t> misses;
        for (uint32_t v : needed_) {
            auto it = std::find(palette_.begin(), palette_.end(), v);
            if (it != palette_.end())
                used[size_t(it - palette_.begin())] = true;
            else
                misses.push_back(v);
        }
        size_t slot = 56;
        for (uint32_t v : misses) {
            while (slot > 0 && used[slot - 1]) --slot;
            if (slot == 0) break;
            palette_[--slot] = v;
            used[slot] = true;
            custom_ = true;
        }
    }

    // Palette index (8..63) of a colour, or `automatic` for system colours.
    uint16_t index(const Color& c, uint16_t automatic) const {
        auto v = resolve(c);
        if (!v) return automatic;
        size_t best = 0;
        long bestDist = -1;
        for (size_t i = 0; i < palette_.size(); ++i) {
            if (palette_[i] == *v) return uint16_t(i + 8);
            long dr = long((palette_[i] >> 16) & 0xFF) - long((*v >> 16) & 0xFF);
            long dg = long((palette_[i] >> 8) & 0xFF) - long((*v >> 8) & 0xFF);
            long db = long(palette_[i] & 0xFF) - long(*v & 0xFF);
            long d = dr * dr + dg * dg + db * db;
            if (bestDist < 0 || d < bestDist) {
                bestDist = d;
                best = i;
            }
        }
        return uint16_t(best + 8);
    }

    bool custom() const {
        if (custom_) return true;
        for (uint32_t i = 8; i < 64; ++i)
            if (palette_[i - 8] != (StyleTable().paletteColor(i) | 0xFF000000u)) return true;
        return false;
    }
    const std::array<uint32_t, 56>& entries() const { return palette_; }

private:
    const StyleTable& st_;
    std::array<uint32_t, 56> palette_{};
    std::vector<uint32_t> needed_;
    bool custom_ = false;
};

template <size_t N>
uint32_t indexOf(const std::array<std::string_view, N>& names, const std::string& name,
                 uint32_t fallback) {
    for (size_t i = 0; i < N; ++i)
        if (names[i] == name) return uint32_t(i);
    return fallback;
}

class XlsWriter {
public:
    explicit XlsWriter(const Workbook& wb) : wb_(wb), st_(wb.styles), palette_(wb.styles) {}
    std::string run();

private:
    void collectStyles();
    std::string globals(std::vector<size_t>& sheetOffsetFields, size_t& sstTotal);
    std::string sheet(const Worksheet& ws, bool active);
    void writeSst(std::string& out);
    uint16_t ixfe(uint32_t modelXf) const {
        auto it = xfIndex_.find(modelXf);
        return it == xfIndex_.end() ? 15 : it->second;
    }
    uint16_t fontIndex(uint32_t modelFont) const {
        auto it = fontIndex_.find(modelFont);
        return it == fontIndex_.end() ? 0 : it->second;
    }
    uint32_t sstIndex(uint32_t modelSst);
    void cellRecord(std::string& out, const Cell& c, uint16_t row);

    const Workbook& wb_;
    const StyleTable& st_;
    PaletteMapper palette_;
    std::vector<uint32_t> xfOrder_;  // model xfs in BIFF order (from ixfe 15)
    std::unordered_map<uint32_t, uint16_t> xfIndex_;
    std::vector<uint32_t> fontOrder_;  // model fonts written from index 5
    std::unordered_map<uint32_t, uint16_t> fontIndex_;
    std::map<uint32_t, uint16_t> formatIds_;  // model numFmtId -> BIFF id
    std::vector<std::pair<uint16_t, std::string>> formats_;
    std::vector<int64_t> sstMap_;
    std::vector<uint32_t> sstOrder_;
    size_t sstTotal_ = 0;
};

void XlsWriter::collectStyles() {
    auto useXf = [&](uint32_t xf) {
        if (xf >= st_.cellXfs.size()) xf = 0;
        if (xfIndex_.count(xf)) return;
        xfIndex_[xf] = uint16_t(15 + xfOrder_.size());
        xfOrder_.push_back(xf);
    };
    useXf(0);
    for (const auto& ws : wb_.sheets) {
        for (const Row& r : ws->rows()) {
            if (r.customFormat) useXf(r.style);
            for (const Cell& c : r.cells) useXf(c.style);
        }
        for (const ColumnInfo& ci : ws->columns)
            if (ci.first <= kXlsMaxCols) useXf(ci.style);
    }
    auto useFont = [&](uint32_t f) {
        if (f >= st_.fonts.size()) f = 0;
        if (f == 0 || fontIndex_.count(f)) return;
        fontIndex_[f] = uint16_t(5 + fontOrder_.size());
        fontOrder_.push_back(f);
    };
    for (uint32_t xf : xfOrder_) {
        const CellFormat& f = st_.cellXfs[xf];
        useFont(f.fontId);
        if (f.fontId < st_.fonts.size()) palette_.need(st_.fonts[f.fontId].color);
        if (f.fillId < st_.fills.size()) {
            palette_.need(st_.fills[f.fillId].fg);
            palette_.need(st_.fills[f.fillId].bg);
        }
        if (f.borderId < st_.borders.size()) {
            const Border& b = st_.borders[f.borderId];
            for (const BorderSide* s : {&b.left, &b.right, &b.top, &b.bottom, &b.diagonal})
                if (!s->style.empty()) palette_.need(s->color);
        }
        if (!formatIds_.count(f.numFmtId)) {
            const std::string* builtin = builtinNumberFormat(f.numFmtId);
            std::string code = st_.numberFormatCode(f.numFmtId);
            if (f.numFmtId < 50 && builtin && st_.numFmts.count(f.numFmtId) == 0) {
                formatIds_[f.numFmtId] = uint16_t(f.numFmtId);
            } else if (code.empty()) {
                formatIds_[f.numFmtId] = 0;
            } else {
                uint16_t id = uint16_t(164 + formats_.size());
                formats_.emplace_back(id, code);
                formatIds_[f.numFmtId] = id;
            }
        }
    }
    palette_.finish();
}

uint32_t XlsWriter::sstIndex(uint32_t modelSst) {
    if (sstMap_.empty()) sstMap_.assign(wb_.strings.size(), -1);
    ++sstTotal_;
    if (modelSst >= sstMap_.size()) modelSst = 0;
    if (sstMap_[modelSst] < 0) {
        sstMap_[modelSst] = int64_t(sstOrder_.size());
        sstOrder_.push_back(modelSst);
    }
    return uint32_t(sstMap_[modelSst]);
}

// RkNumber ([MS-XLS] 2.5.217) when the value survives the compact form exactly.
std::optional<uint32_t> toRk(double v) {
    if (std::floor(v) == v && v >= -536870912.0 && v < 536870912.0)
        return (uint32_t(int32_t(v)) << 2) | 2u;
    double h = v * 100;
    if (std::floor(h) == h && h >= -536870912.0 && h < 536870912.0 && h / 100 == v)
        return (uint32_t(int32_t(h)) << 2) | 3u;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if ((bits & 0x3FFFFFFFFull) == 0) return uint32_t(bits >> 32);
    return std::nullopt;
}

void XlsWriter::cellRecord(std::string& out, const Cell& c, uint16_t row) {
    uint16_t col = uint16_t(c.col - 1), xf = ixfe(c.style);
    std::string d = u16s(row, col, xf);
    switch (c.type) {
        case CellType::Number:
            if (auto rk = toRk(c.number)) {
                bin::put32(d, *rk);
                record(out, biff::kRk, d);
            } else {
                bin::putF64(d, c.number);
                record(out, biff::kNumber, d);
            }
            break;
        case CellType::String:
            bin::put32(d, sstIndex(c.sst));
            record(out, biff::kLabelSst, d);
            break;
        case CellType::Boolean:
            bin::put8(d, c.boolean ? 1 : 0);
            bin::put8(d, 0);
            record(out, biff::kBoolErr, d);
            break;
        case CellType::Error:
            bin::put8(d, biff::kErrorCodes[size_t(c.error)]);
            bin::put8(d, 1);
            record(out, biff::kBoolErr, d);
            break;
        case CellType::Empty:
            if (c.style != 0) record(out, biff::kBlank, d);
            break;
    }
}

std::string XlsWriter::sheet(const Worksheet& ws, bool active) {
    std::string out;
    record(out, biff::kBof, u16s(0x0600, 0x0010, 0x0DBB, 0x07CC, 0, 0, 6, 0));
    record(out, biff::kCalcMode, u16s(1));
    record(out, biff::kCalcCount, u16s(100));
    record(out, biff::kRefMode, u16s(1));
    record(out, biff::kIteration, u16s(0));
    {
        std::string d;
        bin::putF64(d, 0.001);
        record(out, biff::kDelta, d);
    }
    record(out, biff::kSaveRecalc, u16s(1));
    record(out, biff::kGuts, u16s(0, 0, 0, 0));
    uint16_t defaultHeight =
        uint16_t(std::lround(std::clamp(ws.defaultRowHeight, 0.0, 409.0) * 20));
    record(out, biff::kDefaultRowHeight, u16s(ws.customDefaultRowHeight ? 1 : 0, defaultHeight));
    record(out, biff::kWsBool, u16s(0x04C1));
    record(out, biff::kDefColWidth, u16s(std::min<uint32_t>(ws.baseColWidth, 255)));
    for (const ColumnInfo& ci : ws.columns) {
        if (ci.first < 1 || ci.first > kXlsMaxCols) continue;
        uint32_t last = std::min(ci.last, kXlsMaxCols);
        double width =
            ci.width > 0 ? ci.width : ws.defaultColWidth.value_or(ws.baseColWidth + 0.71);
        uint16_t flags =
            uint16_t((ci.hidden ? 1 : 0) | (ci.customWidth ? 2 : 0) | (ci.bestFit ? 4 : 0) |
                     ((ci.outlineLevel & 7) << 8) | (ci.collapsed ? 0x1000 : 0));
        record(
            out, biff::kColInfo,
            u16s(ci.first - 1, last - 1, uint16_t(std::lround(std::clamp(width, 0.0, 255.0) * 256)),
                 ixfe(ci.style), flags, 0));
    }
    // DIMENSIONS: first row, last row + 1, first column, last column + 1.
    uint32_t r1 = 0, r2 = 0, c1 = 0, c2 = 0;
    bool any = false;
    for (const Row& r : ws.rows()) {
        if (r.cells.empty()) continue;
        uint32_t a = r.cells.front().col - 1u, b = r.cells.back().col;
        if (!any) {
            r1 = r.index - 1;
            c1 = a;
            c2 = b;
            any = true;
        }
        r2 = r.index;
        c1 = std::min(c1, a);
        c2 = std::max(c2, b);
    }
    {
        std::string d;
        bin::put32(d, r1);
        bin::put32(d, r2);
        bin::put16(d, uint16_t(c1));
        bin::put16(d, uint16_t(c2));
        bin::put16(d, 0);
        record(out, biff::kDimensions, d);
    }
    // Rows in blocks of 32: the ROW records of the block, then its cells.
    const auto& rows = ws.rows();
    for (size_t i = 0; i < rows.size();) {
        uint32_t block = (rows[i].index - 1) / 32;
        size_t end = i;
        while (end < rows.size() && (rows[end].index - 1) / 32 == block) ++end;
        if (rows[i].index > kXlsMaxRows) break;
        for (size_t k = i; k < end; ++k) {
            const Row& r = rows[k];
            if (r.cells.empty() && !r.hasFormat()) continue;
            uint16_t colMic = r.cells.empty() ? 0 : uint16_t(r.cells.front().col - 1);
            uint16_t colMac = r.cells.empty() ? 0 : uint16_t(r.cells.back().col);
            double h = r.customHeight ? r.height : ws.defaultRowHeight;
            uint16_t twips = uint16_t(std::lround(std::clamp(h, 0.0, 409.5) * 20));
            uint16_t flags =
                uint16_t((r.outlineLevel & 7) | (r.collapsed ? 0x10 : 0) | (r.hidden ? 0x20 : 0) |
                         (r.customHeight ? 0x40 : 0) | (r.customFormat ? 0x80 : 0) | 0x100);
            uint16_t rowXf = r.customFormat ? ixfe(r.style) : 15;
            record(out, biff::kRow,
                   u16s(r.index - 1, colMic, colMac, twips, 0, 0, flags, rowXf & 0x0FFF));
        }
        for (size_t k = i; k < end; ++k)
            for (const Cell& c : rows[k].cells) cellRecord(out, c, uint16_t(rows[k].index - 1));
        i = end;
    }
    // WINDOW2 and, for frozen panes, PANE ([MS-XLS] 2.4.346, 2.4.189).
    bool frozen = ws.frozenRows > 0 || ws.frozenCols > 0;
    uint16_t grbit =
        uint16_t((ws.showGridLines ? 0x02 : 0) | 0x04 | (frozen ? 0x108 : 0) | 0x10 | 0x20 |
                 (ws.rightToLeft ? 0x40 : 0) | 0x80 | (ws.tabSelected || active ? 0x600 : 0));
    record(out, biff::kWindow2, u16s(grbit, 0, 0, 64, 0, 0, 0, 0, 0));
    if (frozen) {
        uint16_t pnn = ws.frozenRows && ws.frozenCols ? 0 : ws.frozenRows ? 2 : 1;
        std::string d = u16s(ws.frozenCols, ws.frozenRows, ws.frozenRows, ws.frozenCols);
        bin::put8(d, uint8_t(pnn));
        bin::put8(d, 0);
        record(out, biff::kPane, d);
    }
    if (ws.zoomScale != 100 && ws.zoomScale >= 10 && ws.zoomScale <= 400)
        record(out, biff::kScl, u16s(ws.zoomScale, 100));
    // MERGEDCELLS: at most 1026 ranges per record.
    for (size_t i = 0; i < ws.merges.size(); i += 1026) {
        size_t n = std::min<size_t>(1026, ws.merges.size() - i);
        std::string d = u16s(n);
        for (size_t k = i; k < i + n; ++k) {
            const CellRange& m = ws.merges[k];
            d += u16s(m.firstRow - 1, m.lastRow - 1, m.firstCol - 1, m.lastCol - 1);
        }
        record(out, biff::kMergedCells, d);
    }
    record(out, biff::kEof, "");
    return out;
}

// SST ([MS-XLS] 2.4.265) split over CONTINUE records: a string's header never splits, and
// characters that continue in the next record are preceded by a fresh flag byte. EXTSST
// ([MS-XLS] 2.4.107) points to every eighth (or more) string.
void XlsWriter::writeSst(std::string& out) {
    const size_t n = sstOrder_.size();
    const size_t perBucket = std::max<size_t>(8, (n + 127) / 128);
    std::string ext = u16s(perBucket);

    size_t recStart = out.size();
    bin::put16(out, biff::kSst);
    bin::put16(out, 0);
    bin::put32(out, uint32_t(sstTotal_));
    bin::put32(out, uint32_t(n));
    auto used = [&] { return out.size() - recStart - 4; };
    auto closeRecord = [&] { bin::patch16(out, recStart + 2, uint16_t(used())); };
    auto newContinue = [&] {
        closeRecord();
        recStart = out.size();
        bin::put16(out, biff::kContinue);
        bin::put16(out, 0);
    };
    for (size_t i = 0; i < n; ++i) {
        EncodedString e = encode(wb_.strings.text(sstOrder_[i]));
        const size_t unit = e.wide ? 2 : 1;
        if (used() + 3 + unit > kMaxRecordData) newContinue();  // header and a first character
        if (i % perBucket == 0) {
            bin::put32(ext, uint32_t(out.size()));
            bin::put16(ext, uint16_t(out.size() - recStart));
            bin::put16(ext, 0);
        }
        bin::put16(out, uint16_t(e.chars));
        bin::put8(out, e.wide ? 1 : 0);
        size_t at = 0;
        while (at < e.bytes.size()) {
            size_t room = (kMaxRecordData - used()) / unit * unit;
            if (room == 0) {
                newContinue();
                bin::put8(out, e.wide ? 1 : 0);
                continue;
            }
            size_t take = std::min(room, e.bytes.size() - at);
            out.append(e.bytes, at, take);
            at += take;
        }
    }
    closeRecord();
    record(out, biff::kExtSst, ext);
}

std::string XlsWriter::globals(std::vector<size_t>& sheetOffsetFields, size_t& sstTotal) {
    std::string out;
    record(out, biff::kBof, u16s(0x0600, 0x0005, 0x0DBB, 0x07CC, 0, 0, 6, 0));
    record(out, biff::kInterfaceHdr, u16s(1200));
    record(out, biff::kMms, u16s(0));
    record(out, biff::kInterfaceEnd, "");
    {
        std::string d;
        putString(d, "Tablaweaver", false);
        d.resize(112, ' ');
        record(out, biff::kWriteAccess, d);
    }
    record(out, biff::kCodePage, u16s(1200));
    record(out, 0x0161 /* DSF */, u16s(0));
    record(out, 0x0019 /* WINPROTECT */, u16s(0));
    record(out, 0x0012 /* PROTECT */, u16s(0));
    record(out, 0x0013 /* PASSWORD */, u16s(0));
    record(out, 0x01AF /* PROT4REV */, u16s(0));
    record(out, 0x01BC /* PROT4REVPASS */, u16s(0));
    size_t active = wb_.activeSheet < wb_.sheets.size() ? wb_.activeSheet : 0;
    size_t firstTab = wb_.firstVisibleTab < wb_.sheets.size() ? wb_.firstVisibleTab : 0;
    record(out, biff::kWindow1,
           u16s(0x0168, 0x001E, 0x4000, 0x2000, 0x0038, active, firstTab, 1, 0x0258));
    record(out, 0x0040 /* BACKUP */, u16s(0));
    record(out, biff::kHideObj, u16s(0));
    record(out, biff::kDateMode, u16s(wb_.date1904 ? 1 : 0));
    record(out, biff::kPrecision, u16s(1));
    record(out, biff::kRefreshAll, u16s(0));
    record(out, biff::kBookBool, u16s(0));

    // FONT ([MS-XLS] 2.4.122): indexes 0-3 are the default font, 4 is never written.
    auto font = [&](const Font& f) {
        std::string d;
        uint16_t grbit = uint16_t((f.italic ? 2 : 0) | (f.strike ? 8 : 0) | (f.outline ? 0x10 : 0) |
                                  (f.shadow ? 0x20 : 0));
        uint16_t sss = f.vertAlign == "superscript" ? 1 : f.vertAlign == "subscript" ? 2 : 0;
        uint8_t uls = f.underline == "single"             ? 1
                      : f.underline == "double"           ? 2
                      : f.underline == "singleAccounting" ? 0x21
                      : f.underline == "doubleAccounting" ? 0x22
                                                          : 0;
        d += u16s(uint16_t(std::lround(std::clamp(f.size, 1.0, 409.0) * 20)), grbit,
                  palette_.index(f.color, 0x7FFF), f.bold ? 700 : 400, sss);
        bin::put8(d, uls);
        bin::put8(d, uint8_t(f.family > 0 ? f.family : 0));
        bin::put8(d, uint8_t(f.charset > 0 ? f.charset : (f.charset == 0 ? 0 : 1)));
        bin::put8(d, 0);
        putString(d, f.name.empty() ? "Arial" : f.name, true);
        record(out, biff::kFont, d);
    };
    const Font base = st_.fonts.empty() ? Font{} : st_.fonts[0];
    for (int i = 0; i < 4; ++i) font(base);
    for (uint32_t f : fontOrder_) font(st_.fonts[f]);

    for (auto& [id, code] : formats_) {
        std::string d = u16s(id);
        putString(d, code, false);
        record(out, biff::kFormat, d);
    }

    // XF ([MS-XLS] 2.4.353): 15 style formats, then the cell formats from index 15.
    for (int i = 0; i < 15; ++i) {
        std::string d = u16s(0, 0, 0xFFF5);
        bin::put8(d, 0x20);
        bin::put8(d, 0);
        bin::put8(d, 0);
        bin::put8(d, i == 0 ? 0 : 0xF4);
        bin::put32(d, 0);
        bin::put32(d, 0);
        bin::put16(d, 0x20C0);
        record(out, biff::kXf, d);
    }
    for (uint32_t xf : xfOrder_) {
        const CellFormat& f = st_.cellXfs[xf];
        uint16_t flags = uint16_t((f.protection.locked ? 1 : 0) | (f.protection.hidden ? 2 : 0) |
                                  (f.quotePrefix ? 8 : 0));
        std::string d = u16s(fontIndex(f.fontId), formatIds_.at(f.numFmtId), flags);
        const Alignment& a = f.alignment;
        uint32_t alc = indexOf(biff::kHorizontal, a.horizontal, 0);
        uint32_t alcV = a.vertical == "bottom" ? 2 : indexOf(biff::kVertical, a.vertical, 2);
        bin::put8(
            d, uint8_t(alc | (a.wrapText ? 8 : 0) | (alcV << 4) | (a.justifyLastLine ? 0x80 : 0)));
        bin::put8(d, uint8_t(a.textRotation >= 0 && a.textRotation <= 255 ? a.textRotation : 0));
        bin::put8(d, uint8_t(std::clamp(a.indent, 0, 15) | (a.shrinkToFit ? 0x10 : 0) |
                             ((a.readingOrder & 3) << 6)));
        bin::put8(d, 0xFC);
        Border b = f.borderId < st_.borders.size() ? st_.borders[f.borderId] : Border{};
        auto dg = [&](const BorderSide& s) { return indexOf(biff::kBorderStyles, s.style, 1); };
        auto icv = [&](const BorderSide& s) -> uint32_t {
            return s.style.empty() ? 0 : palette_.index(s.color, 64);
        };
        bool diag = !b.diagonal.style.empty() && (b.diagonalUp || b.diagonalDown);
        uint32_t b1 =
            dg(b.left) | (dg(b.right) << 4) | (dg(b.top) << 8) | (dg(b.bottom) << 12) |
            (icv(b.left) << 16) | (icv(b.right) << 23) |
            (diag ? (uint32_t(b.diagonalDown ? 1 : 0) | (b.diagonalUp ? 2u : 0u)) << 30 : 0u);
        Fill fill = f.fillId < st_.fills.size() ? st_.fills[f.fillId] : Fill{};
        uint32_t fls = fill.gradient ? 1 : indexOf(biff::kFillPatterns, fill.patternType, 0);
        uint32_t b2 = icv(b.top) | (icv(b.bottom) << 7) | (diag ? icv(b.diagonal) << 14 : 0) |
                      (diag ? dg(b.diagonal) << 21 : 0) | (fls << 26);
        bin::put32(d, b1);
        bin::put32(d, b2);
        uint16_t fore = 64, back = 65;
        if (fill.gradient && !fill.stops.empty()) {
            fore = palette_.index(fill.stops[0].color, 64);
        } else if (fls != 0) {
            fore = palette_.index(fill.fg, 64);
            back = palette_.index(fill.bg, 65);
        }
        bin::put16(d, uint16_t(fore | (back << 7)));
        record(out, biff::kXf, d);
    }
    // STYLE: the built-in Normal style on XF 0.
    {
        std::string d = u16s(0x8000);
        bin::put8(d, 0);
        bin::put8(d, 0xFF);
        record(out, biff::kStyle, d);
    }
    if (palette_.custom()) {
        std::string d = u16s(56);
        for (uint32_t c : palette_.entries()) {
            bin::put8(d, uint8_t(c >> 16));
            bin::put8(d, uint8_t(c >> 8));
            bin::put8(d, uint8_t(c));
            bin::put8(d, 0);
        }
        record(out, biff::kPalette, d);
    }
    record(out, biff::kUseSelfs, u16s(0));
    for (const auto& ws : wb_.sheets) {
        std::string d;
        sheetOffsetFields.push_back(out.size() + 4);
        bin::put32(d, 0);
        bin::put8(d, ws->state == SheetState::Hidden       ? 1
                     : ws->state == SheetState::VeryHidden ? 2
                                                           : 0);
        bin::put8(d, 0);
        putString(d, ws->name, true);
        record(out, biff::kBoundSheet, d);
    }
    record(out, biff::kCountry, u16s(1, 86));
    writeSst(out);
    sstTotal = sstTotal_;
    record(out, biff::kEof, "");
    return out;
}

std::string XlsWriter::run() {
    collectStyles();
    // Sheets first: they fill the shared string table the globals then carry.
    std::vector<std::string> sheets;
    for (size_t i = 0; i < wb_.sheets.size(); ++i)
        sheets.push_back(sheet(*wb_.sheets[i], i == wb_.activeSheet));
    std::vector<size_t> offsetFields;
    size_t total = 0;
    std::string stream = globals(offsetFields, total);
    size_t at = stream.size();
    for (size_t i = 0; i < sheets.size(); ++i) {
        bin::patch32(stream, offsetFields[i], uint32_t(at));
        at += sheets[i].size();
    }
    for (auto& s : sheets) stream += s;
    return cfb::build({{"Workbook", stream}});
}

}  // namespace

std::optional<std::string> xlsLimitProblem(const Workbook& wb) {
    std::unordered_map<uint32_t, bool> xfs;
    for (const auto& ws : wb.sheets) {
        const std::string sheet = quoteName(ws->name);
        if (utf16Units(ws->name) > 31)
            return "工作表名称" + sheet + "超过 31 个字符，xls 格式无法保存。";
        uint32_t lastRow = 0, lastCol = 0;
        for (const Row& r : ws->rows()) {
            if (!r.cells.empty()) lastRow = std::max(lastRow, r.index);
            if (!r.cells.empty()) lastCol = std::max<uint32_t>(lastCol, r.cells.back().col);
            if (r.customFormat) xfs[r.style] = true;
            for (const Cell& c : r.cells) {
                xfs[c.style] = true;
                if (c.type == CellType::String && c.sst < wb.strings.size() &&
                    wb.strings.text(c.sst).size() > 32767 &&
                    utf16Units(wb.strings.text(c.sst)) > 32767)
                    return "工作表" + sheet + "的单元格 " + cellName(r.index, c.col) +
                           " 中的文字超过 32,767 个字符，xls 格式无法保存。";
            }
        }
        for (const CellRange& m : ws->merges) {
            lastRow = std::max(lastRow, m.lastRow);
            lastCol = std::max(lastCol, m.lastCol);
        }
        // Formats of whole rows and columns beyond the grid hold no cells: they are left out
        // (an .xlsx often formats columns up to 16,384), the cells and merges are what counts.
        for (const ColumnInfo& ci : ws->columns)
            if (ci.first <= kXlsMaxCols) xfs[ci.style] = true;
        if (lastRow > kXlsMaxRows)
            return "工作表" + sheet + "有 " + std::to_string(lastRow) +
                   " 行，超过 xls 格式的上限 65,536 行。";
        if (lastCol > kXlsMaxCols)
            return "工作表" + sheet + "有 " + std::to_string(lastCol) +
                   " 列，超过 xls 格式的上限 256 列。";
    }
    if (xfs.size() > kMaxCellFormats)
        return "工作簿有 " + std::to_string(xfs.size()) +
               " 种单元格格式，超过 xls 格式的上限 4,000 种。";
    return std::nullopt;
}

Status writeXls(const Workbook& wb, const fs::path& path) {
    if (auto problem = xlsLimitProblem(wb))
        return fail("无法保存 " + path.string() + "：" + *problem);
    if (wb.sheets.empty()) return fail("无法保存 " + path.string() + "：工作簿中没有工作表。");
    std::string file = XlsWriter(wb).run();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return fail("无法保存 " + path.string() + "：无法写入文件。");
    out.write(file.data(), std::streamsize(file.size()));
    out.close();
    if (!out) return fail("无法保存 " + path.string() + "：写入文件时出错（磁盘空间不足？）。");
    return okStatus();
}

}  // namespace ss
