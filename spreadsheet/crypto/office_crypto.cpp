#include "office_crypto.h"

#include <expat.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <optional>

#include "../read_stop.h"
#include "primitives.h"

namespace ss::crypto {

namespace {

const char* const kDamaged = "文件已损坏（加密信息无法读取）。";
const char* const kUnsupported = "工作簿已加密，但加密方式不受支持。";
const char* const kIntegrity = "文件已损坏（加密数据的校验值不符）。";

constexpr size_t kSegment = 4096;  // agile packages are encrypted in segments of this size

// Block keys of the agile derivations ([MS-OFFCRYPTO] 2.3.4.11 - 2.3.4.14).
constexpr char kVerifierInputBlock[] = "\xfe\xa7\xd2\x76\x3b\x4b\x9e\x79";
constexpr char kVerifierValueBlock[] = "\xd7\xaa\x0f\x6d\x30\x61\x34\x4e";
constexpr char kKeyValueBlock[] = "\x14\x6e\x0b\xe7\xab\xac\xd0\xd6";
constexpr char kHmacKeyBlock[] = "\x5f\xb2\xad\x01\x0c\xb9\xe1\xf6";
constexpr char kHmacValueBlock[] = "\xa0\x67\x7f\x02\xb2\x2c\x84\x33";

const char* const kEncryptionNs = "http://schemas.microsoft.com/office/2006/encryption";
const char* const kPasswordNs = "http://schemas.microsoft.com/office/2006/keyEncryptor/password";

uint32_t readLe32(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + size_t(i)]);
    return v;
}

uint64_t readLe64(std::string_view s) {
    return uint64_t(readLe32(s, 0)) | (uint64_t(readLe32(s, 4)) << 32);
}

std::string le64(uint64_t v) {
    return le32(uint32_t(v)) + le32(uint32_t(v >> 32));
}

// `bytes` cut or padded with 0x36 to `size` (how the agile derivations fit a hash to a key or
// an initialization vector).
std::string fitted(std::string bytes, size_t size) {
    bytes.resize(size, '\x36');
    return bytes;
}

std::optional<std::string> base64Decode(std::string_view text) {
    std::string clean;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') clean += c;
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > (1u << 20)) return std::nullopt;
    std::string out(clean.size() / 4 * 3, '\0');
    int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(clean.data()), int(clean.size()));
    if (n < 0) return std::nullopt;
    size_t pad = clean.back() == '=' ? (clean[clean.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(size_t(n) - pad);
    return out;
}

std::string base64Encode(std::string_view bytes) {
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
    out.resize(size_t(n));
    return out;
}

// The parameters of one agile cipher: keyData and the password's encryptedKey share them.
struct CipherParams {
    Hash hash = Hash::Sha1;
    size_t hashBytes = 0, keyBytes = 0, blockBytes = 0;
    std::string salt;
};

// H(salt + password), then H(iterator + H) spinCount times ([MS-OFFCRYPTO] 2.3.4.11). Empty
// when the read is stopped meanwhile (a large spin count takes seconds).
std::string spunHash(Hash h, std::string_view salt, std::string_view password, uint32_t spin) {
    std::string hv = digest(h, {salt, password});
    for (uint32_t i = 0; i < spin; ++i) {
        if ((i & 0xFFFF) == 0xFFFF && readStopped()) return {};
        hv = digest(h, {le32(i), hv});
    }
    return hv;
}

}  // namespace

std::string passwordUtf16(std::string_view utf8) {
    std::string out;
    auto put = [&](uint32_t u) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        char32_t cp = 0xFFFD;
        if (len == 1) {
            cp = c;
        } else if (len > 1 && i + len <= utf8.size()) {
            cp = c & (0x7F >> len);
            for (size_t k = 1; k < len; ++k) {
                auto d = static_cast<unsigned char>(utf8[i + k]);
                if ((d & 0xC0) != 0x80) {
                    cp = 0xFFFD;
                    len = k;
                    break;
                }
                cp = (cp << 6) | (d & 0x3F);
            }
        } else {
            len = 1;
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp > 0xFFFF ? 0xFFFD : uint32_t(cp));
        }
    }
    return out;
}

