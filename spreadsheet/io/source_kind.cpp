#include "source_kind.h"

#include <algorithm>
#include <array>
#include <fstream>

#include "../html/html.h"
#include "../ods/ods.h"
#include "../text/codepage.h"
#include "../xml2003/xml2003.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

constexpr size_t kHeadBytes = 8192;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The name of a zip package's first entry, from its local header.
std::string_view firstEntryName(std::string_view head) {
    if (head.size() < 30) return {};
    const size_t nameLength = size_t(static_cast<unsigned char>(head[26])) |
                              size_t(static_cast<unsigned char>(head[27])) << 8;
    return head.substr(30, nameLength);
}

// An OpenDocument package names its kind in an uncompressed first entry "mimetype".
bool odsMimetypeFirst(std::string_view head) {
    if (firstEntryName(head) != "mimetype") return false;
    const size_t nameLength = firstEntryName(head).size();
    const size_t extraLength = size_t(static_cast<unsigned char>(head[28])) |
                               size_t(static_cast<unsigned char>(head[29])) << 8;
    const std::string_view rest = head.substr(std::min(head.size(), 30 + nameLength + extraLength));
    return startsWith(rest, "application/vnd.oasis.opendocument.spreadsheet");
}

// Text a person could have saved: a byte-order mark, or no NUL byte and characters of UTF-8 or
// GB18030 (the two encodings the delimited-text reader takes without a mark). The head may end
// inside a character, so a few bytes at its end are not judged.
bool looksLikeText(std::string_view head) {
    if (startsWith(head, "\xFF\xFE") || startsWith(head, "\xFE\xFF")) return true;
    if (startsWith(head, "\xEF\xBB\xBF")) head.remove_prefix(3);
    if (head.find('\0') != std::string_view::npos) return false;
    for (unsigned char c : head)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1A) return false;
    if (head.size() == kHeadBytes) head.remove_suffix(4);
    return text::isValidUtf8(head) || text::toUtf8(head, "GB18030").has_value();
}

std::string extensionOf(const fs::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return ext;
}

}  // namespace

SourceKind sniffSourceBytes(std::string_view head) {
    if (head.empty()) return SourceKind::Empty;
    static constexpr std::array<unsigned char, 8> kCompound = {0xD0, 0xCF, 0x11, 0xE0,
                                                               0xA1, 0xB1, 0x1A, 0xE1};
    if (head.size() >= 8 &&
        std::equal(kCompound.begin(), kCompound.end(), head.begin(),
                   [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }))
        return SourceKind::Compound;
    if (startsWith(head, "PK\x03\x04") || startsWith(head, "PK\x05\x06"))
        return odsMimetypeFirst(head) ? SourceKind::Ods : SourceKind::Zip;
    if (looksLikeXml2003(head)) return SourceKind::Xml2003;
    if (looksLikeHtml(head)) return SourceKind::Html;
    if (looksLikeText(head)) return SourceKind::Text;
    return SourceKind::Unknown;
}

SourceKind sniffSource(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return SourceKind::Missing;
    std::string head(kHeadBytes, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    const SourceKind kind = sniffSourceBytes(head);
    // A package whose "mimetype" entry is not first may still be an OpenDocument spreadsheet
    // that says so further on; the zip directory tells. An .xlsx package (its first entry one
    // of its own parts, as every writer puts them) needs no look.
    if (kind == SourceKind::Zip) {
        const std::string_view first = firstEntryName(head);
        const bool ooxml = first == "[Content_Types].xml" || startsWith(first, "_rels/") ||
                           startsWith(first, "xl/") || startsWith(first, "docProps/");
        if (!ooxml && isOdsPackage(path)) return SourceKind::Ods;
    }
    return kind;
}

std::string sourceKindText(SourceKind kind) {
    switch (kind) {
        case SourceKind::Missing:
            return "无法读取的文件";
        case SourceKind::Empty:
            return "空文件";
        case SourceKind::Zip:
            return "xlsx 工作簿";
        case SourceKind::Ods:
            return "OpenDocument 表格";
        case SourceKind::Compound:
            return "97-2003 工作簿";
        case SourceKind::Html:
            return "HTML 表格";
        case SourceKind::Xml2003:
            return "2003 XML 表格";
        case SourceKind::Text:
            return "文本表格";
        case SourceKind::Unknown:
            break;
    }
    return "不是表格文件";
}

std::string describeSource(SourceKind kind, const fs::path& path) {
    static const std::array<std::pair<SourceKind, std::string_view>, 18> kUsual = {{
        {SourceKind::Zip, ".xlsx"},
        {SourceKind::Zip, ".xlsm"},
        {SourceKind::Zip, ".xltx"},
        {SourceKind::Zip, ".xltm"},
        {SourceKind::Zip, ".et"},
        {SourceKind::Ods, ".ods"},
        {SourceKind::Ods, ".ots"},
        {SourceKind::Compound, ".xls"},
        {SourceKind::Compound, ".xlt"},
        // A workbook with an open password is a compound file under its own name.
        {SourceKind::Compound, ".xlsx"},
        {SourceKind::Compound, ".xlsm"},
        {SourceKind::Compound, ".et"},
        {SourceKind::Html, ".htm"},
        {SourceKind::Html, ".html"},
        {SourceKind::Xml2003, ".xml"},
        {SourceKind::Text, ".csv"},
        {SourceKind::Text, ".txt"},
        {SourceKind::Text, ".tsv"},
    }};
    std::string text = sourceKindText(kind);
    if (kind == SourceKind::Missing || kind == SourceKind::Empty) return text;
    const std::string ext = extensionOf(path);
    for (const auto& [k, e] : kUsual)
        if (k == kind && e == ext) return text;
    return text + "（扩展名 " + (ext.empty() ? std::string("无") : path.extension().string()) +
           "）";
}

}  // namespace ss
