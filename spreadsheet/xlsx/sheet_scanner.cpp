// The fast scanner of <sheetData> rows and of the string table's items, the feeder that hands a
// part's bytes to it or to expat, and parsePart, which inflates a large part while it is parsed.
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "scanner.h"
#include "../read_stop.h"
#include "../text/xml_text.h"
#include "../utf8.h"

namespace ss::xlsx {

namespace {

// ---- the fast <sheetData> scanner ---------------------------------------------------------------
//
// Worksheet rows make up nearly all of a large part. Rows in the common well-formed shape
// (<row>, <c>, <v>, <f>, <is><t>, the five predefined entities and character references) are
// tokenized here, a whole row at a time, and handed to the handler whole (ScannedRow) or as the
// same start, end and text calls expat would make; so are the plain items (<si><t>) of the
// string table. Everything else goes to expat: a row whose markup is understood but whose
// content needs checking (bytes that are not well-formed UTF-8 of an XML character, control
// characters, carriage returns, unknown entities) is passed to expat alone; anything else
// (comments, CDATA, processing instructions, other or prefixed elements, malformed markup) hands
// the rest of the part to expat. Expat is fed the line breaks of the rows it does not see, so
// its error positions stay.

std::atomic<bool> gFastSheetScan{true};
std::atomic<uint64_t> gFastRows{0}, gFastItems{0};

enum class Scan { Done, NeedMore, Delegate, Fallback };

enum Elem : uint8_t { kRow, kC, kV, kF, kIs, kT, kSi, kRPh, kPhoneticPr, kNoElem };
constexpr std::string_view kElemNames[] = {"row", "c",  "v",   "f",         "is",
                                           "t",   "si", "rPh", "phoneticPr"};
static_assert(uint8_t(ScannedRow::Elem::Row) == kRow && uint8_t(ScannedRow::Elem::C) == kC &&
              uint8_t(ScannedRow::Elem::V) == kV && uint8_t(ScannedRow::Elem::F) == kF &&
              uint8_t(ScannedRow::Elem::Is) == kIs && uint8_t(ScannedRow::Elem::T) == kT &&
              uint8_t(ScannedRow::Elem::Si) == kSi && uint8_t(ScannedRow::Elem::RPh) == kRPh &&
              uint8_t(ScannedRow::Elem::PhoneticPr) == kPhoneticPr);

inline bool isWs(char c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}
constexpr bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
// ASCII name characters (a name with any other byte is left to expat), looked up by byte.
constexpr auto kNameChar = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 128; ++c)
        t[size_t(c)] = isNameStart(char(c)) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    return t;
}();
inline bool isNameChar(char c) {
    return kNameChar[static_cast<unsigned char>(c)];
}

Elem elemOf(const char* p, size_t n) {
    if (n == 1) {
        switch (*p) {
            case 'c':
                return kC;
            case 'v':
                return kV;
            case 'f':
                return kF;
            case 't':
                return kT;
            default:
                return kNoElem;
        }
    }
    if (n == 2 && p[0] == 'i' && p[1] == 's') return kIs;
    if (n == 2 && p[0] == 's' && p[1] == 'i') return kSi;
    if (n == 3 && p[0] == 'r' && p[1] == 'o' && p[2] == 'w') return kRow;
    if (n == 3 && p[0] == 'r' && p[1] == 'P' && p[2] == 'h') return kRPh;
    if (n == 10 && std::memcmp(p, "phoneticPr", 10) == 0) return kPhoneticPr;
    return kNoElem;
}

// The id of an attribute's local name.
ScannedRow::Att attOf(const char* p, size_t n) {
    using A = ScannedRow::Att;
    auto eq = [&](std::string_view lit) {
        return n == lit.size() && std::memcmp(p, lit.data(), n) == 0;
    };
    switch (n) {
        case 1:
            return *p == 'r' ? A::R : *p == 's' ? A::S : *p == 't' ? A::T : A::Other;
        case 2:
            return eq("ht") ? A::Ht : eq("si") ? A::Si : eq("cm") ? A::Cm : A::Other;
        case 3:
            return eq("ref") ? A::Ref : A::Other;
        case 6:
            return eq("hidden") ? A::Hidden : A::Other;
        case 9:
            return eq("collapsed") ? A::Collapsed : A::Other;
        case 12:
            return eq("customHeight")   ? A::CustomHeight
                   : eq("customFormat") ? A::CustomFormat
                   : eq("outlineLevel") ? A::OutlineLevel
                                        : A::Other;
        default:
            return A::Other;
    }
}