void wipe(std::string& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

struct PackageDecryptor::Info {
    bool agile = false;
    // Agile: the package's cipher (keyData), the password's (encryptedKey), HMAC values.
    CipherParams data, pass;
    uint32_t spinCount = 0;
    std::string verifierInput, verifierValue, keyValue;
    std::string hmacKey, hmacValue;  // encrypted; empty when the file carries none
    // Standard: the verifier and the key size.
    std::string salt, verifier, verifierHash;
    size_t standardKeyBytes = 0;
};

PackageDecryptor::PackageDecryptor() : info_(std::make_unique<Info>()) {}
PackageDecryptor::PackageDecryptor(PackageDecryptor&&) noexcept = default;
PackageDecryptor& PackageDecryptor::operator=(PackageDecryptor&&) noexcept = default;
PackageDecryptor::~PackageDecryptor() = default;

namespace {

// The attributes of the three elements the agile EncryptionInfo consists of.
struct AgileXml {
    std::vector<std::pair<std::string, std::string>> keyData, integrity, encryptedKey;
    bool doctype = false;
    int passwordEncryptors = 0;
};

void XMLCALL agileStart(void* user, const XML_Char* name, const XML_Char** attrs) {
    auto* x = static_cast<AgileXml*>(user);
    std::string_view n = name;
    std::vector<std::pair<std::string, std::string>>* into = nullptr;
    const std::string enc = std::string(kEncryptionNs) + "|";
    if (n == enc + "keyData") into = &x->keyData;
    if (n == enc + "dataIntegrity") into = &x->integrity;
    if (n == std::string(kPasswordNs) + "|encryptedKey") {
        if (x->passwordEncryptors++ > 0) return;  // the first password encryptor counts
        into = &x->encryptedKey;
    }
    if (!into) return;
    into->clear();
    for (size_t i = 0; attrs[i]; i += 2) into->emplace_back(attrs[i], attrs[i + 1]);
}

void XMLCALL agileDoctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<AgileXml*>(user)->doctype = true;
}

const std::string* attr(const std::vector<std::pair<std::string, std::string>>& attrs,
                        std::string_view name) {
    for (auto& [n, v] : attrs)
        if (n == name) return &v;
    return nullptr;
}

std::optional<uint32_t> number(const std::vector<std::pair<std::string, std::string>>& attrs,
                               std::string_view name) {
    const std::string* v = attr(attrs, name);
    if (!v || v->empty() || v->size() > 10) return std::nullopt;
    uint64_t n = 0;
    for (char c : *v) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + uint64_t(c - '0');
    }
    if (n > UINT32_MAX) return std::nullopt;
    return uint32_t(n);
}

// Reads the cipher parameters shared by keyData and encryptedKey. Only AES in CBC mode with
// the hashes above is supported (what every writer of agile files uses).
Result<CipherParams> cipherParams(const std::vector<std::pair<std::string, std::string>>& a) {
    CipherParams p;
    const std::string* cipher = attr(a, "cipherAlgorithm");
    const std::string* chaining = attr(a, "cipherChaining");
    const std::string* hash = attr(a, "hashAlgorithm");
    auto keyBits = number(a, "keyBits"), blockSize = number(a, "blockSize"),
         hashSz = number(a, "hashSize");
    auto salt = attr(a, "saltValue") ? base64Decode(*attr(a, "saltValue")) : std::nullopt;
    if (!cipher || !chaining || !hash || !keyBits || !blockSize || !hashSz || !salt)
        return fail(kDamaged);
    if (*cipher != "AES" || *chaining != "ChainingModeCBC" || !hashByName(*hash, p.hash) ||
        *blockSize != 16 || (*keyBits != 128 && *keyBits != 192 && *keyBits != 256))
        return fail(kUnsupported);
    p.hashBytes = hashSize(p.hash);
    if (*hashSz != p.hashBytes || salt->empty() || salt->size() > 64) return fail(kDamaged);
    p.keyBytes = *keyBits / 8;
    p.blockBytes = 16;
    p.salt = std::move(*salt);
    return p;
}

