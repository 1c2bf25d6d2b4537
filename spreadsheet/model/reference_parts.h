// The pieces of A1 references that the formula shifter and the reference map both read and
// write: one end of a reference (a cell, a whole column or a whole row) and the characters that
// make up words in formula texts. Internal to the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cell.h"

namespace ss::detail {

// One end of a reference: a cell (row and column), a whole column (row 0) or a whole row (col 0).
struct RefPart {
    uint32_t row = 0, col = 0;
    bool absRow = false, absCol = false;
};

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
inline bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
// Letters, digits and the other characters names and references are made of.
inline bool isWordChar(char c) {
    return isLetter(c) || isDigit(c) || c == '_' || c == '.' || c == '\\' || c == '?' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// Parses "$A$1", "A1", "$A" (column only) or "$1" (row only); `want` 0: cell, 1: column, 2: row.
inline std::optional<RefPart> parsePart(std::string_view s, int want) {
    RefPart p;
    size_t i = 0;
    if (want != 2) {
        if (i < s.size() && s[i] == '$') {
            p.absCol = true;
            ++i;
        }
        size_t letters = 0;
        uint32_t col = 0;
        while (i < s.size() && isLetter(s[i])) {
            if (++letters > 3) return std::nullopt;
            col = col * 26 + uint32_t((s[i] | 0x20) - 'a' + 1);
            ++i;
        }
        if (letters == 0 || col > kXlsxMaxCols) return std::nullopt;
        p.col = col;
        if (want == 1) return i == s.size() ? std::optional<RefPart>(p) : std::nullopt;
    }
    if (i < s.size() && s[i] == '$') {
        p.absRow = true;
        ++i;
    }
    size_t digits = 0;
    uint32_t row = 0;
    while (i < s.size() && isDigit(s[i])) {
        if (++digits > 7) return std::nullopt;
        row = row * 10 + uint32_t(s[i] - '0');
        ++i;
    }
    if (digits == 0 || i != s.size() || row == 0 || row > kXlsxMaxRows) return std::nullopt;
    p.row = row;
    return p;
}

inline void appendPart(std::string& out, const RefPart& p) {
    if (p.col) {
        if (p.absCol) out += '$';
        out += columnLetters(p.col);
    }
    if (p.row) {
        if (p.absRow) out += '$';
        out += std::to_string(p.row);
    }
}

// The end of a string literal starting at `i` (a '"'), past its closing quote; the end of the
// text when it is not closed.
inline size_t stringEnd(std::string_view f, size_t i) {
    size_t k = i + 1;
    while (k < f.size()) {
        if (f[k] == '"') {
            if (k + 1 < f.size() && f[k + 1] == '"') {
                k += 2;
                continue;
            }
            return k + 1;
        }
        ++k;
    }
    return f.size();
}

// Past the ']' that closes the '[' at `i`, nesting followed ("'" escapes the character after
// it, as in structured references); npos when it is not closed.
inline size_t bracketEnd(std::string_view f, size_t i) {
    int depth = 0;
    for (size_t k = i; k < f.size(); ++k) {
        if (f[k] == '\'' && k + 1 < f.size()) {
            ++k;
            continue;
        }
        if (f[k] == '[') ++depth;
        if (f[k] == ']' && --depth == 0) return k + 1;
    }
    return std::string_view::npos;
}

}  // namespace ss::detail
