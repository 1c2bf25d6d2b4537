// Feeds arbitrary bytes to the OpenDocument reader: as a package, and (so that the mutations
// reach the XML rather than break the zip's checksums) as the content.xml of a package made
// around them. Then touches every cell it read.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "spreadsheet/ods/ods.h"

namespace {

// A stored zip of "mimetype" and content.xml = `content`; empty when libzip fails.
std::string packageAround(const uint8_t* content, size_t size) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!src) return {};
    zip_source_keep(src);
    zip_t* z = zip_open_from_source(src, ZIP_TRUNCATE, &error);
    std::string out;
    if (z) {
        static const char kMime[] = "application/vnd.oasis.opendocument.spreadsheet";
        zip_source_t* m = zip_source_buffer(z, kMime, sizeof kMime - 1, 0);
        zip_source_t* c = zip_source_buffer(z, content, size, 0);
        zip_int64_t mi = zip_file_add(z, "mimetype", m, 0);
        zip_int64_t ci = zip_file_add(z, "content.xml", c, 0);
        if (mi >= 0) zip_set_file_compression(z, zip_uint64_t(mi), ZIP_CM_STORE, 0);
        if (ci >= 0) zip_set_file_compression(z, zip_uint64_t(ci), ZIP_CM_STORE, 0);
        if (zip_close(z) != 0) zip_discard(z);
        zip_stat_t st;
        if (zip_source_stat(src, &st) == 0 && zip_source_open(src) == 0) {
            out.resize(size_t(st.size));
            if (zip_source_read(src, out.data(), st.size) != zip_int64_t(st.size)) out.clear();
            zip_source_close(src);
        }
    }
    zip_source_free(src);
    zip_error_fini(&error);
    return out;
}

size_t touch(const ss::Workbook& wb) {
    size_t chars = 0;
    for (const auto& ws : wb.sheets)
        for (const ss::Row& r : ws->rows())
            for (const ss::Cell& c : r.cells) {
                chars += wb.cellText(c).size();
                if (const ss::Formula* f = ws->formula(r.index, c.col)) chars += f->text.size();
            }
    for (const ss::DefinedName& n : wb.names) chars += n.formula.size();
    return chars;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ss::ReadLimits limits;
    limits.maxPartBytes = 64u << 20;
    limits.maxTotalBytes = 256u << 20;
    limits.maxCells = 1'000'000;
    size_t chars = 0;
    if (size > 0 && data[0] == '<') {
        const std::string package = packageAround(data, size);
        auto wb = ss::readOdsMemory(package.data(), package.size(), limits);
        if (wb.ok()) chars += touch(**wb);
    } else {
        auto wb = ss::readOdsMemory(data, size, limits);
        if (wb.ok()) chars += touch(**wb);
    }
    return chars == SIZE_MAX;
}
