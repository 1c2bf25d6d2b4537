// Reading BIFF8 (and BIFF5/7) workbooks ([MS-XLS]) from the Workbook (or Book) stream.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "biff.h"
#include "bytes.h"
#include "cfb.h"
#include "../read_stop.h"
#include "../text/codepage.h"
#include "formula_decode.h"
#include "xls_decrypt.h"
#include "../crypto/office_crypto.h"
#include "../text/xml_text.h"
#include "xls.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

const char* const kEncrypted = "工作簿已加密（设有打开密码），请先在表格软件中取消密码。";
const char* const kDamaged = "文件已损坏（工作簿数据无法读取）。";

struct Record {
    uint16_t type = 0;
    std::string_view data;
    size_t offset = 0;  // of the record header in the stream
};

// Walks the records of a stream ([MS-XLS] 2.1.4: type, size, data). A record whose size runs
// past the end of the stream stops the walk with an error.
class RecordStream {
public:
    explicit RecordStream(std::string_view s) : s_(s) {}
    void seek(size_t at) { pos_ = at; }
    size_t pos() const { return pos_; }
    bool overrun() const { return overrun_; }

    bool next(Record& r) {
        if (pos_ + 4 > s_.size()) return false;
        bin::ByteCursor c(s_.data() + pos_, 4);
        r.offset = pos_;
        r.type = c.u16();
        uint16_t size = c.u16();
        if (pos_ + 4 + size > s_.size()) {
            overrun_ = true;
            return false;
        }
        r.data = s_.substr(pos_ + 4, size);
        pos_ += 4 + size_t(size);
        return true;
    }
    bool peekType(uint16_t& type) const {
        if (pos_ + 4 > s_.size()) return false;
        bin::ByteCursor c(s_.data() + pos_, 2);
        type = c.u16();
        return true;
    }

private:
    std::string_view s_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

// Reads across a record and its CONTINUE records. Character data split at a record boundary
// carries a fresh flag byte in the continuing record ([MS-XLS] 2.5.293 XLUnicodeRichExtended
// String, 2.1.7.1 CONTINUE).
class SegmentCursor {
public:
    explicit SegmentCursor(std::vector<std::string_view> segs) : segs_(std::move(segs)) {}
    bool ok() const { return ok_; }
    bool atEnd() {
        while (seg_ < segs_.size() && pos_ >= segs_[seg_].size()) ++seg_, pos_ = 0;
        return seg_ >= segs_.size();
    }
    uint8_t u8() {
        if (atEnd()) {
            ok_ = false;
            return 0;
        }
        return uint8_t(segs_[seg_][pos_++]);
    }
    uint16_t u16() { return uint16_t(u8() | (uint16_t(u8()) << 8)); }
    uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
    void skip(uint64_t n) {
        while (n > 0) {
            if (atEnd()) {
                ok_ = false;
                return;
            }
            uint64_t take = std::min<uint64_t>(n, segs_[seg_].size() - pos_);
            pos_ += size_t(take);
            n -= take;
        }
    }
    // `count` characters, 8-bit (Latin-1 code units) or UTF-16LE, switching width at each
    // record boundary as the boundary's flag byte says.
    std::string chars(size_t count, bool wide) {
        std::string utf16;
        utf16.reserve(count * 2);
        while (count > 0) {
            if (seg_ < segs_.size() && pos_ >= segs_[seg_].size()) {
                ++seg_;
                pos_ = 0;
                if (seg_ >= segs_.size()) break;
                if (segs_[seg_].empty()) continue;
                wide = (uint8_t(segs_[seg_][pos_++]) & 1) != 0;
                continue;
            }
            if (seg_ >= segs_.size()) break;
            std::string_view s = segs_[seg_];
            if (wide) {
                if (pos_ + 2 > s.size()) {
                    ok_ = false;
                    return {};
                }
                utf16.append(s.substr(pos_, 2));
                pos_ += 2;
            } else {
                utf16 += s[pos_++];
                utf16 += '\0';
            }
            --count;
        }
        if (count > 0) ok_ = false;
        return text::utf16ToUtf8(utf16, false);
    }

private:
    std::vector<std::string_view> segs_;
    size_t seg_ = 0, pos_ = 0;
    bool ok_ = true;
};

// XLUnicodeString family ([MS-XLS] 2.5.294, 2.5.293): character count (one or two bytes),
// flags, optional rich-text run count and phonetic size, characters, then the runs and the
// phonetic block, which are skipped.
std::string readUnicodeString(SegmentCursor& c, bool shortCount) {
    size_t cch = shortCount ? c.u8() : c.u16();
    uint8_t flags = c.u8();
    uint16_t runs = (flags & 0x08) ? c.u16() : 0;
    uint32_t ext = (flags & 0x04) ? c.u32() : 0;
    std::string s = c.chars(cch, flags & 1);
    c.skip(uint64_t(runs) * 4 + ext);
    return s;
}

// Records that give a cell its value ([MS-XLS] 2.1.7.20.6, CELLTABLE).
bool isCellRecord(uint16_t type) {
    switch (type) {
        case biff::kFormula:
        case biff::kFormulaOld3:
        case biff::kFormulaOld4:
        case biff::kNumber:
        case biff::kRk:
        case biff::kMulRk:
        case biff::kBlank:
        case biff::kMulBlank:
        case biff::kLabelSst:
        case biff::kLabel:
        case biff::kRString:
        case biff::kBoolErr:
            return true;
        default:
            return false;
    }
}

struct BiffFont {
    Font font;
};

struct BiffXf {
    uint16_t font = 0, format = 0, flags = 0;
    uint8_t align = 0, rotation = 0, indent = 0;
    uint32_t border1 = 0, border2 = 0;
    uint16_t fill = 0;
    bool biff8 = true;
};

struct SharedFormula {
    uint16_t firstRow, lastRow;
    uint8_t firstCol, lastCol;
    std::string rgce;
};

class XlsReader {
public:
    // `decrypted`: the stream's FilePass record was met and the records after it decrypted.
    XlsReader(std::string_view stream, const ReadLimits& limits, bool decrypted = false)
        : s_(stream), limits_(limits), wb_(std::make_unique<Workbook>()), decrypted_(decrypted) {}

