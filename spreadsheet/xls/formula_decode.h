// Turning BIFF8 formula token streams (Rgce, [MS-XLS] 2.5.198) back into formula text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ss::xlsformula {

// What a formula may refer to outside its cell: the workbook's sheets and its reference table.
struct Context {
    bool biff8 = true;
    std::vector<std::string> sheetNames;  // in BOUNDSHEET order
    std::vector<bool> supBookIsSelf;      // per SUPBOOK: true for this workbook's own sheets
    struct Xti {
        uint16_t supBook;
        int16_t first, last;
    };
    std::vector<Xti> xti;  // EXTERNSHEET entries

    void addGlobalRecord(uint16_t type, std::string_view data);
};

// The formula text (without "=") of a token stream in the cell (row, col), both 0-based.
// `shared` reads relative references as offsets from that cell (SHRFMLA bodies). None when the
// stream uses tokens this decoder does not turn into text soundly; the cell then keeps only
// its cached value.
std::optional<std::string> decode(std::string_view rgce, uint32_t row, uint32_t col, bool shared,
                                  const Context& ctx);

}  // namespace ss::xlsformula
