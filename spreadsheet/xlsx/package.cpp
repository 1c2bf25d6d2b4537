#include "package.h"

#include <expat.h>
#include <zip.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace ss::xlsx {

namespace {

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

std::string zipReason(int code) {
    switch (code) {
        case ZIP_ER_NOZIP:
            return "文件不是 zip 压缩包，或压缩包的目录已丢失（文件可能不完整）。";
        case ZIP_ER_INCONS:
            return "zip 压缩包已损坏（目录不一致）。";
        case ZIP_ER_CRC:
            return "zip 压缩包已损坏（校验和不符）。";
        case ZIP_ER_COMPNOTSUPP:
            return "zip 压缩包使用了不支持的压缩方式。";
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return "zip 压缩包中的内容已加密。";
        case ZIP_ER_MEMORY:
            return "内存不足。";
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
            return "无法读取文件。";
        default: {
            zip_error_t e;
            zip_error_init_with_code(&e, code);
            std::string what = zip_error_strerror(&e);
            zip_error_fini(&e);
            return "zip 压缩包已损坏（" + what + "）。";
        }
    }
}

}  // namespace

ZipReader::~ZipReader() {
    if (zip_) zip_discard(zip_);
}

Result<std::unique_ptr<ZipReader>> ZipReader::open(const std::filesystem::path& path,
                                                   const ReadLimits& limits) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!z) return fail(zipReason(err));
    std::unique_ptr<ZipReader> r(new ZipReader);
    r->zip_ = z;
    r->limits_ = limits;
    Status st = r->indexEntries();
    if (!st.ok()) return st.error();
    return r;
}

Result<std::unique_ptr<ZipReader>> ZipReader::openMemory(const void* data, size_t size,
                                                         const ReadLimits& limits) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(data, size, 0, &error);
    if (!src) {
        zip_error_fini(&error);
        return fail(zipReason(ZIP_ER_MEMORY));
    }
    zip_t* z = zip_open_from_source(src, ZIP_RDONLY, &error);
    if (!z) {
        int code = zip_error_code_zip(&error);
        zip_source_free(src);
        zip_error_fini(&error);
        return fail(zipReason(code));
    }
    zip_error_fini(&error);
    std::unique_ptr<ZipReader> r(new ZipReader);
    r->zip_ = z;
    r->limits_ = limits;
    Status st = r->indexEntries();
    if (!st.ok()) return st.error();
    return r;
}

Status ZipReader::indexEntries() {
    zip_int64_t n = zip_get_num_entries(zip_, 0);
    if (n <= 0) return fail("zip 压缩包是空的，不是工作簿。");
    for (zip_int64_t i = 0; i < n; ++i) {
        const char* name = zip_get_name(zip_, zip_uint64_t(i), ZIP_FL_ENC_GUESS);
        if (!name) continue;
        std::string key = lowerAscii(name);
        if (!key.empty() && key[0] == '/') key.erase(0, 1);
        entries_.emplace(std::move(key), uint64_t(i));
    }
    return okStatus();
}

bool ZipReader::has(std::string_view name) const {
    return entries_.count(lowerAscii(name)) != 0;
}

uint64_t ZipReader::declaredSize(std::string_view name) const {
    auto it = entries_.find(lowerAscii(name));
    if (it == entries_.end()) return 0;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip_, it->second, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE)) return 0;
    return std::min<uint64_t>(st.size, limits_.maxPartBytes);
}

