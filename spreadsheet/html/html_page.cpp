#include "html_page.h"

#include <algorithm>
#include <ctime>
#include <csetjmp>
#include <cstdlib>
#include <vector>

#include "../read_stop.h"
#include "../text/codepage.h"
#include "html.h"

namespace ss::html {

namespace {

// Processor time of the calling thread in nanoseconds: a busy machine does not make a page
// that parses well run out of its time.
int64_t threadNanos() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The parse of a page may take this much processor time plus the time per MiB below: a table
// page parses at more than 10 MiB a second, so only a page built to make the parser go
// quadratic (a hundred thousand nested elements) comes near it.
constexpr int64_t kParseNanosBase = 1'000'000'000;
constexpr int64_t kParseNanosPerMiB = 150'000'000;

}  // namespace

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The parser's memory is taken from blocks of 1 MiB, one after the other, and given back only
// all at once: a parse frees little before its end (what it allocates in all is about 1.15
// times what it holds at its peak), and so this costs no more memory than the general
// allocator with its headers, at a fraction of its time.
struct ParsedPage::Budget {
    struct alignas(16) Chunk {
        Chunk* next;
    };
    static constexpr size_t kChunkBytes = size_t(1) << 20;
    static constexpr size_t kAlign = 8;  // the parser's structures hold pointers and sizes
    std::jmp_buf jump;
    Chunk* chunks = nullptr;
    char* at = nullptr;  // free room in the newest chunk
    size_t left = 0;
    size_t used = 0, limit = 0;
    uint64_t allocations = 0;
    int64_t deadline = 0;  // threadNanos()
    enum class Reason { None, Memory, Time, Stopped } reason = Reason::None;

    [[noreturn]] void leave(Reason r) {
        reason = r;
        std::longjmp(jump, 1);
    }

    void* newChunk(size_t bytes) {
        auto* c = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + bytes));
        if (!c) leave(Reason::Memory);
        c->next = chunks;
        chunks = c;
        return c + 1;
    }

    static void* allocate(void* user, size_t size) {
        auto* b = static_cast<Budget*>(user);
        if (size > b->limit) b->leave(Reason::Memory);
        size = (std::max<size_t>(size, 1) + kAlign - 1) & ~(kAlign - 1);
        if (size > b->limit - b->used) b->leave(Reason::Memory);
        b->used += size;
        if ((++b->allocations & 1023) == 0) {
            if (threadNanos() > b->deadline) b->leave(Reason::Time);
            if (readStopped()) b->leave(Reason::Stopped);
        }
        if (size > kChunkBytes / 4) return b->newChunk(size);  // a large one on its own
        if (size > b->left) {
            b->at = static_cast<char*>(b->newChunk(kChunkBytes));
            b->left = kChunkBytes;
        }
        void* p = b->at;
        b->at += size;
        b->left -= size;
        return p;
    }

    static void release(void*, void*) {}

    void releaseAll() {
        while (chunks) {
            Chunk* next = chunks->next;
            std::free(chunks);
            chunks = next;
        }
        at = nullptr;
        left = used = 0;
    }
};

namespace {

// setjmp's frame holds nothing with a destructor: the parser is C, and the allocation hook
// leaves only from its own trivially destroyed frame.
GumboOutput* parseGuarded(ParsedPage::Budget& budget, const GumboOptions* options, const char* text,
                          size_t size) {
    if (setjmp(budget.jump) != 0) {
        budget.releaseAll();
        return nullptr;
    }
    return gumbo_parse_with_options(options, text, size);
}

}  // namespace

Result<std::unique_ptr<ParsedPage>> ParsedPage::parse(std::string text, size_t memoryBudget) {
    std::unique_ptr<ParsedPage> page(new ParsedPage);
    page->text_ = std::move(text);
    page->budget_ = std::make_unique<Budget>();
    Budget& budget = *page->budget_;
    budget.limit = memoryBudget;
    budget.deadline =
        threadNanos() + kParseNanosBase + kParseNanosPerMiB * int64_t(page->text_.size() >> 20);
    page->options_ = kGumboDefaultOptions;
    page->options_.allocator = &Budget::allocate;
    page->options_.deallocator = &Budget::release;
    page->options_.userdata = &budget;
    page->options_.max_errors = 0;  // the parser's list of markup errors is not wanted
    page->output_ = parseGuarded(budget, &page->options_, page->text_.data(), page->text_.size());
    if (!page->output_) {
        if (budget.reason == Budget::Reason::Stopped) return fail(kReadStopped);
        if (budget.reason == Budget::Reason::Memory)
            return fail("网页中的元素太多，超出了可读取的范围。");
        return fail("网页的结构过于复杂（嵌套太深），无法读取。");
    }
    return page;
}

ParsedPage::~ParsedPage() {
    if (budget_) budget_->releaseAll();  // the whole tree at once
}

std::string nodeText(const GumboNode* node) {
    std::string out;
    std::vector<const GumboNode*> stack{node};
    while (!stack.empty()) {
        const GumboNode* n = stack.back();
        stack.pop_back();
        if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE ||
            n->type == GUMBO_NODE_CDATA) {
            out += n->v.text.text;
        } else if (n->type == GUMBO_NODE_ELEMENT || n->type == GUMBO_NODE_TEMPLATE) {
            const GumboVector& kids = n->v.element.children;
            for (size_t i = kids.length; i-- > 0;)
                stack.push_back(static_cast<const GumboNode*>(kids.data[i]));
        }
    }
    return out;
}

