#include "codepage.h"

#include <iconv.h>

#include <cerrno>

#include "../utf8.h"

namespace ss::text {

namespace {

// The conversion both entry points share. Strict: none when a byte is not text in the
// charset. Lenient: such a byte is taken as Latin-1 and the conversion goes on after it.
std::optional<std::string> convert(std::string_view bytes, const char* charset, bool lenient) {
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == iconv_t(-1)) return std::nullopt;
    std::string out;
    out.resize(bytes.size() * 2 + 16);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t used = 0;
    bool ok = true;
    // Converters that compose (CP1255, CP1258) hold a base letter back until they see whether a
    // combining mark follows; the call with no input at the end writes out what is held.
    bool flushed = false;
    while (!flushed) {
        char* dst = out.data() + used;
        size_t outLeft = out.size() - used;
        const bool flushing = inLeft == 0;
        size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &outLeft)
                            : iconv(cd, &in, &inLeft, &dst, &outLeft);
        used = out.size() - outLeft;
        if (r != size_t(-1)) {
            flushed = flushing;
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (!lenient) {
            ok = false;  // EILSEQ or EINVAL: not text in this charset
            break;
        }
        if (flushing) break;
        // A letter held back for a combining mark goes out before the byte taken as Latin-1.
        dst = out.data() + used;
        outLeft = out.size() - used;
        if (iconv(cd, nullptr, nullptr, &dst, &outLeft) == size_t(-1)) {
            out.resize(out.size() * 2);
            continue;
        }
        used = out.size() - outLeft;
        out.resize(used);
        appendUtf8(out, static_cast<unsigned char>(*in));
        used = out.size();
        out.resize(used * 2 + 16);
        ++in;
        --inLeft;
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(used);
    return out;
}

}  // namespace

std::optional<std::string> toUtf8(std::string_view bytes, const char* charset) {
    return convert(bytes, charset, false);
}

std::optional<std::string> toUtf8Lenient(std::string_view bytes, const char* charset) {
    return convert(bytes, charset, true);
}

std::string charsetOfCodePage(uint16_t codePage) {
    switch (codePage) {
        case 367:
            return "ASCII";
        case 932:
            return "CP932";
        case 936:
            return "GB18030";  // a superset of CP936 (GBK)
        case 949:
            return "CP949";
        case 950:
            return "BIG5-HKSCS";
        case 1200:
            return "UTF-16LE";
        case 10000:
            return "MACINTOSH";
        case 32768:
            return "MACINTOSH";
        case 32769:
        case 1252:
            return "CP1252";
        default:
            if (codePage >= 1250 && codePage <= 1258) return "CP" + std::to_string(codePage);
            if (codePage == 437 || codePage == 850 || codePage == 852 || codePage == 855 ||
                codePage == 857 || codePage == 860 || codePage == 861 || codePage == 862 ||
                codePage == 863 || codePage == 864 || codePage == 865 || codePage == 866 ||
                codePage == 869 || codePage == 874)
                return "CP" + std::to_string(codePage);
            return "CP1252";
    }
}

bool isValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void appendUtf8(std::string& out, uint32_t cp) {
    ss::appendUtf8(out, char32_t(cp));
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    size_t n = bytes.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        auto b0 = static_cast<unsigned char>(bytes[2 * i]);
        auto b1 = static_cast<unsigned char>(bytes[2 * i + 1]);
        return bigEndian ? (uint32_t(b0) << 8) | b1 : (uint32_t(b1) << 8) | b0;
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = unit(i);
        if (u < 0x80) {
            out += char(u);
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 &&
                   unit(i + 1) <= 0xDFFF) {
            uint32_t lo = unit(++i);
            appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

namespace {

// Decodes one code point of (valid or not) UTF-8; malformed bytes count as U+FFFD.
uint32_t nextCodePoint(std::string_view s, size_t& i) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return 0xFFFD;
    }
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
        auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    i += len;
    return cp > 0x10FFFF ? 0xFFFD : cp;
}

}  // namespace

size_t utf16Length(std::string_view utf8) {
    size_t n = 0;
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            ++i;
            ++n;
            continue;
        }
        n += nextCodePoint(utf8, i) >= 0x10000 ? 2 : 1;
    }
    return n;
}

std::string utf8ToUtf16le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](uint32_t u) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = nextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

}  // namespace ss::text
