#include "xml_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "../utf8.h"

namespace ss::xml {

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isEscapeAt(std::string_view s, size_t i) {
    return i + 7 <= s.size() && s[i] == '_' && s[i + 1] == 'x' && isHex(s[i + 2]) &&
           isHex(s[i + 3]) && isHex(s[i + 4]) && isHex(s[i + 5]) && s[i + 6] == '_';
}

unsigned escapeValue(std::string_view s, size_t i) {
    unsigned v = 0;
    std::from_chars(s.data() + i + 2, s.data() + i + 6, v, 16);
    return v;
}

bool isHighSurrogate(unsigned v) {
    return v >= 0xD800 && v <= 0xDBFF;
}
bool isLowSurrogate(unsigned v) {
    return v >= 0xDC00 && v <= 0xDFFF;
}

// The escape at `i` (isEscapeAt) is one decodeXstring keeps as it stands: a character XML cannot
// carry that is not the first half of a pair of surrogate escapes.
bool isKeptEscapeAt(std::string_view s, size_t i) {
    const unsigned v = escapeValue(s, i);
    if (v < 0x20 || isXmlChar(v)) return false;
    return !(isHighSurrogate(v) && isEscapeAt(s, i + 7) && isLowSurrogate(escapeValue(s, i + 7)));
}

// The length of a character XML cannot carry at `i` of UTF-8 text whose byte there is 0xED or
// 0xEF: a surrogate (ED A0-BF xx) or U+FFFE/U+FFFF (EF BF BE/BF); 0 for anything else.
size_t nonXmlAt(std::string_view s, size_t i) {
    if (i + 2 >= s.size()) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]), b2 = static_cast<unsigned char>(s[i + 2]);
    if (static_cast<unsigned char>(s[i]) == 0xED) return b1 >= 0xA0 && b1 <= 0xBF ? 3 : 0;
    return b1 == 0xBF && (b2 == 0xBE || b2 == 0xBF) ? 3 : 0;
}

// One character of `s` with the escapes both writers share; false when the caller decides.
inline bool appendCommon(std::string& out, char c, bool attribute) {
    switch (c) {
        case '<':
            out += "&lt;";
            return true;
        case '>':
            out += "&gt;";
            return true;
        case '&':
            out += "&amp;";
            return true;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += c;
            return true;
        case '\r':
            out += "&#13;";
            return true;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            return true;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            return true;
        default:
            return false;
    }
}

}  // namespace

void appendEscaped(std::string& out, std::string_view s, bool attribute) {
    for (char c : s)
        if (!appendCommon(out, c, attribute)) out += c;
}

std::string escaped(std::string_view s, bool attribute) {
    std::string out;
    appendEscaped(out, s, attribute);
    return out;
}

std::string xstring(std::string_view s, bool attribute) {
    std::string out;
    appendXstring(out, s, attribute);
    return out;
}

void appendXstring(std::string& out, std::string_view s, bool attribute) {
    static const char* hex = "0123456789ABCDEF";
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (appendCommon(out, c, attribute)) continue;
        const auto u = static_cast<unsigned char>(c);
        if (c == '_') {
            // An escape the reader keeps as it stands goes out as it came in.
            out += !attribute && isEscapeAt(s, i) && !isKeptEscapeAt(s, i) ? "_x005F_" : "_";
        } else if (u < 0x20) {
            if (attribute) continue;  // cannot be carried in an attribute at all
            out += "_x00";
            out += hex[(c >> 4) & 0xF];
            out += hex[c & 0xF];
            out += '_';
        } else if ((u == 0xED || u == 0xEF) && nonXmlAt(s, i)) {
            // A surrogate or U+FFFE/U+FFFF (from another format's text): as its escape.
            if (!attribute) {
                const char32_t v = ((u & 0x0Fu) << 12) |
                                   ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                                   (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
                out += "_x";
                for (int shift = 12; shift >= 0; shift -= 4) out += hex[(v >> shift) & 0xF];
                out += '_';
            }
            i += 2;
        } else {
            out += c;
        }
    }
}

