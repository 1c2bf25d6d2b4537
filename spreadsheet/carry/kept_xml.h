// The kept elements as a small tree that copies and row moves edit, and the lists of ranges
// they hold. Internal to the carrying of kept elements (preserved.cpp, kept_xml.cpp,
// extension_copy.cpp). Texts are escaped as the reader captured them: those of the classic
// elements with xml::xstring (so that equal texts stay equal), those of the extension list with
// plain XML escapes (xml::escaped).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../model/cell.h"
#include "../model/worksheet.h"
#include "preserved.h"

namespace ss::kept {

// The kept elements are our own serialisation (see the .xlsx reader): elements with
// double-quoted, escaped attribute values and escaped text; nothing else. A small tree is
// enough to edit them.
struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;  // values still escaped
    std::string text;                                        // escaped
    std::vector<std::unique_ptr<Node>> children;
};

std::unique_ptr<Node> parse(std::string_view xml, size_t& at, int depth = 0);
void write(const Node& n, std::string& out);
std::string* attrOf(Node& n, std::string_view name);
// A copy of a tree.
std::unique_ptr<Node> clone(const Node& n);
// The tree of a whole kept element; null when it is not one.
std::unique_ptr<Node> parseWhole(const std::string& xml);
// The element written back as text.
std::string text(const Node& n);

// The ranges of a list ("A1:B2 D5"); items that are not ranges are kept aside as text.
struct RangeList {
    std::vector<CellRange> ranges;
    std::vector<std::string> other;
};

// Calls f on each item of a space-separated list; stops early when f returns false.
template <class F>
bool eachItem(std::string_view list, F f) {
    size_t i = 0;
    while (i < list.size()) {
        size_t sp = list.find(' ', i);
        if (sp == std::string_view::npos) sp = list.size();
        const std::string_view item = list.substr(i, sp - i);
        i = sp + 1;
        if (!item.empty() && !f(item)) return false;
    }
    return true;
}

RangeList parseList(std::string_view list);

// "A1", "$A$1", "A1:B2" without a general parse (lists of thousands of ranges are scanned on
// every copy into a sheet); false for anything else.
inline bool quickRange(std::string_view s, CellRange& r) {
    auto cell = [&](size_t& i, uint32_t& row, uint32_t& col) {
        if (i < s.size() && s[i] == '$') ++i;
        uint32_t c = 0, n = 0;
        for (; i < s.size() && s[i] >= 'A' && s[i] <= 'Z' && n < 3; ++i, ++n)
            c = c * 26 + uint32_t(s[i] - 'A' + 1);
        if (i < s.size() && s[i] == '$') ++i;
        uint32_t v = 0, d = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && d < 7; ++i, ++d)
            v = v * 10 + uint32_t(s[i] - '0');
        if (!n || !d || v == 0 || v > kXlsxMaxRows || c > kXlsxMaxCols) return false;
        row = v;
        col = c;
        return true;
    };
    size_t i = 0;
    uint32_t r1, c1, r2, c2;
    if (!cell(i, r1, c1)) return false;
    if (i == s.size()) {
        r2 = r1;
        c2 = c1;
    } else if (s[i] != ':' || !cell(++i, r2, c2) || i != s.size()) {
        return false;
    }
    r = {std::min(r1, r2), std::min(c1, c2), std::max(r1, r2), std::max(c1, c2)};
    return true;
}

// Calls f on each range of a list; false when an item is not a range.
template <class F>
bool eachRange(std::string_view list, F f) {
    return eachItem(list, [&](std::string_view item) {
        CellRange r;
        if (quickRange(item, r)) {
            f(r);
        } else if (auto p = parseRange(item)) {
            f(*p);
        } else {
            return false;
        }
        return true;
    });
}

std::string listText(const RangeList& l);

// The top left corner of the ranges (what relative references in their formulas count from).
std::pair<uint32_t, uint32_t> topLeft(const std::vector<CellRange>& ranges);

// The parts of `r` outside `area`: up to four ranges.
std::vector<CellRange> subtract(const CellRange& r, const CellRange& area);

// The pieces of `ranges` inside the run's rows and the block's columns, moved.
std::vector<CellRange> landed(const std::vector<CellRange>& ranges, const CopiedBlock& b,
                              const CopiedBlock::Run& run);

// Moves what the sheet's extension list says about rows (extension_copy.cpp).
void moveExtensionRows(Worksheet& ws, const RowMove& move);

}  // namespace ss::kept
