#include "html.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "../read_stop.h"
#include "../text/value_text.h"
#include "html_css.h"
#include "html_page.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

using html::Look;

// A page is read whole into memory and parsed into a tree that takes about sixteen times the
// page (thirty times for a page of bare tags). Pages are taken up to 8 MiB and the tree gets
// at most 160 MiB, which holds a page of some 25,000 rows of 12 columns as exports write them;
// a hostile page costs no more than about 180 MB before it is refused.
constexpr uint64_t kMaxPageBytes = uint64_t(8) << 20;
constexpr size_t kTreeBudget = size_t(160) << 20;
// More tables with content than this, and only the largest is read.
constexpr size_t kMaxSheetsFromPage = 255;
// The spans a browser honours.
constexpr uint32_t kMaxColspan = 1000, kMaxRowspan = 65534;
// A cell's text is kept only up to a little past what a cell holds (fitReadWorkbook cuts it at
// the limit and names the cell).
constexpr size_t kTextCap = 3 * kMaxCellTextUnits + 4;
// Steps over the columns that spans from rows above hold: a table made to make every cell
// step over thousands of them is refused past this many.
constexpr uint64_t kMaxSpanSteps = 50'000'000;

const std::string kTooBig = "内容超出工作表的大小（1,048,576 行、16,384 列）。";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isElement(const GumboNode* n) {
    return n->type == GUMBO_NODE_ELEMENT || n->type == GUMBO_NODE_TEMPLATE;
}

bool isTag(const GumboNode* n, GumboTag tag) {
    return isElement(n) && n->v.element.tag == tag &&
           n->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
}

std::string_view attr(const GumboNode* n, const char* name) {
    const GumboAttribute* a = gumbo_get_attribute(&n->v.element.attributes, name);
    return a ? std::string_view(a->value) : std::string_view();
}

bool hasAttr(const GumboNode* n, const char* name) {
    return gumbo_get_attribute(&n->v.element.attributes, name) != nullptr;
}

const GumboVector& children(const GumboNode* n) {
    return n->type == GUMBO_NODE_DOCUMENT ? n->v.document.children : n->v.element.children;
}

const GumboNode* child(const GumboVector& v, size_t i) {
    return static_cast<const GumboNode*>(v.data[i]);
}

// A span as browsers read it: leading digits after white space, at most `max`; none when the
// value does not start with a digit.
std::optional<uint32_t> spanValue(std::string_view v, uint32_t max) {
    size_t i = 0;
    while (i < v.size() && isSpace(v[i])) ++i;
    if (i == v.size() || v[i] < '0' || v[i] > '9') return std::nullopt;
    uint64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i)
        n = std::min<uint64_t>(n * 10 + uint64_t(v[i] - '0'), max);
    return uint32_t(n);
}

std::string_view trimSpaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// ---- The text of a cell as a browser shows it ----

// Inline formatting around a piece of text.
struct Inline {
    std::optional<bool> bold;
    std::optional<uint32_t> color;
    bool pre = false;
    bool operator==(const Inline&) const = default;
};

bool isBlock(GumboTag t) {
    switch (t) {
        case GUMBO_TAG_P:
        case GUMBO_TAG_DIV:
        case GUMBO_TAG_LI:
        case GUMBO_TAG_UL:
        case GUMBO_TAG_OL:
        case GUMBO_TAG_H1:
        case GUMBO_TAG_H2:
        case GUMBO_TAG_H3:
        case GUMBO_TAG_H4:
        case GUMBO_TAG_H5:
        case GUMBO_TAG_H6:
        case GUMBO_TAG_BLOCKQUOTE:
        case GUMBO_TAG_PRE:
        case GUMBO_TAG_ADDRESS:
        case GUMBO_TAG_DL:
        case GUMBO_TAG_DT:
        case GUMBO_TAG_DD:
        case GUMBO_TAG_HR:
        case GUMBO_TAG_CENTER:
        case GUMBO_TAG_FORM:
        case GUMBO_TAG_FIELDSET:
        case GUMBO_TAG_SECTION:
        case GUMBO_TAG_ARTICLE:
        case GUMBO_TAG_HEADER:
        case GUMBO_TAG_FOOTER:
        case GUMBO_TAG_NAV:
        case GUMBO_TAG_CAPTION:
            return true;
        default:
            return false;
    }
}

