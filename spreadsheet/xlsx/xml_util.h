// Small helpers shared by the package reader and writer: attribute values, colours, numbers.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../model/styles.h"
#include "../text/xml_text.h"

namespace ss::xlsx {

inline bool parseBool(const char* v, bool dflt) {
    if (!v) return dflt;
    return std::strcmp(v, "1") == 0 || std::strcmp(v, "true") == 0 || std::strcmp(v, "on") == 0;
}

inline double parseDouble(const char* v, size_t n, double dflt) {
    while (n && *v == ' ') ++v, --n;
    if (n && *v == '+') ++v, --n;
    // Whole numbers of up to 15 digits (most cells) are exact as doubles: no need for the
    // general conversion.
    if (n && n <= 15) {
        const bool minus = *v == '-';
        size_t i = minus ? 1 : 0;
        uint64_t whole = 0;
        for (; i < n && v[i] >= '0' && v[i] <= '9'; ++i) whole = whole * 10 + uint64_t(v[i] - '0');
        if (i == n && n > size_t(minus)) return minus ? -double(whole) : double(whole);
    }
    double d = dflt;
    auto [p, ec] = std::from_chars(v, v + n, d);
    return ec == std::errc() ? d : dflt;
}

inline double parseDouble(const char* v, double dflt) {
    if (!v) return dflt;
    while (*v == ' ') ++v;
    if (*v == '+') ++v;
    double d = dflt;
    auto [p, ec] = std::from_chars(v, v + std::strlen(v), d);
    return ec == std::errc() ? d : dflt;
}

inline int64_t parseInt(const char* v, int64_t dflt) {
    if (!v) return dflt;
    while (*v == ' ') ++v;
    if (*v == '+') ++v;
    int64_t i = dflt;
    auto [p, ec] = std::from_chars(v, v + std::strlen(v), i);
    if (ec != std::errc()) {
        // Some writers put "1.0" where an integer belongs.
        double d = parseDouble(v, double(dflt));
        return d >= -9e18 && d <= 9e18 ? int64_t(d) : dflt;
    }
    return i;
}

inline uint32_t parseU32(const char* v, uint32_t dflt, uint32_t max = UINT32_MAX) {
    int64_t i = parseInt(v, dflt);
    if (i < 0 || uint64_t(i) > max) return dflt;
    return uint32_t(i);
}

// "FF00AA00" or "00AA00" (alpha FF assumed); none on junk.
inline bool parseArgb(const char* v, uint32_t& out) {
    if (!v) return false;
    size_t n = std::strlen(v);
    if (n != 8 && n != 6) return false;
    uint32_t x = 0;
    auto [p, ec] = std::from_chars(v, v + n, x, 16);
    if (ec != std::errc() || p != v + n) return false;
    out = n == 6 ? (0xFF000000u | x) : x;
    return true;
}

}  // namespace ss::xlsx