Result<PackageDecryptor::Info> parseAgile(std::string_view xml, PackageDecryptor::Info info) {
    AgileXml x;
    XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
    if (!parser) return fail(kDamaged);
    XML_SetUserData(parser, &x);
    XML_SetStartElementHandler(parser, agileStart);
    XML_SetStartDoctypeDeclHandler(parser, agileDoctype);
    bool parsed = XML_Parse(parser, xml.data(), int(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!parsed || x.doctype || x.keyData.empty()) return fail(kDamaged);
    if (x.encryptedKey.empty()) return fail(kUnsupported);  // certificates only

    auto data = cipherParams(x.keyData);
    if (!data) return data.error();
    auto pass = cipherParams(x.encryptedKey);
    if (!pass) return pass.error();
    auto spin = number(x.encryptedKey, "spinCount");
    auto input = attr(x.encryptedKey, "encryptedVerifierHashInput");
    auto value = attr(x.encryptedKey, "encryptedVerifierHashValue");
    auto key = attr(x.encryptedKey, "encryptedKeyValue");
    if (!spin || !input || !value || !key) return fail(kDamaged);
    if (*spin > kMaxSpinCount) return fail(kUnsupported);
    auto in = base64Decode(*input), val = base64Decode(*value), k = base64Decode(*key);
    if (!in || !val || !k) return fail(kDamaged);
    info.agile = true;
    info.data = std::move(*data);
    info.pass = std::move(*pass);
    info.spinCount = *spin;
    info.verifierInput = std::move(*in);
    info.verifierValue = std::move(*val);
    info.keyValue = std::move(*k);
    if (!x.integrity.empty()) {
        auto hk = attr(x.integrity, "encryptedHmacKey");
        auto hv = attr(x.integrity, "encryptedHmacValue");
        auto hkb = hk ? base64Decode(*hk) : std::nullopt;
        auto hvb = hv ? base64Decode(*hv) : std::nullopt;
        if (!hkb || !hvb) return fail(kDamaged);
        info.hmacKey = std::move(*hkb);
        info.hmacValue = std::move(*hvb);
    }
    return info;
}

// [MS-OFFCRYPTO] 2.3.4.5 - 2.3.4.6: the binary EncryptionHeader and EncryptionVerifier.
Result<PackageDecryptor::Info> parseStandard(std::string_view s, PackageDecryptor::Info info) {
    constexpr uint32_t fCryptoApi = 0x04, fExternal = 0x10, fAes = 0x20;
    if (s.size() < 12) return fail(kDamaged);
    uint32_t flags = readLe32(s, 4), headerSize = readLe32(s, 8);
    if ((flags & fExternal) || !(flags & fCryptoApi) || !(flags & fAes)) return fail(kUnsupported);
    if (headerSize < 32 || headerSize > s.size() - 12) return fail(kDamaged);
    uint32_t algId = readLe32(s, 12 + 8), algHash = readLe32(s, 12 + 12),
             keyBits = readLe32(s, 12 + 16);
    if (algHash != 0 && algHash != 0x8004) return fail(kUnsupported);
    if (algId == 0 || algId == 0x660E) {
        if (keyBits != 128 && keyBits != 0) return fail(kDamaged);
        keyBits = 128;
    } else if (algId == 0x660F || algId == 0x6610) {
        if (keyBits != (algId == 0x660F ? 192u : 256u)) return fail(kDamaged);
    } else {
        return fail(kUnsupported);
    }
    size_t v = 12 + size_t(headerSize);
    if (s.size() < v + 4 + 16 + 16 + 4 + 32 || readLe32(s, v) != 16) return fail(kDamaged);
    info.salt = std::string(s.substr(v + 4, 16));
    info.verifier = std::string(s.substr(v + 20, 16));
    if (readLe32(s, v + 36) != 20) return fail(kDamaged);
    info.verifierHash = std::string(s.substr(v + 40, 32));
    info.standardKeyBytes = keyBits / 8;
    return info;
}

}  // namespace

Result<PackageDecryptor> PackageDecryptor::parse(std::string_view s) {
    if (s.size() < 8) return fail(kDamaged);
    uint16_t major = uint16_t(uint8_t(s[0]) | (uint8_t(s[1]) << 8));
    uint16_t minor = uint16_t(uint8_t(s[2]) | (uint8_t(s[3]) << 8));
    PackageDecryptor d;
    if (major == 4 && minor == 4) {
        // The stream may be padded with zeros after the document.
        size_t last = s.find_last_not_of('\0');
        if (last == std::string_view::npos || last < 8) return fail(kDamaged);
        auto info = parseAgile(s.substr(8, last + 1 - 8), Info{});
        if (!info) return info.error();
        *d.info_ = std::move(*info);
    } else if ((major == 2 || major == 3 || major == 4) && minor == 2) {
        auto info = parseStandard(s, Info{});
        if (!info) return info.error();
        *d.info_ = std::move(*info);
    } else {
        return fail(kUnsupported);
    }
    return d;
}

uint32_t PackageDecryptor::spinCount() const {
    return info_->agile ? info_->spinCount : 50000;
}

