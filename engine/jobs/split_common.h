// Helpers shared by the three split jobs: output names, value lists, filter criteria and the
// status texts that report outputs which could not be written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace splitjob {

// Name given to an output whose cleaned name is empty.
inline constexpr std::string_view kBlankName = "空白";

// Removes the nine characters that file and sheet names cannot hold, in this order:
// : \ / * ? " < > |
std::string removeForbiddenNameChars(std::string_view name);

// A sheet name the application accepts: no : \ / ? * [ ], no apostrophe at either end, at most
// 31 characters (counted in UTF-16 units), never empty ("空白" instead).
std::string sheetNameWithinRules(std::string_view name);

// Hands out output names that never coincide: a name met again (without regard to letter case)
// becomes "name (2)", "name (3)"... An empty name becomes "空白". With a length limit (sheet
// names) the name is shortened so that name and suffix fit.
class UniqueNames {
public:
    explicit UniqueNames(size_t maxUtf16Units = 0) : maxUnits_(maxUtf16Units) {}

    // Marks a name as taken without handing it out (the source file's own name, for one).
    void reserve(std::string_view name);
    std::string take(std::string_view name);

private:
    bool taken(const std::string& name) const;
    size_t maxUnits_;
    std::unordered_set<std::string> taken_;      // folded keys
    std::unordered_map<std::string, int> next_;  // folded base -> the next number to try
};

// Case folding for name comparisons: ASCII letters and the Latin-1, Greek and Cyrillic capitals.
std::string foldCase(std::string_view text);

// Number of UTF-16 units of a UTF-8 text; cutting a text to at most `units` of them without
// splitting a character.
size_t utf16Length(std::string_view text);
std::string truncateUtf16(std::string_view text, size_t units);

// True when the text holds nothing but white space (Unicode spaces included) or nothing at all.
bool isBlankText(std::string_view text);

// The automatic value list: distinct texts in order of first appearance (compared exactly),
// without the blank ones.
std::vector<std::string> distinctNonBlank(const std::vector<std::string>& texts);

// The filter criterion that selects exactly the key texts the row-by-row test selects: the value
// with *, ? and ~ escaped, wrapped in * when the key only has to contain it.
std::string filterCriterion(std::string_view value, bool fullMatch);

// The row-by-row match test: equal texts with full match, else the key contains the value.
bool keyMatches(std::string_view key, std::string_view value, bool fullMatch);

// File name up to the first "." ("q1.sales.xlsx" -> "q1"), and up to the last ("a.b.xlsx" ->
// "a.b"), of a path with "/" separators.
std::string baseNameToFirstDot(std::string_view path);
std::string baseNameToLastDot(std::string_view path);
// Folder part of a path with "/" separators ("." when it has none).
std::string folderOf(std::string_view path);

// Paths that name the same existing file (or, when either is missing, the same normalised path).
bool sameFile(const std::string& a, const std::string& b);

// Appends the names of outputs that could not be written to a result text, after
// kNotSavedMark (" 未能保存N个文件：…"); the text is returned unchanged when there are none.
inline constexpr std::string_view kNotSavedMark = " 未能保存";
std::string withFailures(std::string result, const std::vector<std::string>& failed);

// Decimal text of a count.
inline std::string num(long long n) {
    return std::to_string(n);
}

}  // namespace splitjob
