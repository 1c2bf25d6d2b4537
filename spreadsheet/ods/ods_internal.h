// What the .ods reader's files share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../model/styles.h"
#include "../text/xml_stream.h"

namespace ss::ods {

// An OpenFormula text as a table:formula attribute holds it ("of:=SUM([.A1:.B2])") as an A1
// formula without its "=" ("SUM(A1:B2)"); nothing when it has no counterpart (a function of
// the other application only, a reference into another file, a syntax we do not know).
std::optional<std::string> formulaToA1(std::string_view formula);

// A sheet name as an A1 formula writes it: quoted ('My sheet', with '' for a quote) unless it
// is a plain name that cannot be read as a reference.
std::string sheetPrefix(std::string_view sheet);

// The namespaces the reader looks at.
enum class Ns : uint8_t { Other, Office, Table, Text, Style, Fo, Number, Svg, Draw, Calcext, Dc };
constexpr size_t kNsCount = 11;
Ns nsOf(std::string_view uri);

// The prefixes of the document's namespaces. The parse leaves names with their prefixes (expat
// resolving them costs as much again as the rest of the parse); the declarations say which
// prefix is which namespace, the usual ones until a declaration says otherwise.
class Names {
public:
    Names();
    // Takes the xmlns:* declarations of a start tag.
    void declare(const char** atts);
    Ns of(std::string_view prefix) const {
        for (size_t i = 1; i < kNsCount; ++i)
            if (prefix == prefix_[i]) return Ns(i);
        return Ns::Other;
    }
    // The value of attribute (ns, local) of a start tag; null when absent.
    const char* attr(const char** atts, Ns ns, std::string_view local) const;

private:
    std::string prefix_[kNsCount];
};

// A length ("0.8299in", "2.5cm", "12pt") in points; nothing for a unit we do not know.
std::optional<double> toPoints(std::string_view length);

// The styles of a document (styles.xml, then the automatic styles of content.xml) and the
// cell formats they come to in the workbook's style table, each worked out once.
class Styles {
public:
    Styles(StyleTable& table, const Names& names) : table_(table), names_(names) {}

    // Elements inside <office:font-face-decls>, <office:styles> and
    // <office:automatic-styles>; true when the element was one of the styles'.
    void start(Ns ns, std::string_view local, const char** atts);
    void end(Ns ns, std::string_view local);
    void text(std::string_view s);

    // Called once the styles are all read: the document's default font becomes font 0.
    void finish();
    // The cell format of a cell style (0 for an unknown one).
    uint32_t cellFormat(const std::string& name);
    // Whether the format's number format is General.
    bool isGeneral(uint32_t xf) const { return table_.cellXfs[xf].numFmtId == 0; }
    // `xf` with its number format replaced by `code` (worked out once per pair).
    uint32_t withNumberFormat(uint32_t xf, const std::string& code);

    double columnWidth(const std::string& name) const;  // points; -1 when unknown
    struct RowFormat {
        double heightPt = -1;
        bool custom = false;  // use-optimal-row-height="false"
    };
    RowFormat rowFormat(const std::string& name) const;
    bool tableHidden(const std::string& name) const;

private:
    struct CellStyle;
    struct NumberStyle;
    struct Resolved;
    void apply(const CellStyle& s, Resolved& r) const;
    void collect(const std::string& name, Resolved& r, int depth) const;
    std::string numberCode(const std::string& name, int depth) const;
    uint32_t intern(const Resolved& r);

    StyleTable& table_;
    const Names& names_;
    std::unordered_map<std::string, std::string> fontFaces_;  // face name -> family
    std::unordered_map<std::string, std::shared_ptr<CellStyle>> cells_;
    std::shared_ptr<CellStyle> defaultCell_;
    std::unordered_map<std::string, std::shared_ptr<NumberStyle>> numbers_;
    std::unordered_map<std::string, double> columns_;
    std::unordered_map<std::string, RowFormat> rows_;
    std::unordered_map<std::string, bool> tables_;
    std::unordered_map<std::string, uint32_t> xfs_;
    std::unordered_map<std::string, uint32_t> withCode_;
    // What is being read.
    std::shared_ptr<CellStyle> cur_;
    std::string curFamily_, curName_;
    std::shared_ptr<NumberStyle> num_;
    int numTextDepth_ = 0;  // inside number:text or number:currency-symbol
    std::string numText_;
};

// The view settings of settings.xml that the model keeps: the active table and each table's
// frozen rows and columns.
struct ViewSettings {
    struct Table {
        uint32_t frozenRows = 0, frozenCols = 0;
    };
    std::string activeTable;
    std::unordered_map<std::string, Table> tables;
};

class SettingsReader : public xml::StreamHandler {
public:
    explicit SettingsReader(ViewSettings& out) : out_(out) {}
    void start(xml::QName name, const char** atts) override;
    void end(xml::QName name) override;
    void text(std::string_view s) override {
        if (inItem_ && value_.size() < 4096) value_.append(s);
    }

private:
    ViewSettings& out_;
    int depth_ = 0, tablesDepth_ = 0, entryDepth_ = 0;
    std::string entry_, item_, value_;
    bool inItem_ = false;
    // Split modes and positions of the entry being read (mode 2: frozen).
    int hMode_ = 0, vMode_ = 0;
    uint32_t hPos_ = 0, vPos_ = 0;
};

}  // namespace ss::ods
