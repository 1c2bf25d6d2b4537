#include "part_deflater.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <unordered_map>
#include <new>

namespace ss::xlsx {

namespace {
// Chunks waiting for the helper: beyond this the writer deflates one itself.
constexpr size_t kMaxQueued = 2;
constexpr size_t kWindow = 32 * 1024;

// Small whole parts deflated lately, by level and bytes: a split into thousands of workbooks
// writes the same theme, styles, relationships and content types into each. Deflating is a
// function of the bytes and the level, so a part found here is what deflating it would give.
class RecentParts {
public:
    static constexpr size_t kMaxPart = 16 * 1024;  // larger parts are rarely the same twice

    bool find(uint32_t level, const std::string& in, std::vector<unsigned char>& out,
              uint32_t& crc) {
        std::lock_guard lock(mutex_);
        auto it = parts_.find(key(level, in));
        if (it == parts_.end()) return false;
        out = it->second.bytes;
        crc = it->second.crc;
        return true;
    }
    void add(uint32_t level, const std::string& in, const std::vector<unsigned char>& out,
             uint32_t crc) {
        std::lock_guard lock(mutex_);
        if (held_ + in.size() + out.size() > kMaxHeld) {  // forget them all: the next job's
            parts_.clear();                               // parts are another set
            held_ = 0;
        }
        if (parts_.emplace(key(level, in), Entry{out, crc}).second) held_ += in.size() + out.size();
    }

private:
    static constexpr size_t kMaxHeld = 1u << 20;
    struct Entry {
        std::vector<unsigned char> bytes;
        uint32_t crc;
    };
    static std::string key(uint32_t level, const std::string& in) {
        std::string k;
        k.reserve(in.size() + 1);
        k += char('0' + level);
        k += in;
        return k;
    }
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> parts_;
    size_t held_ = 0;
};

RecentParts& recentParts() {
    static RecentParts r;
    return r;
}
}  // namespace

// ISA-L's deflate (raw, levels 0-3): its level 3 is faster than zlib's level 1 and its output
// is within 1.2 times zlib level 6's (bench/README.md).
class PartDeflater::Stream {
public:
    explicit Stream(uint32_t level) : level_(level) {
        switch (level_) {
            case 0:
                size_ = ISAL_DEF_LVL0_DEFAULT;
                break;
            case 1:
                size_ = ISAL_DEF_LVL1_DEFAULT;
                break;
            case 2:
                size_ = ISAL_DEF_LVL2_DEFAULT;
                break;
            default:
                size_ = ISAL_DEF_LVL3_DEFAULT;
                break;
        }
        // ISA-L sets up what it uses of this at every reset; its look-ahead reads some bytes
        // it has not written, which do not change what it writes (a reused stream deflates to
        // the same bytes) but are cleared once, so that memory checkers see no unset value.
        buffer_.reset(new uint8_t[size_]());
        isal_deflate_init(&z_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // A stream of `level`, one used before when one is free: a split into thousands of small
    // workbooks would otherwise set up a few hundred KiB of working memory for each.
    static std::unique_ptr<Stream> take(int level) {
        const uint32_t l = uint32_t(std::clamp(level, 0, 3));
        {
            std::lock_guard lock(poolMutex());
            auto& free = pool();
            for (auto it = free.begin(); it != free.end(); ++it)
                if ((*it)->level_ == l) {
                    std::unique_ptr<Stream> s = std::move(*it);
                    free.erase(it);
                    return s;
                }
        }
        return std::make_unique<Stream>(l);
    }
    static void giveBack(std::unique_ptr<Stream> s) {
        if (!s) return;
        std::lock_guard lock(poolMutex());
        if (pool().size() < kPooled) pool().push_back(std::move(s));
    }

    // Deflates the job's input into its output: a piece that ends on a byte boundary (or ends
    // the stream, for a part's last chunk). Running out of memory marks the job failed.
    void run(Job& job) {
        try {
            const bool whole =
                job.last && job.dictionary.empty() && job.input.size() <= RecentParts::kMaxPart;
            if (whole && recentParts().find(level_, job.input, job.output, job.crc)) {
                job.size = job.input.size();
                return;
            }
            deflateJob(job);
            if (whole && !job.failed) recentParts().add(level_, job.input, job.output, job.crc);
        } catch (const std::bad_alloc&) {
            job.output.clear();
            job.failed = true;
        }
    }

private:
    void deflateJob(Job& job) {
        auto* in = reinterpret_cast<uint8_t*>(job.input.data());
        job.crc = crc32_gzip_refl(0, in, job.input.size());
        job.size = job.input.size();
        job.output.clear();
        isal_deflate_reset(&z_);
        z_.level = level_;
        z_.level_buf = buffer_.get();
        z_.level_buf_size = size_;
        z_.gzip_flag = IGZIP_DEFLATE;
        z_.hist_bits = 0;
        z_.end_of_stream = job.last ? 1 : 0;
        z_.flush = job.last ? NO_FLUSH : SYNC_FLUSH;
        if (!job.dictionary.empty() &&
            isal_deflate_set_dict(&z_, reinterpret_cast<uint8_t*>(job.dictionary.data()),
                                  uint32_t(job.dictionary.size())) != COMP_OK) {
            job.failed = true;
            return;
        }
        z_.next_in = in;
        z_.avail_in = uint32_t(job.input.size());  // chunks are far below 4 GiB
        for (;;) {
            const size_t used = job.output.size();
            // Stored blocks at worst: the input, a few bytes per 64 KiB block and the flush.
            const size_t room = size_t(z_.avail_in) + z_.avail_in / 16 + 4096;
            job.output.resize(used + room);
            z_.next_out = job.output.data() + used;
            z_.avail_out = uint32_t(room);
            if (isal_deflate(&z_) != COMP_OK) {
                job.failed = true;
                return;
            }
            job.output.resize(used + room - z_.avail_out);
            const bool finished = job.last ? z_.internal_state.state == ZSTATE_END
                                           : z_.avail_in == 0 && z_.avail_out != 0;
            if (finished) break;
        }
        job.output.shrink_to_fit();
    }

    static constexpr size_t kPooled = 4;  // a writer's and its helper's, two writers at once
    // Never destroyed, so that a writer finishing while the process exits still finds them.
    static std::mutex& poolMutex() {
        static auto* m = new std::mutex;
        return *m;
    }
    static std::vector<std::unique_ptr<Stream>>& pool() {
        static auto* free = new std::vector<std::unique_ptr<Stream>>;
        return *free;
    }

    uint32_t level_;
    uint32_t size_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;  // ISA-L's working memory for the level
    isal_zstream z_{};
};

PartDeflater::PartDeflater(int level, bool threaded, size_t chunk)
    : level_(level), threaded_(threaded), chunk_(chunk), mine_(Stream::take(level)) {
    current_.reserve(chunk_ + chunk_ / 4);
    if (threaded_) thread_ = std::thread([this] { runHelper(); });
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
    Stream::giveBack(std::move(mine_));
}

void PartDeflater::begin(std::string name) {
    current_.clear();
    tail_.clear();
    parts_.push_back({std::move(name), jobs_.size(), 0});
}

void PartDeflater::end() {
    handOver(true);
}

PartDeflater::Job* PartDeflater::nextQueued() {
    if (queue_.empty()) return nullptr;
    Job* job = queue_.front();
    queue_.pop_front();
    return job;
}

void PartDeflater::done(Job& job) {
    job.input.clear();
    job.dictionary.clear();
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(job.input));
}

void PartDeflater::handOver(bool last) {
    auto job = std::make_unique<Job>();
    job->last = last;
    job->dictionary = tail_;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            job->input = std::move(free_.back());
            free_.pop_back();
        }
    }
    job->input.clear();
    if (job->input.capacity() < chunk_) job->input.reserve(chunk_ + chunk_ / 4);
    current_.swap(job->input);
    const std::string& in = job->input;
    tail_.assign(in, in.size() - std::min(in.size(), kWindow), std::string::npos);
    Job* raw = job.get();
    jobs_.push_back(std::move(job));
    ++parts_.back().jobs;

