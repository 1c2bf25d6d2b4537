// The zip container of a package and a streaming XML reader over its parts. Every inflated byte
// is counted against ReadLimits; XML with a document type declaration is refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../read_limits.h"
#include "../result.h"

struct zip;

namespace ss::xlsx {

class ZipReader {
public:
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Opens a zip file; the error is a reason (without the file name).
    static Result<std::unique_ptr<ZipReader>> open(const std::filesystem::path& path,
                                                   const ReadLimits& limits);
    // Opens a zip held in memory (the fuzzer); `data` must outlive the reader.
    static Result<std::unique_ptr<ZipReader>> openMemory(const void* data, size_t size,
                                                         const ReadLimits& limits);

    // Part names without the leading "/", compared without regard to ASCII case.
    bool has(std::string_view name) const;
    // The inflated size the zip directory declares for a part (a hint: it may lie); 0 if unknown.
    uint64_t declaredSize(std::string_view name) const;
    // Streams the inflated bytes of a part in chunks; `sink` returns false to stop early.
    Status read(std::string_view name, const std::function<bool(const char*, size_t)>& sink);
    // The same with another limit of the compression ratio (ReadLimits::maxKeptRatio).
    Status read(std::string_view name, const std::function<bool(const char*, size_t)>& sink,
                uint32_t ratio);
    Status readAll(std::string_view name, std::string& out);
    // A part kept as bytes until the output is written: held whole, so its ratio limit is the
    // stricter maxKeptRatio.
    Status readKept(std::string_view name, std::string& out);
    const ReadLimits& limits() const { return limits_; }
    // The first refusal of a limit (a bomb, nesting too deep), kept even where the caller of the
    // read that met it goes on without the part: the workbook is refused with it.
    const Status& refusal() const { return refusal_; }
    void refuse(const Status& why) {
        if (refusal_.ok()) refusal_ = why;
    }
    // Inflated bytes read so far, all parts together (a part read twice counts twice).
    uint64_t bytesRead() const { return totalRead_; }
    // The most the workbook may inflate to, every use of a part counted: the total limit, and
    // the compression ratio limit applied to the whole archive (beyond four times the ratio
    // floor of ReadLimits), so
    // that a small file whose sheets all point at one large part is refused at once.
    uint64_t workbookCap() const;
    // Refuses reading `bytes` more (the declared sizes of the parts about to be read) when they
    // would pass workbookCap(); the reason says so.
    Status checkPlanned(uint64_t bytes) const;

private:
    ZipReader() = default;
    Status indexEntries();
    zip* zip_ = nullptr;
    ReadLimits limits_;
    Status refusal_ = okStatus();
    uint64_t totalRead_ = 0;
    uint64_t totalTaken_ = 0;       // compressed bytes taken by the reads so far
    uint64_t compressedTotal_ = 0;  // compressed bytes of every entry
    std::unordered_map<std::string, uint64_t> entries_;  // lower-case name -> index
};

// One row of <sheetData> (or one item <si> of the string table) as the fast scanner read it, for
// handlers that take rows whole (SaxHandler::takesScannedRows): the start, end and text events
// expat would give for it, in order, with element and attribute names as ids and attribute
// values and texts decoded. Every value and text is followed by a NUL in the buffer; attribute
// names are as written in the part's bytes (not NUL-ended). Valid only during the call.
struct ScannedRow {
    enum class Elem : uint8_t { Row, C, V, F, Is, T, Si, RPh, PhoneticPr };
    enum class Kind : uint8_t { Start, End, Text };
    // Local names of the attributes the rows of a sheet are read by; Other for the rest.
    enum class Att : uint8_t {
        Other,
        R,
        S,
        T,
        Ht,
        CustomHeight,
        CustomFormat,
        Hidden,
        Collapsed,
        OutlineLevel,
        Si,
        Ref,
        Cm
    };
    struct Attr {
        const char* name;  // as written, with its prefix
        uint32_t nameLen;
        uint32_t value, valueLen;  // the value's offset in the buffer
        Att id;
        bool prefixed;
    };
    struct Event {
        Kind kind;
        Elem elem;          // of a Start or End
        uint32_t off, len;  // Start: the first attribute and their count; Text: bytes in buf
    };

