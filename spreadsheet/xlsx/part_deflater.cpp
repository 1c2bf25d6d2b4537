#include "part_deflater.h"

#include <zlib.h>

namespace ss::xlsx {

namespace {
// Chunks handed over but not yet deflated: enough to keep both threads busy, few enough that
// memory stays a few megabytes whatever the size of the part.
constexpr size_t kMaxQueued = 4;
}  // namespace

PartDeflater::PartDeflater(int level, bool threaded) : level_(level), threaded_(threaded) {
    stream_ = new z_stream{};
    if (deflateInit2(stream_, level_, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete stream_;
        stream_ = nullptr;
        failed_ = true;
    }
    current_.reserve(kChunk + kChunk / 4);
    if (threaded_) thread_ = std::thread([this] { run(); });
}

PartDeflater::~PartDeflater() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    if (stream_) {
        deflateEnd(stream_);
        delete stream_;
    }
}

std::string PartDeflater::takeFree() {
    std::string s;
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
        s = std::move(free_.back());
        free_.pop_back();
    }
    return s;
}

void PartDeflater::begin(std::string name) {
    current_.clear();
    push({Item::Begin, std::move(name)});
}

void PartDeflater::flush() {
    if (current_.empty()) return;
    std::string next = takeFree();
    next.clear();
    if (next.capacity() < kChunk) next.reserve(kChunk + kChunk / 4);
    current_.swap(next);
    push({Item::Data, std::move(next)});
}

void PartDeflater::end() {
    flush();
    push({Item::End, {}});
}

void PartDeflater::push(Item item) {
    if (!threaded_) {
        consume(item);
        if (item.kind == Item::Data) {
            item.text.clear();
            std::lock_guard lock(mutex_);
            free_.push_back(std::move(item.text));
        }
        return;
    }
    std::unique_lock lock(mutex_);
    if (item.kind == Item::Data) {
        room_.wait(lock, [&] { return queuedChunks_ < kMaxQueued; });
        ++queuedChunks_;
    }
    queue_.push_back(std::move(item));
    lock.unlock();
    ready_.notify_one();
}

void PartDeflater::run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        consume(item);
        if (item.kind != Item::Data) continue;
        item.text.clear();
        {
            std::lock_guard lock(mutex_);
            free_.push_back(std::move(item.text));
            --queuedChunks_;
        }
        room_.notify_one();
    }
}

void PartDeflater::consume(Item& item) {
    if (failed_) return;
    switch (item.kind) {
        case Item::Begin:
            parts_.push_back({std::move(item.text), {}, 0, uint32_t(crc32(0, nullptr, 0))});
            if (deflateReset(stream_) != Z_OK) failed_ = true;
            return;
        case Item::Data:
        case Item::End: {
            DeflatedPart& part = parts_.back();
            const bool last = item.kind == Item::End;
            const auto* in = reinterpret_cast<const Bytef*>(item.text.data());
            // zlib takes at most 4 GiB per call; chunks are far smaller.
            stream_->next_in = const_cast<Bytef*>(in);
            stream_->avail_in = uInt(item.text.size());
            if (!item.text.empty()) {
                part.crc = uint32_t(crc32_z(part.crc, in, item.text.size()));
                part.size += item.text.size();
            }
            for (;;) {
                size_t used = part.data.size();
                size_t room = deflateBound(stream_, stream_->avail_in) + 64;
                part.data.resize(used + room);
                stream_->next_out = part.data.data() + used;
                stream_->avail_out = uInt(room);
                int rc = deflate(stream_, last ? Z_FINISH : Z_NO_FLUSH);
                part.data.resize(used + room - stream_->avail_out);
                if (rc == Z_STREAM_END) break;
                if (rc != Z_OK && rc != Z_BUF_ERROR) {
                    failed_ = true;
                    return;
                }
                if (!last && stream_->avail_in == 0) break;
            }
            if (last) part.data.shrink_to_fit();
            return;
        }
    }
}

Result<std::vector<DeflatedPart>> PartDeflater::finish() {
    if (thread_.joinable()) {  // the helper drains the queue before it stops
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    if (failed_) return fail("压缩数据时内存不足。");
    return std::move(parts_);
}

}  // namespace ss::xlsx
