// OpenFormula to A1: references in brackets lose them ([.A1] -> A1, [$Sheet2.A1:.B2] ->
// Sheet2!A1:B2), argument separators become commas, inline arrays change their separators,
// functions get the names the A1 side knows them by.
#include <algorithm>
#include <array>
#include <cctype>

#include "ods_internal.h"

namespace ss::ods {

namespace {

bool isAsciiAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isNameChar(char c) {
    return isAsciiAlpha(c) || isDigit(c) || c == '_' || c == '.' || (unsigned char)c >= 0x80;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return out;
}

// Functions that the A1 side stores with the prefix of its later additions.
constexpr std::array<std::string_view, 48> kPrefixed = {"AGGREGATE",
                                                        "BITAND",
                                                        "BITLSHIFT",
                                                        "BITOR",
                                                        "BITRSHIFT",
                                                        "BITXOR",
                                                        "CEILING.MATH",
                                                        "CEILING.PRECISE",
                                                        "CONCAT",
                                                        "COVARIANCE.P",
                                                        "COVARIANCE.S",
                                                        "DAYS",
                                                        "FLOOR.MATH",
                                                        "FLOOR.PRECISE",
                                                        "FORECAST.LINEAR",
                                                        "FORMULATEXT",
                                                        "IFNA",
                                                        "IFS",
                                                        "ISFORMULA",
                                                        "ISOWEEKNUM",
                                                        "MAXIFS",
                                                        "MINIFS",
                                                        "MODE.MULT",
                                                        "MODE.SNGL",
                                                        "NETWORKDAYS.INTL",
                                                        "NORM.DIST",
                                                        "NORM.INV",
                                                        "NORM.S.DIST",
                                                        "NORM.S.INV",
                                                        "NUMBERVALUE",
                                                        "PERCENTILE.EXC",
                                                        "PERCENTILE.INC",
                                                        "QUARTILE.EXC",
                                                        "QUARTILE.INC",
                                                        "RANK.AVG",
                                                        "RANK.EQ",
                                                        "SHEET",
                                                        "SHEETS",
                                                        "STDEV.P",
                                                        "STDEV.S",
                                                        "SWITCH",
                                                        "T.DIST",
                                                        "T.INV",
                                                        "TEXTJOIN",
                                                        "VAR.P",
                                                        "VAR.S",
                                                        "WORKDAY.INTL",
                                                        "XOR"};

// The A1 name of a function; nothing for one of the other application's own. Names not listed
// are kept as written (functions of add-ins and macros keep their case).
std::optional<std::string> functionName(std::string_view name) {
    std::string u = upper(name);
    if (u.starts_with("_XLFN.")) return std::string(name);
    if (u.starts_with("ORG.OPENOFFICE.") || u.starts_with("ORG.LIBREOFFICE.") ||
        u.starts_with("COM.SUN."))
        return std::nullopt;
    // The other application marks the functions it took over: the later ones keep the prefix
    // the A1 side stores them with, the older ones need none.
    if (u.starts_with("COM.MICROSOFT."))
        u = u.substr(14);
    else if (u.starts_with("LEGACY."))
        u = u.substr(7);
    else if (u == "CEILING.XCL")
        u = "CEILING";
    else if (u == "FLOOR.XCL")
        u = "FLOOR";
    else if (std::find(kPrefixed.begin(), kPrefixed.end(), u) == kPrefixed.end())
        return std::string(name);
    if (std::find(kPrefixed.begin(), kPrefixed.end(), u) != kPrefixed.end()) return "_xlfn." + u;
    return u;
}

// One side of a reference: "[$]sheet.$A$1" or ".A1" or ".A" or ".1".
struct RefPart {
    std::string sheet;
    bool hasSheet = false;
    std::string cell;
};

std::optional<RefPart> parsePart(std::string_view s) {
    RefPart p;
    size_t i = 0;
    if (i < s.size() && s[i] == '$') ++i;
    if (i < s.size() && s[i] == '\'') {
        ++i;
        for (;;) {
            if (i >= s.size()) return std::nullopt;
            if (s[i] == '\'') {
                if (i + 1 < s.size() && s[i + 1] == '\'') {
                    p.sheet += '\'';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            p.sheet += s[i++];
        }
        p.hasSheet = true;
        if (i >= s.size() || s[i] != '.') return std::nullopt;
    } else {
        size_t dot = s.find('.', i);
        if (dot == std::string_view::npos) return std::nullopt;
        if (dot > i) {
            p.sheet = std::string(s.substr(i, dot - i));
            p.hasSheet = true;
        } else if (i != 0) {
            return std::nullopt;  // "$." names no sheet
        }
        i = dot;
    }
    ++i;  // the '.'
    std::string_view cell = s.substr(i);
    // $A$1, A1, $A, 1: letters and digits with their dollars, nothing else.
    size_t k = 0;
    if (k < cell.size() && cell[k] == '$') ++k;
    size_t letters = 0;
    while (k < cell.size() && isAsciiAlpha(cell[k])) ++k, ++letters;
    if (k < cell.size() && cell[k] == '$') ++k;
    size_t digits = 0;
    while (k < cell.size() && isDigit(cell[k])) ++k, ++digits;
    if (k != cell.size() || (letters == 0 && digits == 0) || letters > 3 || digits > 7)
        return std::nullopt;
    p.cell = upper(cell);
    return p;
}

std::optional<std::string> translateReference(std::string_view ref) {
    if (ref.find('#') != std::string_view::npos) {
        if (ref.find("#REF!") != std::string_view::npos) return "#REF!";
        return std::nullopt;  // another file ('file:///...'#$Sheet1.A1)
    }
    // The colon of a range, outside quoted sheet names.
    size_t colon = std::string_view::npos;
    bool quoted = false;
    for (size_t i = 0; i < ref.size(); ++i) {
        if (ref[i] == '\'') quoted = !quoted;
        if (ref[i] == ':' && !quoted) {
            colon = i;
            break;
        }
    }
    auto first = parsePart(colon == std::string_view::npos ? ref : ref.substr(0, colon));
    if (!first) return std::nullopt;
    std::string out = first->hasSheet ? sheetPrefix(first->sheet) : std::string();
    out += first->cell;
    if (colon != std::string_view::npos) {
        auto second = parsePart(ref.substr(colon + 1));
        if (!second) return std::nullopt;
        if (second->hasSheet && (!first->hasSheet || second->sheet != first->sheet))
            return std::nullopt;  // a range through several sheets
        out += ':';
        out += second->cell;
    }
    return out;
}

constexpr std::array<std::string_view, 8> kErrors = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                                     "#NAME?", "#NUM!",   "#N/A",    "#N/A!"};

}  // namespace

std::string sheetPrefix(std::string_view sheet) {
    bool plain = !sheet.empty() && !isDigit(sheet[0]) && sheet[0] != '.';
    for (char c : sheet)
        if (!isNameChar(c)) plain = false;
    if (plain) {
        // A name that reads as a cell (AB12) or an R1C1 reference must be quoted.
        size_t i = 0;
        while (i < sheet.size() && isAsciiAlpha(sheet[i])) ++i;
        size_t j = i;
        while (j < sheet.size() && isDigit(sheet[j])) ++j;
        if (i > 0 && i <= 3 && j > i && j == sheet.size()) plain = false;
        std::string u = upper(sheet);
        if (u == "TRUE" || u == "FALSE") plain = false;
        if (!u.empty() && (u[0] == 'R' || u[0] == 'C') &&
            std::all_of(u.begin() + 1, u.end(), [](char c) { return isDigit(c) || c == 'C'; }))
            plain = false;
    }
    if (plain) return std::string(sheet) + "!";
    std::string out = "'";
    for (char c : sheet) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'!";
}

std::optional<std::string> formulaToA1(std::string_view f) {
    size_t eq = f.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view ns = f.substr(0, eq);
    std::string_view body = f.substr(eq + 1);
    if (ns == "msoxl:") return std::string(body);  // written in A1 syntax already
    if (!ns.empty() && ns != "of:" && ns != "oooc:") return std::nullopt;
    std::string out;
    out.reserve(body.size());
    int arrayDepth = 0;
    for (size_t i = 0; i < body.size();) {
        char c = body[i];
        if (c == '"') {
            size_t j = i + 1;
            for (;;) {
                if (j >= body.size()) return std::nullopt;
                if (body[j] == '"') {
                    if (j + 1 < body.size() && body[j + 1] == '"') {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            out.append(body.substr(i, j + 1 - i));
            i = j + 1;
        } else if (c == '[') {
            size_t j = i + 1;
            bool quoted = false;
            while (j < body.size() && (quoted || body[j] != ']')) {
                if (body[j] == '\'') quoted = !quoted;
                ++j;
            }
            if (j >= body.size()) return std::nullopt;
            auto ref = translateReference(body.substr(i + 1, j - i - 1));
            if (!ref) return std::nullopt;
            out += *ref;
            i = j + 1;
        } else if (c == '#') {
            auto it = std::find_if(kErrors.begin(), kErrors.end(), [&](std::string_view e) {
                return body.substr(i, e.size()) == e;
            });
            if (it == kErrors.end()) return std::nullopt;
            out += *it;
            i += it->size();
        } else if (c == '{') {
            ++arrayDepth;
            out += c;
            ++i;
        } else if (c == '}') {
            arrayDepth = std::max(0, arrayDepth - 1);
            out += c;
            ++i;
        } else if (c == ';') {
            out += ',';
            ++i;
        } else if (c == '|') {
            if (!arrayDepth) return std::nullopt;
            out += ';';
            ++i;
        } else if (c == '!') {
            out += ' ';  // intersection
            ++i;
        } else if (c == '~' || c == '\'' || c == '[' || c == ']') {
            return std::nullopt;  // union and names we cannot place
        } else if (isAsciiAlpha(c) || c == '_' || (unsigned char)c >= 0x80) {
            size_t j = i;
            while (j < body.size() && isNameChar(body[j])) ++j;
            std::string_view name = body.substr(i, j - i);
            size_t k = j;
            while (k < body.size() && body[k] == ' ') ++k;
            if (k < body.size() && body[k] == '(') {
                auto fn = functionName(name);
                if (!fn) return std::nullopt;
                out += *fn;
            } else {
                out.append(name);
            }
            i = j;
        } else if (isDigit(c)) {
            size_t j = i;
            while (j < body.size() &&
                   (isDigit(body[j]) || body[j] == '.' || body[j] == 'E' || body[j] == 'e' ||
                    ((body[j] == '+' || body[j] == '-') && j > i &&
                     (body[j - 1] == 'E' || body[j - 1] == 'e'))))
                ++j;
            out.append(body.substr(i, j - i));
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    if (out.empty()) return std::nullopt;
    return out;
}

}  // namespace ss::ods
