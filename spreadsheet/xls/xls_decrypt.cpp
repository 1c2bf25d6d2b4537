#include "xls_decrypt.h"

#include <algorithm>
#include <optional>

#include "../crypto/biff_crypto.h"
#include "../crypto/office_crypto.h"
#include "biff.h"
#include "bytes.h"

namespace ss::xls {

namespace {

struct Header {
    uint16_t type = 0;
    size_t data = 0, size = 0;  // where the record's data starts in the stream, and its size
};

// The next record header at `pos`; none at the end of the stream or when a record runs past it.
std::optional<Header> next(std::string_view s, size_t& pos) {
    if (pos + 4 > s.size()) return std::nullopt;
    bin::ByteCursor c(s.data() + pos, 4);
    Header h;
    h.type = c.u16();
    h.size = c.u16();
    h.data = pos + 4;
    if (h.data + h.size > s.size()) return std::nullopt;
    pos = h.data + h.size;
    return h;
}

// The FilePass record of the globals, if any.
std::optional<Header> findFilePass(std::string_view s, size_t& pos) {
    while (auto h = next(s, pos)) {
        if (h->type == biff::kEof) break;
        if (h->type == biff::kFilePass) return h;
    }
    return std::nullopt;
}

}  // namespace

bool hasFilePass(std::string_view stream) {
    size_t pos = 0;
    return findFilePass(stream, pos).has_value();
}

// Every record's data after FilePass is encrypted, except that of the records below and the
// stream position at the start of each BoundSheet8; record headers never are, while the key
// stream runs on over them (it follows the position in the stream).
Status decryptStream(std::string& s, const std::vector<std::string>& passwords, bool& encrypted) {
    encrypted = false;
    size_t pos = 0;
    const std::optional<Header> filePass = findFilePass(s, pos);
    if (!filePass) return okStatus();
    encrypted = true;
    auto decryptor =
        crypto::BiffDecryptor::parse(std::string_view(s).substr(filePass->data, filePass->size));
    if (!decryptor) return decryptor.error();
    if (!decryptor->unlock(passwords)) return fail(std::string(crypto::kWrongPassword));
    while (auto h = next(s, pos)) {
        size_t plain = 0;
        switch (h->type) {
            case biff::kBof:
            case biff::kFilePass:
            case 0x0194:  // UsrExcl
            case 0x0195:  // FileLock
            case 0x00E1:  // InterfaceHdr
            case 0x0196:  // RRDInfo
            case 0x0138:  // RRDHead
                plain = h->size;
                break;
            case biff::kBoundSheet:
                plain = std::min<size_t>(4, h->size);
                break;
            default:
                break;
        }
        decryptor->apply(s.data() + h->data + plain, h->size - plain, h->data + plain, h->size);
    }
    return okStatus();
}

}  // namespace ss::xls
