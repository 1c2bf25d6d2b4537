#include "spreadsheet/text/xml_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "spreadsheet/text/number_text.h"

namespace {

TEST(XmlText, EscapesReadBackAsTheSameText) {
    struct Case {
        const char* text;
        bool attribute;
        const char* escaped;
    };
    const Case cases[] = {
        {"a<b & \"c\">", false, "a&lt;b &amp; \"c\"&gt;"},
        {"a<b & \"c\">", true, "a&lt;b &amp; &quot;c&quot;&gt;"},
        {"one\r\ntwo\tthree", false, "one&#13;\ntwo\tthree"},
        {"one\r\ntwo\tthree", true, "one&#13;&#10;two&#9;three"},
        {"Summary (2)!$A$1", true, "Summary (2)!$A$1"},
    };
    for (const Case& c : cases) {
        std::string out;
        ss::xml::appendEscaped(out, c.text, c.attribute);
        EXPECT_EQ(out, c.escaped) << c.text;
        EXPECT_EQ(ss::xml::unescape(out), c.text) << c.text;
    }
}

TEST(XmlText, CellTextKeepsControlCharactersAndLiteralEscapes) {
    std::string out;
    ss::xml::appendXstring(out, std::string("bell\x07 _x0041_ tab\t"));
    EXPECT_EQ(out, "bell_x0007_ _x005F_x0041_ tab\t");
    EXPECT_EQ(ss::xml::decodeXstring(ss::xml::unescape(out)), "bell\x07 _x0041_ tab\t");

    // A character beyond the basic plane written as two UTF-16 halves is one character.
    EXPECT_EQ(ss::xml::decodeXstring("_xD83D__xDE00_!"), "\xF0\x9F\x98\x80!");
    EXPECT_EQ(ss::xml::decodeXstring("_xD83D_x"), "_xD83D_x");  // a lone half stays escaped
}

// A text never holds, nor writes, a character XML cannot carry: an escape of one stays as it
// stands, goes out as it came in and reads back the same; such a character from elsewhere in
// the text is written as its escape.
TEST(XmlText, CharactersXmlCannotCarryStayEscaped) {
    struct Case {
        std::string source;   // as a part holds it
        std::string text;     // decoded
        std::string written;  // appendXstring of the text
    };
    const Case cases[] = {
        {"a_xFFFE_b", "a_xFFFE_b", "a_xFFFE_b"},
        {"_xFFFF_", "_xFFFF_", "_xFFFF_"},
        {"_xd800_", "_xd800_", "_xd800_"},
        {"x_xDC00__xD800_", "x_xDC00__xD800_", "x_xDC00__xD800_"},
        {"_xDBFF_\xF0\x9F\x98\x80", "_xDBFF_\xF0\x9F\x98\x80", "_xDBFF_\xF0\x9F\x98\x80"},
        // Decoded as before: a pair, a character XML allows, a control character.
        {"_xD83D__xDE00_", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"_xFFFD__x4E2D_", "\xEF\xBF\xBD\xE4\xB8\xAD", "\xEF\xBF\xBD\xE4\xB8\xAD"},
        {"_x0001_", "\x01", "_x0001_"},
        // A literal escape of a pair's first half is protected: read back, it is no pair.
        {"_x005F_xD83D__xDE00_", "_xD83D__xDE00_", "_x005F_xD83D__xDE00_"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ss::xml::decodeXstring(c.source), c.text) << c.source;
        std::string out;
        ss::xml::appendXstring(out, c.text);
        EXPECT_EQ(out, c.written) << c.source;
        EXPECT_EQ(ss::xml::decodeXstring(out), c.text) << c.source;
    }
    // Raw surrogates and U+FFFE/U+FFFF (another format's text) go out as escapes, or not at
    // all in an attribute; the characters beside them in their blocks are left alone.
    const std::string raw =
        "\xED\xA0\xBD|\xEF\xBF\xBE|\xEF\xBF\xBF|\xED\x9F\xBF|\xEF\xBF\xBD|\xEF\xBC\x8C";
    EXPECT_EQ(ss::xml::xstring(raw),
              "_xD83D_|_xFFFE_|_xFFFF_|\xED\x9F\xBF|\xEF\xBF\xBD|\xEF\xBC\x8C");
    EXPECT_EQ(ss::xml::xstring(raw, true), "|||\xED\x9F\xBF|\xEF\xBF\xBD|\xEF\xBC\x8C");
}

TEST(XmlText, UnescapeTakesCharacterReferencesAndKeepsWhatItDoesNotKnow) {
    EXPECT_EQ(ss::xml::unescape("&#x4E2D;&#25991; &apos;x&apos;"), "中文 'x'");
    EXPECT_EQ(ss::xml::unescape("&nbsp; & &#xZZ; &#0;"), "&nbsp; & &#xZZ; &#0;");
    // What no XML reader may decode stays as written, rather than becoming a character the
    // writers could not put back (a control character, half of a surrogate pair).
    EXPECT_EQ(ss::xml::unescape("a&#1;b&#xD800;c&#X41;&#x110000;"),
              "a&#1;b&#xD800;c&#X41;&#x110000;");
    EXPECT_EQ(ss::xml::unescape("&amp;lt; &#x1F600;&#9;"), "&lt; \xF0\x9F\x98\x80\t");
}

// The one decoder of references, shared by unescape and the row scanner (which hands whatever
// it refuses to expat): the five entities and references of up to seven digits to characters
// XML 1.0 allows, nothing else.
TEST(XmlText, CharacterReferencesAreThoseXmlAllows) {
    const std::pair<const char*, std::optional<char32_t>> cases[] = {
        {"lt", U'<'},
        {"gt", U'>'},
        {"amp", U'&'},
        {"quot", U'"'},
        {"apos", U'\''},
        {"#65", U'A'},
        {"#x41", U'A'},
        {"#x4e2d", U'中'},
        {"#0000065", U'A'},
        {"#9", U'\t'},
        {"#xFFFD", U'\xFFFD'},
        {"#x10FFFF", U'\x10FFFF'},
        {"nbsp", {}},
        {"LT", {}},
        {"#", {}},
        {"#x", {}},
        {"#X41", {}},
        {"#00000065", {}},
        {"#1", {}},
        {"#0", {}},
        {"#xD800", {}},
        {"#xFFFE", {}},
        {"#x110000", {}},
        {"#6a", {}},
    };
    for (const auto& [name, want] : cases)
        EXPECT_EQ(ss::xml::characterReference(name), want) << name;
}

}  // namespace