bool isSkipped(GumboTag t) {
    return t == GUMBO_TAG_SCRIPT || t == GUMBO_TAG_STYLE || t == GUMBO_TAG_TEMPLATE ||
           t == GUMBO_TAG_NOSCRIPT || t == GUMBO_TAG_TABLE || t == GUMBO_TAG_SELECT ||
           t == GUMBO_TAG_HEAD || t == GUMBO_TAG_TITLE;
}

// White space collapsed as a browser does: runs of it are one space, none at the start or end
// of a line; <br> and the edges of blocks break lines; &nbsp; is a space that stays.
class TextOut {
public:
    std::string text;
    bool full() const { return text.size() >= kTextCap; }

    void add(std::string_view t, bool pre) {
        for (size_t i = 0; i < t.size() && !full(); ++i) {
            char c = t[i];
            if (pre) {
                if (c == '\n')
                    hardBreak();
                else if (c != '\r')
                    put(c);
            } else if (isSpace(c)) {
                if (!lineStart_) space_ = true;
            } else if (c == '\xC2' && i + 1 < t.size() && t[i + 1] == '\xA0') {
                put(' ');
                ++i;
            } else {
                put(c);
            }
        }
    }
    void hardBreak() {
        text += '\n';
        space_ = false;
        lineStart_ = true;
    }
    void softBreak() {
        if (!lineStart_) hardBreak();
    }
    // Trailing breaks do not show.
    void finish() {
        while (!text.empty() && text.back() == '\n') text.pop_back();
    }

private:
    void put(char c) {
        if (space_) text += ' ';
        space_ = false;
        lineStart_ = false;
        text += c;
    }
    bool space_ = false, lineStart_ = true;
};

struct RawCell {
    const GumboNode* node = nullptr;
    std::string text;
    // The formatting of all the cell's text when it is the same throughout (<b>, <font>).
    std::optional<bool> bold;
    std::optional<uint32_t> color;
    uint32_t colspan = 1, rowspan = 1;  // rowspan 0: to the end of its section
};

struct RawRow {
    const GumboNode* node = nullptr;
    std::vector<RawCell> cells;
};

struct RawTable {
    const GumboNode* node = nullptr;
    std::string caption;
    std::vector<RawRow> rows;          // as shown: head sections, bodies, foot sections
    std::vector<uint32_t> sectionEnd;  // per row: the index after the last row of its section
    struct Cols {
        uint32_t first, last;
        double px;
    };
    std::vector<Cols> colWidth;  // from <col>/<colgroup>, in pixels
    size_t textCells = 0;
};

struct CellFrame {
    const GumboNode* node;
    size_t next;
    Inline ctx;
    bool block;
};

// Reads tables into rows of cells with their text, before any of it goes into a sheet.
class TableReader {
public:
    explicit TableReader(const html::StyleSheet& css) : css_(css) {}