namespace {

// The charset a <meta> declares: charset="gbk", or http-equiv="Content-Type"
// content="text/html; charset=GBK".
std::string metaCharset(const GumboNode* root) {
    std::vector<const GumboNode*> stack{root};
    while (!stack.empty()) {
        const GumboNode* n = stack.back();
        stack.pop_back();
        if (n->type != GUMBO_NODE_ELEMENT && n->type != GUMBO_NODE_DOCUMENT) continue;
        if (n->type == GUMBO_NODE_ELEMENT && n->v.element.tag == GUMBO_TAG_META) {
            const GumboVector* attrs = &n->v.element.attributes;
            if (const GumboAttribute* a = gumbo_get_attribute(attrs, "charset"))
                return lowerAscii(a->value);
            const GumboAttribute* equiv = gumbo_get_attribute(attrs, "http-equiv");
            const GumboAttribute* content = gumbo_get_attribute(attrs, "content");
            if (equiv && content && lowerAscii(equiv->value) == "content-type") {
                std::string c = lowerAscii(content->value);
                size_t at = c.find("charset");
                if (at != std::string::npos) {
                    at = c.find_first_not_of(" \t", at + 7);
                    if (at != std::string::npos && c[at] == '=') {
                        size_t from = c.find_first_not_of(" \t\"'", at + 1);
                        if (from != std::string::npos) {
                            size_t to = c.find_first_of(" \t\"';", from);
                            return c.substr(from, to == std::string::npos ? to : to - from);
                        }
                    }
                }
            }
        }
        const GumboVector& kids =
            n->type == GUMBO_NODE_DOCUMENT ? n->v.document.children : n->v.element.children;
        for (size_t i = kids.length; i-- > 0;)
            stack.push_back(static_cast<const GumboNode*>(kids.data[i]));
    }
    return {};
}

// The iconv name of a declared charset; "" for UTF-8 (and for the UTF-16 a page in bytes of
// ASCII cannot be, read as UTF-8 as browsers do).
std::string iconvName(const std::string& declared) {
    static const char* const kGb[] = {"gbk",     "gb2312",   "gb18030",   "x-gbk",
                                      "cp936",   "ms936",    "euc-cn",    "windows-936",
                                      "gb_2312", "csgb2312", "gb_2312-80"};
    for (const char* g : kGb)
        if (declared == g) return "GB18030";
    if (declared == "big5" || declared == "x-x-big5" || declared == "cp950" || declared == "csbig5")
        return "CP950";
    if (declared == "big5-hkscs") return "BIG5-HKSCS";
    if (declared == "utf-8" || declared == "utf8" || declared.rfind("utf-16", 0) == 0) return "";
    if (declared == "iso-8859-1" || declared == "latin1" || declared == "us-ascii" ||
        declared == "ascii")
        return "CP1252";
    return declared;
}

// The first part of a page searched for its declared charset: an office page states it at the
// top of its head, before its long style block.
constexpr size_t kCharsetScan = 32 * 1024;

}  // namespace

std::optional<std::string> decodePage(std::string_view bytes) {
    auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
    if (starts("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
    if (starts("\xFF\xFE")) return text::utf16ToUtf8(bytes.substr(2), false);
    if (starts("\xFE\xFF")) return text::utf16ToUtf8(bytes.substr(2), true);

    // Valid UTF-8 is UTF-8 whatever the page declares: a page in GBK or Big5 of more than a few
    // characters is never valid UTF-8 (and one of ASCII alone reads the same either way), while
    // a page saved as UTF-8 under a template's "charset=gb2312" is common.
    if (text::isValidUtf8(bytes)) return std::string(bytes);
    std::string declared;
    {
        auto head = ParsedPage::parse(std::string(bytes.substr(0, kCharsetScan)), 64 << 20);
        if (head.ok()) declared = metaCharset(head.value()->root());
    }
    // A byte the declared charset leaves undefined is taken as Latin-1, as Windows does; a
    // charset this system does not know counts as none.
    const std::string name = declared.empty() ? std::string() : iconvName(declared);
    if (!name.empty())
        if (auto s = text::toUtf8Lenient(bytes, name.c_str())) return s;
    return text::toUtf8(bytes, "GB18030");
}

}  // namespace ss::html

namespace ss {

bool looksLikeHtml(std::string_view head) {
    using html::isSpace;
    using html::lowerAscii;
    std::string converted;
    if (head.substr(0, 3) == "\xEF\xBB\xBF") {
        head.remove_prefix(3);
    } else if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") {
        std::string_view body = head.substr(2);
        converted = text::utf16ToUtf8(body.substr(0, body.size() & ~size_t(1)), head[0] == '\xFE');
        head = converted;
    }
    size_t i = 0;
    for (;;) {
        while (i < head.size() && isSpace(head[i])) ++i;
        if (head.compare(i, 4, "<!--") == 0) {
            size_t end = head.find("-->", i + 4);
            if (end == std::string_view::npos) return false;
            i = end + 3;
        } else if (head.compare(i, 2, "<?") == 0) {  // an XML declaration (XHTML)
            size_t end = head.find("?>", i + 2);
            if (end == std::string_view::npos) return false;
            i = end + 2;
        } else {
            break;
        }
    }
    if (i >= head.size() || head[i] != '<') return false;
    std::string rest = lowerAscii(head.substr(i + 1, 16));
    static const char* const kOpenings[] = {"!doctype html", "html", "head",  "meta",
                                            "title",         "body", "table", "style"};
    for (const char* open : kOpenings) {
        std::string_view o = open;
        if (rest.compare(0, o.size(), o) != 0) continue;
        if (rest.size() == o.size()) return true;
        char after = rest[o.size()];
        if (isSpace(after) || after == '>' || after == '/') return true;
    }
    return false;
}

}  // namespace ss