    Result<std::unique_ptr<Workbook>> run();

private:
    Status readGlobals(std::vector<std::tuple<std::string, uint32_t, uint8_t, uint8_t>>& sheets);
    // `dialog` tells whether the sheet turned out to be a dialog sheet (WSBOOL).
    Status readSheet(Worksheet& ws, uint32_t offset, bool& dialog);
    std::string decode8(std::string_view bytes) const;
    std::string hyperlink(std::string_view data, Worksheet& ws) const;
    std::string readString(std::string_view data, bool shortCount) const;
    uint32_t xf(uint16_t biffIndex);
    Color color(uint16_t icv, bool fontColor = false) const;
    void buildStyles();
    Cell& place(Worksheet& ws, uint32_t row, uint32_t col);
    static double rk(uint32_t v);

    std::string_view s_;
    ReadLimits limits_;
    std::unique_ptr<Workbook> wb_;
    bool biff8_ = true;
    std::string charset_ = "CP1252";
    std::vector<std::string> sst_;
    std::vector<Font> fonts_;
    std::unordered_map<uint16_t, std::string> formats_;
    std::vector<BiffXf> xfs_;
    std::vector<int64_t> xfMap_;
    std::vector<uint32_t> palette_;  // PALETTE entries for indexes 8..
    uint64_t cells_ = 0;
    uint64_t sharedText_ = 0;  // formula text given to the cells of shared formulas
    xlsformula::Context fctx_;
    bool decrypted_ = false;
};

namespace {
// Class ids of the monikers a hyperlink names its target with ([MS-OSHARED] 2.3.7.2, 2.3.7.6,
// 2.3.7.8), as stored (little-endian fields).
constexpr std::string_view kUrlMoniker{
    "\xE0\xC9\xEA\x79\xF9\xBA\xCE\x11\x8C\x82\x00\xAA\x00\x4B\xA9\x0B", 16};
constexpr std::string_view kFileMoniker{
    "\x03\x03\x00\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16};

// UTF-16LE up to its first NUL character.
std::string utf16UntilNul(std::string_view b) {
    size_t end = 0;
    while (end + 1 < b.size() && !(b[end] == 0 && b[end + 1] == 0)) end += 2;
    return text::utf16ToUtf8(b.substr(0, end), false);
}
}  // namespace

// An HLINK record ([MS-XLS] 2.4.140, the hyperlink object of [MS-OSHARED] 2.3.7.1) as a
// <hyperlink> element; a target outside the workbook joins the sheet's link targets. Anything
// it cannot follow gives nothing.
std::string XlsReader::hyperlink(std::string_view data, Worksheet& ws) const {
    bin::ByteCursor c(data);
    const uint16_t r1 = c.u16(), r2 = c.u16(), c1 = c.u16(), c2 = c.u16();
    c.bytes(16);  // class id of the hyperlink object
    const uint32_t version = c.u32(), flags = c.u32();
    if (!c.ok() || version != 2 || r1 > r2 || c1 > c2 || c2 >= kXlsxMaxCols) return {};
    auto counted = [&](std::string& out) {  // a character count (with its NUL), then UTF-16
        const uint32_t n = c.u32();
        if (!c.ok() || n > c.remaining() / 2) return false;
        out = utf16UntilNul(c.bytes(size_t(n) * 2));
        return c.ok();
    };
    std::string display, frame, target, location;
    if ((flags & 0x10) && !counted(display)) return {};
    if ((flags & 0x80) && !counted(frame)) return {};
    if (flags & 0x01) {
        if (flags & 0x100) {
            if (!counted(target)) return {};
        } else {
            const std::string_view id = c.bytes(16);
            if (!c.ok()) return {};
            if (id == kUrlMoniker) {
                const uint32_t n = c.u32();
                if (!c.ok() || n > c.remaining()) return {};
                target = utf16UntilNul(c.bytes(n));
            } else if (id == kFileMoniker) {
                const uint16_t up = c.u16();  // "..\" before the path
                const uint32_t ansi = c.u32();
                if (!c.ok() || ansi > c.remaining()) return {};
                std::string_view ansiPath = c.bytes(ansi);
                if (const size_t nul = ansiPath.find('\0'); nul != std::string_view::npos)
                    ansiPath = ansiPath.substr(0, nul);
                c.bytes(24);  // end server, version, reserved
                const uint32_t extra = c.u32();
                if (!c.ok()) return {};
                if (extra > 0) {
                    const uint32_t bytes = c.u32();
                    c.u16();  // key value
                    if (!c.ok() || bytes > c.remaining()) return {};
                    target = text::utf16ToUtf8(c.bytes(bytes), false);
                } else {
                    target = decode8(ansiPath);
                }
                std::replace(target.begin(), target.end(), '\\', '/');
                for (uint16_t i = 0; i < up && i < 64; ++i) target.insert(0, "../");
            } else {
                return {};  // another kind of moniker: not followed
            }
        }
    }
    if ((flags & 0x08) && !counted(location)) return {};
    if (target.empty() && location.empty()) return {};

    std::string xml = "<hyperlink";
    auto attr = [&](const char* name, std::string_view value) {
        xml += ' ';
        xml += name;
        xml += "=\"";
        xml::appendXstring(xml, value, true);
        xml += '"';
    };
    attr("ref",
         CellRange{uint32_t(r1) + 1, uint32_t(c1) + 1, uint32_t(r2) + 1, uint32_t(c2) + 1}.toA1());
    if (!target.empty()) {
        auto& targets = ws.externalLinks;
        auto known = std::find(targets.begin(), targets.end(), target);
        const size_t n = size_t(known - targets.begin()) + 1;
        if (known == targets.end()) targets.push_back(target);
        attr("r:id", "rIdL" + std::to_string(n));
    }
    if (!location.empty()) attr("location", location);
    if (!display.empty()) attr("display", display);
    return xml + "/>";
}

std::string XlsReader::decode8(std::string_view bytes) const {
    auto r = text::toUtf8Lenient(bytes, charset_.c_str());
    if (r) return *r;
    // A code page the system cannot convert: the bytes as Latin-1.
    std::string out;
    for (char ch : bytes) text::appendUtf8(out, uint8_t(ch));
    return out;
}

// BIFF8: XLUnicodeString / ShortXLUnicodeString. BIFF5: a byte count and code-page bytes.
std::string XlsReader::readString(std::string_view data, bool shortCount) const {
    if (biff8_) {
        SegmentCursor c({data});
        return readUnicodeString(c, shortCount);
    }
    bin::ByteCursor c(data);
    size_t n = shortCount ? c.u8() : c.u16();
    return decode8(c.bytes(std::min(n, c.remaining())));
}

double XlsReader::rk(uint32_t v) {
    // RkNumber ([MS-XLS] 2.5.217): bit 0 divides by 100, bit 1 marks a 30-bit integer.
    double d;
    if (v & 2) {
        d = double(int32_t(v) >> 2);
    } else {
        uint64_t bits = uint64_t(v & 0xFFFFFFFCu) << 32;
        std::memcpy(&d, &bits, sizeof d);
    }
    return (v & 1) ? d / 100.0 : d;
}

Color XlsReader::color(uint16_t icv, bool fontColor) const {
    if (fontColor && (icv == 0x7FFF || icv == 64)) return Color{Color::Kind::Auto, 0, 0.0};
    return Color::indexed(icv);
}

Status XlsReader::readGlobals(
    std::vector<std::tuple<std::string, uint32_t, uint8_t, uint8_t>>& sheets) {
    RecordStream rs(s_);
    Record r;
    if (!rs.next(r) || r.type != biff::kBof || r.data.size() < 4) return fail(kDamaged);
    {
        bin::ByteCursor c(r.data);
        uint16_t vers = c.u16();
        if (vers == 0x0600) {
            biff8_ = true;
        } else if (vers == 0x0500) {
            biff8_ = false;
        } else {
            return fail("不支持 BIFF5 之前的旧版 xls 文件。");
        }
    }
    fctx_.biff8 = biff8_;
    while (rs.next(r)) {
        bin::ByteCursor c(r.data);
        switch (r.type) {
            case biff::kEof:
                return okStatus();
            case biff::kFilePass:
                if (!decrypted_) return fail(kEncrypted);
                break;
            case biff::kCodePage: {
                uint16_t cp = c.u16();
                if (c.ok()) charset_ = text::charsetOfCodePage(cp);
                break;
            }
            case biff::kDateMode:
                wb_->date1904 = c.u16() == 1;
                break;
            case biff::kWindow1: {
                c.skip(10);
                uint16_t cur = c.u16(), first = c.u16();
                if (c.ok()) {
                    wb_->activeSheet = cur;
                    wb_->firstVisibleTab = first;
                }
                break;
            }
            case biff::kFont: {
                Font f;
                f.size = c.u16() / 20.0;
                uint16_t grbit = c.u16();
                f.italic = grbit & 0x02;
                f.strike = grbit & 0x08;
                f.outline = grbit & 0x10;
                f.shadow = grbit & 0x20;
                f.color = color(c.u16(), true);
                f.bold = c.u16() >= 700;
                uint16_t sss = c.u16();
                f.vertAlign = sss == 1 ? "superscript" : sss == 2 ? "subscript" : "";
                uint8_t uls = c.u8();
                f.underline = uls == 1      ? "single"
                              : uls == 2    ? "double"
                              : uls == 0x21 ? "singleAccounting"
                              : uls == 0x22 ? "doubleAccounting"
                                            : "";
                uint8_t family = c.u8();
                uint8_t charset = c.u8();
                c.u8();
                if (!c.ok()) return fail(kDamaged);
                if (family) f.family = family;
                if (charset) f.charset = charset;
                f.name = readString(r.data.substr(c.pos()), true);
                fonts_.push_back(f);
                break;
            }
            case biff::kFormat: {
                uint16_t id = c.u16();
                if (!c.ok()) return fail(kDamaged);
                formats_[id] = readString(r.data.substr(2), !biff8_);
                break;
            }
            case biff::kXf: {
                BiffXf x;
                x.biff8 = biff8_;
                x.font = c.u16();
                x.format = c.u16();
                x.flags = c.u16();
                if (biff8_) {
                    x.align = c.u8();
                    x.rotation = c.u8();
                    x.indent = c.u8();
                    c.u8();
                    x.border1 = c.u32();
                    x.border2 = c.u32();
                    x.fill = c.u16();
                } else {
                    x.align = c.u8();
                }
                if (!c.ok()) return fail(kDamaged);
                xfs_.push_back(x);
                break;
            }
            case biff::kPalette: {
                uint16_t n = c.u16();
                for (uint16_t i = 0; i < n && c.has(4); ++i) {
                    uint32_t rr = c.u8(), gg = c.u8(), bb = c.u8();
                    c.u8();
                    palette_.push_back(0xFF000000u | (rr << 16) | (gg << 8) | bb);
                }
                break;
            }
            case biff::kBoundSheet: {
                uint32_t pos = c.u32();
                uint8_t state = c.u8() & 3;
                uint8_t type = c.u8();
                if (!c.ok()) return fail(kDamaged);
                sheets.emplace_back(readString(r.data.substr(6), true), pos, state, type);
                break;
            }
            case biff::kSst: {
                std::vector<std::string_view> segs{r.data};
                uint16_t t;
                size_t bytes = r.data.size();
                while (rs.peekType(t) && t == biff::kContinue && rs.next(r)) {
                    segs.push_back(r.data);
                    bytes += r.data.size();
                }
                SegmentCursor sc(std::move(segs));
                sc.u32();
                uint32_t unique = sc.u32();
                // Each string takes three bytes at least: the count a small file declares
                // reserves no more than its bytes can hold.
                sst_.reserve(std::min<size_t>(unique, bytes / 3));
                for (uint32_t i = 0; i < unique && !sc.atEnd(); ++i) {
                    sst_.push_back(readUnicodeString(sc, false));
                    if (!sc.ok()) return fail(kDamaged);
                }
                break;
            }
            case biff::kSupBook:
            case biff::kExternSheet:
                if (biff8_) fctx_.addGlobalRecord(r.type, r.data);
                break;
            default:
                break;
        }
    }
    if (rs.overrun()) return fail(kDamaged);
    return okStatus();  // no EOF: take what was read
}

// The model's style table is rebuilt from the file: the first FONT is the workbook's default
// font, and XF 15 (the default cell format) becomes cell format 0.
void XlsReader::buildStyles() {
    StyleTable& st = wb_->styles;
    if (!palette_.empty()) {
        st.indexedColors.assign(biff::kFixedColors.begin(), biff::kFixedColors.end());
        for (uint32_t c : palette_) st.indexedColors.push_back(c);
    }
    if (!fonts_.empty()) {
        st.fonts.clear();
        for (const Font& f : fonts_) st.fonts.push_back(f);
    }
    st.cellXfs.clear();
    st.reindex();
    xfMap_.assign(xfs_.size(), -1);
    if (xfs_.size() > 15) xf(15);
    if (st.cellXfs.empty()) st.internCellFormat(CellFormat{});
}

uint32_t XlsReader::xf(uint16_t index) {
    if (index >= xfs_.size()) return 0;
    if (xfMap_[index] >= 0) return uint32_t(xfMap_[index]);
    const BiffXf& x = xfs_[index];
    StyleTable& st = wb_->styles;
    CellFormat f;
    // Font index 4 does not exist in the file; indexes above it refer to the record before.
    uint32_t font = x.font < 4 ? x.font : x.font - 1;
    f.fontId = font < fonts_.size() ? font : 0;
    // Number format: a FORMAT record of the file, else a built-in id.
    auto fm = formats_.find(x.format);
    if (fm != formats_.end()) {
        const std::string* builtin = builtinNumberFormat(x.format);
        f.numFmtId =
            builtin && *builtin == fm->second ? x.format : st.internNumberFormat(fm->second);
    } else {
        f.numFmtId = builtinNumberFormat(x.format) ? x.format : 0;
    }
    f.protection.locked = x.flags & 1;
    f.protection.hidden = x.flags & 2;
    f.quotePrefix = x.biff8 && (x.flags & 8);
    Alignment& a = f.alignment;
    a.horizontal = biff::kHorizontal[x.align & 7];
    uint8_t v = (x.align >> 4) & 7;
    a.vertical = v < biff::kVertical.size() ? biff::kVertical[v] : "";
    a.wrapText = x.align & 0x08;
    if (x.biff8) {
        a.justifyLastLine = x.align & 0x80;
        a.textRotation = x.rotation;
        a.indent = x.indent & 0x0F;
        a.shrinkToFit = x.indent & 0x10;
        a.readingOrder = (x.indent >> 6) & 3;
        // Borders: [MS-XLS] 2.4.353 XF, CellXF.
        Border b;
        auto side = [&](BorderSide& s, uint32_t style, uint32_t icv) {
            if (style == 0 || style >= biff::kBorderStyles.size()) return;
            s.style = biff::kBorderStyles[style];
            s.color = color(uint16_t(icv));
        };
        side(b.left, x.border1 & 0xF, (x.border1 >> 16) & 0x7F);
        side(b.right, (x.border1 >> 4) & 0xF, (x.border1 >> 23) & 0x7F);
        side(b.top, (x.border1 >> 8) & 0xF, x.border2 & 0x7F);
        side(b.bottom, (x.border1 >> 12) & 0xF, (x.border2 >> 7) & 0x7F);
        uint32_t diag = (x.border1 >> 30) & 3;
        if (diag) {
            side(b.diagonal, (x.border2 >> 21) & 0xF, (x.border2 >> 14) & 0x7F);
            b.diagonalDown = diag & 1;
            b.diagonalUp = diag & 2;
        }
        f.borderId = st.internBorder(b);
        uint32_t pattern = (x.border2 >> 26) & 0x3F;
        if (pattern > 0 && pattern < biff::kFillPatterns.size()) {
            Fill fill;
            fill.patternType = biff::kFillPatterns[pattern];
            fill.fg = color(x.fill & 0x7F);
            fill.bg = color((x.fill >> 7) & 0x7F);
            f.fillId = st.internFill(fill);
        }
    }
    f.applyNumberFormat = f.numFmtId != 0;
    f.applyFont = f.fontId != 0;
    f.applyFill = f.fillId != 0;
    f.applyBorder = f.borderId != 0;
    f.applyAlignment = !a.isDefault();
    f.applyProtection = !f.protection.isDefault();
    uint32_t id = st.internCellFormat(f);
    xfMap_[index] = id;
    return id;
}

Cell& XlsReader::place(Worksheet& ws, uint32_t row, uint32_t col) {
    Row& r = ws.row(row);
    if (r.cells.empty() || r.cells.back().col < col) {
        r.cells.emplace_back();
        r.cells.back().col = uint16_t(col);
        return r.cells.back();
    }
    return ws.cell(row, col);
}

Status XlsReader::readSheet(Worksheet& ws, uint32_t offset, bool& dialog) {
    RecordStream rs(s_);
    rs.seek(offset);
    Record r;
    if (!rs.next(r) || r.type != biff::kBof) return fail(kDamaged);
    std::unordered_map<uint32_t, SharedFormula> shared;
    // Notes: the drawing object of a note (OBJ) is followed by its text (TXO and CONTINUE);
    // the NOTE records at the end of the sheet name the object, the cell and the author.
    std::unordered_map<uint16_t, std::string> noteTexts;
    std::optional<uint16_t> noteObject;
    std::string links;  // <hyperlink> elements, in the order of the HLINK records
    bool frozen = false;
    // Page set-up: margins in inches (those of the format's defaults until stated).
    double margins[4] = {0.75, 0.75, 1.0, 1.0};  // left, right, top, bottom
    bool marginsStated = false;
    std::string pageSetup, headerFooterMargins;
    int depth = 0;  // nested substreams (embedded charts) are skipped
    uint32_t records = 0;
    // A cell that cannot be read is named ("[sheet] A1 ..."), never dropped without a word.
    auto note = [&](uint32_t row, uint32_t col, std::string_view what) {
        wb_->readNotes.push_back("[" + ws.name + "] " + cellName(row + 1, col + 1) + " " +
                                 std::string(what));
    };
    auto cellAt = [&](uint16_t row, uint16_t col, uint16_t ixfe) -> Cell* {
        if (++cells_ > limits_.maxCells) return nullptr;
        if (col >= kXlsxMaxCols) {
            note(row, col, "单元格超出表格的列数上限，已略过");
            return nullptr;
        }
        Cell& c = place(ws, uint32_t(row) + 1, uint32_t(col) + 1);
        c.style = xf(ixfe);
        return &c;
    };
    auto setText = [&](Cell* c, std::string_view text) {
        c->type = CellType::String;
        c->number = 0;
        c->sst = wb_->strings.add(text);
    };
    while (rs.next(r)) {
        if ((++records & 4095) == 0 && readStopped()) return fail(kReadStopped);
        if (r.type == biff::kBof) {
            ++depth;
            continue;
        }
        if (r.type == biff::kEof) {
            if (depth == 0) break;
            --depth;
            continue;
        }
        if (depth > 0) continue;
        if (cells_ > limits_.maxCells) return fail("单元格数量超出限制。");
        bin::ByteCursor c(r.data);
        switch (r.type) {
            case biff::kNumber: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                double v = c.f64();
                if (!c.ok()) return fail(kDamaged);
                if (Cell* cell = cellAt(row, col, ixfe)) {
                    cell->type = CellType::Number;
                    cell->number = v;
                    // The formats have no text for these; the writers put the error #NUM!.
                    if (!std::isfinite(v)) note(row, col, "不是有效的数值，已写为错误值 #NUM!");
                }
                break;
            }
            case biff::kRk: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                uint32_t v = c.u32();
                if (!c.ok()) return fail(kDamaged);
                if (Cell* cell = cellAt(row, col, ixfe)) {
                    cell->type = CellType::Number;
                    cell->number = rk(v);
                }
                break;
            }
            case biff::kMulRk: {
                uint16_t row = c.u16(), col = c.u16();
                if (r.data.size() < 6) return fail(kDamaged);
                size_t n = (r.data.size() - 6) / 6;
                for (size_t i = 0; i < n; ++i) {
                    uint16_t ixfe = c.u16();
                    uint32_t v = c.u32();
                    if (Cell* cell = cellAt(row, uint16_t(col + i), ixfe)) {
                        cell->type = CellType::Number;
                        cell->number = rk(v);
                    }
                }
                break;
            }
            case biff::kBlank: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                if (!c.ok()) return fail(kDamaged);
                cellAt(row, col, ixfe);
                break;
            }
            case biff::kMulBlank: {
                uint16_t row = c.u16(), col = c.u16();
                if (r.data.size() < 6) return fail(kDamaged);
                size_t n = (r.data.size() - 6) / 2;
                for (size_t i = 0; i < n; ++i) cellAt(row, uint16_t(col + i), c.u16());
                break;
            }
            case biff::kLabelSst: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                uint32_t isst = c.u32();
                if (!c.ok()) return fail(kDamaged);
                if (isst >= sst_.size()) return fail(kDamaged);
                if (Cell* cell = cellAt(row, col, ixfe)) setText(cell, sst_[isst]);
                break;
            }
            case biff::kLabel:
            case biff::kRString: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                if (!c.ok()) return fail(kDamaged);
                std::string text = readString(r.data.substr(6), false);
                if (Cell* cell = cellAt(row, col, ixfe)) setText(cell, text);
                break;
            }
            case biff::kBoolErr: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                uint8_t v = c.u8(), isError = c.u8();
                if (!c.ok()) return fail(kDamaged);
                if (Cell* cell = cellAt(row, col, ixfe)) {
                    if (isError) {
                        cell->type = CellType::Error;
                        cell->error = biff::errorFromBiff(v).value_or(ErrorCode::NA);
                    } else {
                        cell->type = CellType::Boolean;
                        cell->boolean = v != 0;
                    }
                }
                break;
            }
            case biff::kFormula:
            case biff::kFormulaOld3:
            case biff::kFormulaOld4: {
                uint16_t row = c.u16(), col = c.u16(), ixfe = c.u16();
                std::string_view value = c.bytes(8);
                c.u16();  // flags
                std::string_view rgce;
                if (r.type == biff::kFormula) {
                    c.u32();  // chn
                    const uint16_t cce = c.u16();
                    rgce = c.bytes(std::min<size_t>(cce, c.remaining()));
                } else {
                    // Some writers give the cells of a BIFF5/8 sheet the FORMULA numbers of
                    // BIFF3 and BIFF4: the value is where it always is; the tokens are taken
                    // only when the sizes agree with this file's layout.
                    bin::ByteCursor size(r.data);
                    size.seek(20);
                    const uint16_t cce = size.u16();
                    if (size.ok() && 22u + cce == r.data.size()) rgce = r.data.substr(22);
                }
                if (!c.ok()) return fail(kDamaged);
                Cell* cell = cellAt(row, col, ixfe);
                if (!cell) break;
                bin::ByteCursor v(value);
                // FormulaValue ([MS-XLS] 2.5.133): 0xFFFF in the top bytes marks a non-number.
                if (uint8_t(value[6]) == 0xFF && uint8_t(value[7]) == 0xFF) {
                    uint8_t kind = v.u8();
                    v.u8();
                    uint8_t b = v.u8();
                    if (kind == 0) {
                        // The text follows in a STRING record, after any SHRFMLA, ARRAY or
                        // TABLE; other writers put further records before it or leave it out.
                        // The first STRING before the next cell is taken; without one the
                        // result is an empty text.
                        std::string text;
                        uint16_t t;
                        RecordStream look = rs;
                        Record sr;
                        while (look.next(sr) && !isCellRecord(sr.type) && sr.type != biff::kEof &&
                               sr.type != biff::kBof) {
                            if (sr.type != biff::kString) continue;
                            std::vector<std::string_view> segs{sr.data};
                            while (look.peekType(t) && t == biff::kContinue && look.next(sr))
                                segs.push_back(sr.data);
                            if (biff8_) {
                                SegmentCursor sc(std::move(segs));
                                text = readUnicodeString(sc, false);
                                if (!sc.ok()) {
                                    text.clear();
                                    note(row, col, "公式的文本结果已损坏，已留空");
                                }
                            } else {
                                text = readString(segs[0], false);
                            }
                            break;
                        }
                        setText(cell, text);
                    } else if (kind == 1) {
                        cell->type = CellType::Boolean;
                        cell->boolean = b != 0;
                    } else if (kind == 2) {
                        cell->type = CellType::Error;
                        cell->error = biff::errorFromBiff(b).value_or(ErrorCode::NA);
                    } else {
                        setText(cell, "");
                    }
                } else {
                    cell->type = CellType::Number;
                    cell->number = v.f64();
                }
                // Shared formulas: the first cell's FORMULA is followed by SHRFMLA, which
                // other writers put after the STRING of the result or other records; it is
                // looked for up to the next cell.
                std::optional<std::string> text;
                bin::ByteCursor pc(rgce);
                if (!rgce.empty() && uint8_t(rgce[0]) == 0x01 && rgce.size() >= 5) {
                    pc.u8();
                    uint16_t br = pc.u16(), bc = biff8_ ? pc.u16() : pc.u8();
                    const bool anchor = br == row && bc == col;
                    Record sr;
                    RecordStream look = rs;
                    while ((anchor || !shared.count((uint32_t(br) << 16) | bc)) && look.next(sr) &&
                           !isCellRecord(sr.type) && sr.type != biff::kEof &&
                           sr.type != biff::kBof) {
                        if (sr.type != biff::kShrFmla) continue;
                        bin::ByteCursor sc(sr.data);
                        SharedFormula sf;
                        sf.firstRow = sc.u16();
                        sf.lastRow = sc.u16();
                        sf.firstCol = sc.u8();
                        sf.lastCol = sc.u8();
                        sc.u16();
                        uint16_t n = sc.u16();
                        std::string_view body = sc.bytes(n);
                        if (sc.ok()) {
                            sf.rgce.assign(body);
                            shared[(uint32_t(br) << 16) | bc] = std::move(sf);
                        }
                        break;
                    }
                    auto it = shared.find((uint32_t(br) << 16) | bc);
                    if (it != shared.end())
                        text = xlsformula::decode(it->second.rgce, row, col, true, fctx_);
                    // Each cell takes its own copy of the group's text: a few bytes of record
                    // per cell can ask for kilobytes.
                    const uint64_t cap =
                        std::max(limits_.sharedFormulaFloor,
                                 uint64_t(limits_.sharedFormulaRatio) * uint64_t(s_.size()));
                    if (text && (sharedText_ += text->size()) > cap)
                        return fail("共享公式展开后的公式文本超过 " + std::to_string(cap) +
                                    " 字节，疑似恶意文件。");
                } else if (!rgce.empty()) {
                    text = xlsformula::decode(rgce, row, col, false, fctx_);
                }
                if (text) {
                    Formula f;
                    f.text = std::move(*text);
                    ws.setFormula(uint32_t(row) + 1, uint32_t(col) + 1, std::move(f));
                }
                break;
            }
            case biff::kRow: {
                uint16_t rw = c.u16();
                c.skip(4);
                uint16_t height = c.u16();
                c.skip(4);
                uint16_t flags = c.u16();
                uint16_t ixfe = c.u16();
                if (!c.ok()) {
                    if (c.pos() < 14) return fail(kDamaged);
                    flags = 0;
                }
                Row& row = ws.row(uint32_t(rw) + 1);
                row.height = float((height & 0x7FFF) / 20.0);
                row.outlineLevel = uint8_t(flags & 7);
                row.collapsed = flags & 0x10;
                row.hidden = flags & 0x20;
                row.customHeight = flags & 0x40;
                if (biff8_ && (flags & 0x80)) {
                    row.customFormat = true;
                    row.style = xf(ixfe & 0x0FFF);
                }
                break;
            }
            case biff::kColInfo: {
                uint16_t first = c.u16(), last = c.u16(), width = c.u16(), ixfe = c.u16(),
                         flags = c.u16();
                if (!c.ok()) return fail(kDamaged);
                if (first >= kXlsxMaxCols || last < first) break;
                ColumnInfo ci;
                ci.first = uint32_t(first) + 1;
                ci.last = std::min<uint32_t>(uint32_t(last) + 1, kXlsMaxCols);
                if (ci.last < ci.first) break;
                ci.width = width / 256.0;
                ci.customWidth = true;
                ci.style = ixfe == 15 ? 0 : xf(ixfe);
                ci.hidden = flags & 1;
                ci.bestFit = flags & 4;
                ci.outlineLevel = uint8_t((flags >> 8) & 7);
                ci.collapsed = flags & 0x1000;
                ws.columns.push_back(ci);
                break;
            }
            case biff::kDefColWidth: {
                uint16_t w = c.u16();
                if (c.ok()) ws.baseColWidth = w;
                break;
            }
            case biff::kDefaultRowHeight: {
                uint16_t flags = c.u16(), h = c.u16();
                if (c.ok() && h > 0) {
                    ws.defaultRowHeight = h / 20.0;
                    ws.customDefaultRowHeight = flags & 1;
                }
                break;
            }
            case biff::kMergedCells: {
                uint16_t n = c.u16();
                for (uint16_t i = 0; i < n && c.has(8); ++i) {
                    uint16_t r1 = c.u16(), r2 = c.u16(), c1 = c.u16(), c2 = c.u16();
                    if (r2 < r1 || c2 < c1 || c2 >= kXlsxMaxCols) continue;
                    ws.merges.push_back(
                        {uint32_t(r1) + 1, uint32_t(c1) + 1, uint32_t(r2) + 1, uint32_t(c2) + 1});
                }
                break;
            }
            case biff::kWindow2: {
                uint16_t g = c.u16();
                if (!c.ok()) break;
                ws.showGridLines = g & 0x02;
                frozen = g & 0x08;
                ws.rightToLeft = g & 0x40;
                ws.tabSelected = g & 0x200;
                break;
            }
            case biff::kPane: {
                uint16_t x = c.u16(), y = c.u16();
                if (c.ok() && frozen) {
                    ws.frozenCols = x;
                    ws.frozenRows = y;
                }
                break;
            }
            case biff::kLeftMargin:
            case biff::kRightMargin:
            case biff::kTopMargin:
            case biff::kBottomMargin: {
                double v = c.f64();
                if (c.ok() && v >= 0 && v < 50) {
                    margins[r.type - biff::kLeftMargin] = v;
                    marginsStated = true;
                }
                break;
            }
            case biff::kWsBool: {
                uint16_t g = c.u16();
                if (!c.ok()) break;
                ws.fitToPage = g & 0x0100;
                dialog = g & 0x0010;
                break;
            }
            case biff::kSetup: {
                uint16_t paper = c.u16(), scale = c.u16();
                c.u16();  // first page number
                uint16_t fitWidth = c.u16(), fitHeight = c.u16(), g = c.u16();
                c.u16();
                c.u16();  // resolutions
                double header = c.f64(), footer = c.f64();
                if (!c.ok()) break;
                pageSetup = "<pageSetup";
                if (!(g & 0x04)) {  // paper size, scale and orientation are stated
                    if (paper) pageSetup += " paperSize=\"" + std::to_string(paper) + "\"";
                    if (scale >= 10 && scale <= 400)
                        pageSetup += " scale=\"" + std::to_string(scale) + "\"";
                }
                pageSetup += " fitToWidth=\"" + std::to_string(fitWidth) + "\"";
                pageSetup += " fitToHeight=\"" + std::to_string(fitHeight) + "\"";
                if (!(g & 0x04) && !(g & 0x40))
                    pageSetup +=
                        (g & 0x02) ? " orientation=\"portrait\"" : " orientation=\"landscape\"";
                pageSetup += "/>";
                if (header >= 0 && header < 50 && footer >= 0 && footer < 50)
                    headerFooterMargins = " header=\"" + xml::formatDouble(header) +
                                          "\" footer=\"" + xml::formatDouble(footer) + "\"";
                break;
            }
            case biff::kScl: {
                uint16_t num = c.u16(), den = c.u16();
                if (c.ok() && den) ws.zoomScale = uint32_t(num * 100u / den);
                break;
            }
            case biff::kObj: {
                // The first subrecord is the common one (ftCmo): object type and id.
                uint16_t ft = c.u16(), cb = c.u16(), ot = c.u16(), id = c.u16();
                noteObject.reset();
                if (biff8_ && c.ok() && ft == 0x15 && cb >= 4 && ot == 0x19) noteObject = id;
                break;
            }
            case biff::kTxo: {
                if (!biff8_ || !noteObject) break;
                c.bytes(10);  // options, rotation, reserved
                const uint16_t cch = c.u16();
                if (!c.ok()) break;
                // The characters follow in CONTINUE records, each starting with its width flag.
                std::vector<std::string_view> segs{std::string_view()};
                uint16_t t;
                RecordStream look = rs;
                Record cr;
                while (look.peekType(t) && t == biff::kContinue && look.next(cr))
                    segs.push_back(cr.data);
                SegmentCursor sc(std::move(segs));
                std::string text = sc.chars(cch, false);
                if (sc.ok()) noteTexts[*noteObject] = std::move(text);
                noteObject.reset();
                break;
            }
            case biff::kHLink:
                if (biff8_) links += hyperlink(r.data, ws);
                break;
            case biff::kNote: {
                if (!biff8_) break;
                uint16_t row = c.u16(), col = c.u16();
                c.u16();  // shown or hidden
                uint16_t id = c.u16();
                if (!c.ok() || col >= kXlsxMaxCols) break;
                auto text = noteTexts.find(id);
                if (text == noteTexts.end()) break;
                SegmentCursor ac({r.data.substr(8)});
                std::string author = readUnicodeString(ac, false);
                CellNote note;
                note.row = uint32_t(row) + 1;
                note.col = uint32_t(col) + 1;
                if (ac.ok()) note.author = std::move(author);
                note.textXml = "<text><t xml:space=\"preserve\">";
                xml::appendXstring(note.textXml, text->second);
                note.textXml += "</t></text>";
                const bool known = std::any_of(ws.notes.begin(), ws.notes.end(), [&](auto& n) {
                    return n.row == note.row && n.col == note.col;
                });
                if (!known) ws.notes.push_back(std::move(note));
                break;
            }
            default:
                break;
        }
    }
    if (rs.overrun()) return fail(kDamaged);
    if (cells_ > limits_.maxCells) return fail("单元格数量超出限制。");
    if (!links.empty())
        ws.preserved.push_back({"hyperlinks", "<hyperlinks>" + links + "</hyperlinks>"});
    if (marginsStated || !headerFooterMargins.empty()) {
        std::string m = "<pageMargins left=\"" + xml::formatDouble(margins[0]) + "\" right=\"" +
                        xml::formatDouble(margins[1]) + "\" top=\"" +
                        xml::formatDouble(margins[2]) + "\" bottom=\"" +
                        xml::formatDouble(margins[3]) + "\"";
        m += headerFooterMargins.empty() ? " header=\"0.5\" footer=\"0.5\"" : headerFooterMargins;
        ws.preserved.push_back({"pageMargins", m + "/>"});
    }
    if (!pageSetup.empty()) ws.preserved.push_back({"pageSetup", pageSetup});
    ws.normalize();
    return okStatus();
}

