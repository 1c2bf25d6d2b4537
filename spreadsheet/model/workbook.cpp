#include "workbook.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace ss {

Workbook::~Workbook() = default;

std::unique_ptr<Workbook> Workbook::createDefault() {
    auto wb = std::make_unique<Workbook>();
    wb->addSheet("Sheet1");
    return wb;
}

// Folds ASCII letters and the Latin-1, Greek and Cyrillic capitals of two-byte UTF-8 sequences,
// which is what sheet names compare without regard to case in practice.
std::string foldSheetName(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 'A' && c <= 'Z') {
            out += char(c + 32);
        } else if ((c == 0xC3 || c == 0xCE || c == 0xCF || c == 0xD0 || c == 0xD1) &&
                   i + 1 < s.size()) {
            unsigned cp = ((c & 0x1F) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F);
            if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB))
                cp += 0x20;
            else if (cp >= 0x410 && cp <= 0x42F)
                cp += 0x20;
            else if (cp >= 0x400 && cp <= 0x40F)
                cp += 0x50;
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
            ++i;
        } else {
            out += char(c);
        }
    }
    return out;
}

Worksheet& Workbook::addSheet(std::string name, std::optional<size_t> position) {
    size_t at = position ? std::min(*position, sheets.size()) : sheets.size();
    return insertSheet(std::make_unique<Worksheet>(std::move(name)), at);
}

Worksheet& Workbook::insertSheet(std::unique_ptr<Worksheet> sheet, size_t position) {
    const bool current = indexCurrent();
    Worksheet* added = sheet.get();
    size_t at = std::min(position, sheets.size());
    sheets.insert(sheets.begin() + ptrdiff_t(at), std::move(sheet));
    if (current) {
        indexName(added);
        indexed_ = sheets.size();
    }
    return *added;
}

std::unique_ptr<Worksheet> Workbook::removeSheet(size_t position) {
    if (position >= sheets.size()) return nullptr;
    const bool current = indexCurrent();
    std::unique_ptr<Worksheet> out = std::move(sheets[position]);
    sheets.erase(sheets.begin() + ptrdiff_t(position));
    if (current) {
        unindexName(out.get(), out->name);
        indexed_ = sheets.size();
    }
    nextSuffix_.clear();
    return out;
}

void Workbook::renameSheet(Worksheet& sheet, std::string name) {
    if (indexCurrent()) {
        unindexName(&sheet, sheet.name);
        sheet.name = std::move(name);
        indexName(&sheet);
    } else {
        sheet.name = std::move(name);
    }
    nextSuffix_.clear();
}

bool Workbook::indexCurrent() {
    if (indexed_ == sheets.size()) return true;
    if (indexed_ != SIZE_MAX) {
        // `sheets` was changed behind the methods above: start again from what it holds.
        byName_.clear();
        nextSuffix_.clear();
        indexed_ = SIZE_MAX;
    }
    return false;
}

void Workbook::indexName(Worksheet* sheet) {
    NameEntry& e = byName_[foldSheetName(sheet->name)];
    if (++e.count == 1) e.sheet = sheet;
}

void Workbook::unindexName(const Worksheet* sheet, const std::string& name) {
    auto it = byName_.find(foldSheetName(name));
    if (it == byName_.end()) return;
    if (--it->second.count == 0) {
        byName_.erase(it);
    } else if (it->second.count == 1) {
        // The one left of a name several sheets shared.
        for (auto& s : sheets)
            if (s.get() != sheet && foldSheetName(s->name) == it->first) it->second.sheet = s.get();
    }
}

Worksheet* Workbook::sheetByName(std::string_view name) {
    if (!indexCurrent()) {
        byName_.clear();
        byName_.reserve(sheets.size());
        for (auto& s : sheets) indexName(s.get());
        indexed_ = sheets.size();
    }
    std::string key = foldSheetName(name);
    auto it = byName_.find(key);
    if (it == byName_.end()) return nullptr;
    if (it->second.count == 1) return it->second.sheet;
    for (auto& s : sheets)  // several of this name: the first in order
        if (foldSheetName(s->name) == key) return s.get();
    return nullptr;
}