std::string PackageDecryptor::keyFor(std::string_view password) const {
    const Info& in = *info_;
    std::string pw = passwordUtf16(password);
    if (in.agile) {
        const CipherParams& p = in.pass;
        std::string hn = spunHash(p.hash, p.salt, pw, in.spinCount);
        wipe(pw);
        if (hn.empty()) return {};
        auto blockKey = [&](const char* block) {
            return fitted(digest(p.hash, {hn, std::string_view(block, 8)}), p.keyBytes);
        };
        std::string iv = fitted(p.salt, p.blockBytes);
        std::string verifier = aesCbc(blockKey(kVerifierInputBlock), iv, in.verifierInput, false);
        std::string expected = aesCbc(blockKey(kVerifierValueBlock), iv, in.verifierValue, false);
        if (verifier.size() < p.salt.size() || expected.size() < p.hashBytes) return {};
        std::string actual = digest(p.hash, {std::string_view(verifier).substr(0, p.salt.size())});
        if (CRYPTO_memcmp(actual.data(), expected.data(), p.hashBytes) != 0) return {};
        std::string key = aesCbc(blockKey(kKeyValueBlock), iv, in.keyValue, false);
        if (key.size() < in.data.keyBytes) return {};
        key.resize(in.data.keyBytes);
        return key;
    }
    // Standard encryption ([MS-OFFCRYPTO] 2.3.4.7): SHA-1, 50,000 rounds, block 0, then the
    // hash stretched to the key size through the 0x36 and 0x5C pads.
    std::string hn = spunHash(Hash::Sha1, in.salt, pw, 50000);
    wipe(pw);
    std::string hfinal = digest(Hash::Sha1, {hn, le32(0)});
    std::string pad1(64, '\x36'), pad2(64, '\x5c');
    for (size_t i = 0; i < hfinal.size(); ++i) {
        pad1[i] = char(pad1[i] ^ hfinal[i]);
        pad2[i] = char(pad2[i] ^ hfinal[i]);
    }
    std::string key = digest(Hash::Sha1, {pad1}) + digest(Hash::Sha1, {pad2});
    key.resize(in.standardKeyBytes);
    std::string verifier = aesEcbDecrypt(key, in.verifier);
    std::string expected = aesEcbDecrypt(key, in.verifierHash);
    if (verifier.size() != 16 || expected.size() < 20) return {};
    std::string actual = digest(Hash::Sha1, {verifier});
    if (CRYPTO_memcmp(actual.data(), expected.data(), 20) != 0) return {};
    return key;
}

Result<std::string> PackageDecryptor::decrypt(std::string_view key, std::string_view stream) const {
    const Info& in = *info_;
    if (stream.size() < 8) return fail(kDamaged);
    const uint64_t size = readLe64(stream);
    std::string_view body = stream.substr(8);
    // The declared size must fit in what the stream holds (blocks of 16 bytes).
    if (size > body.size() || (size + 15) / 16 * 16 > body.size()) return fail(kDamaged);
    const size_t need = size_t((size + 15) / 16 * 16);

    if (in.agile && !in.hmacKey.empty()) {
        const CipherParams& p = in.data;
        std::string ivKey =
            fitted(digest(p.hash, {p.salt, std::string_view(kHmacKeyBlock, 8)}), p.blockBytes);
        std::string ivValue =
            fitted(digest(p.hash, {p.salt, std::string_view(kHmacValueBlock, 8)}), p.blockBytes);
        std::string hmacKey = aesCbc(key, ivKey, in.hmacKey, false);
        std::string expected = aesCbc(key, ivValue, in.hmacValue, false);
        if (hmacKey.size() < p.hashBytes || expected.size() < p.hashBytes) return fail(kDamaged);
        hmacKey.resize(p.hashBytes);
        std::string actual = hmac(p.hash, hmacKey, stream);
        if (actual.size() != p.hashBytes ||
            CRYPTO_memcmp(actual.data(), expected.data(), p.hashBytes) != 0)
            return fail(kIntegrity);
    }

    std::string out;
    out.reserve(need);
    if (in.agile) {
        const CipherParams& p = in.data;
        for (size_t at = 0, segment = 0; at < need; at += kSegment, ++segment) {
            std::string iv = fitted(digest(p.hash, {p.salt, le32(uint32_t(segment))}), 16);
            std::string plain =
                aesCbc(key, iv, body.substr(at, std::min(kSegment, need - at)), false);
            if (plain.empty()) return fail(kDamaged);
            out += plain;
            wipe(plain);
        }
    } else {
        out = aesEcbDecrypt(key, body.substr(0, need));
        if (out.size() != need) return fail(kDamaged);
    }
    out.resize(size_t(size));
    return out;
}