bool allowedChild(Elem parent, Elem child) {
    switch (parent) {
        case kRow:
            return child == kC;
        case kC:
            return child == kV || child == kF || child == kIs;
        case kIs:
        case kSi:  // plain text, with phonetic runs and their settings
            return child == kT || child == kRPh || child == kPhoneticPr;
        case kRPh:
            return child == kT;
        default:
            return false;
    }
}

// Bytes that stand for themselves in text and attribute values.
constexpr auto kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c)
        t[size_t(c)] = c != '&' && c != '<' && c != ']' && c != '"' && c != '\'';
    return t;
}();

// The first byte from `q` that does not stand for itself (kPlain), or `end`: sixteen bytes at a
// time where the processor has the instructions, byte by byte over the rest.
inline const char* plainEnd(const char* q, const char* end) {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'),
                  rb = _mm_set1_epi8(']'), dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
    while (end - q >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        // Compared as signed, the bytes from 0x80 fall below the space with the controls.
        __m128i bad = _mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, amp));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(x, lt), _mm_cmpeq_epi8(x, rb)));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(x, dq), _mm_cmpeq_epi8(x, sq)));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(bad))) return q + __builtin_ctz(mask);
        q += 16;
    }
#endif
    while (q < end && kPlain[static_cast<unsigned char>(*q)]) ++q;
    return q;
}

// The length of the UTF-8 sequence of an XML character outside ASCII at `q` (which is not ASCII);
// 0 when it may be cut off at `end`; size_t(-1) when it is malformed, overlong, a surrogate,
// U+FFFE or U+FFFF, or beyond U+10FFFF.
size_t utf8Char(const char* q, const char* end) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(q[i]); };
    const size_t bad = size_t(-1);
    const unsigned char b0 = b(0);
    const size_t n = b0 >= 0xC2 && b0 <= 0xDF   ? 2
                     : b0 >= 0xE0 && b0 <= 0xEF ? 3
                     : b0 >= 0xF0 && b0 <= 0xF4 ? 4
                                                : 0;
    if (n == 0) return bad;
    if (size_t(end - q) < n) return 0;
    uint32_t cp = b0 & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) return bad;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    if (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0xFFFD)) return bad;
    if (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return bad;
    return n;
}

// The scanner's decoded names, values and texts: a plain byte buffer whose writes are inlined
// (std::string's single-character append is a call into the library).
class DecodeBuffer {
public:
    DecodeBuffer() { grow(0); }  // never without bytes: a copy of none has a place to go
    void clear() { n_ = 0; }
    size_t size() const { return n_; }
    const char* data() const { return p_.get(); }
    char operator[](size_t i) const { return p_[i]; }
    void put(char c) {
        if (n_ == cap_) grow(1);
        p_[n_++] = c;
    }
    void put(const char* s, size_t n) {
        if (cap_ - n_ < n) grow(n);
        std::memcpy(p_.get() + n_, s, n);
        n_ += n;
    }
    // `n` bytes from `s` and a NUL. A short run is copied as sixteen or 32 bytes when the source
    // has them (one move instead of a call); the bytes past the NUL are overwritten later.
    void putEnded(const char* s, size_t n, const char* srcEnd) {
        if (cap_ - n_ < n + 33) grow(n + 33);
        char* d = p_.get() + n_;
        if (n <= 16 && srcEnd - s >= 16)
            std::memcpy(d, s, 16);
        else if (n <= 32 && srcEnd - s >= 32)
            std::memcpy(d, s, 32);
        else
            std::memcpy(d, s, n);
        d[n] = '\0';
        n_ += n + 1;
    }

private:
    void grow(size_t more) {
        const size_t cap = std::max(cap_ * 2, std::max<size_t>(n_ + more, 4096));
        std::unique_ptr<char[]> p(new char[cap]);
        if (n_) std::memcpy(p.get(), p_.get(), n_);
        p_ = std::move(p);
        cap_ = cap;
    }
    std::unique_ptr<char[]> p_;
    size_t n_ = 0, cap_ = 0;
};

