#include "xml_stream.h"

#include <expat.h>

#include <algorithm>
#include <cstring>

namespace ss::xml {

QName splitName(const char* name) {
    const char* sp = std::strrchr(name, ' ');
    if (!sp) return {{}, name};
    return {std::string_view(name, size_t(sp - name)), sp + 1};
}

QName splitPrefixed(const char* name) {
    std::string_view n(name);
    size_t colon = n.find(':');
    if (colon == std::string_view::npos) return {{}, n};
    return {n.substr(0, colon), n.substr(colon + 1)};
}

struct StreamParser::Impl {
    XML_Parser parser = nullptr;
    StreamHandler* h = nullptr;
    uint32_t depth = 0, maxDepth = 0;
    bool namespaces = true;
    std::string failure;  // the parser's own reasons (depth, declarations)
};

namespace {

void stop(StreamParser::Impl* p, std::string why) {
    if (p->failure.empty()) p->failure = std::move(why);
    XML_StopParser(p->parser, XML_FALSE);
}

void XMLCALL onStart(void* data, const char* name, const char** atts) {
    auto* p = static_cast<StreamParser::Impl*>(data);
    if (++p->depth > p->maxDepth) {
        stop(p, "元素嵌套超过 " + std::to_string(p->maxDepth) + " 层，疑似恶意文件。");
        return;
    }
    p->h->start(p->namespaces ? splitName(name) : splitPrefixed(name), atts);
    if (!p->h->failure.empty()) XML_StopParser(p->parser, XML_FALSE);
}

void XMLCALL onEnd(void* data, const char* name) {
    auto* p = static_cast<StreamParser::Impl*>(data);
    --p->depth;
    p->h->end(p->namespaces ? splitName(name) : splitPrefixed(name));
    if (!p->h->failure.empty()) XML_StopParser(p->parser, XML_FALSE);
}

void XMLCALL onText(void* data, const char* s, int len) {
    auto* p = static_cast<StreamParser::Impl*>(data);
    p->h->text(std::string_view(s, size_t(len)));
    if (!p->h->failure.empty()) XML_StopParser(p->parser, XML_FALSE);
}

void XMLCALL onDoctype(void* data, const char*, const char*, const char*, int) {
    stop(static_cast<StreamParser::Impl*>(data), "含有文档类型声明（DTD），出于安全原因拒绝读取。");
}

}  // namespace

StreamParser::StreamParser(StreamHandler& h, bool namespaces, uint32_t maxDepth) : impl_(new Impl) {
    impl_->h = &h;
    impl_->maxDepth = maxDepth;
    impl_->namespaces = namespaces;
    impl_->parser = namespaces ? XML_ParserCreateNS(nullptr, ' ') : XML_ParserCreate(nullptr);
    if (!impl_->parser) return;
    XML_SetUserData(impl_->parser, impl_);
    XML_SetElementHandler(impl_->parser, onStart, onEnd);
    XML_SetCharacterDataHandler(impl_->parser, onText);
    XML_SetStartDoctypeDeclHandler(impl_->parser, onDoctype);
    XML_SetParamEntityParsing(impl_->parser, XML_PARAM_ENTITY_PARSING_NEVER);
}

StreamParser::~StreamParser() {
    if (impl_->parser) XML_ParserFree(impl_->parser);
    delete impl_;
}

bool StreamParser::feed(const char* data, size_t size, bool last) {
    if (!impl_->parser) {
        impl_->failure = "内存不足。";
        return false;
    }
    while (size > 0 || last) {
        const size_t piece = std::min<size_t>(size, size_t(1) << 30);
        const bool end = last && piece == size;
        if (XML_Parse(impl_->parser, data, int(piece), end) != XML_STATUS_OK) return false;
        data += piece;
        size -= piece;
        if (end) break;
    }
    return true;
}

std::string StreamParser::reason() const {
    if (!impl_->h->failure.empty()) return impl_->h->failure;
    if (!impl_->failure.empty()) return impl_->failure;
    if (!impl_->parser) return "内存不足。";
    return "XML 格式错误（第 " + std::to_string(XML_GetCurrentLineNumber(impl_->parser)) + " 行：" +
           XML_ErrorString(XML_GetErrorCode(impl_->parser)) + "）。";
}

}  // namespace ss::xml
