#include "part_deflater.h"

#include <zlib.h>

#include <algorithm>
#include <new>

namespace ss::xlsx {

namespace {
// Chunks waiting for the helper: beyond this the writer deflates one itself.
constexpr size_t kMaxQueued = 2;
constexpr size_t kWindow = 32 * 1024;
}  // namespace

class PartDeflater::Stream {
public:
    explicit Stream(int level) {
        ok_ = deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Stream() {
        if (ok_) deflateEnd(&z_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Deflates the job's input into its output: a piece that ends on a byte boundary (or ends
    // the stream, for a part's last chunk). Running out of memory marks the job failed.
    void run(Job& job) {
        try {
            deflateJob(job);
        } catch (const std::bad_alloc&) {
            job.output.clear();
            job.failed = true;
        }
    }

private:
    void deflateJob(Job& job) {
        const auto* in = reinterpret_cast<const Bytef*>(job.input.data());
        job.crc = uint32_t(crc32_z(0, in, job.input.size()));
        job.size = job.input.size();
        job.output.clear();
        if (!ok_ || deflateReset(&z_) != Z_OK ||
            (!job.dictionary.empty() &&
             deflateSetDictionary(&z_, reinterpret_cast<const Bytef*>(job.dictionary.data()),
                                  uInt(job.dictionary.size())) != Z_OK)) {
            job.failed = true;
            return;
        }
        z_.next_in = const_cast<Bytef*>(in);
        z_.avail_in = uInt(job.input.size());  // chunks are far below 4 GiB
        const int flush = job.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const size_t used = job.output.size();
            const size_t room = deflateBound(&z_, z_.avail_in) + 64;
            job.output.resize(used + room);
            z_.next_out = job.output.data() + used;
            z_.avail_out = uInt(room);
            const int rc = deflate(&z_, flush);
            job.output.resize(used + room - z_.avail_out);
            if (rc == Z_STREAM_END || (rc == Z_OK && !job.last && z_.avail_out != 0)) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                job.failed = true;
                return;
            }
        }
        job.output.shrink_to_fit();
    }

    z_stream z_{};
    bool ok_ = false;
};

PartDeflater::PartDeflater(int level, bool threaded)
    : level_(level), threaded_(threaded), mine_(std::make_unique<Stream>(level)) {
    current_.reserve(kChunk + kChunk / 4);
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
    if (job->input.capacity() < kChunk) job->input.reserve(kChunk + kChunk / 4);
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
    Stream stream(level_);
    for (;;) {
        Job* job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            job = nextQueued();
            if (!job) return;  // closing, and nothing left
            ++busy_;
        }
        stream.run(*job);
        done(*job);
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        idle_.notify_all();
    }
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
