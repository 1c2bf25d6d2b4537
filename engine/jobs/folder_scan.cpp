// The folder scan: files first, then subfolders, each in name order without regard to case.
#include "folder_scan.h"

#include "job_texts.h"
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

namespace {

// Reading a pipe or a device would wait for a writer, or never end.
constexpr const char* kNotRegularFile = "不是普通文件";

std::string foldCase(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
    return out;
}

// Name order without regard to case; names that differ only in case keep a fixed order.
bool nameLess(const std::string& a, const std::string& b) {
    std::string fa = foldCase(a), fb = foldCase(b);
    if (fa != fb) return fa < fb;
    return a < b;
}

void scanInto(const fs::path& dir, std::vector<fs::path>& out, std::vector<std::string>* skipped) {
    std::vector<std::string> files, dirs;
    std::error_code ec;
    auto skip = [&](const fs::path& p, const std::string& why) {
        if (skipped) skipped->push_back(printable(p.string()) + " " + why);
    };
    auto why = [](const std::error_code& e) {
        if (e == std::errc::permission_denied || e == std::errc::operation_not_permitted)
            return std::string("没有读取权限");
        std::string text = ss::systemErrorText(e.value());
        if (text.size() >= 3 && text.compare(text.size() - 3, 3, "。") == 0)
            text.resize(text.size() - 3);
        return text;
    };
    fs::directory_iterator it(dir, ec);
    if (ec) {
        skip(dir, "无法读取的文件夹（" + why(ec) + "）");
        return;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            skip(dir, "读取文件夹时出错（" + why(ec) + "）");
            return;
        }
        const fs::directory_entry& entry = *it;
        std::error_code sec;
        std::string name = entry.path().filename().string();
        if (entry.is_symlink(sec)) {
            // The link's target decides: a file is merged as a file, a folder is not entered.
            std::error_code tec;
            fs::file_status target = fs::status(entry.path(), tec);
            if (fs::is_regular_file(target))
                files.push_back(std::move(name));
            else if (fs::is_directory(target))
                skip(entry.path(), "是指向文件夹的链接，未进入");
            else if (!fs::exists(target))
                skip(entry.path(), "是指向不存在位置的链接，已跳过");
            else
                skip(entry.path(), kNotRegularFile);  // a device, a pipe, a socket
            continue;
        }
        if (entry.is_directory(sec)) {
            if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden folders
            dirs.push_back(std::move(name));
        } else if (entry.is_regular_file(sec)) {
            files.push_back(std::move(name));
        } else if (!sec) {
            skip(entry.path(), kNotRegularFile);  // a pipe, a socket, a device
        }
    }
    std::sort(files.begin(), files.end(), nameLess);
    std::sort(dirs.begin(), dirs.end(), nameLess);
    for (const auto& f : files) out.push_back(dir / f);
    // Links to folders are never followed, so the recursion ends with the folder tree.
    for (const auto& d : dirs) scanInto(dir / d, out, skipped);
}

}  // namespace

std::vector<fs::path> scanFolder(const fs::path& folder, std::vector<std::string>* skipped) {
    std::vector<fs::path> out;
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    scanInto(fs::path(text), out, skipped);
    return out;
}

std::vector<fs::path> spreadsheetFilesIn(const fs::path& folder,
                                         std::vector<std::string>* skipped) {
    std::vector<fs::path> files;
    for (const fs::path& f : scanFolder(folder, skipped))
        if (automation::isSpreadsheetFile(f.string(), automation::FileTestVariant::FolderMerge))
            files.push_back(f);
    return files;
}

}  // namespace jobs
