// Feeds arbitrary bytes to the reader of web pages (encoding, the parser's budget, tables,
// spans, styles, value typing) and to the test that tells a page by its first bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "spreadsheet/html/html.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)ss::looksLikeHtml(bytes.substr(0, 4096));
    ss::ReadLimits limits;
    limits.maxCells = 1'000'000;
    limits.maxTotalBytes = 64 << 20;
    auto wb = ss::readHtmlMemory(bytes, "fuzz", limits);
    if (wb.ok())
        for (const auto& sheet : (*wb)->sheets) (void)sheet->cellCount();
    return 0;
}