// One row (or string item), tokenized into events that reach the handler once it is complete.
class RowScanner {
public:
    // The element the scanner reads whole: <row> in <sheetData>, <si> in <sst>.
    explicit RowScanner(Elem top) : top_(top) {}
    // `p` is at "<row" (or "<si"). On Done and Delegate `next` is just past the row.
    Scan scan(const char* p, const char* end, const char*& next);
    // Replays the events of a Done row; false when the handler failed.
    bool replay(SaxHandler& h);
    // Hands a Done row to a handler that takes rows whole; false when the handler failed.
    bool deliver(SaxHandler& h) {
        ScannedRow row;
        row.buf = sc_.data();
        row.events = ev_.data();
        row.eventCount = events_;
        row.attrs = atts_.data();
        h.row(row);
        return h.failure.empty();
    }
    // Line breaks in the row last scanned.
    size_t lines() const { return lines_; }

private:
    using Event = ScannedRow::Event;
    static constexpr ScannedRow::Kind kStart = ScannedRow::Kind::Start,
                                      kEnd = ScannedRow::Kind::End, kText = ScannedRow::Kind::Text;
    static Event event(ScannedRow::Kind kind, Elem e, uint32_t off, uint32_t len) {
        return {kind, ScannedRow::Elem(e), off, len};
    }
    // Decodes character data up to `stop` ('<' for text, the quote for a value) into sc_;
    // `q` ends at the stop character.
    Scan decode(const char*& q, const char* end, char stop);
    // The same, and a NUL after it, with the common case of plain bytes up to the stop
    // character inlined.
    [[gnu::always_inline]] Scan decodeText(const char*& q, const char* end, char stop) {
        const char* s = plainEnd(q, end);
        if (s < end && *s == stop) {
            sc_.putEnded(q, size_t(s - q), end);
            q = s;
            return Scan::Done;
        }
        const Scan r = decode(q, end, stop);
        if (r == Scan::Done) sc_.put('\0');
        return r;
    }
    // Whitespace in markup; a carriage return there is left to expat (it counts lines).
    void skipWs(const char*& q, const char* end) {
        for (; q < end && isWs(*q); ++q) {
            if (*q == '\n') ++lines_;
            if (*q == '\r') delegate_ = true;
        }
    }

    void push(Event e) {
        if (events_ == ev_.size()) ev_.resize(ev_.size() * 2 + 64);
        ev_[events_++] = e;
    }
    void pushAttr(const ScannedRow::Attr& a) {
        if (attrs_ == atts_.size()) atts_.resize(atts_.size() * 2 + 64);
        atts_[attrs_++] = a;
    }

    DecodeBuffer sc_;  // decoded values and texts, each NUL-ended
    std::vector<ScannedRow::Attr> atts_;
    size_t attrs_ = 0;
    std::vector<Event> ev_;
    size_t events_ = 0;
    std::vector<const char*> ptrs_;
    std::string names_;  // the replay's NUL-ended attribute names
    bool delegate_ = false;
    size_t lines_ = 0;
    Elem top_;
};

Scan RowScanner::decode(const char*& q, const char* end, char stop) {
    const bool inValue = stop != '<';
    for (;;) {
        const char* run = q;
        q = plainEnd(q, end);
        sc_.put(run, size_t(q - run));
        if (q >= end) return Scan::NeedMore;
        char c = *q;
        if (c == stop) return Scan::Done;
        if (c == '"' || c == '\'') {  // the other quote
            sc_.put(c);
            ++q;
            continue;
        }
        if (c == '<') return Scan::Fallback;  // '<' in a value: malformed, expat says so
        if (c == ']') {
            if (!inValue) {
                if (end - q < 3) return Scan::NeedMore;
                if (q[1] == ']' && q[2] == '>') return Scan::Fallback;
            }
            sc_.put(c);
            ++q;
            continue;
        }
        if (c == '&') {
            const char* semi = q + 1;
            while (semi < end && semi - q <= 12 && *semi != ';') ++semi;
            if (semi >= end) return Scan::NeedMore;
            if (*semi != ';') {  // not a reference expat knows: it will say so
                delegate_ = true;
                ++q;
                continue;
            }
            if (auto ch = xml::characterReference(std::string_view(q + 1, size_t(semi - q - 1)))) {
                if (*ch < 0x80) {
                    sc_.put(char(*ch));
                } else {
                    std::string u;
                    ss::appendUtf8(u, *ch);
                    sc_.put(u.data(), u.size());
                }
            } else {
                delegate_ = true;  // a reference expat must judge (it refuses it)
            }
            q = semi + 1;
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            // A character outside ASCII stands for itself when it is well-formed UTF-8 and an
            // XML character; anything else is for expat to judge.
            const size_t n = utf8Char(q, end);
            if (n == 0) return Scan::NeedMore;
            if (n != size_t(-1)) {
                sc_.put(q, n);
                q += n;
                continue;
            }
        }
        // Control characters, carriage returns, tabs and line breaks in values (normalised),
        // bytes outside ASCII that expat must judge: expat checks and decodes them.
        if (c == '\n' && !inValue) {
            ++lines_;
            sc_.put(c);
        } else if (c == '\t' && !inValue) {
            sc_.put(c);
        } else {
            delegate_ = true;
            sc_.put(c);
        }
        ++q;
    }
}

