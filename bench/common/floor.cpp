#include "floor.h"

#include <zip.h>
#include <zlib.h>

#include <cstring>

#include "bench_corpus.h"

namespace bench {

namespace {

template <class Fn>
void eachPart(const std::filesystem::path& file, bool sheetsOnly, Fn fn) {
    zip_t* z = zip_open(file.c_str(), ZIP_RDONLY, nullptr);
    if (!z) return;
    std::vector<char> buf(1 << 16);
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        std::string name = zip_get_name(z, zip_uint64_t(i), 0);
        bool sheet = name.rfind("xl/worksheets/", 0) == 0 || name == "xl/sharedStrings.xml";
        bool xml = name.size() > 4 && (name.ends_with(".xml") || name.ends_with(".rels"));
        if (sheetsOnly ? !sheet : !xml) continue;
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        if (!f) continue;
        std::string part;
        zip_int64_t got;
        while ((got = zip_fread(f, buf.data(), buf.size())) > 0)
            fn(name, buf.data(), size_t(got), part);
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

}  // namespace bench
