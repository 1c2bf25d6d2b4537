// The ciphers and hashes of protected files, through OpenSSL's libcrypto: thin wrappers on
// byte strings so that the key derivations read like their descriptions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ss::crypto {

enum class Hash { Md5, Sha1, Sha256, Sha384, Sha512 };

// The hash named as in an EncryptionInfo ("SHA1", "SHA512" ...); false when not supported.
bool hashByName(std::string_view name, Hash& out);
size_t hashSize(Hash h);

// The hash of the concatenated pieces.
std::string digest(Hash h, std::initializer_list<std::string_view> pieces);

std::string hmac(Hash h, std::string_view key, std::string_view data);

// The four bytes of `v`, least significant first.
std::string le32(uint32_t v);

// AES without padding: `data` must be a whole number of 16-byte blocks and the key 16, 24 or
// 32 bytes; an empty result means the cipher refused them.
std::string aesCbc(std::string_view key, std::string_view iv, std::string_view data, bool encrypt);
std::string aesEcbDecrypt(std::string_view key, std::string_view data);

// An RC4 key stream ([MS-OFFCRYPTO] 2.3.6 and 2.3.5 use RC4 for .xls files): XORs `data` in
// place with the stream from its current position. The cipher comes from OpenSSL's legacy
// provider, loaded into a library context of its own.
class Rc4 {
public:
    explicit Rc4(std::string_view key);
    Rc4(const Rc4&) = delete;
    Rc4& operator=(const Rc4&) = delete;
    ~Rc4();
    bool ok() const { return ctx_ != nullptr; }
    void apply(char* data, size_t size);
    void skip(size_t size);

private:
    void* ctx_ = nullptr;
};

// Random bytes from the system's generator; empty when it fails.
std::string randomBytes(size_t n);

}  // namespace ss::crypto