// The elements with a name of one letter, by that letter; kNoElem for any other byte.
constexpr auto kLetterElem = [] {
    std::array<Elem, 256> t{};
    t.fill(kNoElem);
    t['c'] = kC;
    t['v'] = kV;
    t['f'] = kF;
    t['t'] = kT;
    return t;
}();
// The letter of an element with a one-letter name, by element; -1 for the others.
constexpr int kElemLetter[] = {-1, 'c', 'v', 'f', -1, 't', -1, -1, -1, -1};

// The id of an attribute with a one-letter name, by that letter.
constexpr auto kLetterAtt = [] {
    std::array<ScannedRow::Att, 256> t{};
    t.fill(ScannedRow::Att::Other);
    t['r'] = ScannedRow::Att::R;
    t['s'] = ScannedRow::Att::S;
    t['t'] = ScannedRow::Att::T;
    return t;
}();

Scan RowScanner::scan(const char* p, const char* end, const char*& next) {
    sc_.clear();
    attrs_ = 0;
    events_ = 0;
    delegate_ = false;
    lines_ = 0;
    Elem stack[5];
    int depth = 0;
    for (;;) {
        if (p >= end) return Scan::NeedMore;
        if (*p != '<') {
            if (depth == 0) return Scan::Fallback;
            uint32_t off = uint32_t(sc_.size());
            Scan r = decodeText(p, end, '<');
            if (r != Scan::Done) return r;
            push(event(kText, kNoElem, off, uint32_t(sc_.size() - off - 1)));
            continue;
        }
        if (end - p < 2) return Scan::NeedMore;
        if (p[1] == '/') {
            const char* q = p + 2;
            // The usual end tag of an element of one letter, "</v>", is taken at once.
            if (depth == 0 || end - p < 4 || p[3] != '>' ||
                static_cast<unsigned char>(p[2]) != kElemLetter[stack[depth - 1]]) {
                const char* name = q;
                while (q < end && isNameChar(*q)) ++q;
                if (q >= end) return Scan::NeedMore;
                if (depth == 0 || elemOf(name, size_t(q - name)) != stack[depth - 1])
                    return Scan::Fallback;
                skipWs(q, end);
                if (q >= end) return Scan::NeedMore;
                if (*q != '>') return Scan::Fallback;
            } else {
                q = p + 3;
            }
            p = q + 1;
            push(event(kEnd, stack[depth - 1], 0, 0));
            if (--depth == 0) {
                next = p;
                return delegate_ ? Scan::Delegate : Scan::Done;
            }
            continue;
        }
        const char* q = p + 1;
        Elem e;
        if (end - p >= 3 && !isNameChar(p[2]) &&
            kLetterElem[static_cast<unsigned char>(p[1])] != kNoElem) {
            e = kLetterElem[static_cast<unsigned char>(p[1])];
            q = p + 2;
        } else {
            const char* name = q;
            while (q < end && isNameChar(*q)) ++q;
            if (q >= end) return Scan::NeedMore;
            e = elemOf(name, size_t(q - name));
        }
        if (e == kNoElem || (depth == 0 ? e != top_ : !allowedChild(stack[depth - 1], e)))
            return Scan::Fallback;
        const uint32_t first = uint32_t(attrs_);
        bool empty = false;
        for (;;) {
            const char* ws = q;
            skipWs(q, end);
            if (q >= end) return Scan::NeedMore;
            if (*q == '>') {
                ++q;
                break;
            }
            if (*q == '/') {
                if (end - q < 2) return Scan::NeedMore;
                if (q[1] != '>') return Scan::Fallback;
                q += 2;
                empty = true;
                break;
            }
            if (q == ws || !isNameStart(*q)) return Scan::Fallback;
            ScannedRow::Attr a;
            a.name = q;
            char quote;
            if (end - q >= 3 && q[1] == '=' && (q[2] == '"' || q[2] == '\'') && *q != ':') {
                // A name of one letter right before its value, as in r="B7": no table lookups.
                a.nameLen = 1;
                a.id = kLetterAtt[static_cast<unsigned char>(*q)];
                a.prefixed = false;
                quote = q[2];
                q += 3;
            } else {
                const char* colon = nullptr;
                for (; q < end && isNameChar(*q); ++q)
                    if (*q == ':') colon = q;
                a.nameLen = uint32_t(q - a.name);
                const char* local = colon ? colon + 1 : a.name;
                a.id = attOf(local, size_t(q - local));
                a.prefixed = colon != nullptr;
                skipWs(q, end);
                if (q >= end) return Scan::NeedMore;
                if (*q != '=') return Scan::Fallback;
                ++q;
                skipWs(q, end);
                if (q >= end) return Scan::NeedMore;
                quote = *q;
                if (quote != '"' && quote != '\'') return Scan::Fallback;
                ++q;
            }
            // A repeated attribute. Its id is that of its local name: a known one without a
            // prefix is the same name; others are compared as written.
            for (size_t i = first; i < attrs_; ++i) {
                const ScannedRow::Attr& b = atts_[i];
                if (b.id != a.id) continue;
                if (a.id != ScannedRow::Att::Other && !a.prefixed && !b.prefixed)
                    return Scan::Fallback;
                if (b.nameLen == a.nameLen && std::memcmp(b.name, a.name, a.nameLen) == 0)
                    return Scan::Fallback;
            }
            a.value = uint32_t(sc_.size());
            Scan r = decodeText(q, end, quote);
            if (r != Scan::Done) return r;
            ++q;  // the closing quote
            a.valueLen = uint32_t(sc_.size() - a.value - 1);
            pushAttr(a);
        }
        push(event(kStart, e, first, uint32_t(attrs_) - first));
        if (empty) {
            push(event(kEnd, e, 0, 0));
            if (depth == 0) {
                next = q;
                return delegate_ ? Scan::Delegate : Scan::Done;
            }
        } else {
            if (depth == 5) return Scan::Fallback;
            stack[depth++] = e;
        }
        p = q;
    }
}

