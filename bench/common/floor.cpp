#include "floor.h"

#include <isa-l/igzip_lib.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "bench_corpus.h"

namespace bench {

namespace {

// Calls fn(name, bytes, n, part) for each inflated piece of the chosen parts, and
// fn(name, nullptr, 0, part) at each part's end. Deflated entries are inflated with ISA-L from
// their stored bytes (as the reader does); others through libzip.
template <class Fn>
void eachPart(const std::filesystem::path& file, bool sheetsOnly, Fn fn) {
    zip_t* z = zip_open(file.c_str(), ZIP_RDONLY, nullptr);
    if (!z) return;
    std::vector<char> buf(1 << 16);
    std::vector<uint8_t> out(1 << 17);
    auto state = std::make_unique<inflate_state>();
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        std::string name = zip_get_name(z, zip_uint64_t(i), 0);
        bool sheet = name.rfind("xl/worksheets/", 0) == 0 || name == "xl/sharedStrings.xml";
        bool xml = name.size() > 4 && (name.ends_with(".xml") || name.ends_with(".rels"));
        if (sheetsOnly ? !sheet : !xml) continue;
        zip_stat_t st;
        zip_stat_init(&st);
        const bool raw = zip_stat_index(z, zip_uint64_t(i), 0, &st) == 0 &&
                         (st.valid & ZIP_STAT_COMP_METHOD) && st.comp_method == ZIP_CM_DEFLATE;
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), raw ? ZIP_FL_COMPRESSED : 0);
        if (!f) continue;
        std::string part;
        zip_int64_t got;
        if (!raw) {
            while ((got = zip_fread(f, buf.data(), buf.size())) > 0)
                fn(name, buf.data(), size_t(got), part);
        } else {
            isal_inflate_init(state.get());
            bool wantsInput = true;
            while (state->block_state != ISAL_BLOCK_FINISH) {
                if (state->avail_in == 0 && wantsInput) {
                    if ((got = zip_fread(f, buf.data(), buf.size())) <= 0) break;
                    state->next_in = reinterpret_cast<uint8_t*>(buf.data());
                    state->avail_in = uint32_t(got);
                }
                state->next_out = out.data();
                state->avail_out = uint32_t(out.size());
                if (isal_inflate(state.get()) != ISAL_DECOMP_OK) break;
                wantsInput = state->avail_out != 0;
                const size_t made = out.size() - state->avail_out;
                if (made) fn(name, reinterpret_cast<const char*>(out.data()), made, part);
            }
        }
        zip_fclose(f);
        fn(name, nullptr, 0, part);
    }
    zip_discard(z);
}

}  // namespace

InflateScan inflateAndScan(const std::vector<std::filesystem::path>& files) {
    InflateScan r;
    double t0 = now();
    for (const auto& f : files)
        eachPart(f, true, [&](const std::string&, const char* p, size_t n, std::string&) {
            if (!p) return;
            r.bytes += n;
            const char* end = p + n;
            while ((p = static_cast<const char*>(std::memchr(p, '<', size_t(end - p))))) {
                ++r.tags;
                ++p;
            }
        });
    r.seconds = now() - t0;
    return r;
}

std::vector<std::string> packageParts(const std::filesystem::path& file) {
    std::vector<std::string> out;
    eachPart(file, false, [&](const std::string&, const char* p, size_t n, std::string& part) {
        if (p)
            part.append(p, n);
        else
            out.push_back(std::move(part));
    });
    return out;
}

double deflateAll(const std::vector<std::string>& parts, int level, uint64_t& compressedBytes) {
    compressedBytes = 0;
    std::vector<unsigned char> out(1 << 16);
    double t0 = now();
    for (const std::string& p : parts) {
        z_stream zs{};
        deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);  // raw, as in a zip
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p.data()));
        zs.avail_in = uInt(p.size());
        int rc;
        do {
            zs.next_out = out.data();
            zs.avail_out = uInt(out.size());
            rc = deflate(&zs, Z_FINISH);
            compressedBytes += out.size() - zs.avail_out;
        } while (rc == Z_OK);
        deflateEnd(&zs);
    }
    return now() - t0;
}

double isalDeflateAll(const std::vector<std::string>& parts, uint64_t& compressedBytes, int level) {
    compressedBytes = 0;
    std::vector<uint8_t> out(1 << 16);
    std::vector<uint8_t> buffer(level <= 0   ? ISAL_DEF_LVL0_DEFAULT
                                : level == 1 ? ISAL_DEF_LVL1_DEFAULT
                                : level == 2 ? ISAL_DEF_LVL2_DEFAULT
                                             : ISAL_DEF_LVL3_DEFAULT);
    auto zs = std::make_unique<isal_zstream>();
    double t0 = now();
    for (const std::string& p : parts) {
        isal_deflate_init(zs.get());
        zs->level = uint32_t(std::clamp(level, 0, 3));
        zs->level_buf = buffer.data();
        zs->level_buf_size = uint32_t(buffer.size());
        zs->end_of_stream = 1;
        zs->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(p.data()));
        zs->avail_in = uint32_t(p.size());
        do {
            zs->next_out = out.data();
            zs->avail_out = uint32_t(out.size());
            if (isal_deflate(zs.get()) != COMP_OK) break;
            compressedBytes += out.size() - zs->avail_out;
        } while (zs->internal_state.state != ZSTATE_END);
    }
    return now() - t0;
}

}  // namespace bench
