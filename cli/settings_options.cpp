#include "settings_options.h"

#include <sys/stat.h>

#include <charconv>
#include <fstream>

namespace cli {

namespace {

constexpr size_t kReadLimit = 20480;  // what the window reads of the file

std::string trimmed(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return text.substr(b, e - b);
}

bool inRange(const std::string& text, int min, int max) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

}  // namespace

std::optional<std::map<std::string, std::string>> readSettingsEntries(const std::string& path) {
    // Only a regular file (a link to one too): opening a pipe waits for a writer, a device may
    // never end.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content(kReadLimit, '\0');
    in.read(content.data(), std::streamsize(content.size()));
    content.resize(size_t(in.gcount()));
    std::map<std::string, std::string> entries;
    size_t start = 0;
    while (start < content.size()) {
        // The window writes "\r\n"; a file edited elsewhere may end its lines with "\n" only.
        const size_t end = content.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        // The first line of a key counts, as the window finds the first entry.
        if (eq != std::string::npos && eq > 0)
            entries.emplace(line.substr(0, eq), trimmed(line.substr(eq + 1)));
        start = end + 1;
    }
    return entries;
}

void applyWindowSettings(const std::string& command,
                         const std::map<std::string, std::string>& settings,
                         std::map<std::string, std::string>& given,
                         std::vector<std::string>& positionals) {
    const auto value = [&](const char* key) {
        auto it = settings.find(key);
        return it == settings.end() ? std::string() : it->second;
    };
    const auto yes = [&](const char* key) { return value(key).rfind('y', 0) == 0; };
    const auto take = [&](const char* option, const std::string& text) {
        if (!text.empty() && !given.count(option)) given[option] = text;
    };
    const auto takeNumber = [&](const char* option, const char* key, int min, int max) {
        if (inRange(value(key), min, max)) take(option, value(key));
    };
    const auto flag = [&](const char* option, bool on) {
        if (on && !given.count(option)) given[option];
    };

    const std::map<std::string, const char*> sourceKeys{
        {"merge-files", "sourcePath"},          {"merge-one-sheet", "sourcePath"},
        {"merge-sheets", "sheetMergePath"},     {"split-sheets", "sheetSplitPath"},
        {"split-rows", "splitFilePathAverage"}, {"split-column", "dataSplitFilePath"},
    };
    if (auto it = sourceKeys.find(command);
        it != sourceKeys.end() && positionals.empty() && !value(it->second).empty())
        positionals.push_back(value(it->second));

    if (command == "split-rows") {
        take("-d", value("sPathAverage"));
        takeNumber("--rows", "rowsAverage", 1, 1000000);
        if (yes("AppointedHRowAverage"))
            takeNumber("--header-rows", "NumOfAppointedHRAverage", 1, 99);
    } else if (command == "split-column") {
        take("-d", value("savePath"));
        takeNumber("--column", "column", 1, 16384);
        if (yes("AppointedHeaderRow")) takeNumber("--header-rows", "NumOfAppointedHeaderR", 1, 99);
        flag("--contains", value("FullMatch") == "n");
        flag("--one-workbook", yes("ToOneWorkBook"));
    }
    const bool appends = command == "merge-one-sheet" ||
                         (command == "merge-sheets" && !given.count("--horizontal")) ||
                         (command == "merge-files" && given.count("--same-name"));
    if (appends) {
        flag("--align-headers", value("AlignHeaders") == "y");
        flag("--source-columns", value("SourceColumns") == "y");
        flag("--spill", value("SpillOver") == "y");
    }
}

}  // namespace cli
