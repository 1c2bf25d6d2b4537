#include "formula_decode.h"

#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "../model/cell.h"
#include "../model/workbook.h"
#include "biff.h"
#include "bytes.h"
#include "../text/codepage.h"

namespace ss::xlsformula {

namespace {

struct FunctionInfo {
    const char* name;
    int args;  // fixed argument count for PtgFunc; -1 when the function only takes a list
};

// Built-in functions by their Ftab index ([MS-XLS] 2.5.198.17), the commonly used ones.
const std::unordered_map<uint16_t, FunctionInfo>& functions() {
    static const std::unordered_map<uint16_t, FunctionInfo> m = {
        {0, {"COUNT", -1}},        {1, {"IF", -1}},
        {2, {"ISNA", 1}},          {3, {"ISERROR", 1}},
        {4, {"SUM", -1}},          {5, {"AVERAGE", -1}},
        {6, {"MIN", -1}},          {7, {"MAX", -1}},
        {8, {"ROW", -1}},          {9, {"COLUMN", -1}},
        {10, {"NA", 0}},           {11, {"NPV", -1}},
        {12, {"STDEV", -1}},       {13, {"DOLLAR", -1}},
        {14, {"FIXED", -1}},       {15, {"SIN", 1}},
        {16, {"COS", 1}},          {17, {"TAN", 1}},
        {18, {"ATAN", 1}},         {19, {"PI", 0}},
        {20, {"SQRT", 1}},         {21, {"EXP", 1}},
        {22, {"LN", 1}},           {23, {"LOG10", 1}},
        {24, {"ABS", 1}},          {25, {"INT", 1}},
        {26, {"SIGN", 1}},         {27, {"ROUND", 2}},
        {28, {"LOOKUP", -1}},      {29, {"INDEX", -1}},
        {30, {"REPT", 2}},         {31, {"MID", 3}},
        {32, {"LEN", 1}},          {33, {"VALUE", 1}},
        {34, {"TRUE", 0}},         {35, {"FALSE", 0}},
        {36, {"AND", -1}},         {37, {"OR", -1}},
        {38, {"NOT", 1}},          {39, {"MOD", 2}},
        {46, {"VAR", -1}},         {48, {"TEXT", 2}},
        {56, {"PV", -1}},          {57, {"FV", -1}},
        {58, {"NPER", -1}},        {59, {"PMT", -1}},
        {60, {"RATE", -1}},        {62, {"IRR", -1}},
        {63, {"RAND", 0}},         {64, {"MATCH", -1}},
        {65, {"DATE", 3}},         {66, {"TIME", 3}},
        {67, {"DAY", 1}},          {68, {"MONTH", 1}},
        {69, {"YEAR", 1}},         {70, {"WEEKDAY", -1}},
        {71, {"HOUR", 1}},         {72, {"MINUTE", 1}},
        {73, {"SECOND", 1}},       {74, {"NOW", 0}},
        {75, {"AREAS", 1}},        {76, {"ROWS", 1}},
        {77, {"COLUMNS", 1}},      {78, {"OFFSET", -1}},
        {82, {"SEARCH", -1}},      {83, {"TRANSPOSE", 1}},
        {86, {"TYPE", 1}},         {97, {"ATAN2", 2}},
        {98, {"ASIN", 1}},         {99, {"ACOS", 1}},
        {100, {"CHOOSE", -1}},     {101, {"HLOOKUP", -1}},
        {102, {"VLOOKUP", -1}},    {105, {"ISREF", 1}},
        {109, {"LOG", -1}},        {111, {"CHAR", 1}},
        {112, {"LOWER", 1}},       {113, {"UPPER", 1}},
        {114, {"PROPER", 1}},      {115, {"LEFT", -1}},
        {116, {"RIGHT", -1}},      {117, {"EXACT", 2}},
        {118, {"TRIM", 1}},        {119, {"REPLACE", 4}},
        {120, {"SUBSTITUTE", -1}}, {121, {"CODE", 1}},
        {124, {"FIND", -1}},       {125, {"CELL", -1}},
        {126, {"ISERR", 1}},       {127, {"ISTEXT", 1}},
        {128, {"ISNUMBER", 1}},    {129, {"ISBLANK", 1}},
        {130, {"T", 1}},           {131, {"N", 1}},
        {140, {"DATEVALUE", 1}},   {141, {"TIMEVALUE", 1}},
        {148, {"INDIRECT", -1}},   {162, {"CLEAN", 1}},
        {169, {"COUNTA", -1}},     {183, {"PRODUCT", -1}},
        {184, {"FACT", 1}},        {190, {"ISNONTEXT", 1}},
        {193, {"STDEVP", -1}},     {194, {"VARP", -1}},
        {197, {"TRUNC", -1}},      {198, {"ISLOGICAL", 1}},
        {212, {"ROUNDUP", 2}},     {213, {"ROUNDDOWN", 2}},
        {216, {"RANK", -1}},       {219, {"ADDRESS", -1}},
        {220, {"DAYS360", -1}},    {221, {"TODAY", 0}},
        {227, {"MEDIAN", -1}},     {228, {"SUMPRODUCT", -1}},
        {276, {"COMBIN", 2}},      {279, {"EVEN", 1}},
        {285, {"FLOOR", 2}},       {288, {"CEILING", 2}},
        {298, {"ODD", 1}},         {325, {"LARGE", 2}},
        {326, {"SMALL", 2}},       {336, {"CONCATENATE", -1}},
        {337, {"POWER", 2}},       {342, {"RADIANS", 1}},
        {343, {"DEGREES", 1}},     {344, {"SUBTOTAL", -1}},
        {345, {"SUMIF", -1}},      {346, {"COUNTIF", 2}},
        {347, {"COUNTBLANK", 1}},  {359, {"HYPERLINK", -1}},
        {361, {"AVERAGEA", -1}},   {362, {"MAXA", -1}},
        {363, {"MINA", -1}},
    };
    return m;
}

// A sheet name as a formula writes it: quoted unless it is a plain identifier that cannot be
// mistaken for a cell reference.
std::string sheetRef(const std::string& name) {
    bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.'))
            plain = false;
    if (plain) {
        // Letters followed by digits (A1, XFD1) or R1C1-like names need quotes.
        size_t i = 0;
        while (i < name.size() && ((name[i] | 0x20) >= 'a' && (name[i] | 0x20) <= 'z')) ++i;
        size_t digitsFrom = i;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
        if (i == name.size() && digitsFrom > 0 && digitsFrom < name.size()) plain = false;
        if (name[0] == 'R' || name[0] == 'r' || name[0] == 'C' || name[0] == 'c') plain = false;
        std::string up;
        for (char c : name) up += char(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (up == "TRUE" || up == "FALSE") plain = false;
    }
    if (plain) return name;
    std::string q = "'";
    for (char c : name) {
        q += c;
        if (c == '\'') q += '\'';
    }
    return q + "'";
}

std::string number(double v) {
    std::string s = formatGeneralNumber(v);
    // formatGeneralNumber rounds to 15 digits; a literal must keep its exact value.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    double back = 0;
    std::sscanf(s.c_str(), "%lf", &back);
    return back == v ? s : std::string(buf);
}

class Decoder {
public:
    Decoder(std::string_view rgce, uint32_t row, uint32_t col, bool shared, const Context& ctx)
        : c_(rgce), row_(row), col_(col), shared_(shared), ctx_(ctx) {}

    std::optional<std::string> run() {
        while (!c_.atEnd()) {
            if (!step() || !c_.ok()) return std::nullopt;
        }
        if (stack_.size() != 1) return std::nullopt;
        return stack_[0];
    }

private:
    bool pop(std::string& out) {
        if (stack_.empty()) return false;
        out = std::move(stack_.back());
        stack_.pop_back();
        return true;
    }

    std::string cellRef(uint16_t rw, uint16_t colField, bool relativeOffsets) {
        bool colRel = colField & 0x4000, rowRel = colField & 0x8000;
        int64_t r = rw, c = colField & 0x3FFF;
        if (relativeOffsets) {
            if (rowRel) r = (int64_t(row_) + int16_t(rw)) & 0xFFFF;
            if (colRel) c = (int64_t(col_) + int8_t(uint8_t(colField & 0xFF))) & 0xFF;
        }
        return (colRel ? "" : "$") + columnLetters(uint32_t(c) + 1) + (rowRel ? "" : "$") +
               std::to_string(r + 1);
    }

    std::string areaRef(uint16_t r1, uint16_t r2, uint16_t c1, uint16_t c2, bool rel) {
        bool rowRel1 = c1 & 0x8000, rowRel2 = c2 & 0x8000;
        bool colRel1 = c1 & 0x4000, colRel2 = c2 & 0x4000;
        uint32_t col1 = c1 & 0x3FFF, col2 = c2 & 0x3FFF;
        if (!rel && r1 == 0 && r2 == 0xFFFF)  // whole columns
            return (colRel1 ? "" : "$") + columnLetters(col1 + 1) + ":" + (colRel2 ? "" : "$") +
                   columnLetters(col2 + 1);
        if (!rel && col1 == 0 && col2 == 0xFF)  // whole rows
            return (rowRel1 ? "" : "$") + std::to_string(r1 + 1) + ":" + (rowRel2 ? "" : "$") +
                   std::to_string(r2 + 1);
        return cellRef(r1, c1, rel) + ":" + cellRef(r2, c2, rel);
    }

    std::optional<std::string> sheetPrefix(uint16_t ixti) {
        if (ixti >= ctx_.xti.size()) return std::nullopt;
        const Context::Xti& x = ctx_.xti[ixti];
        if (x.supBook >= ctx_.supBookIsSelf.size() || !ctx_.supBookIsSelf[x.supBook])
            return std::nullopt;
        if (x.first < 0 || x.last < x.first || size_t(x.last) >= ctx_.sheetNames.size())
            return std::nullopt;
        if (x.first == x.last) return sheetRef(ctx_.sheetNames[size_t(x.first)]) + "!";
        std::string both = ctx_.sheetNames[size_t(x.first)] + ":" + ctx_.sheetNames[size_t(x.last)];
        return sheetRef(both) + "!";
    }

    bool call(const char* name, size_t argc) {
        if (stack_.size() < argc) return false;
        std::string s = std::string(name) + "(";
        for (size_t i = stack_.size() - argc; i < stack_.size(); ++i) {
            if (i > stack_.size() - argc) s += ",";
            s += stack_[i];
        }
        s += ")";
        stack_.resize(stack_.size() - argc);
        stack_.push_back(std::move(s));
        return true;
    }

    bool step() {
        uint8_t ptg = c_.u8();
        static const char* const kBinary[] = {
            "+", "-", "*", "/", "^", "&", "<", "<=", "=", ">=", ">", "<>", " ", ",", ":"};
        if (ptg >= 0x03 && ptg <= 0x11) {
            std::string a, b;
            if (!pop(b) || !pop(a)) return false;
            stack_.push_back(a + kBinary[ptg - 0x03] + b);
            return true;
        }
        switch (ptg) {
            case 0x12:
            case 0x13: {
                std::string a;
                if (!pop(a)) return false;
                stack_.push_back((ptg == 0x12 ? "+" : "-") + a);
                return true;
            }
            case 0x14: {
                std::string a;
                if (!pop(a)) return false;
                stack_.push_back(a + "%");
                return true;
            }
            case 0x15: {
                std::string a;
                if (!pop(a)) return false;
                stack_.push_back("(" + a + ")");
                return true;
            }
            case 0x16:
                stack_.emplace_back();
                return true;
            case 0x17: {
                size_t cch = c_.u8();
                uint8_t flags = c_.u8();
                std::string_view raw = c_.bytes(flags & 1 ? cch * 2 : cch);
                if (!c_.ok()) return false;
                std::string text;
                if (flags & 1) {
                    text = text::utf16ToUtf8(raw, false);
                } else {
                    for (char ch : raw) appendLatin1(text, uint8_t(ch));
                }
                std::string q = "\"";
                for (char ch : text) {
                    q += ch;
                    if (ch == '"') q += '"';
                }
                stack_.push_back(q + "\"");
                return true;
            }
            case 0x19: {
                uint8_t flags = c_.u8();
                uint16_t data = c_.u16();
                if (flags & 0x04) c_.skip((size_t(data) + 1) * 2);  // CHOOSE jump table
                if (flags & 0x10) return call("SUM", 1);            // SUM of one argument
                return true;  // IF/CHOOSE jumps, spaces, volatility: no text of their own
            }
            case 0x1C: {
                auto e = biff::errorFromBiff(c_.u8());
                if (!e) return false;
                stack_.emplace_back(errorText(*e));
                return true;
            }
            case 0x1D:
                stack_.emplace_back(c_.u8() ? "TRUE" : "FALSE");
                return true;
            case 0x1E:
                stack_.push_back(std::to_string(c_.u16()));
                return true;
            case 0x1F: {
                double v = c_.f64();
                if (!std::isfinite(v)) return false;
                stack_.push_back(number(v));
                return true;
            }
            default:
                break;
        }
        if (ptg < 0x20 || ptg >= 0x80) return false;
        switch ((ptg & 0x1F) | 0x20) {
            case 0x21: {
                auto it = functions().find(c_.u16());
                if (it == functions().end() || it->second.args < 0) return false;
                return call(it->second.name, size_t(it->second.args));
            }
            case 0x22: {
                uint8_t argc = c_.u8() & 0x7F;
                uint16_t tab = c_.u16();
                if (tab & 0x8000) return false;
                auto it = functions().find(tab);
                if (it == functions().end()) return false;
                return call(it->second.name, argc);
            }
            case 0x24: {
                uint16_t rw = c_.u16(), cl = c_.u16();
                stack_.push_back(cellRef(rw, cl, false));
                return true;
            }
            case 0x25: {
                uint16_t r1 = c_.u16(), r2 = c_.u16(), c1 = c_.u16(), c2 = c_.u16();
                stack_.push_back(areaRef(r1, r2, c1, c2, false));
                return true;
            }
            case 0x26:
            case 0x27:
            case 0x28:
                c_.skip(6);  // the sub-expression follows as ordinary tokens
                return true;
            case 0x29:
                c_.skip(2);
                return true;
            case 0x2A:
                c_.skip(4);
                stack_.emplace_back("#REF!");
                return true;
            case 0x2B:
                c_.skip(8);
                stack_.emplace_back("#REF!");
                return true;
            case 0x2C: {
                if (!shared_) return false;
                uint16_t rw = c_.u16(), cl = c_.u16();
                stack_.push_back(cellRef(rw, cl, true));
                return true;
            }
            case 0x2D: {
                if (!shared_) return false;
                uint16_t r1 = c_.u16(), r2 = c_.u16(), c1 = c_.u16(), c2 = c_.u16();
                stack_.push_back(areaRef(r1, r2, c1, c2, true));
                return true;
            }
            case 0x3A: {
                uint16_t ixti = c_.u16(), rw = c_.u16(), cl = c_.u16();
                auto sheet = sheetPrefix(ixti);
                if (!sheet) return false;
                stack_.push_back(*sheet + cellRef(rw, cl, false));
                return true;
            }
            case 0x3B: {
                uint16_t ixti = c_.u16(), r1 = c_.u16(), r2 = c_.u16(), c1 = c_.u16(),
                         c2 = c_.u16();
                auto sheet = sheetPrefix(ixti);
                if (!sheet) return false;
                stack_.push_back(*sheet + areaRef(r1, r2, c1, c2, false));
                return true;
            }
            default:
                return false;  // arrays, names, external references, macro-sheet tokens
        }
    }

    static void appendLatin1(std::string& out, uint8_t ch) {
        if (ch < 0x80) {
            out += char(ch);
        } else {
            out += char(0xC0 | (ch >> 6));
            out += char(0x80 | (ch & 0x3F));
        }
    }

    bin::ByteCursor c_;
    uint32_t row_, col_;
    bool shared_;
    const Context& ctx_;
    std::vector<std::string> stack_;
};

}  // namespace

void Context::addGlobalRecord(uint16_t type, std::string_view data) {
    bin::ByteCursor c(data);
    if (type == biff::kSupBook) {
        c.u16();  // ctab
        uint16_t cch = c.u16();
        supBookIsSelf.push_back(c.ok() && cch == 0x0401);
    } else if (type == biff::kExternSheet) {
        uint16_t n = c.u16();
        for (uint16_t i = 0; i < n && c.has(6); ++i) {
            Xti x;
            x.supBook = c.u16();
            x.first = int16_t(c.u16());
            x.last = int16_t(c.u16());
            xti.push_back(x);
        }
    }
}

std::optional<std::string> decode(std::string_view rgce, uint32_t row, uint32_t col, bool shared,
                                  const Context& ctx) {
    if (!ctx.biff8) return std::nullopt;  // BIFF5 tokens differ; keep the cached value
    return Decoder(rgce, row, col, shared, ctx).run();
}

}  // namespace ss::xlsformula