    // The cell's text and the formatting common to all of it.
    void readCell(const GumboNode* td, RawCell& cell) {
        TextOut out;
        std::optional<Inline> common;
        bool uniform = true;
        std::vector<CellFrame>& stack = frames_;
        stack.clear();
        stack.push_back({td, 0, Inline{}, false});
        while (!stack.empty() && !out.full()) {
            CellFrame& f = stack.back();
            const GumboVector& kids = children(f.node);
            if (f.next == kids.length) {
                if (f.block) out.softBreak();
                stack.pop_back();
                continue;
            }
            const GumboNode* n = child(kids, f.next++);
            if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_CDATA ||
                n->type == GUMBO_NODE_WHITESPACE) {
                std::string_view t = n->v.text.text;
                out.add(t, f.ctx.pre);
                if (n->type != GUMBO_NODE_WHITESPACE) {
                    if (!common)
                        common = f.ctx;
                    else if (!(*common == f.ctx))
                        uniform = false;
                }
                continue;
            }
            if (!isElement(n)) continue;
            GumboTag tag = n->v.element.tag;
            if (isSkipped(tag)) continue;
            if (tag == GUMBO_TAG_BR) {
                out.hardBreak();
                continue;
            }
            Inline ctx = f.ctx;
            if (tag == GUMBO_TAG_B || tag == GUMBO_TAG_STRONG) ctx.bold = true;
            if (tag == GUMBO_TAG_PRE) ctx.pre = true;
            if (tag == GUMBO_TAG_FONT && hasAttr(n, "color"))
                if (auto c = html::parseColor(attr(n, "color"), true)) ctx.color = c;
            if (n->v.element.attributes.length != 0) {
                Look look;
                if (!css_.empty() && hasAttr(n, "class"))
                    look = css_.lookFor(gumbo_normalized_tagname(tag), attr(n, "class"));
                if (hasAttr(n, "style")) html::applyDeclarations(attr(n, "style"), look);
                if (look.hidden) continue;
                if (look.bold) ctx.bold = look.bold;
                if (look.color) ctx.color = look.color;
            }
            bool block = isBlock(tag);
            if (block) out.softBreak();
            stack.push_back({n, 0, ctx, block});  // may move the frames: f is not used after
        }
        out.finish();
        cell.text = std::move(out.text);
        if (common && uniform) {
            cell.bold = common->bold;
            cell.color = common->color;
        }
    }

    RawTable readTable(const GumboNode* table) {
        RawTable t;
        t.node = table;
        std::vector<const GumboNode*> heads, bodies, feet;
        nextCol_ = 1;
        const GumboVector& kids = children(table);
        for (size_t i = 0; i < kids.length; ++i) {
            const GumboNode* n = child(kids, i);
            if (isTag(n, GUMBO_TAG_THEAD))
                heads.push_back(n);
            else if (isTag(n, GUMBO_TAG_TFOOT))
                feet.push_back(n);
            else if (isTag(n, GUMBO_TAG_TBODY) || isTag(n, GUMBO_TAG_TR))
                bodies.push_back(n);
            else if (isTag(n, GUMBO_TAG_CAPTION) && t.caption.empty()) {
                RawCell c;
                readCell(n, c);
                t.caption = c.text.substr(0, c.text.find('\n'));
            } else if (isTag(n, GUMBO_TAG_COLGROUP) || isTag(n, GUMBO_TAG_COL)) {
                readColumns(n, t);
            }
        }
        for (auto* group : {&heads, &bodies, &feet})
            for (const GumboNode* section : *group) {
                if (isTag(section, GUMBO_TAG_TR))
                    addRow(section, t);
                else {
                    const GumboVector& rows = children(section);
                    for (size_t i = 0; i < rows.length; ++i)
                        if (isTag(child(rows, i), GUMBO_TAG_TR)) addRow(child(rows, i), t);
                }
                t.sectionEnd.resize(t.rows.size(), uint32_t(t.rows.size()));
            }
        return t;
    }

private:
    void readColumns(const GumboNode* n, RawTable& t) {
        auto widthOf = [&](const GumboNode* e) -> std::optional<double> {
            Look look;
            if (hasAttr(e, "style")) html::applyDeclarations(attr(e, "style"), look);
            if (look.widthPx) return look.widthPx;
            if (hasAttr(e, "width")) return html::parseLengthPx(attr(e, "width"));
            return std::nullopt;
        };
        // The columns a <col> or <colgroup> of `span` describes, with the width given.
        auto place = [&](const GumboNode* e, std::optional<double> w) {
            uint32_t span =
                std::max<uint32_t>(1, spanValue(attr(e, "span"), kMaxColspan).value_or(1));
            if (nextCol_ > kXlsxMaxCols) return;
            uint32_t last = std::min(nextCol_ + span - 1, kXlsxMaxCols);
            if (w) t.colWidth.push_back({nextCol_, last, *w});
            nextCol_ = last + 1;
        };
        if (isTag(n, GUMBO_TAG_COL)) return place(n, widthOf(n));
        const GumboVector& kids = children(n);
        bool any = false;
        const std::optional<double> groupWidth = widthOf(n);
        for (size_t i = 0; i < kids.length; ++i) {
            const GumboNode* col = child(kids, i);
            if (!isTag(col, GUMBO_TAG_COL)) continue;
            any = true;
            std::optional<double> w = widthOf(col);
            place(col, w ? w : groupWidth);
        }
        if (!any) place(n, groupWidth);
    }

    void addRow(const GumboNode* tr, RawTable& t) {
        RawRow row;
        row.node = tr;
        const GumboVector& kids = children(tr);
        for (size_t i = 0; i < kids.length; ++i) {
            const GumboNode* n = child(kids, i);
            if (!isTag(n, GUMBO_TAG_TD) && !isTag(n, GUMBO_TAG_TH)) continue;
            RawCell c;
            c.node = n;
            readCell(n, c);
            c.colspan =
                std::max<uint32_t>(1, spanValue(attr(n, "colspan"), kMaxColspan).value_or(1));
            c.rowspan = spanValue(attr(n, "rowspan"), kMaxRowspan).value_or(1);
            if (!trimSpaces(c.text).empty()) ++t.textCells;
            row.cells.push_back(std::move(c));
        }
        t.rows.push_back(std::move(row));
    }

    const html::StyleSheet& css_;
    std::vector<CellFrame> frames_;  // kept between cells: no allocation per cell
    uint32_t nextCol_ = 1;           // the next column a <col> describes
};