    if (!threaded_) {
        mine_->run(*raw);
        done(*raw);
        return;
    }
    Job* own = nullptr;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(raw);
        if (queue_.size() > kMaxQueued) own = nextQueued();  // ahead of the helper: lend a hand
    }
    ready_.notify_one();
    if (own) {
        mine_->run(*own);
        done(*own);
    }
}

void PartDeflater::runHelper() {
    std::unique_ptr<Stream> stream = Stream::take(level_);
    for (;;) {
        Job* job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            job = nextQueued();
            if (!job) break;  // closing, and nothing left
            ++busy_;
        }
        stream->run(*job);
        done(*job);
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        idle_.notify_all();
    }
    Stream::giveBack(std::move(stream));
}

Result<std::vector<DeflatedPart>> PartDeflater::finish() {
    if (threaded_) {
        // Take a share of what is left, then wait for the helper's last chunk.
        for (;;) {
            Job* job;
            {
                std::lock_guard lock(mutex_);
                job = nextQueued();
            }
            if (!job) break;
            mine_->run(*job);
            done(*job);
        }
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return busy_ == 0 && queue_.empty(); });
    }
    std::vector<DeflatedPart> out;
    out.reserve(parts_.size());
    for (PartEntry& p : parts_) {
        DeflatedPart d;
        d.name = std::move(p.name);
        for (size_t i = p.firstJob; i < p.firstJob + p.jobs; ++i) {
            Job& job = *jobs_[i];
            if (job.failed) return fail("压缩数据时出错（内存不足）。");
            d.crc = i == p.firstJob ? job.crc
                                    : uint32_t(crc32_combine(d.crc, job.crc, z_off_t(job.size)));
            d.size += job.size;
            d.pieces.push_back(std::move(job.output));
        }
        out.push_back(std::move(d));
    }
    jobs_.clear();
    parts_.clear();
    return out;
}

}  // namespace ss::xlsx
