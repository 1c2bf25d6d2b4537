// Compressing the parts of a package while they are being written. The writer fills a text
// buffer and hands it over in chunks at points of its choosing. Each chunk is deflated on its
// own, primed with the end of the chunk before it, into a piece that ends on a byte boundary,
// so the pieces of a part joined in order are one deflate stream. On a machine with a second
// core a helper thread deflates the handed-over chunks while the writer produces the next ones,
// and the writer deflates a chunk itself whenever it is ahead; the XML of a large sheet never
// sits whole in memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../result.h"

namespace ss::xlsx {

// One part, deflated (raw deflate, as stored in a zip entry), in pieces to be written in order.
struct DeflatedPart {
    std::string name;
    std::vector<std::vector<unsigned char>> pieces;
    uint64_t size = 0;  // bytes before compression
    uint32_t crc = 0;   // CRC-32 of those bytes
    uint64_t compressedSize() const {
        uint64_t n = 0;
        for (const auto& p : pieces) n += p.size();
        return n;
    }
};

class PartDeflater {
public:
    // `threaded`: use a helper thread; otherwise each chunk is deflated when handed over.
    // `chunk`: how many bytes a chunk holds (kChunk, or kSmallChunk for a workbook of a few
    // megabytes, so that the helper has chunks to take while the writer goes on).
    PartDeflater(int level, bool threaded, size_t chunk = kChunk);
    ~PartDeflater();
    PartDeflater(const PartDeflater&) = delete;
    PartDeflater& operator=(const PartDeflater&) = delete;

    void begin(std::string name);
    // The buffer of the part being written; it stays the same object for the whole run.
    std::string& out() { return current_; }
    // Hands the buffer over once it holds a chunk's worth of bytes.
    void flushIfFull() {
        if (current_.size() >= chunk_) handOver(false);
    }
    void end();
    // Waits for the last chunk; the parts in the order they were begun, or why deflating failed.
    Result<std::vector<DeflatedPart>> finish();

    static constexpr size_t kChunk = size_t(1) << 20, kSmallChunk = size_t(1) << 18;

private:
    struct Job {
        std::string input;
        std::string dictionary;  // the last 32 KiB of the part's previous chunk
        bool last = false;       // the part's final chunk
        std::vector<unsigned char> output;
        uint32_t crc = 0;
        uint64_t size = 0;
        bool failed = false;
    };
    struct PartEntry {
        std::string name;
        size_t firstJob = 0, jobs = 0;
    };
    class Stream;  // a deflate stream and its reuse

    void handOver(bool last);
    void runHelper();
    Job* nextQueued();  // under mutex_
    void done(Job& job);

    int level_;
    bool threaded_;
    size_t chunk_;
    std::string current_;
    std::string tail_;  // the end of the chunk handed over last, for the next one's dictionary
    std::vector<PartEntry> parts_;
    std::vector<std::unique_ptr<Job>> jobs_;  // in order; the helper holds pointers to them
    std::unique_ptr<Stream> mine_;            // the writer's own stream

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_, idle_;
    std::deque<Job*> queue_;
    std::vector<std::string> free_;  // emptied chunk buffers, their capacity kept for reuse
    size_t busy_ = 0;                // jobs being deflated by the helper
    bool closing_ = false;
};

}  // namespace ss::xlsx
