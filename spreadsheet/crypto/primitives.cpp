#include "primitives.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <algorithm>

namespace ss::crypto {

namespace {

const EVP_MD* md(Hash h) {
    switch (h) {
        case Hash::Md5:
            return EVP_md5();
        case Hash::Sha1:
            return EVP_sha1();
        case Hash::Sha256:
            return EVP_sha256();
        case Hash::Sha384:
            return EVP_sha384();
        case Hash::Sha512:
            return EVP_sha512();
    }
    return EVP_sha1();
}

const EVP_CIPHER* aes(size_t keyBytes, bool cbc) {
    switch (keyBytes) {
        case 16:
            return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case 24:
            return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case 32:
            return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
    return nullptr;
}

std::string runCipher(const EVP_CIPHER* cipher, std::string_view key, std::string_view iv,
                      std::string_view data, bool encrypt) {
    if (!cipher || data.size() % 16 != 0 || data.size() > size_t(INT32_MAX)) return {};
    if (EVP_CIPHER_get_iv_length(cipher) > 0 && iv.size() != 16) return {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return {};
    std::string out(data.size() + 16, '\0');
    int n = 0, tail = 0;
    bool ok = EVP_CipherInit_ex(
                  ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                  reinterpret_cast<const unsigned char*>(iv.data()), encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                               reinterpret_cast<const unsigned char*>(data.data()),
                               int(data.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(size_t(n + tail));
    return out;
}

// RC4 lives in OpenSSL's legacy provider; it is loaded once into a context of our own, so that
// the process's default context keeps only the default algorithms.
const EVP_CIPHER* rc4Cipher() {
    static const EVP_CIPHER* cipher = [] {
        OSSL_LIB_CTX* lib = OSSL_LIB_CTX_new();
        if (!lib) return static_cast<EVP_CIPHER*>(nullptr);
        if (!OSSL_PROVIDER_load(lib, "legacy") || !OSSL_PROVIDER_load(lib, "default"))
            return static_cast<EVP_CIPHER*>(nullptr);
        return EVP_CIPHER_fetch(lib, "RC4", nullptr);
    }();
    return cipher;
}

}  // namespace

bool hashByName(std::string_view name, Hash& out) {
    static const std::pair<std::string_view, Hash> kNames[] = {
        {"SHA1", Hash::Sha1},      {"SHA-1", Hash::Sha1},     {"SHA256", Hash::Sha256},
        {"SHA-256", Hash::Sha256}, {"SHA384", Hash::Sha384},  {"SHA-384", Hash::Sha384},
        {"SHA512", Hash::Sha512},  {"SHA-512", Hash::Sha512}, {"MD5", Hash::Md5},
    };
    for (auto& [n, h] : kNames) {
        if (n == name) {
            out = h;
            return true;
        }
    }
    return false;
}

size_t hashSize(Hash h) {
    return size_t(EVP_MD_get_size(md(h)));
}

std::string digest(Hash h, std::initializer_list<std::string_view> pieces) {
    std::string out(EVP_MAX_MD_SIZE, '\0');
    unsigned len = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, md(h), nullptr) == 1;
    for (std::string_view p : pieces) ok = ok && EVP_DigestUpdate(ctx, p.data(), p.size()) == 1;
    ok = ok && EVP_DigestFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()), &len) == 1;
    EVP_MD_CTX_free(ctx);
    out.resize(ok ? len : 0);
    return out;
}

std::string hmac(Hash h, std::string_view key, std::string_view data) {
    std::string out(EVP_MAX_MD_SIZE, '\0');
    unsigned len = 0;
    if (!HMAC(md(h), key.data(), int(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(),
              reinterpret_cast<unsigned char*>(out.data()), &len))
        return {};
    out.resize(len);
    return out;
}

std::string le32(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

std::string aesCbc(std::string_view key, std::string_view iv, std::string_view data, bool encrypt) {
    return runCipher(aes(key.size(), true), key, iv, data, encrypt);
}

std::string aesEcbDecrypt(std::string_view key, std::string_view data) {
    return runCipher(aes(key.size(), false), key, {}, data, false);
}

Rc4::Rc4(std::string_view key) {
    const EVP_CIPHER* cipher = rc4Cipher();
    if (!cipher) return;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return;
    if (EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, 1) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx, int(key.size())) != 1 ||
        EVP_CipherInit_ex(ctx, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                          nullptr, 1) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    ctx_ = ctx;
}

Rc4::~Rc4() {
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
}

void Rc4::apply(char* data, size_t size) {
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
    while (ctx && size > 0) {
        int chunk = int(std::min<size_t>(size, 1 << 20)), n = 0;
        auto* p = reinterpret_cast<unsigned char*>(data);
        if (EVP_CipherUpdate(ctx, p, &n, p, chunk) != 1) return;
        data += chunk;
        size -= size_t(chunk);
    }
}

void Rc4::skip(size_t size) {
    char scratch[512] = {};
    while (size > 0) {
        size_t n = std::min(size, sizeof scratch);
        apply(scratch, n);
        size -= n;
    }
}

std::string randomBytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), int(n)) != 1) return {};
    return out;
}

}  // namespace ss::crypto
