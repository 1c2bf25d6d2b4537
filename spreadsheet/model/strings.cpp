#include "strings.h"

#include <algorithm>
#include <cstring>

namespace ss {

namespace {
constexpr size_t kBlock = 64 * 1024;
}  // namespace

SharedStrings::SharedStrings(const SharedStrings& other) {
    *this = other;
}

SharedStrings& SharedStrings::operator=(const SharedStrings& other) {
    if (this == &other) return *this;
    texts_.clear();
    blocks_.clear();
    blockLeft_ = 0;
    blockAt_ = nullptr;
    slots_.clear();
    indexed_ = used_ = 0;
    texts_.reserve(other.texts_.size());
    for (uint32_t i = 0; i < other.size(); ++i) store(other.text(i));
    rich_ = other.rich_;
    richIndex_ = other.richIndex_;
    return *this;
}

void SharedStrings::swap(SharedStrings& other) noexcept {
    texts_.swap(other.texts_);
    blocks_.swap(other.blocks_);
    std::swap(blockLeft_, other.blockLeft_);
    std::swap(blockAt_, other.blockAt_);
    slots_.swap(other.slots_);
    std::swap(indexed_, other.indexed_);
    std::swap(used_, other.used_);
    rich_.swap(other.rich_);
    richIndex_.swap(other.richIndex_);
}

uint64_t SharedStrings::hashOf(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

uint32_t SharedStrings::store(std::string_view text) {
    const char* data = "";
    if (!text.empty()) {
        // Blocks are not zeroed: the texts are copied in at once.
        char* at;
        if (text.size() > kBlock / 4) {  // a long text gets a block of its own
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
            at = blocks_.back().get();
        } else {
            if (text.size() > blockLeft_) {
                blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
                blockAt_ = blocks_.back().get();
                blockLeft_ = kBlock;
            }
            at = blockAt_;
            blockAt_ += text.size();
            blockLeft_ -= text.size();
        }
        std::memcpy(at, text.data(), text.size());
        data = at;
    }
    texts_.push_back({data, uint32_t(text.size())});
    return uint32_t(texts_.size() - 1);
}

void SharedStrings::reserveIndex(size_t texts) {
    if (texts * 2 <= slots_.size()) return;  // keep at most half the slots in use
    size_t size = std::max<size_t>(64, slots_.size());
    while (texts * 2 > size) size *= 2;
    std::vector<uint64_t> old(size, 0);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (uint64_t s : old) {
        if (!s) continue;
        // Slots keep the hash's upper half; the table is never wider than 32 bits of it.
        size_t at = size_t(s >> 32) & mask;
        while (slots_[at]) at = (at + 1) & mask;
        slots_[at] = s;
    }
}

void SharedStrings::index(uint32_t i, uint64_t hash) {
    reserveIndex(used_ + 1);
    const size_t mask = slots_.size() - 1;
    const uint64_t tag = hash >> 32;
    size_t at = size_t(tag) & mask;
    while (slots_[at]) at = (at + 1) & mask;
    slots_[at] = (tag << 32) | (uint64_t(i) + 1);
    ++used_;
}

void SharedStrings::catchUp() {
    for (; indexed_ < texts_.size(); ++indexed_) {
        const uint32_t i = uint32_t(indexed_);
        if (!rich_.empty() && rich_.count(i)) continue;
        const std::string_view t = text(i);
        const uint64_t h = hashOf(t);
        // A text the table already holds keeps its first index.
        bool seen = false;
        if (!slots_.empty()) {
            const size_t mask = slots_.size() - 1;
            for (size_t at = size_t(h >> 32) & mask; slots_[at]; at = (at + 1) & mask)
                if ((slots_[at] >> 32) == (h >> 32) &&
                    text(uint32_t(slots_[at] & 0xFFFFFFFFu) - 1) == t) {
                    seen = true;
                    break;
                }
        }
        if (!seen) index(i, h);
    }
}

uint32_t SharedStrings::addHashed(std::string_view text, uint64_t h) {
    if (!slots_.empty()) {
        const size_t mask = slots_.size() - 1;
        for (size_t at = size_t(h >> 32) & mask; slots_[at]; at = (at + 1) & mask) {
            const uint64_t s = slots_[at];
            if ((s >> 32) == (h >> 32)) {
                const uint32_t i = uint32_t(s & 0xFFFFFFFFu) - 1;
                if (this->text(i) == text) return i;
            }
        }
    }
    const uint32_t i = store(text);
    index(i, h);
    indexed_ = texts_.size();
    return i;
}

uint32_t SharedStrings::add(std::string_view text) {
    catchUp();
    return addHashed(text, hashOf(text));
}

void SharedStrings::addAll(std::span<const std::string_view> texts, uint32_t* out) {
    catchUp();
    // The index gets room for all of them first, so the places asked for stay where they are.
    reserveIndex(used_ + texts.size());
    constexpr size_t kAhead = 8;
    uint64_t hashes[kAhead];
    const size_t mask = slots_.size() - 1;
    auto ask = [&](size_t k) {
        const uint64_t h = hashOf(texts[k]);
        hashes[k % kAhead] = h;
        __builtin_prefetch(&slots_[size_t(h >> 32) & mask]);
    };
    for (size_t k = 0; k < texts.size() && k < kAhead; ++k) ask(k);
    for (size_t k = 0; k < texts.size(); ++k) {
        const uint64_t h = hashes[k % kAhead];
        if (k + kAhead < texts.size()) ask(k + kAhead);
        out[k] = addHashed(texts[k], h);
    }
}

uint32_t SharedStrings::append(std::string_view text) {
    return store(text);
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
    catchUp();
    uint32_t i = store(plain);
    indexed_ = texts_.size();  // formatted texts stay out of the plain index
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