bool RowScanner::replay(SaxHandler& h) {
    // The attribute names, NUL-ended, in the order of their attributes.
    names_.clear();
    for (size_t i = 0; i < attrs_; ++i) {
        names_.append(atts_[i].name, atts_[i].nameLen);
        names_ += '\0';
    }
    size_t at = 0;  // the next start tag's first name (they come in order)
    for (size_t i = 0; i < events_; ++i) {
        const Event& e = ev_[i];
        switch (e.kind) {
            case kStart: {
                ptrs_.clear();
                for (uint32_t k = e.off; k < e.off + e.len; ++k) {
                    ptrs_.push_back(names_.data() + at);
                    ptrs_.push_back(sc_.data() + atts_[k].value);
                    at += atts_[k].nameLen + 1;
                }
                ptrs_.push_back(nullptr);
                h.start(kElemNames[size_t(e.elem)], ptrs_.data());
                break;
            }
            case kEnd:
                h.end(kElemNames[size_t(e.elem)]);
                break;
            case kText:
                h.text(sc_.data() + e.off, int(e.len));
                break;
        }
        if (!h.failure.empty()) return false;
    }
    return true;
}

// Finds the end of the <sheetData> start tag directly inside the root element (or of the root
// <sst>), byte by byte over the few elements before it. Gives up on anything unusual (a document
// type, an encoding other than UTF-8); expat confirms what it found before the scanner starts.
class SheetDataFinder {
public:
    explicit SheetDataFinder(bool root)
        : name_(root ? "sst" : "sheetData"), wantDepth_(root ? 0 : 1) {}
    static constexpr size_t npos = size_t(-1);
    bool gaveUp() const { return gaveUp_; }
    // The offset just past the start tag, or npos.
    size_t find(const char* d, size_t n) {
        for (size_t i = 0; i < n && !gaveUp_; ++i) {
            const char c = d[i];
            switch (s_) {
                case S::Start:
                    if (c == '<') {
                        s_ = S::Lt;
                    } else if (static_cast<unsigned char>(c) == 0xEF) {
                        s_ = S::Bom;
                        bom_ = 2;
                    } else {
                        gaveUp_ = true;
                    }
                    break;
                case S::Bom:
                    if (static_cast<unsigned char>(c) != (bom_ == 2 ? 0xBB : 0xBF)) gaveUp_ = true;
                    if (--bom_ == 0) s_ = S::BomDone;
                    break;
                case S::BomDone:
                    if (c == '<')
                        s_ = S::Lt;
                    else
                        gaveUp_ = true;
                    break;
                case S::Text:
                    if (c == '<') s_ = S::Lt;
                    break;
                case S::Lt:
                    buf_.clear();
                    if (c == '!') {
                        s_ = S::Bang;
                    } else if (c == '?') {
                        s_ = S::Pi;
                        tail_ = 0;
                    } else if (c == '/') {
                        s_ = S::EndTag;
                    } else {
                        s_ = S::Name;
                        buf_ += c;
                    }
                    break;
                case S::Bang:
                    buf_ += c;
                    if (buf_ == "--") {
                        s_ = S::Comment;
                        tail_ = 0;
                    } else if (buf_ == "[CDATA[") {
                        s_ = S::Cdata;
                        tail_ = 0;
                    } else if (std::string_view("--").substr(0, buf_.size()) != buf_ &&
                               std::string_view("[CDATA[").substr(0, buf_.size()) != buf_) {
                        gaveUp_ = true;  // a document type or other declaration
                    }
                    break;
                case S::Comment:
                    if (c == '>' && tail_ >= 2) s_ = S::Text;
                    tail_ = c == '-' ? tail_ + 1 : 0;
                    break;
                case S::Cdata:
                    if (c == '>' && tail_ >= 2) s_ = S::Text;
                    tail_ = c == ']' ? tail_ + 1 : 0;
                    break;
                case S::Pi:
                    if (buf_.size() < 256) buf_ += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
                    if (c == '>' && tail_ == '?') {
                        if (buf_.find("encoding") != std::string::npos &&
                            buf_.find("utf-8") == std::string::npos)
                            gaveUp_ = true;
                        s_ = S::Text;
                    }
                    tail_ = c;
                    break;
                case S::EndTag:
                    if (c == '>') {
                        --depth_;
                        s_ = S::Text;
                    }
                    break;
                case S::Name:
                    if (!isWs(c) && c != '>' && c != '/') {
                        if (buf_.size() < 16) buf_ += c;
                        break;
                    }
                    s_ = S::Tag;
                    slash_ = false;
                    [[fallthrough]];
                case S::Tag:
                    if (c == '"' || c == '\'') {
                        quote_ = c;
                        s_ = S::Value;
                    } else if (c == '/') {
                        slash_ = true;
                    } else if (c == '>') {
                        s_ = S::Text;
                        if (!slash_) {
                            if (depth_ == wantDepth_ && buf_ == name_) return i + 1;
                            ++depth_;
                        }
                    } else if (!isWs(c)) {
                        slash_ = false;
                    }
                    break;
                case S::Value:
                    if (c == quote_) s_ = S::Tag;
                    break;
            }
        }
        return npos;
    }

private:
    enum class S {
        Start,
        Bom,
        BomDone,
        Text,
        Lt,
        Bang,
        Comment,
        Cdata,
        Pi,
        EndTag,
        Name,
        Tag,
        Value
    };
    S s_ = S::Start;
    std::string buf_;
    std::string_view name_;
    int wantDepth_, depth_ = 0, bom_ = 0, tail_ = 0;
    char quote_ = 0;
    bool slash_ = false, gaveUp_ = false;
};

