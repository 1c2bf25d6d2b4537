// The zip container of a package (ZipReader) and expat's parse of its parts: the handlers that
// resolve compatibility wrappers and extension lists, and parseXmlText.
#include "package.h"

#include <expat.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "scanner.h"
#include "../text/xml_text.h"

namespace ss::xlsx {

namespace {

std::atomic<bool> gIsalInflate{true};

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
        // Two entries of one name: which of them is the part cannot be told (folders aside,
        // which hold nothing).
        if (!entries_.emplace(key, uint64_t(i)).second && !key.empty() && key.back() != '/')
            return fail("zip 压缩包已损坏（部件 " + std::string(name) + " 出现了两次）。");
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, zip_uint64_t(i), 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_SIZE))
            compressedTotal_ += st.comp_size;
    }
    return okStatus();
}

uint64_t ZipReader::workbookCap() const {
    const uint64_t kFloor = 4 * limits_.ratioFloor;
    const uint64_t byRatio =
        compressedTotal_ > UINT64_MAX / std::max<uint64_t>(limits_.maxCompressionRatio, 1)
            ? UINT64_MAX
            : compressedTotal_ * limits_.maxCompressionRatio;
    return std::min(limits_.maxTotalBytes, std::max(kFloor, byRatio));
}

namespace {

std::string bombText(uint64_t bytes, uint64_t cap) {
    return "工作簿解压后共 " + std::to_string(bytes) +
           " 字节（同一部件每用一次计一次），超过上限 " + std::to_string(cap) +
           " 字节，疑似压缩炸弹。";
}

}  // namespace

Status ZipReader::checkPlanned(uint64_t bytes) const {
    const uint64_t cap = workbookCap();
    if (bytes > cap || totalRead_ > cap - bytes) return fail(bombText(totalRead_ + bytes, cap));
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
    return read(name, sink, limits_.maxCompressionRatio);
}

namespace {

// floor + ratio * taken, saturating.
uint64_t ratioCap(uint64_t floor, uint64_t ratio, uint64_t taken) {
    if (ratio && taken > (UINT64_MAX - floor) / ratio) return UINT64_MAX;
    return floor + ratio * taken;
}

}  // namespace

