// Compressing the parts of a package while they are being written. The writer fills a text
// buffer and hands it over at points of its choosing; on a machine with a second core a helper
// thread deflates the handed-over chunks while the writer produces the next ones, so that the
// XML of a large sheet never sits whole in memory and writing costs little more than deflating.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../result.h"

struct z_stream_s;

namespace ss::xlsx {

// One part, deflated (raw deflate, as stored in a zip entry).
struct DeflatedPart {
    std::string name;
    std::vector<unsigned char> data;
    uint64_t size = 0;  // bytes before compression
    uint32_t crc = 0;   // CRC-32 of those bytes
};

class PartDeflater {
public:
    // `threaded`: deflate on a helper thread; otherwise each chunk is deflated when handed over.
    PartDeflater(int level, bool threaded);
    ~PartDeflater();
    PartDeflater(const PartDeflater&) = delete;
    PartDeflater& operator=(const PartDeflater&) = delete;

    void begin(std::string name);
    // The buffer of the part being written; it stays the same object for the whole run.
    std::string& out() { return current_; }
    // Hands the buffer over once it holds a chunk's worth of bytes.
    void flushIfFull() {
        if (current_.size() >= kChunk) flush();
    }
    void end();
    // Waits for the last chunk; the parts in the order they were begun, or why deflating failed.
    Result<std::vector<DeflatedPart>> finish();

    static constexpr size_t kChunk = size_t(1) << 20;

private:
    struct Item {
        enum Kind { Begin, Data, End } kind;
        std::string text;  // the name for Begin, the bytes for Data
    };
    void flush();
    void push(Item item);
    void consume(Item& item);  // on the helper thread, or inline
    void run();
    std::string takeFree();

    int level_;
    std::string current_;
    std::vector<DeflatedPart> parts_;
    z_stream_s* stream_ = nullptr;
    bool failed_ = false;

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Item> queue_;
    std::vector<std::string> free_;  // emptied chunk buffers, their capacity kept for reuse
    size_t queuedChunks_ = 0;
    bool closing_ = false;
    bool threaded_;
};

}  // namespace ss::xlsx
