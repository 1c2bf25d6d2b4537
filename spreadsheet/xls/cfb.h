// The compound file container ([MS-CFB]): reading named streams of the root storage, and
// writing a file of one or more streams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../result.h"

namespace ss::cfb {

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

class CompoundFile {
public:
    // Parses the header, the sector allocation tables and the directory of a whole file held
    // in memory. Errors carry the reason only (in Chinese, without the file name).
    static Result<CompoundFile> parse(std::string_view file);

    // Index of the stream directly under the root storage with this name (ASCII names,
    // compared without regard to case); none when there is no such stream.
    std::optional<uint32_t> findStream(std::string_view name) const;

    // The bytes of a stream; refuses streams larger than maxBytes and broken sector chains.
    Result<std::string> readStream(uint32_t entry, uint64_t maxBytes) const;

private:
    struct Entry {
        std::u16string name;
        uint8_t type = 0;  // 1 storage, 2 stream, 5 root
        uint32_t left = 0, right = 0, child = 0, start = 0;
        uint64_t size = 0;
    };

    Result<std::string> readChain(uint32_t start, uint64_t size, bool mini) const;
    Result<std::vector<uint32_t>> chain(uint32_t start, const std::vector<uint32_t>& table,
                                        size_t limit) const;

    std::string_view file_;
    uint32_t sectorSize_ = 512, miniSectorSize_ = 64, miniCutoff_ = 4096;
    std::vector<uint32_t> fat_, miniFat_;
    std::vector<Entry> dir_;
    std::string miniStream_;
};

// Builds a version 3 compound file (512-byte sectors) holding the given streams under the root.
// Streams shorter than the mini-stream cutoff are padded with zeros to it (and recorded with the
// padded size), so that every stream lives in regular sectors; with `miniStreams` they keep
// their size and live in the mini stream instead (for streams whose size is read, such as the
// EncryptionInfo of a protected package).
std::string build(const std::vector<std::pair<std::string, std::string>>& streams,
                  bool miniStreams = false);

}  // namespace ss::cfb