Result<std::unique_ptr<Workbook>> XlsReader::run() {
    std::vector<std::tuple<std::string, uint32_t, uint8_t, uint8_t>> sheets;
    Status st = readGlobals(sheets);
    if (!st) return st.error();
    buildStyles();
    for (auto& [name, offset, state, type] : sheets) fctx_.sheetNames.push_back(name);
    // Chart sheets, dialog sheets and the old formula-macro sheets are not carried: they stay
    // out of the workbook and are named, so that nothing counts or writes them as worksheets.
    // `modelIndex` gives each BOUNDSHEET its place among the sheets kept.
    std::vector<size_t> modelIndex;
    bool leftOut = false;
    auto leaveOut = [&](const std::string& name, const char* what) {
        wb_->readNotes.push_back("[" + name + "] " + what + "未能读取，已略过");
        leftOut = true;
    };
    for (auto& [name, offset, state, type] : sheets) {
        modelIndex.push_back(wb_->sheets.size());
        if (type == 6) continue;  // Visual Basic module (BIFF5)
        if (type == 2) {
            leaveOut(name, "图表工作表");
            continue;
        }
        if (type == 1) {  // macro sheet (also the international kind)
            leaveOut(name, "宏表");
            continue;
        }
        Worksheet& ws = wb_->addSheet(name);
        ws.state = state == 1   ? SheetState::Hidden
                   : state == 2 ? SheetState::VeryHidden
                                : SheetState::Visible;
        if (offset >= s_.size()) return fail(kDamaged);
        bool dialog = false;
        Status sheetStatus = readSheet(ws, offset, dialog);
        if (!sheetStatus) return sheetStatus.error();
        if (dialog) {
            wb_->removeSheet(wb_->sheets.size() - 1);
            leaveOut(name, "对话框工作表");
        }
    }
    if (wb_->sheets.empty())
        return fail(leftOut
                        ? "工作簿中没有可读取的工作表（图表工作表、宏表和对话框工作表无法读取）。"
                        : "工作簿中没有工作表。");
    auto kept = [&](size_t tab) {
        return tab < modelIndex.size() ? std::min(modelIndex[tab], wb_->sheets.size() - 1) : 0;
    };
    wb_->activeSheet = kept(wb_->activeSheet);
    wb_->firstVisibleTab = kept(wb_->firstVisibleTab);
    return std::move(wb_);
}