Status ZipReader::read(std::string_view name, const std::function<bool(const char*, size_t)>& sink,
                       uint32_t ratio) {
    if (!refusal_.ok()) return refusal_;
    auto it = entries_.find(lowerAscii(name));
    if (it == entries_.end()) return fail("缺少部件 " + std::string(name) + "。");
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip_, it->second, 0, &st) != 0)
        return fail(zipReason(zip_get_error(zip_)->zip_err));
    const uint64_t compressed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    // A refusal of the limits stands for the whole workbook, whoever asked for the part.
    auto refused = [&](std::string why) {
        Status r = fail(std::move(why));
        refuse(r);
        return r;
    };
    if ((st.valid & ZIP_STAT_SIZE) && st.size > limits_.maxPartBytes)
        return refused("部件 " + std::string(name) + " 解压后过大（" + std::to_string(st.size) +
                       " 字节），疑似压缩炸弹。");
    // The size the directory declares is refused at once when it is beyond the ratio (it may
    // also lie: the limits are enforced on the bytes actually inflated, below).
    if ((st.valid & ZIP_STAT_SIZE) && (st.valid & ZIP_STAT_COMP_SIZE) &&
        st.size > ratioCap(limits_.ratioFloor, ratio, compressed))
        return refused("部件 " + std::string(name) + " 解压后为 " + std::to_string(st.size) +
                       " 字节，是压缩后的 " +
                       std::to_string(st.size / std::max<uint64_t>(compressed, 1)) +
                       " 倍，压缩比异常，疑似压缩炸弹。");
    // A deflated entry is inflated here with ISA-L from its stored bytes (checked against the
    // directory's CRC and size); anything else goes through libzip's own reading.
    const bool raw = gIsalInflate && (st.valid & ZIP_STAT_COMP_METHOD) &&
                     st.comp_method == ZIP_CM_DEFLATE && (st.valid & ZIP_STAT_ENCRYPTION_METHOD) &&
                     st.encryption_method == ZIP_EM_NONE && (st.valid & ZIP_STAT_CRC) &&
                     (st.valid & ZIP_STAT_SIZE) && st.size > 0;
    zip_file_t* f = zip_fopen_index(zip_, it->second, raw ? ZIP_FL_COMPRESSED : 0);
    if (!f) return fail(zipReason(zip_get_error(zip_)->zip_err));
    uint64_t got = 0;
    // Compressed bytes taken so far: known as the inflate goes when it is our own; through
    // libzip only the entry's whole size is known.
    uint64_t taken = raw ? 0 : compressed;
    const uint64_t takenBefore = totalTaken_;
    // Counts `n` more inflated bytes against the limits; the refusal, or empty when within them.
    auto overLimits = [&](size_t n) -> std::string {
        got += n;
        totalRead_ += n;
        totalTaken_ = takenBefore + taken;
        if (got > limits_.maxPartBytes || got > ratioCap(limits_.ratioFloor, ratio, taken))
            return "部件 " + std::string(name) + " 解压后过大或压缩比异常，疑似压缩炸弹。";
        if (totalRead_ > workbookCap() ||
            totalRead_ > ratioCap(4 * limits_.ratioFloor, limits_.maxCompressionRatio, totalTaken_))
            return bombText(totalRead_, workbookCap());
        return {};
    };
    auto readFailed = [&] {
        int code = zip_file_get_error(f)->zip_err;
        zip_fclose(f);
        return fail("部件 " + std::string(name) + " 无法解压：" + zipReason(code));
    };
    if (!raw) {
        std::vector<char> buf(1 << 16);
        for (;;) {
            zip_int64_t n = zip_fread(f, buf.data(), buf.size());
            if (n < 0) return readFailed();
            if (n == 0) break;
            if (std::string why = overLimits(size_t(n)); !why.empty()) {
                zip_fclose(f);
                return refused(why);
            }
            if (!sink(buf.data(), size_t(n))) break;
        }
        zip_fclose(f);
        return okStatus();
    }

    auto damaged = [&](int code) {
        zip_fclose(f);
        return fail("部件 " + std::string(name) + " 无法解压：" + zipReason(code));
    };
    // Buffers as small as libzip's own; nothing is zeroed that the inflate overwrites anyway.
    constexpr size_t kIn = 1 << 14, kOut = 1 << 16;
    std::unique_ptr<uint8_t[]> inBuf(new uint8_t[kIn]), outBuf(new uint8_t[kOut]);
    std::unique_ptr<inflate_state> state(new inflate_state);
    isal_inflate_init(state.get());
    uint32_t crc = 0;
    uint64_t fed = 0;  // compressed bytes handed to the inflate
    bool stopped = false, wantsInput = true;
    while (!stopped && state->block_state != ISAL_BLOCK_FINISH) {
        // A full output buffer may leave output pending inside: it comes without more input.
        if (state->avail_in == 0 && wantsInput) {
            zip_int64_t n = zip_fread(f, inBuf.get(), kIn);
            if (n < 0) return readFailed();
            if (n == 0) return damaged(ZIP_ER_INCONS);  // the stream ends early
            state->next_in = inBuf.get();
            state->avail_in = uint32_t(n);
            fed += uint64_t(n);
        }
        state->next_out = outBuf.get();
        state->avail_out = uint32_t(kOut);
        const uint32_t inBefore = state->avail_in;
        if (isal_inflate(state.get()) != ISAL_DECOMP_OK) return damaged(ZIP_ER_INCONS);
        const size_t n = kOut - state->avail_out;
        wantsInput = state->avail_out != 0;
        if (n == 0 && inBefore != 0 && state->avail_in == inBefore &&
            state->block_state != ISAL_BLOCK_FINISH)
            return damaged(ZIP_ER_INCONS);  // no progress: never loop on a stuck stream
        if (n == 0) continue;
        taken = fed - state->avail_in;
        if (std::string why = overLimits(n); !why.empty()) {
            zip_fclose(f);
            return refused(why);
        }
        crc = crc32_gzip_refl(crc, outBuf.get(), n);
        stopped = !sink(reinterpret_cast<const char*>(outBuf.get()), n);
    }
    if (!stopped && (crc != st.crc || got != st.size)) return damaged(ZIP_ER_CRC);
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

