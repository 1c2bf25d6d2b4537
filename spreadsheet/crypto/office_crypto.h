// Password-protected Office Open XML packages ([MS-OFFCRYPTO] 2.3.4): the EncryptionInfo
// stream, the keys a password gives and the EncryptedPackage stream, all on bytes in memory.
// Agile encryption (XML EncryptionInfo, AES-CBC, SHA-1/SHA-2, optional HMAC of the package) and
// standard encryption (binary EncryptionInfo, AES-ECB, SHA-1) are read; agile is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../result.h"

namespace ss::crypto {

// Files that are only protected against writing are encrypted with this password, and open
// without asking for one; it is tried before the passwords the user gives.
inline constexpr std::string_view kDefaultPassword = "VelvetSweatshop";

// The reason when none of the passwords opens a file (the caller adds how to give one).
inline constexpr std::string_view kWrongPassword = "工作簿已加密，密码不对。";

// The highest spin count of a key derivation that is honoured. Real files use 100,000 (the
// desktop applications' default) and never more than a few million; a hostile EncryptionInfo
// asking for a billion hashes is refused rather than keeping the reader busy for minutes.
inline constexpr uint32_t kMaxSpinCount = 10'000'000;

// The password as the key derivations hash it: UTF-16LE of the UTF-8 text (invalid bytes are
// taken as U+FFFD).
std::string passwordUtf16(std::string_view utf8);

// One encrypted package, ready to try passwords on.
class PackageDecryptor {
public:
    // Reads an EncryptionInfo stream. Errors give the reason (damaged, or a kind of encryption
    // that is not supported).
    static Result<PackageDecryptor> parse(std::string_view encryptionInfo);

    // How many hashes trying one password costs (50,000 for standard encryption).
    uint32_t spinCount() const;

    // The package's secret key when `password` (UTF-8) is the right one; empty when it is not.
    std::string keyFor(std::string_view password) const;

    // Decrypts the EncryptedPackage stream with a key from keyFor, checking its HMAC when the
    // file carries one. The declared size is checked against the stream before anything is
    // allocated.
    Result<std::string> decrypt(std::string_view key, std::string_view encryptedPackage) const;

    PackageDecryptor(PackageDecryptor&&) noexcept;
    PackageDecryptor& operator=(PackageDecryptor&&) noexcept;
    ~PackageDecryptor();

    struct Info;  // what the EncryptionInfo says, defined in the source

private:
    PackageDecryptor();
    std::unique_ptr<Info> info_;
};

// Tries kDefaultPassword and then each of `passwords` in turn and gives the decrypted package.
// Fails with kWrongPassword when none fits, or with the reason of a damaged file.
Result<std::string> decryptPackage(std::string_view encryptionInfo,
                                   std::string_view encryptedPackage,
                                   const std::vector<std::string>& passwords);

// The two streams of an encrypted package.
struct EncryptedStreams {
    std::string encryptionInfo, encryptedPackage;
};

// Encrypts a package with agile encryption as the desktop applications write it: AES-256-CBC,
// SHA-512, spin count 100,000, fresh random salts and keys, and the HMAC of the package.
Result<EncryptedStreams> encryptPackage(std::string_view package, std::string_view password);

// Wipes a buffer that held plaintext or key material.
void wipe(std::string& bytes);

}  // namespace ss::crypto
