#include "strings.h"

namespace ss {

uint32_t SharedStrings::add(std::string_view text) {
    auto it = index_.find(text);
    if (it != index_.end()) return it->second;
    uint32_t i = uint32_t(texts_.size());
    texts_.emplace_back(text);
    index_.emplace(std::string_view(texts_.back()), i);
    return i;
}

namespace {
std::string richKey(const std::vector<RichRun>& runs) {
    // Length-prefixed texts and a fingerprint of each run's font make the key unambiguous.
    std::string key;
    for (const RichRun& r : runs) {
        key += std::to_string(r.text.size());
        key += ':';
        key += r.text;
        if (r.font) {
            const Font& f = *r.font;
            key += '{' + f.name + '|' + std::to_string(f.size) + '|' + char('0' + f.bold) +
                   char('0' + f.italic) + char('0' + f.strike) + char('0' + f.outline) +
                   char('0' + f.shadow) + char('0' + f.condense) + char('0' + f.extend) + '|' +
                   f.underline + '|' + f.vertAlign + '|' + std::to_string(int(f.color.kind)) + ',' +
                   std::to_string(f.color.value) + ',' + std::to_string(f.color.tint) + '|' +
                   std::to_string(f.family) + '|' + std::to_string(f.charset) + '|' + f.scheme +
                   '}';
        } else {
            key += "{}";
        }
    }
    return key;
}
}  // namespace

uint32_t SharedStrings::addRich(std::vector<RichRun> runs) {
    std::string key = richKey(runs);
    auto it = richIndex_.find(key);
    if (it != richIndex_.end()) return it->second;
    std::string plain;
    for (const RichRun& r : runs) plain += r.text;
    uint32_t i = uint32_t(texts_.size());
    texts_.push_back(std::move(plain));
    rich_.emplace(i, std::move(runs));
    richIndex_.emplace(std::move(key), i);
    return i;
}

const std::vector<RichRun>* SharedStrings::runs(uint32_t i) const {
    if (rich_.empty()) return nullptr;
    auto it = rich_.find(i);
    return it == rich_.end() ? nullptr : &it->second;
}

}  // namespace ss
