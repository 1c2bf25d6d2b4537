// Escaping and unescaping of XML text, shared by every format that writes or reads XML: the
// package reader and writer, the parts carried as bytes, the .xls reader (which builds the same
// XML for what it keeps) and the reference policy (which reads formulas out of kept XML).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ss::xml {

// Appends `s` with the XML escapes: & < > always; in an attribute also " and the line breaks
// and tabs (as character references, which attribute normalisation would otherwise turn into
// spaces); a carriage return always as &#13; (a literal one would be read back as a line feed).
void appendEscaped(std::string& out, std::string_view s, bool attribute = false);
// The same as a new string.
std::string escaped(std::string_view s, bool attribute = false);

// Appends the text of a cell, a name or a note: escaped as above; control characters XML 1.0
// cannot carry, surrogates and U+FFFE/U+FFFF are written as _xHHHH_ (left out of attributes),
// and a literal "_xHHHH_" is protected as _x005F_xHHHH_, except one decodeXstring keeps as it
// stands (it goes out as it came in).
void appendXstring(std::string& out, std::string_view s, bool attribute = false);
// The same as a new string.
std::string xstring(std::string_view s, bool attribute = false);

// Decodes the _xHHHH_ escapes of shared and inline strings. An escape of a character no text
// may hold (a surrogate that is not half of a pair, U+FFFE, U+FFFF) stays as it stands; control
// characters are decoded (appendXstring escapes them again).
std::string decodeXstring(std::string_view s);

// Whether XML 1.0 allows the character (tab, line feed, carriage return, and the ranges
// U+0020-U+D7FF, U+E000-U+FFFD, U+10000-U+10FFFF).
inline bool isXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The character a reference stands for, given what stands between '&' and ';': one of the five
// named entities, or a decimal ("#20013") or hexadecimal ("#x4E2D") reference of at most seven
// digits to a character XML 1.0 allows. Nothing for anything else (an unknown entity, a
// reference to a control character, a surrogate or beyond U+10FFFF), which no XML reader may
// decode: every decoder of the engine keeps it as it stands or leaves it to expat to refuse.
std::optional<char32_t> characterReference(std::string_view name);

// The text an escaped XML text stands for: the references characterReference decodes; anything
// else (an unknown entity, a lone '&', a reference to a character XML cannot hold) is kept as it
// stands.
std::string unescape(std::string_view s);

// An element tag of an XML text: its span, its name as written and its local name.
struct Tag {
    size_t begin = 0, end = 0;  // '<' .. one past '>'
    std::string_view qname, local;
    bool closing = false, empty = false;
};

// The next element tag at or after `pos`; comments, CDATA sections, declarations and
// instructions are passed over, and a '>' inside a quoted attribute value does not end a tag.
bool nextTag(std::string_view xml, size_t pos, Tag& t);

// The end tag of the element `start` opens (found by nesting of the same name); `start` itself
// when it is empty; a tag at the end of `xml` when the element is not closed.
Tag elementEnd(std::string_view xml, const Tag& start);

// The span (offset, length) of the value of attribute `name` (as written, prefix included) in
// the text of a start tag; offset npos when the tag has no such attribute.
std::pair<size_t, size_t> attrSpan(std::string_view tag, std::string_view name);

// The shortest text that reads back as the same double ("0" for infinities and NaN), for
// attribute values.
std::string formatDouble(double v);

}  // namespace ss::xml