// Feeds a part to expat, or, inside <sheetData>, rows to the fast scanner (and the items of
// the string table).
class Feeder {
public:
    Feeder(Parser& p, SaxHandler& h)
        : p_(p),
          h_(h),
          items_(!h.readsSheetData() && h.readsStringTable()),
          mode_(gFastSheetScan && (h.readsSheetData() || items_) ? Mode::Find : Mode::Expat),
          finder_(items_),
          scanner_(items_ ? kSi : kRow) {
        if (items_) p_.readItems();
    }
    ~Feeder() {
        if (scanned_) (items_ ? gFastItems : gFastRows).fetch_add(scanned_);
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    bool feed(const char* d, size_t n) {
        if (!step(d, n)) failed_ = true;
        return !failed_;
    }

    Status finish() {
        if (failed_) return p_.status();
        if (mode_ == Mode::Rows) {
            mode_ = Mode::Expat;
            std::string rest = std::move(carry_);
            if (!flushPad() || !p_.feed(rest.data(), rest.size(), false)) return p_.status();
        }
        return p_.finish();
    }

private:
    enum class Mode { Expat, Find, Rows };
    static constexpr size_t kMaxRow = 1u << 20;  // a longer row goes to expat

    bool step(const char* d, size_t n) {
        switch (mode_) {
            case Mode::Expat:
                return p_.feed(d, n, false);
            case Mode::Find: {
                size_t k = finder_.find(d, n);
                if (k == SheetDataFinder::npos) {
                    if (finder_.gaveUp()) mode_ = Mode::Expat;
                    return p_.feed(d, n, false);
                }
                mode_ = Mode::Expat;
                if (!p_.feed(d, k, false)) return false;
                if (p_.atListStart() && h_.acceptsFastRows()) {
                    mode_ = Mode::Rows;
                    whole_ = h_.takesScannedRows();
                }
                return step(d + k, n - k);
            }
            case Mode::Rows:
                return rows(d, n);
        }
        return false;
    }

    bool flushPad() {
        if (pad_.empty()) return true;
        bool ok = p_.feed(pad_.data(), pad_.size(), false);
        pad_.clear();
        return ok;
    }
    bool toExpat(const char* d, size_t n) { return flushPad() && p_.feed(d, n, false); }
    // Hands [d, d + n) and the rest of the part to expat.
    bool fallBack(const char* d, size_t n) {
        mode_ = Mode::Expat;
        bool ok = toExpat(d, n);
        carry_.clear();
        return ok;
    }

    enum class Run { More, FallBack, Failed };

    // Reads rows from [p, end); `stop` is where an unfinished row or the hand-over begins.
    Run run(const char* p, const char* end, const char*& stop) {
        for (;;) {
            stop = p;
            // Between rows the handler ignores text; expat still counts its lines.
            while (p < end && isWs(*p)) ++p;
            if (p != stop) pad_.append(stop, size_t(p - stop));
            stop = p;
            if (p == end) return Run::More;
            if (*p != '<') return Run::FallBack;
            if (end - p < 12) return Run::More;
            const size_t tag = items_ ? 3 : 4;
            if (std::memcmp(p, items_ ? "<si" : "<row", tag) != 0 ||
                !(isWs(p[tag]) || p[tag] == '>' || p[tag] == '/'))
                return Run::FallBack;  // </sheetData> among others
            const char* next = nullptr;
            Scan r = scanner_.scan(p, end, next);
            if (r == Scan::NeedMore) return Run::More;
            if (r == Scan::Fallback) return Run::FallBack;
            if (r == Scan::Delegate) {
                if (!toExpat(p, size_t(next - p))) return Run::Failed;
            } else {
                // The row stood between a carriage return and what follows: they are no pair.
                if (!pad_.empty() && pad_.back() == '\r') pad_ += ' ';
                if (scanner_.lines()) pad_.append(scanner_.lines(), '\n');
                ++scanned_;
                if (!(whole_ ? scanner_.deliver(h_) : scanner_.replay(h_))) {
                    p_.handlerFailed();
                    return Run::Failed;
                }
            }
            p = next;
            if (pad_.size() > (64u << 10) && !flushPad()) return Run::Failed;
        }
    }

    bool rows(const char* d, size_t n) {
        const char* stop = nullptr;
        // An unfinished row from the last chunk: joined with as little of this one as it needs.
        while (!carry_.empty() && n > 0) {
            const size_t old = carry_.size();
            const size_t take = std::min(n, std::max<size_t>(old, 4096));
            carry_.append(d, take);
            const char* base = carry_.data();
            Run r = run(base, base + carry_.size(), stop);
            if (r == Run::Failed) return false;
            if (r == Run::FallBack) {
                mode_ = Mode::Expat;
                std::string rest = carry_.substr(size_t(stop - base));
                carry_.clear();
                return toExpat(rest.data(), rest.size()) && p_.feed(d + take, n - take, false);
            }
            const size_t used = size_t(stop - base);
            if (used >= old) {  // the old rows are done: go on in this chunk
                carry_.clear();
                d += used - old;
                n -= used - old;
            } else {
                carry_.erase(0, used);
                d += take;
                n -= take;
                if (carry_.size() > kMaxRow) {
                    std::string rest = std::move(carry_);
                    return fallBack(rest.data(), rest.size()) && p_.feed(d, n, false);
                }
            }
        }
        if (n == 0) return true;
        Run r = run(d, d + n, stop);
        if (r == Run::Failed) return false;
        if (r == Run::FallBack) return fallBack(stop, size_t(d + n - stop));
        carry_.assign(stop, d + n);  // keep the unfinished row for the next chunk
        if (carry_.size() > kMaxRow) {
            std::string rest = std::move(carry_);
            return fallBack(rest.data(), rest.size());
        }
        return true;
    }

    Parser& p_;
    SaxHandler& h_;
    const bool items_;  // the items of a string table, not rows
    Mode mode_;
    SheetDataFinder finder_;
    RowScanner scanner_;
    std::string carry_, pad_;
    bool failed_ = false;
    bool whole_ = false;    // the handler takes rows whole
    uint64_t scanned_ = 0;  // rows (or items) read here, counted in gFastRows at the end
};
}  // namespace

