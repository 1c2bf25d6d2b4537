#include "html_css.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "../text/codepage.h"

namespace ss::html {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A CSS value with its quotes and escapes removed: \@ -> @, \0022 -> ".
std::string unescapeCss(std::string_view v) {
    v = trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        ++i;
        if (hexValue(v[i]) < 0) {
            out += v[i];
            continue;
        }
        uint32_t cp = 0;
        size_t digits = 0;
        while (i < v.size() && digits < 6 && hexValue(v[i]) >= 0) {
            cp = cp * 16 + uint32_t(hexValue(v[i++]));
            ++digits;
        }
        if (i < v.size() && isSpace(v[i])) ++i;  // the one space that ends an escape
        --i;
        if (cp == 0 || cp > 0x10FFFF) cp = 0xFFFD;
        text::appendUtf8(out, cp);
    }
    return out;
}

struct NamedColor {
    const char* name;
    uint32_t rgb;
};
constexpr NamedColor kColors[] = {
    {"black", 0x000000},   {"white", 0xFFFFFF},   {"red", 0xFF0000},    {"lime", 0x00FF00},
    {"blue", 0x0000FF},    {"yellow", 0xFFFF00},  {"aqua", 0x00FFFF},   {"cyan", 0x00FFFF},
    {"fuchsia", 0xFF00FF}, {"magenta", 0xFF00FF}, {"silver", 0xC0C0C0}, {"gray", 0x808080},
    {"grey", 0x808080},    {"maroon", 0x800000},  {"olive", 0x808000},  {"green", 0x008000},
    {"purple", 0x800080},  {"teal", 0x008080},    {"navy", 0x000080},   {"orange", 0xFFA500},
};

std::optional<uint32_t> hexColor(std::string_view h) {
    if (h.size() != 3 && h.size() != 6) return std::nullopt;
    uint32_t v = 0;
    for (char c : h) {
        int d = hexValue(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + uint32_t(d);
    }
    if (h.size() == 3)
        v = ((v >> 8) & 0xF) * 0x110000 + ((v >> 4) & 0xF) * 0x1100 + (v & 0xF) * 0x11;
    return v;
}

std::optional<bool> boldOf(std::string_view v) {
    std::string w = lower(trim(v));
    if (w == "bold" || w == "bolder") return true;
    if (w == "normal" || w == "lighter") return false;
    int n = 0;
    auto r = std::from_chars(w.data(), w.data() + w.size(), n);
    if (r.ec == std::errc() && r.ptr == w.data() + w.size()) return n >= 600;
    return std::nullopt;
}

std::optional<std::string> alignOf(std::string_view v) {
    std::string w = lower(trim(v));
    if (w == "left" || w == "start") return std::string("left");
    if (w == "right" || w == "end") return std::string("right");
    if (w == "center" || w == "middle" || w == "-webkit-center" || w == "centre")
        return std::string("center");
    if (w == "justify") return std::string("justify");
    if (w == "general") return std::string();
    return std::nullopt;
}

// The first colour among the words of a shorthand ("background:#FFFF00 none").
std::optional<uint32_t> firstColor(std::string_view v) {
    size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && isSpace(v[i])) ++i;
        size_t start = i;
        int depth = 0;
        while (i < v.size() && (depth > 0 || !isSpace(v[i]))) {
            if (v[i] == '(') ++depth;
            if (v[i] == ')') --depth;
            ++i;
        }
        if (auto c = parseColor(v.substr(start, i - start))) return c;
    }
    return std::nullopt;
}

}  // namespace

void Look::apply(const Look& over) {
    if (over.bold) bold = over.bold;
    if (over.color) color = over.color;
    if (over.fill) fill = over.fill;
    if (over.align) align = over.align;
    if (over.numberFormat) numberFormat = over.numberFormat;
    if (over.widthPx) widthPx = over.widthPx;
    if (over.hidden) hidden = true;
}

std::optional<uint32_t> parseColor(std::string_view v, bool legacy) {
    v = trim(v);
    if (v.empty()) return std::nullopt;
    if (v.front() == '#') return hexColor(v.substr(1));
    std::string w = lower(v);
    if (w.rfind("rgb(", 0) == 0 && w.back() == ')') {
        uint32_t rgb = 0;
        std::string_view in = std::string_view(w).substr(4, w.size() - 5);
        for (int k = 0; k < 3; ++k) {
            size_t comma = in.find(',');
            std::string_view part = trim(in.substr(0, comma));
            double x = 0;
            auto r = std::from_chars(part.data(), part.data() + part.size(), x);
            if (r.ec != std::errc()) return std::nullopt;
            if (r.ptr != part.data() + part.size()) {
                if (std::string_view(r.ptr, part.data() + part.size() - r.ptr) != "%")
                    return std::nullopt;
                x = x * 255 / 100;
            }
            if (!(x >= 0)) x = 0;  // also NaN
            rgb = rgb * 256 + uint32_t(std::lround(std::min(x, 255.0)));
            if (comma == std::string_view::npos) {
                if (k != 2) return std::nullopt;
                break;
            }
            in.remove_prefix(comma + 1);
        }
        return rgb;
    }
    for (const NamedColor& c : kColors)
        if (w == c.name) return c.rgb;
    if (legacy && w.size() == 6) return hexColor(w);
    return std::nullopt;
}

std::optional<double> parseLengthPx(std::string_view v) {
    v = trim(v);
    double x = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), x);
    if (r.ec != std::errc() || !(x >= 0) || !std::isfinite(x)) return std::nullopt;
    std::string unit = lower(trim(std::string_view(r.ptr, v.data() + v.size() - r.ptr)));
    if (unit.empty() || unit == "px") return x;
    if (unit == "pt") return x * 96 / 72;
    if (unit == "in") return x * 96;
    if (unit == "cm") return x * 96 / 2.54;
    if (unit == "mm") return x * 96 / 25.4;
    return std::nullopt;
}

