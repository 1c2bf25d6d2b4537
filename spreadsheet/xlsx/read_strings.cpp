// The table of shared strings: its items, plain or rich, taken whole from the fast scanner where
// it can.
#include <algorithm>

#include "read_internal.h"

namespace ss::xlsx::detail {

namespace {

class SstHandler : public SaxHandler {
public:
    SstHandler(SharedStrings& ss, std::vector<uint32_t>& map) : ss_(ss), map_(map) {}
    void start(std::string_view name, const char** atts) override {
        if (name == "sst") {
            // uniqueCount is a hint only; never trust it for an allocation beyond reason.
            uint32_t n = parseU32(attr(atts, "uniqueCount"), 0);
            map_.reserve(std::min<uint32_t>(n, 1u << 20));
        } else if (name == "si") {
            inSi_ = true;
            item_.reset();
        } else if (inSi_) {
            item_.start(name, atts);
        }
    }
    void end(std::string_view name) override {
        if (name == "si") {
            inSi_ = false;
            map_.push_back(item_.addTo(ss_, true));
        } else if (inSi_) {
            item_.end(name);
        }
    }
    void text(const char* s, int n) override {
        if (inSi_) item_.text(s, n);
    }

    // The scanner's items, with the meaning of start, end and text.
    bool readsStringTable() const override { return true; }
    bool acceptsFastRows() const override { return !inSi_ && failure.empty(); }
    bool takesScannedRows() const override { return true; }
    void row(const xlsx::ScannedRow& r) override {
        using E = xlsx::ScannedRow::Elem;
        using K = xlsx::ScannedRow::Kind;
        static const char* kNoAtts[] = {nullptr};
        // The common item, <si><t>text</t></si>, goes into the table straight from the
        // scanner's buffer.
        const xlsx::ScannedRow::Event* ev = r.events;
        if (!inSi_ && r.eventCount == 5 && ev[0].elem == E::Si && ev[1].kind == K::Start &&
            ev[2].kind == K::Text && ev[3].kind == K::End && ev[4].elem == E::Si) {
            map_.push_back(addXstring(ss_, r.text(ev[2]), true));
            return;
        }
        for (const xlsx::ScannedRow::Event& e : r) {
            if (e.kind == K::Text) {
                if (inSi_) item_.text(r.buf + e.off, int(e.len));
            } else if (e.elem == E::Si) {
                if (e.kind == K::Start) {
                    inSi_ = true;
                    item_.reset();
                } else {
                    inSi_ = false;
                    map_.push_back(item_.addTo(ss_, true));
                }
            } else if (inSi_) {  // <t>, <rPh>, <phoneticPr>: their attributes play no part
                if (e.kind == K::Start)
                    item_.start(kItemNames[size_t(e.elem)], kNoAtts);
                else
                    item_.end(kItemNames[size_t(e.elem)]);
            }
        }
    }

private:
    SharedStrings& ss_;
    std::vector<uint32_t>& map_;
    StringItemReader item_;
    bool inSi_ = false;
};

}  // namespace

Status readSharedStrings(ZipReader& zip, const std::string& part, SharedStrings& strings,
                         std::vector<uint32_t>& map) {
    SstHandler h(strings, map);
    return xlsx::parsePart(zip, part, h);
}

}  // namespace ss::xlsx::detail