namespace {
// Inflating and parsing a large part overlap: one thread inflates into a short queue of
// chunks while the caller's thread parses them.
class ChunkQueue {
public:
    // Producer side; false when the consumer has stopped.
    bool push(std::string chunk) {
        std::unique_lock lock(m_);
        notFull_.wait(lock, [&] { return q_.size() < kDepth || stopped_; });
        if (stopped_) return false;
        q_.push_back(std::move(chunk));
        notEmpty_.notify_one();
        return true;
    }
    void close(Status st) {
        std::lock_guard lock(m_);
        closed_ = true;
        status_ = std::move(st);
        notEmpty_.notify_one();
    }
    // Consumer side; false at the end of the stream.
    bool pop(std::string& chunk) {
        std::unique_lock lock(m_);
        notEmpty_.wait(lock, [&] { return !q_.empty() || closed_; });
        if (q_.empty()) return false;
        chunk = std::move(q_.front());
        q_.pop_front();
        notFull_.notify_one();
        return true;
    }
    void stop() {
        std::lock_guard lock(m_);
        stopped_ = true;
        notFull_.notify_one();
    }
    Status status() {
        std::lock_guard lock(m_);
        return status_;
    }

private:
    static constexpr size_t kDepth = 2;
    std::mutex m_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<std::string> q_;
    bool closed_ = false, stopped_ = false;
    Status status_ = okStatus();
};

constexpr uint64_t kOverlapFrom = 1u << 20;  // smaller parts are not worth a thread
constexpr size_t kChunk = 128u << 10;

}  // namespace

