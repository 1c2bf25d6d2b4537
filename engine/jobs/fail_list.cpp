// Where the list of files not merged goes, and writing it without following links.
#include "fail_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <fstream>

#include "job_texts.h"

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

fs::path failListPath(const std::string& folder, const std::string& listPath) {
    if (!listPath.empty()) return fs::path(listPath);
    std::string dir = folder;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return fs::path(dir + "/" + std::string(kFailListName));
}

ss::Status writeFailList(const fs::path& path, std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return ss::writeAtomically(path, [&](const fs::path& temp) -> ss::Status {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(bytes.data(), std::streamsize(bytes.size()));
        if (out) out.close();
        if (!out) return ss::fail("无法写入 " + temp.string() + "：" + ss::systemErrorText(errno));
        return ss::okStatus();
    });
}

void FailList::write(std::string_view text) {
    if (text.empty()) return;
    ss::Status st = writeFailList(path_, text);
    written_ = st.ok();
    if (written_) return;
    std::string lines(text);
    while (!lines.empty() && lines.back() == '\n') lines.pop_back();
    for (size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at))
        lines.replace(at, 1, "；");
    host_.text("无法写入无法合并的文件目录（" + printable(st.message()) + "）。未能合并：" + lines);
}

void FailList::show() {
    if (written_) host_.showTextFile(path_.string());
}

}  // namespace jobs