    const char* buf = nullptr;
    const Event* events = nullptr;
    size_t eventCount = 0;
    const Attr* attrs = nullptr;

    const Event* begin() const { return events; }
    const Event* end() const { return events + eventCount; }
    const Attr* attrsBegin(const Event& e) const { return attrs + e.off; }
    const Attr* attrsEnd(const Event& e) const { return attrs + e.off + e.len; }
    const char* value(const Attr& a) const { return buf + a.value; }
    std::string_view valueView(const Attr& a) const { return {buf + a.value, a.valueLen}; }
    std::string_view name(const Attr& a) const { return {a.name, a.nameLen}; }
    std::string_view text(const Event& e) const { return {buf + e.off, e.len}; }
};

// A streaming XML consumer. Element names reach it without their namespace prefix;
// markup-compatibility wrappers are resolved (the Fallback branch is read, Choice skipped);
// extension lists (extLst) are skipped.
class SaxHandler {
public:
    virtual ~SaxHandler() = default;
    virtual void start(std::string_view name, const char** atts) = 0;
    virtual void end(std::string_view name) = 0;
    virtual void text(const char*, int) {}
    // True when the handler is inside <sheetData> between rows and would ignore whitespace
    // there: the rows may then be read by the fast scanner, which makes the same start, end
    // and text calls as expat for the common well-formed case.
    virtual bool acceptsFastRows() const { return false; }
    // True when the handler takes the fast scanner's rows through row() instead of their start,
    // end and text calls (asked once per part, when the scanner begins).
    virtual bool takesScannedRows() const { return false; }
    // One row from the fast scanner, with the same meaning as its start, end and text calls.
    virtual void row(const ScannedRow&) {}
    // True for handlers of parts that may have a <sheetData> (the scanner looks for it).
    virtual bool readsSheetData() const { return false; }
    // True for the handler of the string table: the scanner reads the items <si> of its root
    // <sst> the same way (plain texts <si><t>...</t></si>, with phonetic runs <rPh> and their
    // <phoneticPr>; anything else, such as rich text, goes to expat), and
    // acceptsFastRows is asked just after the root's start tag.
    virtual bool readsStringTable() const { return false; }
    // Elements directly below the root for which this is true reach raw() whole, as XML text
    // with their names, prefixes and attributes as written (extension lists and compatibility
    // wrappers inside them included), instead of through start, end and text.
    virtual bool wantsRaw(std::string_view) const { return false; }
    virtual void raw(std::string_view, std::string) {}
    // Extension lists below the root's children are passed over unless this is true when one
    // begins; then it reaches start, end and text like any element (names local).
    virtual bool wantsNestedExtensions() const { return false; }
    // Set by a handler to stop the parse with this reason.
    std::string failure;
};

// The reason a read gives when memory runs out.
inline constexpr const char* kOutOfMemory = "内存不足。";

// Parses a part through `h`. The error is a reason naming the part. The thread that inflates a
// large part is joined on every path, an exception from `h` included.
Status parsePart(ZipReader& zip, std::string_view part, SaxHandler& h);
// The same over bytes in memory (tests, the theme).
Status parseXmlText(std::string_view xml, std::string_view part, SaxHandler& h);
// Whether `xml` is well-formed, without a document type declaration and nested no deeper than
// `maxDepth` (a part kept as bytes is checked so before it is carried: what is written must
// parse). The error is a reason naming the part; `tooDeep` says that the nesting was the fault.
Status checkXml(std::string_view xml, std::string_view part, uint32_t maxDepth, bool& tooDeep);

// Switches the fast <sheetData> scanner on or off for the whole process (on by default; tests
// compare both paths).
void setFastSheetScan(bool on);
bool fastSheetScan();
// Switches inflating deflated parts with ISA-L on or off (libzip's own inflate instead) for the
// whole process (on by default; tests and benchmarks compare both).
void setIsalInflate(bool on);
// Rows, and items of string tables, the fast scanner has read in this process (tests check that
// it was used).
uint64_t fastSheetRows();
uint64_t fastStringItems();

// Attribute by local name (any prefix); null when absent.
const char* attr(const char** atts, std::string_view localName);
std::string_view localName(const char* qname);

}  // namespace ss::xlsx