// ---- From rows of cells to a sheet ----

// The formats of the cells of one workbook: a look (from the page's styles) is resolved once
// per distinct set of attributes, a cell format once per distinct look and value format.
class Formats {
public:
    Formats(const html::StyleSheet& css, Workbook& wb) : css_(css), wb_(wb) {}

    // The look of an element of a table (table, tr, td, th) on top of what it inherits.
    uint32_t look(uint32_t inherited, const GumboNode* e) {
        const GumboTag tag = e->v.element.tag;
        if (e->v.element.attributes.length == 0) {  // most cells: no string key to build
            auto [it, fresh] = plainIndex_.try_emplace(uint64_t(inherited) << 16 | tag, 0);
            if (fresh) it->second = resolve(inherited, e);
            return it->second;
        }
        key_.clear();
        key_ += std::to_string(inherited);
        key_ += char(tag);
        for (const char* a : {"class", "style", "bgcolor", "align", "width"}) {
            key_ += '\x1f';
            key_ += attr(e, a);
        }
        auto [it, fresh] = lookIndex_.try_emplace(key_, 0);
        if (fresh) it->second = resolve(inherited, e);
        return it->second;
    }
    const Look& operator[](uint32_t i) const { return looks_[i]; }

private:
    uint32_t resolve(uint32_t inherited, const GumboNode* e) {
        const GumboTag tag = e->v.element.tag;
        const bool cell = tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH;
        Look look = inherited < looks_.size() ? looks_[inherited] : Look{};
        look.widthPx.reset();  // widths belong to the element that states them
        look.hidden = false;
        // A header cell is bold and centred as browsers show it, unless the page says otherwise.
        if (tag == GUMBO_TAG_TH) {
            look.bold = true;
            look.align = "center";
        }
        // The old presentational attributes come before the page's rules.
        if (auto c = html::parseColor(attr(e, "bgcolor"), true)) look.fill = c;
        if (tag != GUMBO_TAG_TABLE && hasAttr(e, "align")) {
            Look a;
            html::applyDeclarations("text-align:" + std::string(attr(e, "align")), a);
            look.apply(a);
        }
        if (cell && hasAttr(e, "width")) look.widthPx = html::parseLengthPx(attr(e, "width"));
        look.apply(css_.lookFor(gumbo_normalized_tagname(tag), attr(e, "class")));
        if (hasAttr(e, "style")) html::applyDeclarations(attr(e, "style"), look);
        looks_.push_back(std::move(look));
        return uint32_t(looks_.size() - 1);
    }

public:
    // The cell format of a cell of this look with the inline formatting of its text.
    uint32_t cellFormat(uint32_t lookId, std::optional<bool> bold, std::optional<uint32_t> color,
                        bool wrap, uint32_t numFmtId) {
        const Look& look = looks_[lookId];
        const bool b = bold.value_or(look.bold.value_or(false));
        const std::optional<uint32_t> c = color ? color : look.color;
        XfKey k{lookId, numFmtId, c.value_or(0), uint8_t(b | (c ? 2 : 0) | (wrap ? 4 : 0))};
        auto [it, fresh] = xfIndex_.try_emplace(k, 0);
        if (!fresh) return it->second;
        CellFormat xf;
        if (b || c) {
            Font f = wb_.styles.fonts.empty() ? Font{} : wb_.styles.fonts[0];
            f.bold = b;
            if (c) f.color = Color::rgb(0xFF000000u | *c);
            xf.fontId = wb_.styles.internFont(f);
            xf.applyFont = true;
        }
        if (look.fill) {
            Fill fill;
            fill.patternType = "solid";
            fill.fg = Color::rgb(0xFF000000u | *look.fill);
            fill.bg = Color::indexed(64);
            xf.fillId = wb_.styles.internFill(fill);
            xf.applyFill = true;
        }
        if ((look.align && !look.align->empty()) || wrap) {
            xf.alignment.horizontal = look.align.value_or("");
            xf.alignment.wrapText = wrap;
            xf.applyAlignment = true;
        }
        if (numFmtId != 0) {
            xf.numFmtId = numFmtId;
            xf.applyNumberFormat = true;
        }
        it->second = wb_.styles.internCellFormat(xf);
        return it->second;
    }