void setFastSheetScan(bool on) {
    gFastSheetScan = on;
}

bool fastSheetScan() {
    return gFastSheetScan;
}

uint64_t fastSheetRows() {
    return gFastRows.load(std::memory_order_relaxed);
}

uint64_t fastStringItems() {
    return gFastItems.load(std::memory_order_relaxed);
}

Status parsePart(ZipReader& zip, std::string_view part, SaxHandler& h) {
    Parser parser(part, h, zip.limits().maxXmlDepth);
    // Nesting beyond the limit refuses the workbook, even where the part's reader would go on
    // without the part.
    struct DepthCheck {
        ZipReader& zip;
        Parser& parser;
        ~DepthCheck() {
            if (parser.tooDeep()) zip.refuse(parser.status());
        }
    } depthCheck{zip, parser};
    Feeder p(parser, h);
    // The string table's texts are held whole, like parts kept as bytes.
    const uint32_t ratio = h.readsStringTable() && !h.readsSheetData()
                               ? zip.limits().maxKeptRatio
                               : zip.limits().maxCompressionRatio;
    bool stopped = false;  // the job was asked to stop: the rest is not read
    if (zip.declaredSize(part) < kOverlapFrom) {
        Status st = zip.read(
            part,
            [&](const char* d, size_t n) {
                stopped = readStopped();
                return !stopped && p.feed(d, n);
            },
            ratio);
        if (stopped) return fail(kReadStopped);
        if (!st.ok()) return st;
        return p.finish();
    }
    ChunkQueue queue;
    // Whatever ends the parse (a failure, a stop, an exception from a handler), the inflating
    // thread is told to stop and joined before the queue and the reader go away.
    struct Joiner {
        ChunkQueue& queue;
        std::thread thread;
        ~Joiner() {
            if (!thread.joinable()) return;
            queue.stop();
            std::string rest;
            while (queue.pop(rest)) {
            }
            thread.join();
        }
    } inflater{queue, {}};
    inflater.thread = std::thread([&] {
        // Nothing may leave the thread: a failure here is the read's error.
        Status st = okStatus();
        bool open = true;
        try {
            std::string chunk;
            chunk.reserve(kChunk);
            st = zip.read(
                part,
                [&](const char* d, size_t n) {
                    chunk.append(d, n);
                    if (chunk.size() >= kChunk) {
                        open = queue.push(std::move(chunk));
                        chunk = std::string();
                        chunk.reserve(kChunk);
                    }
                    return open;
                },
                ratio);
            if (st.ok() && open && !chunk.empty()) queue.push(std::move(chunk));
        } catch (const std::bad_alloc&) {
            st = fail(kOutOfMemory);
        } catch (const std::exception& e) {
            st = fail("部件 " + std::string(part) + " 无法读取：" + e.what());
        }
        queue.close(std::move(st));
    });
    std::string chunk;
    bool parsed = true;
    while (queue.pop(chunk)) {
        if ((stopped = readStopped())) break;
        if (!p.feed(chunk.data(), chunk.size())) {
            parsed = false;
            break;
        }
    }
    queue.stop();
    while (queue.pop(chunk)) {
    }
    inflater.thread.join();
    if (stopped) return fail(kReadStopped);
    Status st = queue.status();
    if (!st.ok()) return st;
    if (!parsed) return parser.status();
    return p.finish();
}

}  // namespace ss::xlsx