namespace {

// The longest prefix of `s` (whole characters) of at most `units` UTF-16 units.
std::string prefixUtf16(std::string_view s, size_t units) {
    size_t n = 0, i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        size_t w = c >= 0xF0 ? 2 : 1;
        if (n + w > units) break;
        n += w;
        i += len;
    }
    return std::string(s.substr(0, std::min(i, s.size())));
}

}  // namespace

std::string Workbook::uniqueSheetName(const std::string& name) {
    if (!sheetByName(name)) return name;
    std::string stem = name;
    if (stem.size() > 4 && stem.back() == ')') {
        size_t open = stem.rfind(" (");
        if (open != std::string::npos && open + 3 < stem.size()) {
            bool digits = true;
            for (size_t i = open + 2; i + 1 < stem.size(); ++i)
                digits = digits && stem[i] >= '0' && stem[i] <= '9';
            if (digits) stem.resize(open);
        }
    }
    const std::string key = foldSheetName(stem);
    for (uint32_t n = nextSuffix_.try_emplace(key, 2u).first->second;; ++n) {
        std::string suffix = " (" + std::to_string(n) + ")";
        std::string candidate = prefixUtf16(stem, 31 - suffix.size()) + suffix;
        if (!sheetByName(candidate)) {
            nextSuffix_[key] = n;
            return candidate;
        }
    }
}

int Workbook::indexOf(const Worksheet* sheet) const {
    for (size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].get() == sheet) return int(i);
    return -1;
}

bool Workbook::hasFormulas() const {
    for (auto& s : sheets)
        if (!s->formulas().empty()) return true;
    return false;
}

std::string formatGeneralNumber(double v) {
    if (v == 0) return "0";
    if (!std::isfinite(v)) return "#NUM!";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    std::string s = buf;
    size_t e = s.find('e');
    if (e != std::string::npos) {
        // 1.5e+20 -> 1.5E+20, as the application writes it.
        s[e] = 'E';
    }
    return s;
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

}  // namespace

std::string formatDateSerial(double serial, bool date1904) {
    if (!std::isfinite(serial) || serial < 0 || serial >= 2958466)
        return formatGeneralNumber(serial);
    double whole = std::floor(serial);
    int64_t seconds = std::llround((serial - whole) * 86400.0);
    int64_t days = int64_t(whole);
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    char date[64];
    if (!date1904 && days == 60) {
        std::snprintf(date, sizeof date, "1900-02-29");  // the 1900 leap-year day that never was
    } else if (!date1904 && days == 0) {
        std::snprintf(date, sizeof date, "1900-01-00");
    } else {
        // Day 0 of the 1904 system is 1904-01-01; day 1 of the 1900 system is 1900-01-01.
        int64_t epoch = date1904
                            ? -24107
                            : (days < 60 ? -25568 : -25569);  // 1904-01-01, 1899-12-31, 1899-12-30
        int64_t y;
        unsigned m, d;
        civilFromDays(epoch + days, y, m, d);
        std::snprintf(date, sizeof date, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    }
    std::string out = date;
    if (seconds != 0) {
        char t[64];
        std::snprintf(t, sizeof t, " %02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60),
                      static_cast<long long>(seconds % 60));
        out += t;
    }
    return out;
}

std::string Workbook::cellText(const Cell& c) const {
    switch (c.type) {
        case CellType::Empty:
            return {};
        case CellType::String:
            return c.sst < strings.size() ? std::string(strings.text(c.sst)) : std::string();
        case CellType::Boolean:
            return c.boolean ? "TRUE" : "FALSE";
        case CellType::Error:
            return std::string(errorText(c.error));
        case CellType::Number:
            if (styles.isDateFormat(c.style)) return formatDateSerial(c.number, date1904);
            return formatGeneralNumber(c.number);
    }
    return {};
}

}  // namespace ss
