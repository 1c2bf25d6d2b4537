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

}  // namespace

// FilePass ([MS-XLS] 2.4.117): wEncryptionType (0 XOR, 1 RC4), then for RC4 the version and
// either the RC4 header (1.1: salt, verifier, verifier hash) or the CryptoAPI one (2.2, 3.2,
// 4.2: flags, header size, EncryptionHeader, EncryptionVerifier).
Result<BiffDecryptor> BiffDecryptor::parse(std::string_view s) {
    if (s.size() < 6) return fail(kDamaged);
    if (le16At(s, 0) != 1) return fail(kUnsupported);  // XOR obfuscation
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

void BiffDecryptor::apply(char* data, size_t size, uint64_t offset) {
    for (size_t i = 0; i < size; ++i) {
        const uint64_t at = offset + i;
        const uint32_t block = uint32_t(at / kBlock);
        if (block != block_) loadBlock(block);
        data[i] = char(data[i] ^ stream_[size_t(at % kBlock)]);
    }
}

}  // namespace ss::crypto
