// The shared strings part: the texts of the written cells, in the order of their first use.
#include <string>
#include <string_view>

#include "write_internal.h"

namespace ss {

namespace {

using xml::appendXstring;

void appendText(std::string& out, std::string_view s) {
    out += "<t";
    if (!s.empty() && (s.front() == ' ' || s.back() == ' ' || s.front() == '\n' ||
                       s.back() == '\n' || s.front() == '\t' || s.back() == '\t'))
        out += " xml:space=\"preserve\"";
    out += '>';
    appendXstring(out, s);
    out += "</t>";
}

}  // namespace

void stringsPart(const SharedStrings& ss, const StringPlan& p, xlsx::PartDeflater& sink) {
    std::string& out = sink.out();
    out = kXmlDecl;
    out += "<sst xmlns=\"";
    out += kMainNs;
    out += '"';
    attrU(out, "count", p.refs);
    attrU(out, "uniqueCount", p.order.size());
    out += '>';
    for (uint32_t i : p.order) {
        out += "<si>";
        if (const auto* runs = ss.runs(i)) {
            for (const RichRun& r : *runs) {
                out += "<r>";
                if (r.font) {
                    out += "<rPr>";
                    writeFontBody(out, *r.font, true);
                    out += "</rPr>";
                }
                appendText(out, r.text);
                out += "</r>";
            }
        } else {
            appendText(out, ss.text(i));
        }
        out += "</si>";
        sink.flushIfFull();
    }
    out += "</sst>";
}

}  // namespace ss
