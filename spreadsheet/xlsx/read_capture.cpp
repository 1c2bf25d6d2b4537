// Capturing a part's elements verbatim, re-serialised to be written back under the writer's
// own namespace declarations.
#include <cstring>

#include "../text/xml_text.h"
#include "read_internal.h"

namespace ss::xlsx::detail {

void Capture::begin(std::string_view name, const char** atts) {
    xml_.clear();
    depth_ = 0;
    skip_ = 0;
    children_ = 0;
    element_ = std::string(name);
    start(name, atts);
}

void Capture::start(std::string_view name, const char** atts) {
    if (skip_) {
        ++skip_;
        inRuleId_ = ruleExt_ && name == "id";
        return;
    }
    std::string link;
    if (name == "hyperlink") {
        if (const char* id = prefixedId(atts)) {
            if (linkId) link = linkId(id);
            if (link.empty()) {
                skip_ = 1;
                return;
            }
        }
    }
    if (name == "extLst") {
        // A rule's own list holds only the id that ties it to its 2010 twin in the sheet's
        // extension list (a data bar's look); that id is kept.
        skip_ = 1;
        ruleExt_ = element_ == "conditionalFormatting";
        ruleId_.clear();
        return;
    }
    if (depth_ == 1) ++children_;
    closePending();
    xml_ += '<';
    xml_ += name;
    if (!link.empty()) {
        xml_ += " r:id=\"";
        xml::appendXstring(xml_, link, true);
        xml_ += '"';
    }
    for (const char** a = atts; *a; a += 2) {
        const char* q = a[0];
        const char* colon = std::strchr(q, ':');
        if (colon && std::strncmp(q, "xml:", 4) != 0) continue;
        if (element_ == "pageSetup" && xlsx::localName(q) == "id") continue;
        xml_ += ' ';
        xml_ += q;
        xml_ += "=\"";
        xml::appendXstring(xml_, a[1], true);
        xml_ += '"';
    }
    pending_ = true;
    ++depth_;
}

bool Capture::end(std::string_view name) {
    if (skip_) {
        inRuleId_ = false;
        if (--skip_ == 0 && ruleExt_) {
            ruleExt_ = false;
            if (!ruleId_.empty()) {
                closePending();
                xml_ +=
                    "<extLst><ext uri=\"{B025F937-C7B1-47D3-B67F-A62EFF666E3E}\" "
                    "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/"
                    "main\"><x14:id>";
                xml::appendEscaped(xml_, ruleId_);
                xml_ += "</x14:id></ext></extLst>";
            }
        }
        return false;
    }
    --depth_;
    if (pending_) {
        xml_ += "/>";
        pending_ = false;
    } else {
        xml_ += "</";
        xml_ += name;
        xml_ += '>';
    }
    return depth_ == 0;
}

const char* Capture::prefixedId(const char** atts) {
    for (const char** a = atts; *a; a += 2)
        if (std::strchr(a[0], ':') && xlsx::localName(a[0]) == "id") return a[1];
    return nullptr;
}

}  // namespace ss::xlsx::detail
