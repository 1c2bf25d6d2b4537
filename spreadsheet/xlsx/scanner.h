// Internal to reading parts (package.cpp, sheet_scanner.cpp): the parse of one part by expat and
// the state its handlers keep; the fast scanner's feeder hands it what it does not read itself.
#pragma once

#include <expat.h>

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "package.h"

namespace ss::xlsx {

// What expat's handlers (package.cpp) keep while a part is parsed.
struct Context {
    XML_Parser parser;
    SaxHandler* h;
    int skipDepth = 0;  // > 0 inside an mc:Choice branch
    int depth = 0;      // open elements, all of them
    int maxDepth = 0;   // more open elements stop the parse (tooDeep)
    bool tooDeep = false;
    // The element whose children the fast scanner reads (<sheetData> inside the root, or the
    // root <sst>), and whether the last event was its start, unprefixed, at that depth.
    const char* listName = "sheetData";
    int listDepth = 2;
    bool atList = false;
    std::string failure;
    int rawDepth = 0;         // > 0 inside an element the handler takes as text
    bool rawPending = false;  // the last start tag is not closed yet
    std::string raw, rawName;
    // What a handler threw: expat is stopped and the exception goes on from XML_Parse's caller
    // (never through expat's own frames).
    std::exception_ptr thrown;
};

// One part through expat and the handler, its handlers resolving the markup-compatibility
// wrappers and extension lists and taking raw elements as text.
class Parser {
public:
    // Sets expat's handlers up (package.cpp); more than `maxDepth` open elements are refused.
    Parser(std::string_view part, SaxHandler& h, uint32_t maxDepth = ReadLimits{}.maxXmlDepth);
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
                if (ctx_.thrown) std::rethrow_exception(std::exchange(ctx_.thrown, nullptr));
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
    // The scanner reads the items of the string table (its root's children) instead of rows.
    void readItems() {
        ctx_.listName = "sst";
        ctx_.listDepth = 1;
    }
    // Just after the start tag of the list the scanner reads (<sheetData> directly inside the
    // root, or the root <sst>), outside any skipped branch, with nothing failed.
    bool atListStart() const {
        return status_.ok() && ctx_.atList && ctx_.depth == ctx_.listDepth && ctx_.skipDepth == 0;
    }
    // The handler failed on rows the fast scanner gave it.
    void handlerFailed() { status_ = makeError(); }
    // The parse stopped at the nesting limit.
    bool tooDeep() const { return ctx_.tooDeep; }

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

}  // namespace ss::xlsx