Status ZipReader::read(std::string_view name,
                       const std::function<bool(const char*, size_t)>& sink) {
    auto it = entries_.find(lowerAscii(name));
    if (it == entries_.end()) return fail("缺少部件 " + std::string(name) + "。");
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip_, it->second, 0, &st) != 0)
        return fail(zipReason(zip_get_error(zip_)->zip_err));
    uint64_t compressed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    if ((st.valid & ZIP_STAT_SIZE) && st.size > limits_.maxPartBytes)
        return fail("部件 " + std::string(name) + " 解压后过大（" + std::to_string(st.size) +
                    " 字节），疑似压缩炸弹。");
    // The declared sizes may lie: the limits are enforced on the bytes actually inflated.
    uint64_t ratioCap =
        std::max<uint64_t>(uint64_t(16) << 20, compressed * limits_.maxCompressionRatio);
    zip_file_t* f = zip_fopen_index(zip_, it->second, 0);
    if (!f) return fail(zipReason(zip_get_error(zip_)->zip_err));
    std::vector<char> buf(1 << 16);
    uint64_t got = 0;
    for (;;) {
        zip_int64_t n = zip_fread(f, buf.data(), buf.size());
        if (n < 0) {
            int code = zip_file_get_error(f)->zip_err;
            zip_fclose(f);
            return fail("部件 " + std::string(name) + " 无法解压：" + zipReason(code));
        }
        if (n == 0) break;
        got += uint64_t(n);
        totalRead_ += uint64_t(n);
        if (got > limits_.maxPartBytes || got > ratioCap || totalRead_ > limits_.maxTotalBytes) {
            zip_fclose(f);
            return fail("部件 " + std::string(name) + " 解压后过大或压缩比异常，疑似压缩炸弹。");
        }
        if (!sink(buf.data(), size_t(n))) break;
    }
    zip_fclose(f);
    return okStatus();
}

Status ZipReader::readAll(std::string_view name, std::string& out) {
    out.clear();
    return read(name, [&](const char* p, size_t n) {
        out.append(p, n);
        return true;
    });
}

std::string_view localName(const char* qname) {
    const char* colon = std::strrchr(qname, ':');
    return colon ? std::string_view(colon + 1) : std::string_view(qname);
}

const char* attr(const char** atts, std::string_view name) {
    for (; *atts; atts += 2)
        if (localName(atts[0]) == name) return atts[1];
    return nullptr;
}

namespace {

struct Context {
    XML_Parser parser;
    SaxHandler* h;
    int skipDepth = 0;  // > 0 inside an mc:Choice branch
    std::string failure;
};

bool isMarkupCompat(const char* qname, std::string_view local) {
    return local.data() != qname &&
           (local == "AlternateContent" || local == "Choice" || local == "Fallback");
}

void XMLCALL onStart(void* data, const char* name, const char** atts) {
    auto* c = static_cast<Context*>(data);
    std::string_view local = localName(name);
    if (c->skipDepth) {
        ++c->skipDepth;
        return;
    }
    if (isMarkupCompat(name, local)) {
        if (local == "Choice") c->skipDepth = 1;
        return;
    }
    if (local == "extLst") {  // extensions in foreign namespaces: nothing the model carries
        c->skipDepth = 1;
        return;
    }
    c->h->start(local, atts);
    if (!c->h->failure.empty()) XML_StopParser(c->parser, XML_FALSE);
}

void XMLCALL onEnd(void* data, const char* name) {
    auto* c = static_cast<Context*>(data);
    if (c->skipDepth) {
        --c->skipDepth;
        return;
    }
    std::string_view local = localName(name);
    if (isMarkupCompat(name, local)) return;
    c->h->end(local);
    if (!c->h->failure.empty()) XML_StopParser(c->parser, XML_FALSE);
}

void XMLCALL onText(void* data, const char* s, int len) {
    auto* c = static_cast<Context*>(data);
    if (!c->skipDepth) c->h->text(s, len);
}

void XMLCALL onDoctype(void* data, const char*, const char*, const char*, int) {
    auto* c = static_cast<Context*>(data);
    c->failure = "含有文档类型声明（DTD），出于安全原因拒绝读取。";
    XML_StopParser(c->parser, XML_FALSE);
}

class Parser {
public:
    Parser(std::string_view part, SaxHandler& h) : part_(part) {
        p_ = XML_ParserCreate(nullptr);
        ctx_.parser = p_;
        ctx_.h = &h;
        if (!p_) return;
        XML_SetUserData(p_, &ctx_);
        XML_SetElementHandler(p_, onStart, onEnd);
        XML_SetCharacterDataHandler(p_, onText);
        XML_SetStartDoctypeDeclHandler(p_, onDoctype);
        XML_SetParamEntityParsing(p_, XML_PARAM_ENTITY_PARSING_NEVER);
    }
    ~Parser() {
        if (p_) XML_ParserFree(p_);
    }
    bool feed(const char* data, size_t n, bool last) {
        if (!p_) {
            status_ = fail("内存不足。");
            return false;
        }
        while (true) {
            int chunk = int(std::min<size_t>(n, 1 << 30));
            if (XML_Parse(p_, data, chunk, last && size_t(chunk) == n) == XML_STATUS_ERROR) {
                status_ = makeError();
                return false;
            }
            data += chunk;
            n -= size_t(chunk);
            if (n == 0) return true;
        }
    }
    Status finish() {
        if (!status_.ok()) return status_;
        return feed(nullptr, 0, true) ? okStatus() : status_;
    }
    Status status() const { return status_; }

private:
    Status makeError() {
        std::string where = "部件 " + part_;
        if (!ctx_.failure.empty()) return fail(where + " " + ctx_.failure);
        if (!ctx_.h->failure.empty()) return fail(where + "：" + ctx_.h->failure);
        return fail(where + " 第 " + std::to_string(XML_GetCurrentLineNumber(p_)) +
                    " 行 XML 格式错误（" + XML_ErrorString(XML_GetErrorCode(p_)) + "）。");
    }
    std::string part_;
    XML_Parser p_;
    Context ctx_;
    Status status_ = okStatus();
};

}  // namespace

