#include "cfb.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"

namespace ss::cfb {

namespace {

// Special sector numbers ([MS-CFB] 2.1).
constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSect = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

const char* const kDamaged = "文件已损坏（复合文档结构无法读取）。";

}  // namespace

// Follows a sector chain through an allocation table. A chain that loops, leaves the table or
// is longer than `limit` sectors is an error ([MS-CFB] 2.3: chains end with ENDOFCHAIN).
Result<std::vector<uint32_t>> CompoundFile::chain(uint32_t start,
                                                  const std::vector<uint32_t>& table,
                                                  size_t limit) const {
    std::vector<uint32_t> out;
    uint32_t s = start;
    while (s != kEndOfChain) {
        if (s > kMaxRegSect || s >= table.size() || out.size() >= limit ||
            out.size() >= table.size())
            return fail(kDamaged);
        out.push_back(s);
        s = table[s];
    }
    return out;
}

// [MS-CFB] 2.2 header, 2.5 DIFAT, 2.3 FAT, 2.4 mini FAT, 2.6 directory.
Result<CompoundFile> CompoundFile::parse(std::string_view file) {
    CompoundFile cf;
    cf.file_ = file;
    bin::ByteCursor h(file);
    if (file.size() < 512 || std::memcmp(file.data(), kSignature, 8) != 0)
        return fail("内容不是受支持的表格文件（xlsx、xlsm、xls、csv）。");
    h.seek(26);
    uint16_t major = h.u16();
    uint16_t byteOrder = h.u16();
    uint16_t sectorShift = h.u16();
    uint16_t miniShift = h.u16();
    if (byteOrder != 0xFFFE || (major != 3 && major != 4) ||
        (sectorShift != 9 && sectorShift != 12) || miniShift != 6)
        return fail(kDamaged);
    cf.sectorSize_ = 1u << sectorShift;
    cf.miniSectorSize_ = 1u << miniShift;
    h.seek(44);
    uint32_t numFat = h.u32();
    uint32_t firstDir = h.u32();
    h.u32();  // transaction signature
    cf.miniCutoff_ = h.u32();
    uint32_t firstMiniFat = h.u32();
    uint32_t numMiniFat = h.u32();
    uint32_t firstDifat = h.u32();
    uint32_t numDifat = h.u32();
    if (cf.miniCutoff_ != 4096) return fail(kDamaged);

    const uint64_t sectorCount = (file.size() + cf.sectorSize_ - 1) / cf.sectorSize_ - 1;
    const uint32_t perSector = cf.sectorSize_ / 4;
    if (numFat > sectorCount) return fail(kDamaged);

    // FAT sector numbers: 109 in the header, the rest in the DIFAT chain.
    std::vector<uint32_t> fatSectors;
    for (int i = 0; i < 109 && fatSectors.size() < numFat; ++i) fatSectors.push_back(h.u32());
    uint32_t d = firstDifat;
    for (uint32_t k = 0; k < numDifat && fatSectors.size() < numFat; ++k) {
        if (d >= sectorCount) return fail(kDamaged);
        bin::ByteCursor c(
            file.data() + uint64_t(d + 1) * cf.sectorSize_,
            std::min<uint64_t>(cf.sectorSize_, file.size() - uint64_t(d + 1) * cf.sectorSize_));
        for (uint32_t i = 0; i + 1 < perSector && fatSectors.size() < numFat; ++i)
            fatSectors.push_back(c.u32());
        d = c.u32();
        if (!c.ok()) return fail(kDamaged);
    }
    if (fatSectors.size() < numFat) return fail(kDamaged);

    cf.fat_.reserve(size_t(numFat) * perSector);
    for (uint32_t s : fatSectors) {
        if (s >= sectorCount) return fail(kDamaged);
        uint64_t off = uint64_t(s + 1) * cf.sectorSize_;
        bin::ByteCursor c(file.data() + off, std::min<uint64_t>(cf.sectorSize_, file.size() - off));
        for (uint32_t i = 0; i < perSector; ++i) cf.fat_.push_back(c.has(4) ? c.u32() : kFreeSect);
    }
    // Sectors past the end of the file cannot be read.
    if (cf.fat_.size() > sectorCount) cf.fat_.resize(size_t(sectorCount));

    // Directory.
    auto dirChain = cf.chain(firstDir, cf.fat_, cf.fat_.size());
    if (!dirChain) return dirChain.error();
    std::string dirBytes;
    for (uint32_t s : *dirChain) {
        uint64_t off = uint64_t(s + 1) * cf.sectorSize_;
        dirBytes.append(file.substr(off, cf.sectorSize_));
    }
    bin::ByteCursor dc(dirBytes);
    while (dc.remaining() >= 128) {
        Entry e;
        std::string_view name = dc.bytes(64);
        uint16_t nameLen = dc.u16();
        e.type = dc.u8();
        dc.u8();  // colour
        e.left = dc.u32();
        e.right = dc.u32();
        e.child = dc.u32();
        dc.skip(16 + 4 + 16);  // CLSID, state bits, times
        e.start = dc.u32();
        e.size = dc.u64();
        if (major == 3) e.size &= 0xFFFFFFFFu;
        size_t units = std::min<size_t>(nameLen / 2, 32);
        for (size_t i = 0; i < units; ++i) {
            char16_t u = char16_t(uint8_t(name[2 * i]) | (uint8_t(name[2 * i + 1]) << 8));
            if (u == 0) break;
            e.name += u;
        }
        cf.dir_.push_back(std::move(e));
    }
    if (cf.dir_.empty() || cf.dir_[0].type != 5) return fail(kDamaged);

    // Mini FAT and the mini stream (the root entry's chain).
    if (numMiniFat > 0 && firstMiniFat != kEndOfChain) {
        auto mc = cf.chain(firstMiniFat, cf.fat_, numMiniFat);
        if (!mc) return mc.error();
        for (uint32_t s : *mc) {
            uint64_t off = uint64_t(s + 1) * cf.sectorSize_;
            bin::ByteCursor c(file.data() + off,
                              std::min<uint64_t>(cf.sectorSize_, file.size() - off));
            for (uint32_t i = 0; i < perSector; ++i)
                cf.miniFat_.push_back(c.has(4) ? c.u32() : kFreeSect);
        }
    }
    const Entry& root = cf.dir_[0];
    if (root.size > 0 && !cf.miniFat_.empty()) {
        if (root.size > file.size()) return fail(kDamaged);
        auto ms = cf.readChain(root.start, root.size, false);
        if (!ms) return ms.error();
        cf.miniStream_ = std::move(*ms);
    }
    return cf;
}

// The root's children form a red-black tree through left/right siblings ([MS-CFB] 2.6.4); the
// walk visits each entry at most once, whatever the links say.
std::optional<uint32_t> CompoundFile::findStream(std::string_view name) const {
    auto same = [&](const std::u16string& n) {
        if (n.size() != name.size()) return false;
        for (size_t i = 0; i < n.size(); ++i) {
            char16_t a = n[i];
            char b = name[i];
            if (a >= 'a' && a <= 'z') a = char16_t(a - 32);
            if (b >= 'a' && b <= 'z') b = char(b - 32);
            if (a != char16_t(static_cast<unsigned char>(b))) return false;
        }
        return true;
    };
    std::vector<uint32_t> stack{dir_[0].child};
    std::vector<bool> seen(dir_.size(), false);
    while (!stack.empty()) {
        uint32_t i = stack.back();
        stack.pop_back();
        if (i == kNoStream || i >= dir_.size() || seen[i]) continue;
        seen[i] = true;
        const Entry& e = dir_[i];
        if (e.type == 2 && same(e.name)) return i;
        stack.push_back(e.left);
        stack.push_back(e.right);
    }
    return std::nullopt;
}

Result<std::string> CompoundFile::readChain(uint32_t start, uint64_t size, bool mini) const {
    const uint32_t unit = mini ? miniSectorSize_ : sectorSize_;
    const std::vector<uint32_t>& table = mini ? miniFat_ : fat_;
    size_t need = size_t((size + unit - 1) / unit);
    auto sectors = chain(start, table, need);
    if (!sectors) return sectors.error();
    if (sectors->size() < need) return fail(kDamaged);
    std::string out;
    out.reserve(size_t(size));
    for (uint32_t s : *sectors) {
        size_t want = std::min<uint64_t>(unit, size - out.size());
        if (mini) {
            uint64_t off = uint64_t(s) * unit;
            if (off + want > miniStream_.size()) return fail(kDamaged);
            out.append(miniStream_, size_t(off), want);
        } else {
            uint64_t off = uint64_t(s + 1) * unit;
            if (off >= file_.size()) return fail(kDamaged);
            std::string_view part = file_.substr(size_t(off), want);
            out.append(part);
            if (part.size() < want) out.append(want - part.size(), '\0');  // short last sector
        }
    }
    return out;
}

Result<std::string> CompoundFile::readStream(uint32_t entry, uint64_t maxBytes) const {
    if (entry >= dir_.size()) return fail(kDamaged);
    const Entry& e = dir_[entry];
    if (e.size > maxBytes) return fail("文件太大。");
    if (e.size == 0) return std::string();
    bool mini = e.size < miniCutoff_;
    if (!mini && e.size > file_.size()) return fail(kDamaged);
    return readChain(e.start, e.size, mini);
}

// Layout of the written file: FAT sectors, DIFAT sectors, directory sectors, the mini FAT and
// the mini stream (when streams live there), then each regular stream in consecutive sectors
// ([MS-CFB] 2.2-2.6, version 3).
std::string build(const std::vector<std::pair<std::string, std::string>>& streams,
                  bool miniStreams) {
    constexpr uint32_t kSector = 512, kPer = kSector / 4, kMini = 64, kCutoff = 4096;
    std::vector<uint64_t> sizes;
    std::vector<bool> inMini;
    uint64_t dataSectors = 0;
    uint32_t miniSectors = 0;
    for (auto& [name, data] : streams) {
        bool mini = miniStreams && data.size() < kCutoff;
        uint64_t n = mini ? data.size() : std::max<uint64_t>(data.size(), kCutoff);
        inMini.push_back(mini);
        sizes.push_back(n);
        if (mini)
            miniSectors += uint32_t((n + kMini - 1) / kMini);
        else
            dataSectors += (n + kSector - 1) / kSector;
    }
    const uint32_t miniFatSectors = (miniSectors + kPer - 1) / kPer;
    const uint32_t miniStreamSectors = (miniSectors * kMini + kSector - 1) / kSector;
    dataSectors += miniFatSectors + miniStreamSectors;
    const uint32_t entries = uint32_t(streams.size()) + 1;
    const uint32_t dirSectors = (entries + 3) / 4;
    uint32_t fatSectors = 1, difatSectors = 0;
    for (;;) {
        difatSectors = fatSectors > 109 ? (fatSectors - 109 + kPer - 2) / (kPer - 1) : 0;
        uint64_t total = dataSectors + dirSectors + fatSectors + difatSectors;
        if (uint64_t(fatSectors) * kPer >= total) break;
        ++fatSectors;
    }
    const uint32_t firstDifat = fatSectors;
    const uint32_t firstDir = fatSectors + difatSectors;
    uint32_t next = firstDir;

    std::vector<uint32_t> fat(size_t(fatSectors) * kPer, kFreeSect);
    for (uint32_t i = 0; i < fatSectors; ++i) fat[i] = kFatSect;
    for (uint32_t i = 0; i < difatSectors; ++i) fat[firstDifat + i] = kDifSect;
    auto run = [&](uint32_t count) {
        uint32_t start = next;
        for (uint32_t i = 0; i < count; ++i)
            fat[next + i] = i + 1 < count ? next + i + 1 : kEndOfChain;
        next += count;
        return count ? start : kEndOfChain;
    };
    run(dirSectors);
    const uint32_t firstMiniFat = run(miniFatSectors);
    const uint32_t firstMiniStream = run(miniStreamSectors);
    std::vector<uint32_t> starts, miniFat;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (!inMini[i]) {
            starts.push_back(run(uint32_t((sizes[i] + kSector - 1) / kSector)));
            continue;
        }
        uint32_t count = uint32_t((sizes[i] + kMini - 1) / kMini);
        uint32_t start = uint32_t(miniFat.size());
        for (uint32_t k = 0; k < count; ++k)
            miniFat.push_back(k + 1 < count ? start + k + 1 : kEndOfChain);
        starts.push_back(count ? start : kEndOfChain);
    }
    miniFat.resize(size_t(miniFatSectors) * kPer, kFreeSect);