Result<std::string> decryptPackage(std::string_view encryptionInfo,
                                   std::string_view encryptedPackage,
                                   const std::vector<std::string>& passwords) {
    auto d = PackageDecryptor::parse(encryptionInfo);
    if (!d) return d.error();
    std::string key = d->keyFor(kDefaultPassword);
    for (size_t i = 0; key.empty() && i < passwords.size() && !readStopped(); ++i)
        key = d->keyFor(passwords[i]);
    if (readStopped()) return fail(kReadStopped);
    if (key.empty()) return fail(std::string(kWrongPassword));
    auto plain = d->decrypt(key, encryptedPackage);
    wipe(key);
    return plain;
}

Result<EncryptedStreams> encryptPackage(std::string_view package, std::string_view password) {
    const Hash h = Hash::Sha512;
    const size_t hashBytes = 64, keyBytes = 32;
    const uint32_t spin = 100000;
    std::string keySalt = randomBytes(16), passSalt = randomBytes(16), key = randomBytes(keyBytes),
                verifier = randomBytes(16), hmacKey = randomBytes(hashBytes);
    if (keySalt.empty() || passSalt.empty() || key.empty() || verifier.empty() || hmacKey.empty())
        return fail("无法生成加密所需的随机数。");

    EncryptedStreams out;
    // The package: its size, then segments of 4096 bytes, the last one padded to whole blocks.
    out.encryptedPackage = le64(package.size());
    out.encryptedPackage.reserve(8 + package.size() + 16);
    for (size_t at = 0, segment = 0; at < package.size(); at += kSegment, ++segment) {
        std::string plain(package.substr(at, kSegment));
        plain.resize((plain.size() + 15) / 16 * 16, '\0');
        std::string iv = fitted(digest(h, {keySalt, le32(uint32_t(segment))}), 16);
        std::string sealed = aesCbc(key, iv, plain, true);
        wipe(plain);
        if (sealed.empty()) return fail("加密失败。");
        out.encryptedPackage += sealed;
    }

    std::string hn = spunHash(h, passSalt, passwordUtf16(password), spin);
    auto blockKey = [&](const char* block) {
        return fitted(digest(h, {hn, std::string_view(block, 8)}), keyBytes);
    };
    std::string encInput = aesCbc(blockKey(kVerifierInputBlock), passSalt, verifier, true);
    std::string encValue =
        aesCbc(blockKey(kVerifierValueBlock), passSalt, digest(h, {verifier}), true);
    std::string encKey = aesCbc(blockKey(kKeyValueBlock), passSalt, key, true);
    wipe(hn);
    std::string ivKey = fitted(digest(h, {keySalt, std::string_view(kHmacKeyBlock, 8)}), 16);
    std::string ivValue = fitted(digest(h, {keySalt, std::string_view(kHmacValueBlock, 8)}), 16);
    std::string encHmacKey = aesCbc(key, ivKey, hmacKey, true);
    std::string encHmacValue = aesCbc(key, ivValue, hmac(h, hmacKey, out.encryptedPackage), true);
    wipe(key);
    if (encInput.empty() || encValue.empty() || encKey.empty() || encHmacKey.empty() ||
        encHmacValue.empty())
        return fail("加密失败。");

    const std::string params =
        " blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\""
        " cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\"";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\""
        " xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\""
        " xmlns:c=\"http://schemas.microsoft.com/office/2006/keyEncryptor/certificate\">"
        "<keyData saltSize=\"16\"" +
        params + " saltValue=\"" + base64Encode(keySalt) +
        "\"/><dataIntegrity encryptedHmacKey=\"" + base64Encode(encHmacKey) +
        "\" encryptedHmacValue=\"" + base64Encode(encHmacValue) +
        "\"/><keyEncryptors><keyEncryptor"
        " uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
        "<p:encryptedKey spinCount=\"" +
        std::to_string(spin) + "\" saltSize=\"16\"" + params + " saltValue=\"" +
        base64Encode(passSalt) + "\" encryptedVerifierHashInput=\"" + base64Encode(encInput) +
        "\" encryptedVerifierHashValue=\"" + base64Encode(encValue) + "\" encryptedKeyValue=\"" +
        base64Encode(encKey) + "\"/></keyEncryptor></keyEncryptors></encryption>";
    // Version 4.4, flags: fAgile (0x40).
    out.encryptionInfo = std::string("\x04\x00\x04\x00\x40\x00\x00\x00", 8) + xml;
    return out;
}

}  // namespace ss::crypto
