// The shared strings of a workbook: every text is stored once, cells hold its index.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "styles.h"

namespace ss {

struct RichRun {
    std::string text;
    std::optional<Font> font;  // run properties; none: the cell's own font
    bool operator==(const RichRun&) const = default;
};

class SharedStrings {
public:
    SharedStrings() = default;
    SharedStrings(const SharedStrings& other);
    SharedStrings& operator=(const SharedStrings& other);
    SharedStrings(SharedStrings&& other) noexcept { swap(other); }
    SharedStrings& operator=(SharedStrings&& other) noexcept {
        SharedStrings gone;
        gone.swap(other);
        swap(gone);
        return *this;
    }
    void swap(SharedStrings& other) noexcept;

    uint32_t add(std::string_view text);  // finds or adds a plain text
    // Finds or adds each plain text in turn, as `add` does one by one, into `out` (one index
    // per text). The next texts' places in the index are asked for while one is looked up: in a
    // large table each lookup waits on memory, and so these waits overlap.
    void addAll(std::span<const std::string_view> texts, uint32_t* out);
    uint32_t addRich(std::vector<RichRun> runs);  // finds or adds a formatted text
    // Adds a plain text without looking for it first, as a file's own table of strings is
    // read: a text the table holds twice keeps both indexes, and `add` finds the first.
    uint32_t append(std::string_view text);
    std::string_view text(uint32_t i) const { return {texts_[i].data, texts_[i].size}; }
    // The runs of a formatted text; null for a plain one.
    const std::vector<RichRun>* runs(uint32_t i) const;
    size_t size() const { return texts_.size(); }
    void reserve(size_t n) { texts_.reserve(n); }

private:
    struct Text {
        const char* data;
        uint32_t size;
    };
    uint32_t store(std::string_view text);  // copies the bytes; returns the new index
    void index(uint32_t i, uint64_t hash);
    void reserveIndex(size_t texts);  // room in the index for this many texts without growing
    uint32_t addHashed(std::string_view text, uint64_t hash);
    void catchUp();  // puts the texts added by `append` into the index
    static uint64_t hashOf(std::string_view text);

    std::vector<Text> texts_;
    // The bytes of the texts, in blocks that never move.
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t blockLeft_ = 0;
    char* blockAt_ = nullptr;
    // Open addressing: per slot the upper half of the text's hash and its index + 1 (0: free).
    std::vector<uint64_t> slots_;
    size_t indexed_ = 0;  // texts_[0, indexed_) are in slots_ (or are formatted)
    size_t used_ = 0;     // occupied slots
    std::unordered_map<uint32_t, std::vector<RichRun>> rich_;
    std::unordered_map<std::string, uint32_t> richIndex_;
};

}  // namespace ss
