// Feeds arbitrary bytes to the reading of encrypted packages: the first two bytes give the length
// of the EncryptionInfo stream, the rest is the EncryptedPackage stream. Each input is tried with
// a fixed password and decrypted with keys of every AES size, so that the package's size, its
// segments and the HMAC check see fuzzed bytes whether or not the verifier matches.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "spreadsheet/crypto/office_crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t infoSize = std::min<size_t>(size - 2, size_t(data[0]) | (size_t(data[1]) << 8));
    std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string_view info = bytes.substr(0, infoSize), package = bytes.substr(infoSize);
    auto decryptor = ss::crypto::PackageDecryptor::parse(info);
    if (!decryptor.ok()) return 0;
    // A spin count near the cap costs seconds per password: fine for a file, not for a fuzzer.
    if (decryptor->spinCount() <= 1000) {
        std::string key = decryptor->keyFor("password");
        if (!key.empty()) (void)decryptor->decrypt(key, package);
    }
    for (size_t keyBytes : {16, 24, 32})
        (void)decryptor->decrypt(std::string(keyBytes, '\x5a'), package);
    return 0;
}
