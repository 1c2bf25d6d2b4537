// Values as people type them in text: numbers (grouped, percent), dates and times, TRUE/FALSE.
// The readers of text formats (.csv, HTML tables) recognise cell values through these, so that
// the same text becomes the same value whichever file it came in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ss::text {

enum class NumberKind { None, Plain, Grouped, Percent };

struct ParsedNumber {
    NumberKind kind = NumberKind::None;
    double value = 0;
    bool decimals = false;  // digits after the decimal point
};

// A decimal number as a person types it: sign, digits (optionally grouped by commas in threes),
// a fraction, an exponent, a trailing percent sign. Leading zeros (00123) and more than 15
// significant digits are not numbers here: they stay text so that nothing is lost.
ParsedNumber parseNumber(std::string_view s);

// 2024-01-05, 2024/1/5, optionally followed by a time; the serial number in the 1900 system.
bool parseDate(std::string_view s, double& serial, bool& hasTime);

// "h:mm" or "h:mm:ss" from position i to the end; the day fraction.
bool parseTime(std::string_view s, size_t i, double& frac, bool& seconds);

// ASCII letters compared without regard to case.
bool equalsNoCase(std::string_view a, std::string_view b);

// What a text stands for, with the built-in number format id that shows it as it was typed
// (0: General): 1,234.50 -> #,##0.00; 12.5% -> 0.00%; 2024-01-05 -> m/d/yyyy; 12:30 -> h:mm.
struct TypedValue {
    enum class Kind : uint8_t { Text, Number, Boolean };
    Kind kind = Kind::Text;
    double number = 0;  // the number, or 1/0 for TRUE/FALSE
    uint32_t numFmtId = 0;
};
TypedValue typeValue(std::string_view s);

}  // namespace ss::text
