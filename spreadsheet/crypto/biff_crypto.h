// Password-protected .xls workbooks: the FilePass record's RC4 ([MS-OFFCRYPTO] 2.3.6), RC4
// CryptoAPI (2.3.5) and XOR obfuscation (2.3.7, method 1). RC4 encrypts the workbook stream in
// blocks of 1024 bytes, each with a key of its own; XOR obfuscation cycles through 16 bytes
// derived from the password. The BIFF reader decides which bytes of the stream are encrypted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../result.h"

namespace ss::crypto {

class BiffDecryptor {
public:
    static constexpr size_t kBlock = 1024;

    // Reads the data of a FilePass record. Errors give the reason (damaged, or a kind that is
    // not supported).
    static Result<BiffDecryptor> parse(std::string_view filePass);

    // Tries kDefaultPassword and then each of `passwords`; false when none is right.
    bool unlock(const std::vector<std::string>& passwords);

    // Decrypts `data`, which sits at `offset` in the workbook stream inside the data of a record
    // of `recordSize` bytes. Only after unlock; calls in increasing offsets reuse the key of the
    // current block.
    void apply(char* data, size_t size, uint64_t offset, size_t recordSize);

private:
    bool tryPassword(std::string_view password);
    std::string blockKey(uint32_t block) const;
    void loadBlock(uint32_t block);

    bool cryptoApi_ = false, xor_ = false;
    uint16_t xorKey_ = 0, xorVerifier_ = 0;
    unsigned char xorArray_[16] = {};
    std::string salt_, verifier_, verifierHash_;
    size_t keyBytes_ = 5;  // RC4 CryptoAPI: the key size (40 bits when the file says 0)
    std::string base_;     // what the block keys are derived from once unlocked
    uint32_t block_ = UINT32_MAX;
    std::string stream_;  // the key stream of block_
};

}  // namespace ss::crypto
