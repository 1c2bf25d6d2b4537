// The view settings of an OpenDocument spreadsheet (settings.xml): which table is active and
// where each table's panes are frozen.
#include <charconv>
#include <cstring>

#include "ods_internal.h"

namespace ss::ods {

namespace {

// The config:name of a start tag, whatever its prefix.
const char* configName(const char** atts) {
    for (const char** a = atts; *a; a += 2)
        if (xml::splitPrefixed(a[0]).local == "name") return a[1];
    return nullptr;
}

}  // namespace

void SettingsReader::start(xml::QName name, const char** atts) {
    ++depth_;
    const std::string_view local = name.local;
    const char* n = configName(atts);
    if (local == "config-item-map-named" && n && std::strcmp(n, "Tables") == 0 && !tablesDepth_) {
        tablesDepth_ = depth_;
    } else if (local == "config-item-map-entry" && tablesDepth_ && depth_ == tablesDepth_ + 1) {
        entryDepth_ = depth_;
        entry_ = n ? n : "";
        hMode_ = vMode_ = 0;
        hPos_ = vPos_ = 0;
    } else if (local == "config-item" && n) {
        inItem_ = true;
        item_ = n;
        value_.clear();
    }
}

void SettingsReader::end(xml::QName name) {
    const std::string_view local = name.local;
    if (local == "config-item" && inItem_) {
        inItem_ = false;
        uint32_t v = 0;
        std::from_chars(value_.data(), value_.data() + value_.size(), v);
        if (entryDepth_ && depth_ == entryDepth_ + 1) {
            if (item_ == "HorizontalSplitMode") hMode_ = int(v);
            if (item_ == "VerticalSplitMode") vMode_ = int(v);
            if (item_ == "HorizontalSplitPosition") hPos_ = v;
            if (item_ == "VerticalSplitPosition") vPos_ = v;
        } else if (!tablesDepth_ && item_ == "ActiveTable") {
            out_.activeTable = value_;
        }
    } else if (entryDepth_ && depth_ == entryDepth_) {
        // Mode 2 freezes the panes at the position: columns left of it, rows above it.
        ViewSettings::Table t;
        if (hMode_ == 2) t.frozenCols = hPos_;
        if (vMode_ == 2) t.frozenRows = vPos_;
        if (t.frozenCols || t.frozenRows) out_.tables[entry_] = t;
        entryDepth_ = 0;
    } else if (tablesDepth_ && depth_ == tablesDepth_) {
        tablesDepth_ = 0;
    }
    --depth_;
}

}  // namespace ss::ods
