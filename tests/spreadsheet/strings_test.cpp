#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "spreadsheet/model/strings.h"

namespace {

TEST(SharedStrings, FindsEachTextOnceAcrossGrowthAndTableReads) {
    ss::SharedStrings s;
    // A file's table is read as it stands, duplicates included; `add` then finds the first.
    EXPECT_EQ(s.append("dup"), 0u);
    EXPECT_EQ(s.append(""), 1u);
    EXPECT_EQ(s.append("dup"), 2u);
    EXPECT_EQ(s.add("dup"), 0u);
    EXPECT_EQ(s.add(""), 1u);
    EXPECT_EQ(s.text(2), "dup");

    // Formatted texts are found by their runs, never as the plain text.
    ss::Font bold;
    bold.bold = true;
    const uint32_t rich = s.addRich({{"plain", bold}});
    EXPECT_EQ(s.addRich({{"plain", bold}}), rich);
    const uint32_t plain = s.add("plain");
    EXPECT_NE(plain, rich);
    EXPECT_EQ(s.runs(plain), nullptr);
    ASSERT_NE(s.runs(rich), nullptr);

    // Many texts, short and longer than a block holds, all kept and found again.
    std::vector<uint32_t> ids;
    const std::string longText(100000, 'x');
    for (int i = 0; i < 50000; ++i)
        ids.push_back(
            s.add(i % 10000 == 0 ? longText + std::to_string(i) : "t" + std::to_string(i)));
    for (int i = 0; i < 50000; i += 7) {
        const std::string t =
            i % 10000 == 0 ? longText + std::to_string(i) : "t" + std::to_string(i);
        EXPECT_EQ(s.add(t), ids[size_t(i)]);
        EXPECT_EQ(s.text(ids[size_t(i)]), t);
    }
    const size_t n = s.size();

    // A copy owns its texts; a moved-from table is empty and usable.
    ss::SharedStrings copy = s;
    ss::SharedStrings moved = std::move(s);
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.add("fresh"), 0u);
    EXPECT_EQ(copy.size(), n);
    EXPECT_EQ(moved.size(), n);
    EXPECT_EQ(copy.add("t49999"), moved.add("t49999"));
    EXPECT_EQ(copy.text(rich), "plain");
    ASSERT_NE(copy.runs(rich), nullptr);
    EXPECT_EQ(copy.size(), n);
}

// A batch gives the indexes the same texts get one by one: texts found in the table, in the
// file's table not yet looked up, repeated inside the batch, and a batch that makes the index
// grow several times over.
TEST(SharedStrings, ABatchGivesWhatOneByOneGives) {
    auto fill = [](ss::SharedStrings& s) {
        s.append("read");
        s.append("read");
        s.add("known");
    };
    std::vector<std::string> texts = {"known", "read", "", "new", "new", "read"};
    for (int i = 0; i < 5000; ++i) texts.push_back("t" + std::to_string(i % 3000));
    std::vector<std::string_view> views(texts.begin(), texts.end());

    ss::SharedStrings one, batch;
    fill(one);
    fill(batch);
    std::vector<uint32_t> expected;
    for (std::string_view t : views) expected.push_back(one.add(t));
    std::vector<uint32_t> got(views.size());
    batch.addAll(views, got.data());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(batch.size(), one.size());
    EXPECT_EQ(batch.add("t2999"), one.add("t2999"));
    EXPECT_EQ(batch.add("after"), one.add("after"));
}

}  // namespace