std::string numberFormatCode(std::string_view value) {
    std::string code = unescapeCss(value);
    struct Named {
        const char* name;
        const char* code;
    };
    // The named formats an office page writes instead of a code.
    static constexpr Named kNamed[] = {
        {"general", "General"},
        {"general number", "General"},
        {"fixed", "0.00"},
        {"standard", "#,##0.00"},
        {"percent", "0.00%"},
        {"scientific", "0.00E+00"},
        {"short date", "m/d/yyyy"},
        {"medium date", "d-mmm-yy"},
        {"long date", "[$-F800]dddd, mmmm dd, yyyy"},
        {"short time", "h:mm"},
        {"medium time", "h:mm AM/PM"},
        {"long time", "h:mm:ss"},
    };
    std::string key = lower(trim(code));
    for (const Named& n : kNamed)
        if (key == n.name) return n.code;
    return code;
}

void applyDeclarations(std::string_view css, Look& look) {
    size_t i = 0;
    while (i < css.size()) {
        // One declaration: up to a ';' outside quotes.
        size_t start = i;
        char quote = 0;
        for (; i < css.size(); ++i) {
            char c = css[i];
            if (quote) {
                if (c == '\\')
                    ++i;
                else if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == ';') {
                break;
            }
        }
        std::string_view decl = css.substr(start, std::min(i, css.size()) - start);
        ++i;
        size_t colon = decl.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = lower(trim(decl.substr(0, colon)));
        std::string_view value = trim(decl.substr(colon + 1));
        if (value.size() > 10 && lower(value.substr(value.size() - 10)) == "!important")
            value = trim(value.substr(0, value.size() - 10));
        if (name == "font-weight") {
            if (auto b = boldOf(value)) look.bold = b;
        } else if (name == "color") {
            if (auto c = parseColor(value)) look.color = c;
        } else if (name == "background" || name == "background-color") {
            if (auto c = firstColor(value)) look.fill = c;
        } else if (name == "text-align") {
            if (auto a = alignOf(value)) look.align = a;
        } else if (name == "mso-number-format") {
            look.numberFormat = numberFormatCode(value);
        } else if (name == "width") {
            if (auto w = parseLengthPx(value)) look.widthPx = w;
        } else if (name == "display") {
            if (lower(value) == "none") look.hidden = true;
        }
    }
}

void StyleSheet::add(std::string_view css) {
    // Comments and the <!-- --> that hide a style block from old browsers go first.
    std::string clean;
    clean.reserve(css.size());
    for (size_t i = 0; i < css.size();) {
        if (css.compare(i, 2, "/*") == 0) {
            size_t end = css.find("*/", i + 2);
            i = end == std::string_view::npos ? css.size() : end + 2;
            clean += ' ';
        } else if (css.compare(i, 4, "<!--") == 0) {
            i += 4;
            clean += ' ';
        } else if (css.compare(i, 3, "-->") == 0) {
            i += 3;
            clean += ' ';
        } else {
            clean += css[i++];
        }
    }
    std::string_view s = clean;
    size_t i = 0;
    while (i < s.size()) {
        size_t open = s.find('{', i);
        if (open == std::string_view::npos) break;
        std::string_view selector = trim(s.substr(i, open - i));
        // The body up to its matching brace (an at-rule holds nested blocks).
        int depth = 1;
        size_t j = open + 1;
        for (; j < s.size() && depth > 0; ++j) {
            if (s[j] == '{') ++depth;
            if (s[j] == '}') --depth;
        }
        std::string_view body = s.substr(open + 1, (depth == 0 ? j - 1 : j) - open - 1);
        i = j;
        if (!selector.empty() && selector.front() == '@') continue;
        size_t k = 0;
        while (k <= selector.size()) {
            size_t comma = selector.find(',', k);
            if (comma == std::string_view::npos) comma = selector.size();
            addRule(trim(selector.substr(k, comma - k)), body);
            k = comma + 1;
        }
    }
}

void StyleSheet::addRule(std::string_view selector, std::string_view body) {
    // Only "tag", ".class" and "tag.class": anything with a space, '>', '#', ':' ... is passed.
    if (selector.empty()) return;
    size_t dot = selector.find('.');
    if (dot != std::string_view::npos && selector.find('.', dot + 1) != std::string_view::npos)
        return;
    for (char c : selector) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
        if (!ok) return;
    }
    std::string key;
    if (dot == std::string_view::npos) {
        key = lower(selector);
    } else {
        key = lower(selector.substr(0, dot)) + "." + std::string(selector.substr(dot + 1));
    }
    applyDeclarations(body, rules_[key]);
}

Look StyleSheet::lookFor(std::string_view tag, std::string_view classAttr) const {
    Look look;
    if (rules_.empty()) return look;
    auto take = [&](const std::string& key) {
        auto it = rules_.find(key);
        if (it != rules_.end()) look.apply(it->second);
    };
    take(std::string(tag));
    std::vector<std::string_view> classes;
    for (size_t i = 0; i < classAttr.size();) {
        while (i < classAttr.size() && isSpace(classAttr[i])) ++i;
        size_t start = i;
        while (i < classAttr.size() && !isSpace(classAttr[i])) ++i;
        if (i > start) classes.push_back(classAttr.substr(start, i - start));
    }
    for (std::string_view c : classes) take("." + std::string(c));
    for (std::string_view c : classes) take(std::string(tag) + "." + std::string(c));
    return look;
}

}  // namespace ss::html
