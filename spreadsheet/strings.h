// The shared strings of a workbook: every text is stored once, cells hold its index.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
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
    uint32_t add(std::string_view text);          // finds or adds a plain text
    uint32_t addRich(std::vector<RichRun> runs);  // finds or adds a formatted text
    const std::string& text(uint32_t i) const { return texts_[i]; }
    // The runs of a formatted text; null for a plain one.
    const std::vector<RichRun>* runs(uint32_t i) const;
    size_t size() const { return texts_.size(); }
    void reserve(size_t n) { index_.reserve(n); }

private:
    std::deque<std::string> texts_;  // stable addresses: the index holds views into them
    std::unordered_map<std::string_view, uint32_t> index_;
    std::unordered_map<uint32_t, std::vector<RichRun>> rich_;
    std::unordered_map<std::string, uint32_t> richIndex_;
};

}  // namespace ss
