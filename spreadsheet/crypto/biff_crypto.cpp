#include "biff_crypto.h"

#include <openssl/crypto.h>

#include "office_crypto.h"
#include "primitives.h"

namespace ss::crypto {

namespace {

const char* const kDamaged = "文件已损坏（加密信息无法读取）。";
const char* const kUnsupported = "工作簿已加密，但加密方式不受支持。";

uint32_t le32At(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + size_t(i)]);
    return v;
}

uint16_t le16At(std::string_view s, size_t at) {
    return uint16_t(uint8_t(s[at]) | (uint8_t(s[at + 1]) << 8));
}

// XOR obfuscation, method 1 ([MS-OFFCRYPTO] 2.3.7.1 - 2.3.7.3).
constexpr uint16_t kInitialCode[15] = {0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C,
                                       0x0E10, 0xF1CE, 0x313E, 0x1872, 0xE139,
                                       0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
constexpr uint16_t kXorMatrix[105] = {
    0xAEFC, 0x4DD9, 0x9BB2, 0x2745, 0x4E8A, 0x9D14, 0x2A09, 0x7B61, 0xF6C2, 0xFDA5, 0xEB6B, 0xC6F7,
    0x9DCF, 0x2BBF, 0x4563, 0x8AC6, 0x05AD, 0x0B5A, 0x16B4, 0x2D68, 0x5AD0, 0x0375, 0x06EA, 0x0DD4,
    0x1BA8, 0x3750, 0x6EA0, 0xDD40, 0xD849, 0xA0B3, 0x5147, 0xA28E, 0x553D, 0xAA7A, 0x44D5, 0x6F45,
    0xDE8A, 0xAD35, 0x4A4B, 0x9496, 0x390D, 0x721A, 0xEB23, 0xC667, 0x9CEF, 0x29FF, 0x53FE, 0xA7FC,
    0x5FD9, 0x47D3, 0x8FA6, 0x0F6D, 0x1EDA, 0x3DB4, 0x7B68, 0xF6D0, 0xB861, 0x60E3, 0xC1C6, 0x93AD,
    0x377B, 0x6EF6, 0xDDEC, 0x45A0, 0x8B40, 0x06A1, 0x0D42, 0x1A84, 0x3508, 0x6A10, 0xAA51, 0x4483,
    0x8906, 0x022D, 0x045A, 0x08B4, 0x1168, 0x76B4, 0xED68, 0xCAF1, 0x85C3, 0x1BA7, 0x374E, 0x6E9C,
    0x3730, 0x6E60, 0xDCC0, 0xA9A1, 0x4363, 0x86C6, 0x1DAD, 0x3331, 0x6662, 0xCCC4, 0x89A9, 0x0373,
    0x06E6, 0x0DCC, 0x1021, 0x2042, 0x4084, 0x8108, 0x1231, 0x2462, 0x48C4};
constexpr unsigned char kPad[15] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80,
                                    0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};

// The password as XOR obfuscation takes it: one byte per character (the low byte of its
// UTF-16 unit, or the high one when the low one is zero), at most 15.
std::string xorPasswordBytes(std::string_view utf8) {
    std::string units = passwordUtf16(utf8), out;
    for (size_t i = 0; i + 1 < units.size() && out.size() < 15; i += 2)
        out += units[i] != 0 ? units[i] : units[i + 1];
    return out;
}

uint16_t xorKey(std::string_view pw) {
    uint16_t key = kInitialCode[pw.size() - 1];
    int element = 0x68;
    for (size_t i = pw.size(); i-- > 0;) {
        unsigned char c = static_cast<unsigned char>(pw[i]);
        for (int bit = 0; bit < 7; ++bit, --element, c = static_cast<unsigned char>(c << 1))
            if (c & 0x40) key ^= kXorMatrix[element];
    }
    return key;
}

uint16_t xorVerifier(std::string_view pw) {
    uint16_t v = 0;
    std::string bytes = std::string(1, char(pw.size())) + std::string(pw);
    for (size_t i = bytes.size(); i-- > 0;) {
        uint16_t rotated = uint16_t(((v & 0x4000) ? 1 : 0) | ((v << 1) & 0x7FFF));
        v = uint16_t(rotated ^ static_cast<unsigned char>(bytes[i]));
    }
    return uint16_t(v ^ 0xCE4B);
}

unsigned char xorRor(unsigned char a, unsigned char b) {
    unsigned char x = a ^ b;
    return static_cast<unsigned char>((x >> 1) | (x << 7));
}

}  // namespace

