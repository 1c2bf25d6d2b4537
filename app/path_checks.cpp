#include "path_checks.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>

namespace tw {
namespace {

// "*" matches any run of characters, "?" exactly one; everything else matches itself.
bool wildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool anyEntryMatches(const std::string& folder, std::string_view pattern) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        if (wildcardMatch(pattern, entry->d_name)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

bool pathExists(const std::string& path) {
    if (path.empty()) return false;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) return true;
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string_view last = std::string_view(path).substr(folder.size());
    if (last.find_first_of("*?") == std::string_view::npos) return false;
    if (folder.find_first_of("*?") != std::string::npos) return false;
    return anyEntryMatches(folder, last);
}

bool directoryExists(const std::string& path) {
    std::string folder = path;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    if (folder.empty()) return false;
    struct stat info;
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace tw