namespace {

// Inflating and parsing a large part overlap: one thread inflates into a short queue of
// chunks while the caller's thread parses them.
class ChunkQueue {
public:
    // Producer side; false when the consumer has stopped.
    bool push(std::string chunk) {
        std::unique_lock lock(m_);
        notFull_.wait(lock, [&] { return q_.size() < kDepth || stopped_; });
        if (stopped_) return false;
        q_.push_back(std::move(chunk));
        notEmpty_.notify_one();
        return true;
    }
    void close(Status st) {
        std::lock_guard lock(m_);
        closed_ = true;
        status_ = std::move(st);
        notEmpty_.notify_one();
    }
    // Consumer side; false at the end of the stream.
    bool pop(std::string& chunk) {
        std::unique_lock lock(m_);
        notEmpty_.wait(lock, [&] { return !q_.empty() || closed_; });
        if (q_.empty()) return false;
        chunk = std::move(q_.front());
        q_.pop_front();
        notFull_.notify_one();
        return true;
    }
    void stop() {
        std::lock_guard lock(m_);
        stopped_ = true;
        notFull_.notify_one();
    }
    Status status() {
        std::lock_guard lock(m_);
        return status_;
    }

private:
    static constexpr size_t kDepth = 4;
    std::mutex m_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<std::string> q_;
    bool closed_ = false, stopped_ = false;
    Status status_ = okStatus();
};

constexpr uint64_t kOverlapFrom = 1u << 20;  // smaller parts are not worth a thread
constexpr size_t kChunk = 256u << 10;

}  // namespace

Status parsePart(ZipReader& zip, std::string_view part, SaxHandler& h) {
    Parser p(part, h);
    if (zip.declaredSize(part) < kOverlapFrom) {
        Status st = zip.read(part, [&](const char* d, size_t n) { return p.feed(d, n, false); });
        if (!st.ok()) return st;
        return p.finish();
    }
    ChunkQueue queue;
    std::thread inflater([&] {
        std::string chunk;
        chunk.reserve(kChunk);
        bool open = true;
        Status st = zip.read(part, [&](const char* d, size_t n) {
            chunk.append(d, n);
            if (chunk.size() >= kChunk) {
                open = queue.push(std::move(chunk));
                chunk = std::string();
                chunk.reserve(kChunk);
            }
            return open;
        });
        if (st.ok() && open && !chunk.empty()) queue.push(std::move(chunk));
        queue.close(std::move(st));
    });
    std::string chunk;
    bool parsed = true;
    while (queue.pop(chunk))
        if (!p.feed(chunk.data(), chunk.size(), false)) {
            parsed = false;
            break;
        }
    queue.stop();
    while (queue.pop(chunk)) {
    }
    inflater.join();
    Status st = queue.status();
    if (!st.ok()) return st;
    if (!parsed) return p.status();
    return p.finish();
}

Status parseXmlText(std::string_view xml, std::string_view part, SaxHandler& h) {
    Parser p(part, h);
    if (!p.feed(xml.data(), xml.size(), false)) return p.status();
    return p.finish();
}

}  // namespace ss::xlsx