    uint32_t numberFormat(const std::string& code) {
        auto [it, fresh] = numFmtIndex_.try_emplace(code, 0);
        if (fresh) it->second = wb_.styles.internNumberFormat(code);
        return it->second;
    }

private:
    struct XfKey {
        uint32_t look, numFmt, color;
        uint8_t flags;
        bool operator==(const XfKey&) const = default;
    };
    struct XfHash {
        size_t operator()(const XfKey& k) const {
            uint64_t h = (uint64_t(k.look) << 32 | k.numFmt) * 0x9E3779B97F4A7C15ull;
            return size_t(h ^ (uint64_t(k.color) << 8 | k.flags));
        }
    };
    const html::StyleSheet& css_;
    Workbook& wb_;
    std::string key_;
    std::vector<Look> looks_;
    std::unordered_map<std::string, uint32_t> lookIndex_;
    std::unordered_map<uint64_t, uint32_t> plainIndex_;  // (inherited, tag) of bare elements
    std::unordered_map<XfKey, uint32_t, XfHash> xfIndex_;
    std::unordered_map<std::string, uint32_t> numFmtIndex_;
};

constexpr uint32_t kNoLook = UINT32_MAX;

// A number in parentheses, as accounts write a negative amount: "(1,234.50)".
std::optional<text::TypedValue> accountingNegative(std::string_view s) {
    if (s.size() < 3 || s.front() != '(' || s.back() != ')') return std::nullopt;
    std::string_view inner = s.substr(1, s.size() - 2);
    if (inner.front() == '-' || inner.front() == '+') return std::nullopt;
    text::ParsedNumber n = text::parseNumber(inner);
    if (n.kind != text::NumberKind::Plain && n.kind != text::NumberKind::Grouped)
        return std::nullopt;
    text::TypedValue v;
    v.kind = text::TypedValue::Kind::Number;
    v.number = -n.value;
    v.numFmtId = n.decimals ? 39 : 37;  // #,##0.00_);(#,##0.00) and #,##0_);(#,##0)
    return v;
}

// The value of a cell: the number format of the page decides first ("@" keeps the text as it
// is: identity numbers, account numbers, codes with leading zeros), then the value an office
// export states (x:num, x:str), then the text read as the .csv reader reads it.
void putCell(Formats& formats, Workbook& wb, Row& row, uint32_t col, const RawCell& raw,
             uint32_t lookId) {
    const Look& look = formats[lookId];
    std::string_view shown = trimSpaces(raw.text);
    const bool asText = look.numberFormat && *look.numberFormat == "@";
    // General (which an office page states for every cell) leaves the format to the value.
    uint32_t numFmtId = look.numberFormat ? formats.numberFormat(*look.numberFormat) : 0;
    Cell c;
    c.col = uint16_t(col);
    if (!shown.empty() && !asText && !hasAttr(raw.node, "x:str") &&
        raw.text.find('\n') == std::string::npos) {
        text::TypedValue v;
        std::string_view stated = attr(raw.node, "x:num");
        double x = 0;
        auto r = std::from_chars(stated.data(), stated.data() + stated.size(), x);
        if (!stated.empty() && r.ec == std::errc() && r.ptr == stated.data() + stated.size() &&
            std::isfinite(x)) {
            v.kind = text::TypedValue::Kind::Number;
            v.number = x;
            v.numFmtId = text::typeValue(shown).numFmtId;
        } else if (auto neg = accountingNegative(shown)) {
            v = *neg;
        } else {
            v = text::typeValue(shown);
        }
        if (v.kind == text::TypedValue::Kind::Number) {
            c.type = CellType::Number;
            c.number = v.number;
            if (numFmtId == 0) numFmtId = v.numFmtId;
        } else if (v.kind == text::TypedValue::Kind::Boolean) {
            c.type = CellType::Boolean;
            c.boolean = v.number != 0;
        }
    }
    if (c.type == CellType::Empty && !shown.empty()) {
        c.type = CellType::String;
        c.sst = wb.strings.add(raw.text);
    }
    const bool wrap = c.type == CellType::String && raw.text.find('\n') != std::string::npos;
    c.style = formats.cellFormat(lookId, raw.bold, raw.color, wrap, numFmtId);
    if (c.type == CellType::Empty && c.style == 0) return;
    row.cells.push_back(c);
}

