#include <gtest/gtest.h>

#include <iconv.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "spreadsheet/text/codepage.h"

namespace {

// What glibc's converter makes of the whole input in one call, flushed at the end; none when
// it refuses the bytes.
std::optional<std::string> iconvWhole(const std::string& bytes, const char* charset) {
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == iconv_t(-1)) return std::nullopt;
    std::string out(bytes.size() * 8 + 64, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* dst = out.data();
    size_t outLeft = out.size();
    bool ok = iconv(cd, &in, &inLeft, &dst, &outLeft) != size_t(-1) &&
              iconv(cd, nullptr, nullptr, &dst, &outLeft) != size_t(-1);
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

TEST(CodePage, EveryPageTheReaderNamesConvertsAsTheSystemConverterDoes) {
    std::set<std::string> charsets;
    for (uint32_t cp = 0; cp <= 0xFFFF; ++cp) charsets.insert(ss::text::charsetOfCodePage(cp));
    ASSERT_GT(charsets.size(), 20u);

    for (const std::string& cs : charsets) {
        ASSERT_TRUE(iconvWhole("a", cs.c_str()) || cs == "UTF-16LE") << cs << " is not known";
        std::vector<std::string> samples;
        for (int b = 0; b < 256; ++b) {
            const std::string one(1, char(b));
            samples.push_back(one);
            samples.push_back("x" + one);  // a base letter before: a mark may combine with it
            samples.push_back(one + "a");  // ends in a base letter
        }
        // Pairs: lead and trail bytes of the double-byte pages, a letter and a mark elsewhere.
        for (int lead = 0x41; lead < 0x100; lead += 3)
            for (int trail = 0x40; trail < 0x100; ++trail)
                samples.push_back(std::string{char(lead), char(trail)});
        for (const std::string& s : samples) {
            const auto ours = ss::text::toUtf8(s, cs.c_str());
            const auto system = iconvWhole(s, cs.c_str());
            ASSERT_EQ(ours.has_value(), system.has_value())
                << cs << " on " << testing::PrintToString(s);
            if (ours) {
                ASSERT_EQ(*ours, *system) << cs << " on " << testing::PrintToString(s);
                ASSERT_EQ(ss::text::toUtf8Lenient(s, cs.c_str()), system)
                    << cs << " on " << testing::PrintToString(s);
            }
        }
    }
}

TEST(CodePage, ComposingPagesKeepTheLastCharacter) {
    struct Case {
        uint16_t codePage;
        std::string bytes;
        const char* utf8;
    };
    const Case cases[] = {
        {1258, "Nam", "Nam"},
        {1258, "Vi\xEA\xF2t", "Vi\xE1\xBB\x87t"},        // ê + dot below: ệ
        {1258, "H\xE0 N\xF4i", "H\xC3\xA0 N\xC3\xB4i"},  // ends in a letter that takes marks
        {1258, "a\xEC", "\xC3\xA1"},                     // a + acute: á
        {1258, "x\xEC", "x\xCC\x81"},                    // no composed form: kept as a mark
        {1255, "\xF9\xEC\xE5\xED", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"},  // שלום
        {1252, "Caf\xE9", "Caf\xC3\xA9"},
        {936, "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
    };
    for (const Case& c : cases) {
        const auto r = ss::text::toUtf8(c.bytes, ss::text::charsetOfCodePage(c.codePage).c_str());
        ASSERT_TRUE(r) << c.codePage;
        EXPECT_EQ(*r, c.utf8) << c.codePage << " " << testing::PrintToString(c.bytes);
    }
}

}  // namespace

namespace {

// A byte the page does not define is taken as Latin-1 and the text around it is still read in
// the page; a composing page gives out the letter it held back first.
TEST(CodePage, UndefinedBytesCostOnlyThemselves) {
    struct Case {
        uint16_t codePage;
        std::string bytes;
        const char* utf8;
    };
    const Case cases[] = {
        {1252, "\x80 \x81 \x97", "\xE2\x82\xAC \xC2\x81 \xE2\x80\x94"},     // € U+0081 —
        {1258, "a\x81\xEA\xF2", "a\xC2\x81\xE1\xBB\x87"},                   // a U+0081 ệ
        {932, "\x83\x41\xFD\x83\x43", "\xE3\x82\xA2\xC3\xBD\xE3\x82\xA4"},  // ア ý イ
        {932, "\x83\x41\x83", "\xE3\x82\xA2\xC2\x83"},                      // cut off at the end
    };
    for (const Case& c : cases) {
        const auto r =
            ss::text::toUtf8Lenient(c.bytes, ss::text::charsetOfCodePage(c.codePage).c_str());
        ASSERT_TRUE(r) << c.codePage;
        EXPECT_EQ(*r, std::string(c.utf8)) << c.codePage << " " << testing::PrintToString(c.bytes);
    }
    EXPECT_FALSE(ss::text::toUtf8Lenient("a", "NO-SUCH-CHARSET"));
}

}  // namespace
