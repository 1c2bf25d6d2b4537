#include "split_common.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "spreadsheet/utf8.h"

namespace splitjob {

namespace {

// Decodes one UTF-8 sequence at `i`; malformed bytes are taken one by one as themselves.
char32_t decode(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > s.size()) len = 1;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < len; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            len = 1;
            cp = c;
            break;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    i += len;
    return cp;
}

void encode(char32_t cp, std::string& out) {
    ss::appendUtf8(out, cp);
}

bool isSpace(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

char32_t foldChar(char32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;     // Latin-1 capitals
    if (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) return cp + 0x20;  // Greek
    if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;                 // Cyrillic
    if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
    if (cp >= 0x100 && cp <= 0x17F && cp % 2 == 0 && cp != 0x130 && cp != 0x138)
        return cp + 1;  // Latin Extended-A pairs (approximation, good enough for names)
    return cp;
}

std::string withSuffix(std::string_view base, int n, size_t maxUnits) {
    std::string suffix = n > 1 ? " (" + std::to_string(n) + ")" : "";
    std::string head(base);
    if (maxUnits && utf16Length(head) + suffix.size() > maxUnits)
        head = truncateUtf16(head, maxUnits > suffix.size() ? maxUnits - suffix.size() : 0);
    return head + suffix;
}

}  // namespace

std::string removeForbiddenNameChars(std::string_view name) {
    std::string out(name);
    for (char bad : {':', '\\', '/', '*', '?', '"', '<', '>', '|'})
        out.erase(std::remove(out.begin(), out.end(), bad), out.end());
    return out;
}

std::string sheetNameWithinRules(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name)
        if (c != ':' && c != '\\' && c != '/' && c != '?' && c != '*' && c != '[' && c != ']')
            out += c;
    out = truncateUtf16(out, 31);
    // Apostrophes at the ends go after the cut, so a cut cannot bring one to the end again.
    size_t first = out.find_first_not_of('\'');
    if (first == std::string::npos) return std::string(kBlankName);
    size_t last = out.find_last_not_of('\'');
    return out.substr(first, last - first + 1);
}

std::string foldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) encode(foldChar(decode(text, i)), out);
    return out;
}

size_t utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) units += decode(text, i) >= 0x10000 ? 2 : 1;
    return units;
}

std::string truncateUtf16(std::string_view text, size_t units) {
    size_t used = 0, i = 0;
    while (i < text.size()) {
        size_t next = i;
        size_t w = decode(text, next) >= 0x10000 ? 2 : 1;
        if (used + w > units) break;
        used += w;
        i = next;
    }
    return std::string(text.substr(0, i));
}

void UniqueNames::reserve(std::string_view name) {
    taken_.insert(foldCase(name));
}

bool UniqueNames::taken(const std::string& name) const {
    return taken_.count(foldCase(name)) != 0;
}

std::string UniqueNames::take(std::string_view name) {
    std::string_view base = name.empty() ? kBlankName : name;
    std::string candidate = withSuffix(base, 1, maxUnits_);
    if (taken(candidate)) {
        // Names are never given back: every number below the base's counter is taken.
        int& next = next_.try_emplace(foldCase(base), 2).first->second;
        for (candidate = withSuffix(base, next, maxUnits_); taken(candidate);)
            candidate = withSuffix(base, ++next, maxUnits_);
        ++next;
    }
    reserve(candidate);
    return candidate;
}

bool isBlankText(std::string_view text) {
    for (size_t i = 0; i < text.size();)
        if (!isSpace(decode(text, i))) return false;
    return true;
}

std::vector<std::string> distinctNonBlank(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    std::unordered_set<std::string_view> seen;
    seen.reserve(texts.size());
    for (const auto& t : texts)
        if (seen.insert(t).second && !isBlankText(t)) out.push_back(t);
    return out;
}

std::string filterCriterion(std::string_view value, bool fullMatch) {
    std::string out = fullMatch ? "" : "*";
    for (char c : value) {
        if (c == '*' || c == '?' || c == '~') out += '~';
        out += c;
    }
    if (!fullMatch) out += '*';
    return out;
}

bool keyMatches(std::string_view key, std::string_view value, bool fullMatch) {
    return fullMatch ? key == value : key.find(value) != std::string_view::npos;
}

std::string baseNameToFirstDot(std::string_view path) {
    size_t slash = path.find_last_of('/');
    std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return std::string(file.substr(0, file.find('.')));
}

std::string baseNameToLastDot(std::string_view path) {
    size_t slash = path.find_last_of('/');
    std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = file.rfind('.');
    return std::string(dot == std::string_view::npos ? file : file.substr(0, dot));
}

std::string folderOf(std::string_view path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool sameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(fs::path(a), fs::path(b), ec) && !ec) return true;
    std::error_code ea, eb;
    fs::path ca = fs::weakly_canonical(fs::path(a), ea), cb = fs::weakly_canonical(fs::path(b), eb);
    return !ea && !eb && ca == cb;
}

std::string withFailures(std::string result, const std::vector<std::string>& failed) {
    if (failed.empty()) return result;
    constexpr size_t kListed = 5;
    result += std::string(kNotSavedMark) + num(static_cast<long long>(failed.size())) + "个文件：";
    for (size_t i = 0; i < failed.size() && i < kListed; ++i) result += (i ? "、" : "") + failed[i];
    if (failed.size() > kListed) result += "等";
    return result;
}

}  // namespace splitjob