// Column widths in the sheet's unit (characters of the default font, 7 pixels each), from
// pixels by column (0: none given); runs of one width are one range.
void setColumnWidths(Worksheet& ws, const std::vector<double>& px) {
    auto unit = [](double p) { return std::floor(std::min(p, 255.0 * 7) * 256 / 7) / 256; };
    for (uint32_t c = 1; c < px.size();) {
        const double width = unit(px[c]);
        uint32_t last = c;
        while (last + 1 < px.size() && unit(px[last + 1]) == width) ++last;
        if (width > 0) {
            ColumnInfo info;
            info.first = c;
            info.last = last;
            info.width = width;
            info.customWidth = true;
            ws.columns.push_back(info);
        }
        c = last + 1;
    }
}

// The rows of a table into a sheet, spans as merged ranges. The slots that spans hold are kept
// as intervals of columns with the last row they reach, so that a cell finds its column in
// steps over spans, not over single columns.
Status fillSheet(const RawTable& t, Worksheet& ws, Formats& formats, Workbook& wb,
                 const ReadLimits& limits, uint64_t& cells) {
    struct Held {
        uint32_t lastCol, lastRow;
    };
    std::map<uint32_t, Held> held;  // first column -> span from a row above
    uint64_t steps = 0;
    std::vector<double> widths;  // pixels by column, grown to the last column given
    for (const RawTable::Cols& c : t.colWidth) {
        if (widths.size() <= c.last) widths.resize(c.last + 1);
        std::fill(widths.begin() + c.first, widths.begin() + c.last + 1, c.px);
    }
    const uint32_t tableLook = formats.look(kNoLook, t.node);
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const RawRow& raw = t.rows[i];
        const uint32_t r = uint32_t(i + 1);
        if (r > kXlsxMaxRows) return fail(kTooBig);
        if ((r & 4095) == 0 && readStopped()) return fail(kReadStopped);
        const uint32_t rowLook = formats.look(tableLook, raw.node);
        const uint32_t sectionLast = t.sectionEnd[i];  // as a sheet row: index after i's section
        Row* row = nullptr;
        uint32_t col = 1;
        for (const RawCell& cell : raw.cells) {
            // Step over the spans that reach down into this row.
            for (;;) {
                if (++steps > kMaxSpanSteps) return fail("网页中的表格结构过于复杂，无法读取。");
                auto it = held.upper_bound(col);
                if (it == held.begin()) break;
                --it;
                if (it->second.lastRow < r) {
                    held.erase(it);
                    continue;
                }
                if (it->second.lastCol < col) break;
                col = it->second.lastCol + 1;
            }
            if (col > kXlsxMaxCols) return fail(kTooBig);
            uint32_t colspan = std::min(cell.colspan, kXlsxMaxCols - col + 1);
            // A span never runs into one from above (the rows of a broken table).
            for (auto next = held.upper_bound(col);
                 next != held.end() && next->first < col + colspan;) {
                if (next->second.lastRow < r) {
                    next = held.erase(next);
                    continue;
                }
                colspan = next->first - col;
                break;
            }
            const uint32_t rowsLeft = sectionLast - uint32_t(i);
            const uint32_t rowspan =
                cell.rowspan == 0 ? rowsLeft : std::min(cell.rowspan, rowsLeft);
            if (rowspan > 1) held[col] = {col + colspan - 1, r + rowspan - 1};
            if (colspan > 1 || rowspan > 1)
                ws.merges.push_back({r, col, r + rowspan - 1, col + colspan - 1});
            const uint32_t look = formats.look(rowLook, cell.node);
            if (colspan == 1 && formats[look].widthPx && (col >= widths.size() || !widths[col])) {
                if (widths.size() <= col) widths.resize(col + 1);
                widths[col] = *formats[look].widthPx;
            }
            if (!row) row = &ws.row(r);
            size_t before = row->cells.size();
            putCell(formats, wb, *row, col, cell, look);
            cells += row->cells.size() - before;
            col += colspan;
        }
        if (cells > limits.maxCells) return fail("单元格数量超出限制。");
    }
    // Rows that got no cell are not kept.
    auto& rows = ws.mutableRows();
    rows.erase(
        std::remove_if(rows.begin(), rows.end(), [](const Row& row) { return row.cells.empty(); }),
        rows.end());
    setColumnWidths(ws, widths);
    return okStatus();
}