    std::string out;
    out.reserve(size_t(next + 1) * kSector);
    // Header.
    out.append(reinterpret_cast<const char*>(kSignature), 8);
    out.append(16, '\0');     // CLSID
    bin::put16(out, 0x003E);  // minor version
    bin::put16(out, 0x0003);  // major version
    bin::put16(out, 0xFFFE);  // byte order
    bin::put16(out, 9);       // sector shift
    bin::put16(out, 6);       // mini sector shift
    out.append(6, '\0');
    bin::put32(out, 0);  // directory sectors (0 in version 3)
    bin::put32(out, fatSectors);
    bin::put32(out, firstDir);
    bin::put32(out, 0);             // transaction signature
    bin::put32(out, kCutoff);       // mini stream cutoff
    bin::put32(out, firstMiniFat);  // mini FAT
    bin::put32(out, miniFatSectors);
    bin::put32(out, difatSectors ? firstDifat : kEndOfChain);
    bin::put32(out, difatSectors);
    for (uint32_t i = 0; i < 109; ++i) bin::put32(out, i < fatSectors ? i : kFreeSect);
    // FAT.
    for (uint32_t v : fat) bin::put32(out, v);
    // DIFAT: FAT sector numbers from 109 on, 127 per sector plus the next DIFAT sector.
    uint32_t listed = 109;
    for (uint32_t k = 0; k < difatSectors; ++k) {
        for (uint32_t i = 0; i < kPer - 1; ++i, ++listed)
            bin::put32(out, listed < fatSectors ? listed : kFreeSect);
        bin::put32(out, k + 1 < difatSectors ? firstDifat + k + 1 : kEndOfChain);
    }
    // Directory.
    auto entry = [&](const std::string& name, uint8_t type, uint32_t left, uint32_t right,
                     uint32_t child, uint32_t start, uint64_t size) {
        std::string n;
        for (char c : name) bin::put16(n, uint8_t(c));
        size_t nameBytes = name.empty() ? 0 : n.size() + 2;
        n.resize(64, '\0');
        out += n;
        bin::put16(out, uint16_t(nameBytes));
        bin::put8(out, type);
        bin::put8(out, 1);  // black
        bin::put32(out, left);
        bin::put32(out, right);
        bin::put32(out, child);
        out.append(16 + 4 + 16, '\0');
        bin::put32(out, start);
        bin::put64(out, size);
    };
    // Siblings as a degenerate (all-black, right-leaning) tree, ordered as the format compares
    // names: shorter first, then by upper-cased code unit.
    std::vector<uint32_t> order(streams.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    auto upper = [](std::string s) {
        for (char& c : s)
            if (c >= 'a' && c <= 'z') c = char(c - 32);
        return s;
    };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const std::string &x = streams[a].first, &y = streams[b].first;
        if (x.size() != y.size()) return x.size() < y.size();
        return upper(x) < upper(y);
    });
    std::vector<uint32_t> rightOf(streams.size(), kNoStream);
    for (size_t k = 0; k + 1 < order.size(); ++k) rightOf[order[k]] = order[k + 1] + 1;
    entry("Root Entry", 5, kNoStream, kNoStream, order.empty() ? kNoStream : order[0] + 1,
          firstMiniStream, uint64_t(miniSectors) * kMini);
    for (size_t i = 0; i < streams.size(); ++i)
        entry(streams[i].first, 2, kNoStream, rightOf[i], kNoStream, starts[i], sizes[i]);
    for (uint32_t i = entries; i < dirSectors * 4; ++i)
        entry("", 0, kNoStream, kNoStream, kNoStream, 0, 0);
    // The mini FAT and the mini stream.
    for (uint32_t v : miniFat) bin::put32(out, v);
    size_t miniStart = out.size();
    for (size_t i = 0; i < streams.size(); ++i) {
        if (!inMini[i]) continue;
        out += streams[i].second;
        out.append(size_t((sizes[i] + kMini - 1) / kMini * kMini - sizes[i]), '\0');
    }
    out.append(size_t(miniStreamSectors) * kSector - (out.size() - miniStart), '\0');
    // Streams.
    for (size_t i = 0; i < streams.size(); ++i) {
        if (inMini[i]) continue;
        out += streams[i].second;
        uint64_t padded = (sizes[i] + kSector - 1) / kSector * kSector;
        out.append(size_t(padded - streams[i].second.size()), '\0');
    }
    return out;
}

}  // namespace ss::cfb
