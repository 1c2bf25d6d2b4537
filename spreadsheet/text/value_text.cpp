#include "value_text.h"

#include <charconv>
#include <cmath>
#include <string>

namespace ss::text {

namespace {

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468 + 25569;  // 25569: 1899-12-30 .. 1970-01-01
}

bool readUInt(std::string_view s, size_t& i, size_t minDigits, size_t maxDigits, unsigned& out) {
    size_t start = i;
    unsigned v = 0;
    while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9')
        v = v * 10 + unsigned(s[i++] - '0');
    if (i - start < minDigits) return false;
    out = v;
    return true;
}

}  // namespace

bool parseTime(std::string_view s, size_t i, double& frac, bool& seconds) {
    unsigned h, m, sec = 0;
    if (!readUInt(s, i, 1, 2, h) || i >= s.size() || s[i++] != ':' || !readUInt(s, i, 2, 2, m))
        return false;
    seconds = false;
    if (i < s.size()) {
        if (s[i++] != ':' || !readUInt(s, i, 2, 2, sec) || i != s.size()) return false;
        seconds = true;
    }
    if (h > 23 || m > 59 || sec > 59) return false;
    frac = (h * 3600.0 + m * 60.0 + sec) / 86400.0;
    return true;
}

bool parseDate(std::string_view s, double& serial, bool& hasTime) {
    size_t i = 0;
    unsigned y, m, d;
    if (!readUInt(s, i, 4, 4, y) || i >= s.size()) return false;
    char sep = s[i++];
    if (sep != '-' && sep != '/') return false;
    if (!readUInt(s, i, 1, 2, m) || i >= s.size() || s[i++] != sep || !readUInt(s, i, 1, 2, d))
        return false;
    if (y < 1900 || m < 1 || m > 12 || d < 1) return false;
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[m - 1] + (m == 2 && leap)) return false;
    int64_t days = daysFromCivil(y, m, d);
    if (days < 61) days -= 1;  // before 1900-03-01 the 1900 system has no phantom leap day yet
    serial = double(days);
    hasTime = false;
    if (i == s.size()) return true;
    if (s[i] != ' ') return false;
    while (i < s.size() && s[i] == ' ') ++i;
    double frac;
    bool sec;
    if (!parseTime(s, i, frac, sec)) return false;
    serial += frac;
    hasTime = true;
    return true;
}

ParsedNumber parseNumber(std::string_view s) {
    ParsedNumber r;
    size_t i = 0, n = s.size();
    if (n == 0) return r;
    bool percent = s[n - 1] == '%';
    if (percent) --n;
    std::string clean;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') clean += '-';
        ++i;
    }
    size_t intStart = i, intDigits = 0, significant = 0;
    bool grouped = false, seenNonZero = false;
    size_t groupLen = 0;
    for (; i < n; ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            clean += c;
            ++intDigits;
            ++groupLen;
            if (c != '0') seenNonZero = true;
            if (seenNonZero) ++significant;
        } else if (c == ',' && intDigits > 0 && (!grouped ? groupLen <= 3 : groupLen == 3)) {
            grouped = true;
            groupLen = 0;
        } else {
            break;
        }
    }
    if (grouped && groupLen != 3) return r;
    if (intDigits > 1 && s[intStart] == '0') return r;  // leading zeros: an identifier
    size_t fracDigits = 0;
    if (i < n && s[i] == '.') {
        clean += '.';
        for (++i; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
            clean += s[i];
            ++fracDigits;
            if (s[i] != '0') seenNonZero = true;
            if (seenNonZero) ++significant;
        }
    }
    if (intDigits + fracDigits == 0) return r;
    if (i < n && (s[i] == 'e' || s[i] == 'E') && !grouped) {
        clean += 'e';
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) clean += s[i++];
        size_t expDigits = 0;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, ++expDigits) clean += s[i];
        if (expDigits == 0) return r;
    }
    if (i != n) return r;
    if (significant > 15) return r;  // would be rounded: keep the digits as text
    double v = 0;
    auto res = std::from_chars(clean.data(), clean.data() + clean.size(), v);
    if (res.ec != std::errc() || res.ptr != clean.data() + clean.size() || !std::isfinite(v))
        return r;
    r.value = percent ? v / 100.0 : v;
    r.decimals = fracDigits > 0;
    r.kind = percent ? NumberKind::Percent : grouped ? NumberKind::Grouped : NumberKind::Plain;
    return r;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

TypedValue typeValue(std::string_view s) {
    TypedValue v;
    if (s.empty()) return v;
    ParsedNumber num = parseNumber(s);
    double serial;
    bool hasTime, sec;
    if (num.kind != NumberKind::None) {
        v.kind = TypedValue::Kind::Number;
        v.number = num.value;
        if (num.kind == NumberKind::Percent) v.numFmtId = num.decimals ? 10 : 9;
        if (num.kind == NumberKind::Grouped) v.numFmtId = num.decimals ? 4 : 3;
    } else if (s[0] >= '0' && s[0] <= '9' && parseDate(s, serial, hasTime)) {
        v.kind = TypedValue::Kind::Number;
        v.number = serial;
        v.numFmtId = hasTime ? 22 : 14;
    } else if (s[0] >= '0' && s[0] <= '9' && parseTime(s, 0, serial, sec)) {
        v.kind = TypedValue::Kind::Number;
        v.number = serial;
        v.numFmtId = sec ? 21 : 20;
    } else if (equalsNoCase(s, "TRUE") || equalsNoCase(s, "FALSE")) {
        v.kind = TypedValue::Kind::Boolean;
        v.number = s.size() == 4 ? 1 : 0;
    }
    return v;
}

}  // namespace ss::text
