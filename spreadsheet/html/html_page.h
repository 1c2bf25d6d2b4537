// A web page's bytes to a parsed tree: the page's encoding, and the HTML parser held to a budget
// of memory and time, so that a hostile page is refused instead of taking the machine.
#pragma once

#include <gumbo.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../result.h"

namespace ss::html {

// The page as UTF-8: a byte-order mark decides; valid UTF-8 is UTF-8; else the charset the page
// declares in a <meta> (GBK, GB2312 and GB18030 are read as GB18030, which holds them; Big5 as
// code page 950), else GB18030. None when no reading fits.
std::optional<std::string> decodePage(std::string_view bytes);

// The tree of a page, parsed under a budget. The parser's every allocation is counted: past the
// budget of bytes or time (or once the read is asked to stop) the parse is left at once and
// everything it allocated freed.
class ParsedPage {
public:
    static Result<std::unique_ptr<ParsedPage>> parse(std::string text, size_t memoryBudget);
    ~ParsedPage();
    ParsedPage(const ParsedPage&) = delete;
    ParsedPage& operator=(const ParsedPage&) = delete;

    const GumboNode* root() const { return output_->document; }

    struct Budget;

private:
    ParsedPage() = default;
    std::string text_;
    std::unique_ptr<Budget> budget_;
    GumboOptions options_{};
    GumboOutput* output_ = nullptr;
};

std::string lowerAscii(std::string_view s);
bool isSpace(char c);  // HTML's white space

// The text inside an element, all its descendants' text nodes joined (for <title>, <style>).
std::string nodeText(const GumboNode* node);

}  // namespace ss::html