std::string decodeXstring(std::string_view s) {
    if (s.find("_x") == std::string_view::npos) return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (isEscapeAt(s, i)) {
            unsigned v = escapeValue(s, i);
            // A character beyond the basic plane comes as two escapes, one per UTF-16 half.
            if (isHighSurrogate(v) && isEscapeAt(s, i + 7)) {
                const unsigned low = escapeValue(s, i + 7);
                if (isLowSurrogate(low)) {
                    v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
                    i += 7;
                }
            }
            if (!isXmlChar(v) && v >= 0x20) {
                // U+FFFE, U+FFFF, a lone surrogate: no text may hold them, so the escape stays.
                out.append(s.data() + i, 7);
            } else {
                appendUtf8(out, char32_t(v));
            }
            i += 6;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::optional<char32_t> characterReference(std::string_view name) {
    if (name == "lt") return U'<';
    if (name == "gt") return U'>';
    if (name == "amp") return U'&';
    if (name == "quot") return U'"';
    if (name == "apos") return U'\'';
    if (name.size() < 2 || name[0] != '#') return std::nullopt;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 7) return std::nullopt;
    uint32_t v = 0;
    for (char d : digits) {
        uint32_t x;
        if (d >= '0' && d <= '9')
            x = uint32_t(d - '0');
        else if (hex && d >= 'a' && d <= 'f')
            x = uint32_t(d - 'a' + 10);
        else if (hex && d >= 'A' && d <= 'F')
            x = uint32_t(d - 'A' + 10);
        else
            return std::nullopt;
        v = v * (hex ? 16 : 10) + x;
    }
    if (!isXmlChar(v)) return std::nullopt;
    return char32_t(v);
}

std::string unescape(std::string_view s) {
    if (s.find('&') == std::string_view::npos) return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '&') {
            // The longest reference decoded: "#x" and seven digits.
            const size_t semi = s.substr(i + 1, 10).find(';');
            if (semi != std::string_view::npos) {
                if (auto c = characterReference(s.substr(i + 1, semi))) {
                    appendUtf8(out, *c);
                    i += semi + 1;
                    continue;
                }
            }
        }
        out += s[i];
    }
    return out;
}

bool nextTag(std::string_view xml, size_t pos, Tag& t) {
    while (true) {
        const size_t lt = xml.find('<', pos);
        if (lt == std::string_view::npos || lt + 1 >= xml.size()) return false;
        const char c = xml[lt + 1];
        if (c == '?' || c == '!') {
            const bool comment = xml.substr(lt, 4) == "<!--";
            const bool cdata = xml.substr(lt, 9) == "<![CDATA[";
            const size_t gt = xml.find(comment ? "-->" : cdata ? "]]>" : ">", lt);
            if (gt == std::string_view::npos) return false;
            pos = gt + 1;
            continue;
        }
        size_t gt = lt + 1;
        char quote = 0;
        for (; gt < xml.size(); ++gt) {
            if (quote) {
                if (xml[gt] == quote) quote = 0;
            } else if (xml[gt] == '"' || xml[gt] == '\'') {
                quote = xml[gt];
            } else if (xml[gt] == '>') {
                break;
            }
        }
        if (gt >= xml.size()) return false;
        t.begin = lt;
        t.end = gt + 1;
        t.closing = c == '/';
        t.empty = xml[gt - 1] == '/';
        const size_t n = lt + (t.closing ? 2 : 1);
        size_t e = n;
        while (e < gt && xml[e] != ' ' && xml[e] != '/' && xml[e] != '\t' && xml[e] != '\n' &&
               xml[e] != '\r' && xml[e] != '>')
            ++e;
        t.qname = xml.substr(n, e - n);
        const size_t colon = t.qname.find(':');
        t.local = colon == std::string_view::npos ? t.qname : t.qname.substr(colon + 1);
        return true;
    }
}

Tag elementEnd(std::string_view xml, const Tag& start) {
    if (start.empty) return start;
    Tag t;
    size_t pos = start.end;
    int depth = 0;
    while (nextTag(xml, pos, t)) {
        pos = t.end;
        if (t.qname != start.qname) continue;
        if (t.closing) {
            if (depth-- == 0) return t;
        } else if (!t.empty) {
            ++depth;
        }
    }
    Tag none;
    none.begin = none.end = xml.size();
    return none;
}

std::pair<size_t, size_t> attrSpan(std::string_view tag, std::string_view name) {
    for (size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
        const char before = at ? tag[at - 1] : ' ';
        if (before != ' ' && before != '\t' && before != '\n' && before != '\r') continue;
        size_t k = at + name.size();
        while (k < tag.size() && tag[k] == ' ') ++k;
        if (k >= tag.size() || tag[k] != '=') continue;
        ++k;
        while (k < tag.size() && tag[k] == ' ') ++k;
        if (k >= tag.size() || (tag[k] != '"' && tag[k] != '\'')) continue;
        size_t e = tag.find(tag[k], k + 1);
        if (e == std::string_view::npos) return {std::string_view::npos, 0};
        return {k + 1, e - k - 1};
    }
    return {std::string_view::npos, 0};
}

std::string formatDouble(double v) {
    if (!std::isfinite(v)) return "0";
    char buf[40];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc() ? p : buf);
}

}  // namespace ss::xml
