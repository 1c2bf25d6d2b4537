// The styles of a web page that a spreadsheet cell shows: bold, colours, alignment, the number
// format of office exports (mso-number-format) and widths, from style attributes and from the
// simple rules of the page's <style> blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ss::html {

// What the page's styles give a cell; an unset field leaves what the cell inherits.
struct Look {
    std::optional<bool> bold;
    std::optional<uint32_t> color;            // 0xRRGGBB
    std::optional<uint32_t> fill;             // 0xRRGGBB
    std::optional<std::string> align;         // "" (general), "left", "center", "right", "justify"
    std::optional<std::string> numberFormat;  // a format code; "@" is text
    std::optional<double> widthPx;
    bool hidden = false;  // display:none

    // Every field `over` sets replaces ours.
    void apply(const Look& over);
    bool operator==(const Look&) const = default;
};

// Applies the declarations of a style attribute or a rule's body ("a:b; c:d") to `look`.
void applyDeclarations(std::string_view css, Look& look);

// A colour as CSS and the old colour attributes write it: #rgb, #rrggbb, rgb(r,g,b), the basic
// colour names; with `legacy` (bgcolor="ffff00") also six hex digits without '#'.
std::optional<uint32_t> parseColor(std::string_view v, bool legacy = false);

// A length in CSS pixels: "80", "80px", "54pt", "2cm", "20mm", "1in"; none for percentages.
std::optional<double> parseLengthPx(std::string_view v);

// The format code of an mso-number-format value: quotes and CSS escapes removed ("\@" -> "@",
// "0\.00" -> "0.00"), the named formats of office pages ("Percent", "Short Date") as codes.
std::string numberFormatCode(std::string_view value);

// The rules of the page's <style> blocks whose selectors are a tag, a class or a tag with a
// class (td, .xl65, td.x); other selectors and at-rules are passed over.
class StyleSheet {
public:
    void add(std::string_view css);
    // The look the rules give an element of this tag with this class attribute ("xl65 x"):
    // the tag's rule, then each class's rule, then tag.class rules (by specificity).
    Look lookFor(std::string_view tag, std::string_view classAttr) const;
    bool empty() const { return rules_.empty(); }

private:
    void addRule(std::string_view selector, std::string_view body);
    std::unordered_map<std::string, Look> rules_;  // "td", ".xl65", "td.x"
};

}  // namespace ss::html
