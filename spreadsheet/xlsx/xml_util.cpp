#include "xml_util.h"

#include <cmath>

namespace ss::xlsx {

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isEscapeAt(std::string_view s, size_t i) {
    return i + 7 <= s.size() && s[i] == '_' && s[i + 1] == 'x' && isHex(s[i + 2]) &&
           isHex(s[i + 3]) && isHex(s[i + 4]) && isHex(s[i + 5]) && s[i + 6] == '_';
}

}  // namespace

void appendEscaped(std::string& out, std::string_view s, bool attribute) {
    static const char* hex = "0123456789ABCDEF";
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                if (attribute)
                    out += "&quot;";
                else
                    out += c;
                break;
            case '\r':  // a literal CR would be read back as LF
                out += "&#13;";
                break;
            case '\n':
            case '\t':
                if (attribute) {
                    out += "&#";
                    out += std::to_string(int(c));
                    out += ';';
                } else {
                    out += c;
                }
                break;
            case '_':
                if (!attribute && isEscapeAt(s, i))
                    out += "_x005F_";
                else
                    out += c;
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    if (attribute) break;  // cannot be carried in an attribute at all
                    out += "_x00";
                    out += hex[(c >> 4) & 0xF];
                    out += hex[c & 0xF];
                    out += '_';
                } else {
                    out += c;
                }
        }
    }
}

std::string decodeXstring(std::string_view s) {
    if (s.find("_x") == std::string_view::npos) return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (isEscapeAt(s, i)) {
            unsigned v = 0;
            std::from_chars(s.data() + i + 2, s.data() + i + 6, v, 16);
            if (v < 0x80) {
                out += char(v);
            } else if (v < 0x800) {
                out += char(0xC0 | (v >> 6));
                out += char(0x80 | (v & 0x3F));
            } else {
                out += char(0xE0 | (v >> 12));
                out += char(0x80 | ((v >> 6) & 0x3F));
                out += char(0x80 | (v & 0x3F));
            }
            i += 6;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string formatDouble(double v) {
    if (!std::isfinite(v)) return "0";
    char buf[40];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc() ? p : buf);
}

}  // namespace ss::xlsx