// A sheet name from a caption, a title or a file's base name: characters a name cannot hold
// become "_", within 31 characters with room for "_n" where one is needed.
std::string validName(std::string_view name) {
    std::string out;
    for (char c : name) {
        bool bad = c == '[' || c == ']' || c == ':' || c == '*' || c == '?' || c == '/' ||
                   c == '\\' || static_cast<unsigned char>(c) < 0x20;
        out += bad ? '_' : c;
    }
    std::string_view t = trimSpaces(out);
    out = std::string(t);
    if (!out.empty() && out.front() == '\'') out.front() = '_';
    if (!out.empty() && out.back() == '\'') out.back() = '_';
    return out;
}

// The longest start of `s` within `units` UTF-16 units, cut at a character boundary.
std::string cutUnits(const std::string& s, size_t units) {
    size_t used = 0, i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        size_t w = len == 4 ? 2 : 1;
        if (used + w > units) break;
        used += w;
        i += len;
    }
    return s.substr(0, std::min(i, s.size()));
}

std::string freeName(Workbook& wb, const std::string& base) {
    std::string name = cutUnits(base, 31);
    for (uint32_t n = 2; wb.sheetByName(name); ++n) {
        std::string suffix = "_" + std::to_string(n);
        name = cutUnits(base, 31 - suffix.size()) + suffix;
    }
    return name;
}

struct PageParts {
    std::vector<const GumboNode*> tables;  // in the order of the page
    html::StyleSheet css;
    std::string title;
};

PageParts walkPage(const GumboNode* root) {
    PageParts p;
    std::vector<const GumboNode*> stack{root};
    while (!stack.empty()) {
        const GumboNode* n = stack.back();
        stack.pop_back();
        if (n->type != GUMBO_NODE_DOCUMENT && !isElement(n)) continue;
        if (isTag(n, GUMBO_TAG_TABLE)) p.tables.push_back(n);
        if (isTag(n, GUMBO_TAG_STYLE)) p.css.add(html::nodeText(n));
        if (isTag(n, GUMBO_TAG_TITLE) && p.title.empty()) {
            TextOut out;
            out.add(html::nodeText(n), false);
            p.title = out.text;
        }
        const GumboVector& kids = children(n);
        for (size_t i = kids.length; i-- > 0;) stack.push_back(child(kids, i));
    }
    return p;
}

std::string openError(const std::string& file, const std::string& reason) {
    return "无法打开文件 " + file + "：" + reason;
}

