#include "settings_file.h"

#include <cstdio>
#include <memory>

namespace tw {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::string_view kLineEnd = "\r\n";

// Position of the first or last non-overlapping occurrence, or npos. An empty pattern never
// occurs.
std::size_t findPattern(std::string_view text, std::string_view pattern, bool useLast) {
    if (pattern.empty()) return std::string_view::npos;
    std::size_t found = text.find(pattern);
    if (!useLast) return found;
    std::size_t last = found;
    while (found != std::string_view::npos) {
        last = found;
        found = text.find(pattern, found + pattern.size());
    }
    return last;
}

// The first occurrence of "key=" that starts a line. A match inside another line (a value such
// as "D:/column=1") is not the key's entry.
std::size_t findEntry(std::string_view text, std::string_view key) {
    const std::string pattern = std::string(key) + "=";
    for (std::size_t pos = text.find(pattern); pos != std::string_view::npos;
         pos = text.find(pattern, pos + 1)) {
        if (pos == 0 || text[pos - 1] == '\n') return pos;
    }
    return std::string_view::npos;
}

std::string trimmed(std::string_view text) {
    std::string work(text);
    trimBlanks(work);
    return work;
}

}  // namespace

int readSettingsFile(std::string& buffer, const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return -1;
    std::string content(kSettingsReadLimit, '\0');
    const std::size_t got = std::fread(content.data(), 1, content.size(), file.get());
    content.resize(got);
    buffer = std::move(content);
    return 0;
}

std::string getSetting(std::string_view content, std::string_view key) {
    const std::string work = trimmed(content);
    const std::size_t entry = findEntry(work, key);
    if (entry == std::string::npos) return {};
    const std::size_t valueStart = entry + key.size() + 1;
    // The window writes "\r\n"; a file edited elsewhere may end its lines with "\n" only.
    const std::size_t lineEnd = work.find('\n', valueStart);
    if (lineEnd == std::string::npos) return {};
    std::string value = work.substr(valueStart, lineEnd - valueStart);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    trimBlanks(value);
    return value;
}

int setSetting(const std::string& path, std::string_view key, std::string_view value) {
    std::string content;
    {
        File file(std::fopen(path.c_str(), "r+b"));
        if (!file) return -1;
        char chunk[8192];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
            content.append(chunk, got);
        if (std::ferror(file.get())) return -1;
    }

    // A line break inside the value would start a line of its own and could pose as another key.
    std::string line(key);
    line += '=';
    for (char c : value) {
        if (c != '\r' && c != '\n') line += c;
    }
    line += kLineEnd;

    const std::string work = trimmed(content);
    std::string updated;
    const std::size_t entry = findEntry(work, key);
    if (entry == std::string::npos) {
        updated = line + work;
    } else {
        updated = work.substr(0, entry) + line;
        const std::size_t lineEnd = work.find('\n', entry + key.size() + 1);
        if (lineEnd != std::string::npos) updated += work.substr(lineEnd + 1);
    }

    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return -1;
    if (std::fwrite(updated.data(), 1, updated.size(), file.get()) != updated.size()) return -1;
    if (std::fflush(file.get()) != 0) return -1;
    return 0;
}

int textBefore(std::string& out, std::string_view text, std::string_view pattern,
               bool includePattern, bool useLast) {
    const std::size_t pos = findPattern(text, pattern, useLast);
    if (pos == std::string_view::npos) {
        out.clear();
        return -1;
    }
    out = std::string(text.substr(0, includePattern ? pos + pattern.size() : pos));
    return 1;
}

int textAfter(std::string& out, std::string_view text, std::string_view pattern,
              bool includePattern, bool useLast) {
    const std::size_t pos = findPattern(text, pattern, useLast);
    if (pos == std::string_view::npos) {
        out.clear();
        return -1;
    }
    out = std::string(text.substr(includePattern ? pos : pos + pattern.size()));
    return 1;
}

int textBetween(std::string& out, std::string_view text, std::string_view startPattern,
                std::string_view endPattern) {
    std::string after;
    if (textAfter(after, text, startPattern, false, false) < 0) {
        out.clear();
        return -1;
    }
    return textBefore(out, after, endPattern, false, false);
}

void trimBlanks(std::string& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    text = text.substr(begin, end - begin);
}

}  // namespace tw