// FilePass ([MS-XLS] 2.4.117): wEncryptionType (0 XOR, 1 RC4), then for RC4 the version and
// either the RC4 header (1.1: salt, verifier, verifier hash) or the CryptoAPI one (2.2, 3.2,
// 4.2: flags, header size, EncryptionHeader, EncryptionVerifier).
Result<BiffDecryptor> BiffDecryptor::parse(std::string_view s) {
    if (s.size() >= 6 && le16At(s, 0) == 0) {  // XOR obfuscation: key and verifier
        BiffDecryptor d;
        d.xor_ = true;
        d.xorKey_ = le16At(s, 2);
        d.xorVerifier_ = le16At(s, 4);
        return d;
    }
    if (s.size() < 6) return fail(kDamaged);
    if (le16At(s, 0) != 1) return fail(kUnsupported);
    if (!Rc4(std::string(16, '\0')).ok())
        return fail("无法解密：系统的 OpenSSL 缺少 RC4 算法（legacy 模块）。");
    BiffDecryptor d;
    const uint16_t major = le16At(s, 2), minor = le16At(s, 4);
    if (major == 1 && minor == 1) {
        if (s.size() < 6 + 48) return fail(kDamaged);
        d.salt_ = std::string(s.substr(6, 16));
        d.verifier_ = std::string(s.substr(22, 16));
        d.verifierHash_ = std::string(s.substr(38, 16));
        return d;
    }
    if ((major != 2 && major != 3 && major != 4) || minor != 2) return fail(kUnsupported);
    if (s.size() < 14) return fail(kDamaged);
    const uint32_t headerSize = le32At(s, 10);
    if (headerSize < 32 || headerSize > s.size() - 14) return fail(kDamaged);
    const uint32_t algId = le32At(s, 14 + 8), keyBits = le32At(s, 14 + 16);
    if (algId != 0 && algId != 0x6801) return fail(kUnsupported);  // RC4 only
    if (keyBits != 0 && (keyBits < 40 || keyBits > 128 || keyBits % 8 != 0)) return fail(kDamaged);
    d.cryptoApi_ = true;
    d.keyBytes_ = keyBits == 0 ? 5 : keyBits / 8;
    const size_t v = 14 + size_t(headerSize);
    if (s.size() < v + 4 + 16 + 16 + 4 + 20 || le32At(s, v) != 16 || le32At(s, v + 36) != 20)
        return fail(kDamaged);
    d.salt_ = std::string(s.substr(v + 4, 16));
    d.verifier_ = std::string(s.substr(v + 20, 16));
    d.verifierHash_ = std::string(s.substr(v + 40, 20));
    return d;
}

std::string BiffDecryptor::blockKey(uint32_t block) const {
    if (!cryptoApi_) return digest(Hash::Md5, {base_, le32(block)});  // 2.3.6.2
    std::string key = digest(Hash::Sha1, {base_, le32(block)});       // 2.3.5.2
    key.resize(keyBytes_);
    if (keyBytes_ == 5) key.resize(16, '\0');  // a 40-bit key is used as 128 bits, zero-padded
    return key;
}

bool BiffDecryptor::tryPassword(std::string_view password) {
    if (xor_) {
        const std::string pw = xorPasswordBytes(password);
        if (pw.empty() || xorKey(pw) != xorKey_ || xorVerifier(pw) != xorVerifier_) return false;
        // The 16 bytes of the obfuscation array: the password's bytes, then the pad's, each
        // combined with one byte of the key (the high one at odd places).
        const unsigned char hi = static_cast<unsigned char>(xorKey_ >> 8);
        const unsigned char lo = static_cast<unsigned char>(xorKey_ & 0xFF);
        auto at = [&](size_t i) { return static_cast<unsigned char>(pw[i]); };
        size_t index = pw.size();
        if (index % 2 == 1) {
            xorArray_[index] = xorRor(kPad[0], hi);
            --index;
            xorArray_[index] = xorRor(at(pw.size() - 1), lo);
        }
        while (index > 0) {
            --index;
            xorArray_[index] = xorRor(at(index), hi);
            --index;
            xorArray_[index] = xorRor(at(index), lo);
        }
        int out = 15, pad = 15 - int(pw.size());
        while (pad > 0) {
            xorArray_[out--] = xorRor(kPad[pad--], hi);
            xorArray_[out--] = xorRor(kPad[pad--], lo);
        }
        return true;
    }
    std::string pw = passwordUtf16(password);
    if (cryptoApi_) {
        base_ = digest(Hash::Sha1, {salt_, pw});
    } else {
        std::string h0 = digest(Hash::Md5, {pw});
        std::string buffer;
        for (int i = 0; i < 16; ++i) buffer += h0.substr(0, 5) + salt_;
        base_ = digest(Hash::Md5, {buffer}).substr(0, 5);
    }
    wipe(pw);
    Rc4 rc4(blockKey(0));
    if (!rc4.ok()) return false;
    std::string verifier = verifier_, hash = verifierHash_;
    rc4.apply(verifier.data(), verifier.size());
    rc4.apply(hash.data(), hash.size());
    std::string actual = digest(cryptoApi_ ? Hash::Sha1 : Hash::Md5, {verifier});
    return actual.size() == hash.size() &&
           CRYPTO_memcmp(actual.data(), hash.data(), hash.size()) == 0;
}

bool BiffDecryptor::unlock(const std::vector<std::string>& passwords) {
    if (tryPassword(kDefaultPassword)) return true;
    for (const std::string& p : passwords)
        if (tryPassword(p)) return true;
    wipe(base_);
    return false;
}

void BiffDecryptor::loadBlock(uint32_t block) {
    stream_.assign(kBlock, '\0');
    Rc4 rc4(blockKey(block));
    rc4.apply(stream_.data(), stream_.size());
    block_ = block;
}

void BiffDecryptor::apply(char* data, size_t size, uint64_t offset, size_t recordSize) {
    if (xor_) {
        // The array index of a byte: its place in the stream plus the record's size ([MS-XLS]
        // 2.2.10), each byte XORed and then rotated right by 5 bits.
        for (size_t i = 0; i < size; ++i) {
            auto v = static_cast<unsigned char>(static_cast<unsigned char>(data[i]) ^
                                                xorArray_[(offset + i + recordSize) % 16]);
            data[i] = char(static_cast<unsigned char>((v >> 5) | (v << 3)));
        }
        return;
    }
    for (size_t i = 0; i < size; ++i) {
        const uint64_t at = offset + i;
        const uint32_t block = uint32_t(at / kBlock);
        if (block != block_) loadBlock(block);
        data[i] = char(data[i] ^ stream_[size_t(at % kBlock)]);
    }
}

}  // namespace ss::crypto