Result<std::string> loadFile(const fs::path& path, uint64_t maxBytes) {
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) return fail("文件不存在或没有读取权限。");
    if (size > maxBytes) return fail("文件太大。");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("文件不存在或没有读取权限。");
    std::string bytes(size_t(size), '\0');
    in.read(bytes.data(), std::streamsize(size));
    if (uint64_t(in.gcount()) != size) return fail("读取文件时出错。");
    return bytes;
}

Result<std::string> workbookStream(std::string_view file, const ReadLimits& limits) {
    auto cf = cfb::CompoundFile::parse(file);
    if (!cf) return cf.error();
    auto entry = cf->findStream("Workbook");
    if (!entry) entry = cf->findStream("Book");
    if (!entry) {
        if (cf->findStream("EncryptedPackage")) return fail(kEncrypted);
        return fail("复合文档中没有工作簿数据（不是 xls 工作簿）。");
    }
    return cf->readStream(*entry, limits.maxPartBytes);
}

}  // namespace

Result<std::unique_ptr<Workbook>> readXlsFromMemory(std::string_view file, const ReadLimits& limits,
                                                    const std::vector<std::string>& passwords) {
    auto stream = workbookStream(file, limits);
    if (!stream) return stream.error();
    bool encrypted = false;
    Status st = xls::decryptStream(*stream, passwords, encrypted);
    if (!st) return st.error();
    XlsReader reader(*stream, limits, encrypted);
    auto wb = reader.run();
    crypto::wipe(*stream);
    return wb;
}

Result<std::unique_ptr<Workbook>> readXls(const fs::path& path, const ReadLimits& limits) {
    auto prefix = [&](const std::string& reason) {
        return fail("无法打开文件 " + path.string() + "：" + reason);
    };
    auto bytes = loadFile(path, limits.maxTotalBytes);
    if (!bytes) return prefix(bytes.message());
    auto wb = readXlsFromMemory(*bytes, limits);
    if (!wb) return prefix(wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

}  // namespace ss
