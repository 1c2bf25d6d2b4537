#include "spreadsheet/text/xml_text.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(ss::xml::decodeXstring("_xD83D_x"), "\xEF\xBF\xBDx");  // a lone half
}

TEST(XmlText, UnescapeTakesCharacterReferencesAndKeepsWhatItDoesNotKnow) {
    EXPECT_EQ(ss::xml::unescape("&#x4E2D;&#25991; &apos;x&apos;"), "中文 'x'");
    EXPECT_EQ(ss::xml::unescape("&nbsp; & &#xZZ; &#0;"), "&nbsp; & &#xZZ; &#0;");
}

}  // namespace