Status ZipReader::readKept(std::string_view name, std::string& out) {
    out.clear();
    return read(
        name,
        [&](const char* p, size_t n) {
            out.append(p, n);
            return true;
        },
        limits_.maxKeptRatio);
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

void rawStart(Context* c, const char* name, const char** atts) {
    if (c->rawPending) c->raw += '>';
    c->raw += '<';
    c->raw += name;
    for (const char** a = atts; *a; a += 2) {
        c->raw += ' ';
        c->raw += a[0];
        c->raw += "=\"";
        xml::appendEscaped(c->raw, a[1], true);
        c->raw += '"';
    }
    c->rawPending = true;
}

bool isMarkupCompat(const char* qname, std::string_view local) {
    return local.data() != qname &&
           (local == "AlternateContent" || local == "Choice" || local == "Fallback");
}

// Runs a callback's work; what it throws stops the parse and is kept for Parser::feed.
template <class Work>
void guarded(Context* c, Work&& work) {
    if (c->thrown) return;  // expat may still call while it stops
    try {
        work();
    } catch (...) {
        c->thrown = std::current_exception();
        XML_StopParser(c->parser, XML_FALSE);
    }
}

void startElement(Context* c, const char* name, const char** atts) {
    std::string_view local = localName(name);
    if (++c->depth > c->maxDepth) {
        // expat keeps every open element: a small part nested millions deep costs gigabytes.
        c->tooDeep = true;
        c->failure = "的 XML 嵌套超过 " + std::to_string(c->maxDepth) + " 层，疑似恶意文件。";
        XML_StopParser(c->parser, XML_FALSE);
        return;
    }
    c->atList = false;
    if (c->rawDepth) {
        ++c->rawDepth;
        rawStart(c, name, atts);
        return;
    }
    if (c->skipDepth) {
        ++c->skipDepth;
        return;
    }
    if (c->depth == 2 && c->h->wantsRaw(local)) {
        c->rawDepth = 1;
        c->raw.clear();
        c->rawName = std::string(local);
        c->rawPending = false;
        rawStart(c, name, atts);
        return;
    }
    if (isMarkupCompat(name, local)) {
        if (local == "Choice") c->skipDepth = 1;
        return;
    }
    if (local == "extLst" && !c->h->wantsNestedExtensions()) {
        // Extensions in foreign namespaces: nothing the model carries.
        c->skipDepth = 1;
        return;
    }
    c->h->start(local, atts);
    c->atList = c->depth == c->listDepth && std::strcmp(name, c->listName) == 0;
    if (!c->h->failure.empty()) XML_StopParser(c->parser, XML_FALSE);
}

void endElement(Context* c, const char* name) {
    --c->depth;
    c->atList = false;
    if (c->rawDepth) {
        if (c->rawPending) {
            c->raw += "/>";
            c->rawPending = false;
        } else {
            c->raw += "</";
            c->raw += name;
            c->raw += '>';
        }
        if (--c->rawDepth == 0) {
            c->h->raw(c->rawName, std::move(c->raw));
            c->raw.clear();
            if (!c->h->failure.empty()) XML_StopParser(c->parser, XML_FALSE);
        }
        return;
    }
    if (c->skipDepth) {
        --c->skipDepth;
        return;
    }
    std::string_view local = localName(name);
    if (isMarkupCompat(name, local)) return;
    c->h->end(local);
    if (!c->h->failure.empty()) XML_StopParser(c->parser, XML_FALSE);
}

void characters(Context* c, const char* s, int len) {
    c->atList = false;
    if (c->rawDepth) {
        if (c->rawPending) {
            c->raw += '>';
            c->rawPending = false;
        }
        xml::appendEscaped(c->raw, std::string_view(s, size_t(len)));
    } else if (!c->skipDepth) {
        c->h->text(s, len);
    }
}

void XMLCALL onStart(void* data, const char* name, const char** atts) {
    auto* c = static_cast<Context*>(data);
    guarded(c, [&] { startElement(c, name, atts); });
}

void XMLCALL onEnd(void* data, const char* name) {
    auto* c = static_cast<Context*>(data);
    guarded(c, [&] { endElement(c, name); });
}

void XMLCALL onText(void* data, const char* s, int len) {
    auto* c = static_cast<Context*>(data);
    guarded(c, [&] { characters(c, s, len); });
}

void XMLCALL onDoctype(void* data, const char*, const char*, const char*, int) {
    auto* c = static_cast<Context*>(data);
    c->failure = "含有文档类型声明（DTD），出于安全原因拒绝读取。";
    XML_StopParser(c->parser, XML_FALSE);
}

}  // namespace

Parser::Parser(std::string_view part, SaxHandler& h, uint32_t maxDepth) : part_(part) {
    p_ = XML_ParserCreate(nullptr);
    ctx_.parser = p_;
    ctx_.h = &h;
    ctx_.maxDepth = int(std::min<uint32_t>(maxDepth, 1u << 30));
    if (!p_) return;
    XML_SetUserData(p_, &ctx_);
    XML_SetElementHandler(p_, onStart, onEnd);
    XML_SetCharacterDataHandler(p_, onText);
    XML_SetStartDoctypeDeclHandler(p_, onDoctype);
    XML_SetParamEntityParsing(p_, XML_PARAM_ENTITY_PARSING_NEVER);
}

void setIsalInflate(bool on) {
    gIsalInflate = on;
}

Status parseXmlText(std::string_view xml, std::string_view part, SaxHandler& h) {
    Parser p(part, h);
    if (!p.feed(xml.data(), xml.size(), false)) return p.status();
    return p.finish();
}

Status checkXml(std::string_view xml, std::string_view part, uint32_t maxDepth, bool& tooDeep) {
    struct Nothing : SaxHandler {
        void start(std::string_view, const char**) override {}
        void end(std::string_view) override {}
    } h;
    Parser p(part, h, maxDepth);
    Status st = p.feed(xml.data(), xml.size(), false) ? p.finish() : p.status();
    tooDeep = p.tooDeep();
    return st;
}

}  // namespace ss::xlsx
