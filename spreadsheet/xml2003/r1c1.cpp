// R1C1 formulas of the 2003 XML format restated as A1.
#include <charconv>

#include "../model/cell.h"
#include "xml2003.h"

namespace ss {

namespace {

bool isIdentChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || (unsigned char)c >= 0x80;
}

// One coordinate: "R" alone (the cell's own row), "R3" (absolute) or "R[-2]" (relative).
struct Part {
    bool present = false, absolute = false;
    int64_t n = 0;
};

bool parseNumber(std::string_view s, size_t& i, Part& p) {
    if (i < s.size() && s[i] == '[') {
        size_t close = s.find(']', i);
        if (close == std::string_view::npos) return false;
        int64_t v = 0;
        auto [ptr, ec] = std::from_chars(s.data() + i + 1, s.data() + close, v);
        if (ec != std::errc() || ptr != s.data() + close) return false;
        p.n = v;
        i = close + 1;
        return true;
    }
    size_t j = i;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    if (j > i) {
        auto [ptr, ec] = std::from_chars(s.data() + i, s.data() + j, p.n);
        if (ec != std::errc() || p.n <= 0) return false;
        p.absolute = true;
        i = j;
    }
    return true;
}

// A reference at `i`: R part, C part, or both. False when the text there is not one.
bool parseRef(std::string_view s, size_t& i, Part& r, Part& c) {
    size_t j = i;
    r = c = Part{};
    if (j < s.size() && (s[j] == 'R' || s[j] == 'r')) {
        ++j;
        r.present = true;
        if (!parseNumber(s, j, r)) return false;
    }
    if (j < s.size() && (s[j] == 'C' || s[j] == 'c')) {
        ++j;
        c.present = true;
        if (!parseNumber(s, j, c)) return false;
    }
    if (!r.present && !c.present) return false;
    if (j < s.size() && (isIdentChar(s[j]) || s[j] == '(' || s[j] == '[')) return false;
    i = j;
    return true;
}

// A resolved coordinate; 0 when off the sheet.
uint32_t resolve(const Part& p, uint32_t base, uint32_t max) {
    int64_t v = p.absolute ? p.n : int64_t(base) + p.n;
    return v >= 1 && v <= int64_t(max) ? uint32_t(v) : 0;
}

std::string rowText(const Part& p, uint32_t v) {
    return (p.absolute ? "$" : "") + std::to_string(v);
}
std::string colText(const Part& p, uint32_t v) {
    return (p.absolute ? "$" : "") + columnLetters(v);
}

}  // namespace

std::optional<std::string> r1c1ToA1(std::string_view f, uint32_t row, uint32_t col) {
    if (!f.empty() && f[0] == '=') f.remove_prefix(1);
    std::string out;
    out.reserve(f.size() + 8);
    for (size_t i = 0; i < f.size();) {
        char ch = f[i];
        if (ch == '"' || ch == '\'') {
            size_t j = i + 1;
            for (;;) {
                if (j >= f.size()) return std::nullopt;
                if (f[j] == ch) {
                    if (j + 1 < f.size() && f[j + 1] == ch) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            out.append(f.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        if (ch == '[') return std::nullopt;  // another workbook
        const bool boundary = i == 0 || !isIdentChar(f[i - 1]);
        Part r, c;
        size_t j = i;
        if (boundary && parseRef(f, j, r, c)) {
            if (r.present && c.present) {
                uint32_t rr = resolve(r, row, kXlsxMaxRows), cc = resolve(c, col, kXlsxMaxCols);
                out += rr && cc ? colText(c, cc) + rowText(r, rr) : "#REF!";
            } else {
                // Whole rows or columns: "R2" is 2:2, "R2:R5" is 2:5.
                Part r2, c2;
                size_t k = j;
                bool range = k < f.size() && f[k] == ':' && (++k, parseRef(f, k, r2, c2)) &&
                             r2.present == r.present && c2.present == c.present;
                if (!range) r2 = r, c2 = c, k = j;
                if (r.present) {
                    uint32_t a = resolve(r, row, kXlsxMaxRows), b = resolve(r2, row, kXlsxMaxRows);
                    out += a && b ? rowText(r, a) + ":" + rowText(r2, b) : "#REF!";
                } else {
                    uint32_t a = resolve(c, col, kXlsxMaxCols), b = resolve(c2, col, kXlsxMaxCols);
                    out += a && b ? colText(c, a) + ":" + colText(c2, b) : "#REF!";
                }
                j = k;
            }
            i = j;
            continue;
        }
        if (isIdentChar(ch)) {
            size_t k = i;
            while (k < f.size() && isIdentChar(f[k])) ++k;
            out.append(f.substr(i, k - i));
            i = k;
            continue;
        }
        out += ch;
        ++i;
    }
    return out;
}

}  // namespace ss
