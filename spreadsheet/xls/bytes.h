// Bounds-checked little-endian reading and writing of binary records. Every binary read of the
// compound-file and BIFF code goes through ByteCursor: a read past the end yields zero and marks
// the cursor failed, so a damaged record is noticed once, where it is parsed, never read beyond.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ss::bin {

class ByteCursor {
public:
    ByteCursor() = default;
    ByteCursor(const void* data, size_t size)
        : p_(static_cast<const unsigned char*>(data)), n_(size) {}
    explicit ByteCursor(std::string_view s) : ByteCursor(s.data(), s.size()) {}

    bool ok() const { return ok_; }
    size_t pos() const { return i_; }
    size_t size() const { return n_; }
    size_t remaining() const { return n_ - i_; }
    bool atEnd() const { return i_ >= n_; }

    bool has(size_t count) const { return count <= n_ - i_; }
    bool seek(size_t at) {
        if (at > n_) return ok_ = false;
        i_ = at;
        return true;
    }
    bool skip(size_t count) {
        if (!has(count)) {
            i_ = n_;
            return ok_ = false;
        }
        i_ += count;
        return true;
    }
    uint8_t u8() { return uint8_t(take(1)); }
    uint16_t u16() { return uint16_t(take(2)); }
    uint32_t u32() { return uint32_t(take(4)); }
    uint64_t u64() { return take(8); }
    double f64() {
        uint64_t bits = u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // The next `count` bytes; empty (and failed) when fewer remain.
    std::string_view bytes(size_t count) {
        if (!has(count)) {
            i_ = n_;
            ok_ = false;
            return {};
        }
        std::string_view v(reinterpret_cast<const char*>(p_ + i_), count);
        i_ += count;
        return v;
    }

private:
    uint64_t take(size_t k) {
        if (!has(k)) {
            i_ = n_;
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t b = 0; b < k; ++b) v |= uint64_t(p_[i_ + b]) << (8 * b);
        i_ += k;
        return v;
    }

    const unsigned char* p_ = nullptr;
    size_t n_ = 0, i_ = 0;
    bool ok_ = true;
};

// Appends little-endian values to a byte string.
inline void put8(std::string& out, uint8_t v) {
    out += char(v);
}
inline void put16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}
inline void put32(std::string& out, uint32_t v) {
    for (int b = 0; b < 4; ++b) out += char((v >> (8 * b)) & 0xFF);
}
inline void put64(std::string& out, uint64_t v) {
    for (int b = 0; b < 8; ++b) out += char((v >> (8 * b)) & 0xFF);
}
inline void putF64(std::string& out, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    put64(out, bits);
}
inline void patch16(std::string& out, size_t at, uint16_t v) {
    out[at] = char(v & 0xFF);
    out[at + 1] = char(v >> 8);
}
inline void patch32(std::string& out, size_t at, uint32_t v) {
    for (int b = 0; b < 4; ++b) out[at + size_t(b)] = char((v >> (8 * b)) & 0xFF);
}

}  // namespace ss::bin