Result<std::unique_ptr<Workbook>> readPage(std::string_view bytes, const std::string& baseName,
                                           const std::string& file, const ReadLimits& limits) {
    if (bytes.size() > std::min(kMaxPageBytes, limits.maxPartBytes))
        return fail(openError(file, "网页文件太大（超过8 MB），无法作为表格读取。"));
    auto decoded = html::decodePage(bytes);
    if (!decoded) return fail(openError(file, "无法识别网页的文字编码。"));
    auto parsed = html::ParsedPage::parse(
        std::move(*decoded), size_t(std::min<uint64_t>(kTreeBudget, limits.maxTotalBytes)));
    if (!parsed.ok()) {
        if (parsed.message() == kReadStopped) return fail(kReadStopped);
        return fail(openError(file, parsed.message()));
    }
    PageParts page = walkPage(parsed.value()->root());

    TableReader reader(page.css);
    std::vector<RawTable> tables;
    for (const GumboNode* t : page.tables) {
        if (readStopped()) return fail(kReadStopped);
        RawTable raw = reader.readTable(t);
        if (raw.textCells > 0) tables.push_back(std::move(raw));  // layout frames hold none
    }
    if (tables.empty()) return fail(openError(file, "网页中没有含有内容的表格。"));

    // Which tables become sheets. A page with one big data table among small ones (a title
    // table above it, a sum or a signature below, the account's details beside it) is read as
    // that table alone: when every other table has at most 5 rows and the largest (by cells
    // with text) has more such cells than all the others together. Otherwise every table
    // becomes a sheet, up to 255 of them; beyond that, too, only the largest is read.
    size_t largest = 0, otherCells = 0;
    bool othersSmall = true;
    for (size_t i = 1; i < tables.size(); ++i)
        if (tables[i].textCells > tables[largest].textCells) largest = i;
    for (size_t i = 0; i < tables.size(); ++i) {
        if (i == largest) continue;
        otherCells += tables[i].textCells;
        if (tables[i].rows.size() > 5) othersSmall = false;
    }
    const bool onlyLargest = tables.size() > kMaxSheetsFromPage ||
                             (othersSmall && tables[largest].textCells > otherCells);
    std::vector<size_t> chosen;
    if (onlyLargest || tables.size() == 1)
        chosen.push_back(largest);
    else
        for (size_t i = 0; i < tables.size(); ++i) chosen.push_back(i);

    auto wb = std::make_unique<Workbook>();
    Formats formats(page.css, *wb);
    uint64_t cells = 0;
    const std::string fallback = validName(baseName).empty() ? "Sheet1" : validName(baseName);
    for (size_t i : chosen) {
        const RawTable& t = tables[i];
        std::string base = validName(t.caption);
        if (base.empty()) base = validName(page.title);
        if (base.empty()) base = fallback;
        Worksheet& ws = wb->addSheet(freeName(*wb, base));
        Status st = fillSheet(t, ws, formats, *wb, limits, cells);
        if (!st.ok()) {
            if (st.message() == kReadStopped) return fail(kReadStopped);
            return fail(openError(file, st.message()));
        }
    }
    if (chosen.size() == 1 && tables.size() > 1) {
        const RawTable& t = tables[largest];
        wb->readNotes.push_back("[" + wb->sheets[0]->name + "] 网页中有" +
                                std::to_string(tables.size()) + "个表格，只读取了最大的一个（第" +
                                std::to_string(largest + 1) + "个，" +
                                std::to_string(t.rows.size()) + "行），其余" +
                                std::to_string(tables.size() - 1) + "个未读取");
    }
    return wb;
}

}  // namespace

Result<std::unique_ptr<Workbook>> readHtmlMemory(std::string_view bytes, std::string sheetBaseName,
                                                 const ReadLimits& limits) {
    return readPage(bytes, sheetBaseName, sheetBaseName, limits);
}

Result<std::unique_ptr<Workbook>> readHtml(const fs::path& path, const ReadLimits& limits) {
    const std::string file = path.string();
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) return fail(openError(file, "文件不存在或没有读取权限。"));
    // Checked before anything is read: a page beyond the cap never takes its size in memory.
    if (size > std::min(kMaxPageBytes, limits.maxPartBytes))
        return fail(openError(file, "网页文件太大（超过8 MB），无法作为表格读取。"));
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(openError(file, "文件不存在或没有读取权限。"));
    std::string bytes(size, '\0');
    in.read(bytes.data(), std::streamsize(size));
    if (uint64_t(in.gcount()) != size) return fail(openError(file, "读取文件时出错。"));
    auto wb = readPage(bytes, path.stem().string(), file, limits);
    if (wb.ok()) wb.value()->sourcePath = file;
    return wb;
}

}  // namespace ss