// Numbers are written as std::to_chars writes them, whatever path gives the text: decimals of
// a few places, their neighbours one step away, whole numbers, and doubles of every range.
TEST(NumberText, ShortestCharsWritesWhatToCharsWrites) {
    std::mt19937_64 rng(11);
    auto same = [](double v) {
        char a[64], b[64];
        return std::string(a, ss::shortestChars(a, v)) ==
               std::string(b, std::to_chars(b, b + sizeof b, v).ptr);
    };
    for (double v : {0.1, -0.1, 0.09999999999999999, 0.5, 1.5, 4601.7621, 39999.93209999999,
                     1e15 - 0.5, 999999999999999.9, 123456.123456, 1234567.1234567, 0.0001, 1e-7,
                     3.0, -0.0, 1e300, 5e-324})
        EXPECT_TRUE(same(v)) << v;
    // So large that fewer than six places fit below 10^15.
    for (double v : {123456789.125, 1234567890.12, 12345678901234.5, 99999999999999.9,
                     100000000000000.5, -1234567890.000001})
        EXPECT_TRUE(same(v)) << v;
    const double scale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    for (int i = 0; i < 300000; ++i) {
        const uint64_t digits = 1 + rng() % 16;
        const double v =
            double(rng() % uint64_t(std::pow(10.0, double(digits)))) / scale[rng() % 9];
        ASSERT_TRUE(same(v)) << v;
        ASSERT_TRUE(same(-std::nextafter(v, 1e300))) << v;
        uint64_t bits = rng();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        if (std::isfinite(any)) {
            ASSERT_TRUE(same(any)) << any;
        }
    }
}
