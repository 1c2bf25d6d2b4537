// Texts several jobs share: file names as one line, read notes, closing-text notes.
#include "job_texts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <cstdio>

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
             static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string fileBaseName(const fs::path& file) {
    std::string name = file.filename().string();
    return name.substr(0, name.find('.'));
}

std::string nothingMergedText(int files, int unreadable) {
    std::string why = files == 0            ? "文件夹中没有表格文件"
                      : unreadable == files ? "所有工作簿都无法打开"
                                            : "工作簿中没有可合并的sheet";
    return "没有可合并的内容：" + why + "，未保存任何文件。";
}

std::string unopenedLine(const fs::path& file, const std::string& message) {
    // The readers name the file in front of their reason; the line names it once.
    const std::string head = "无法打开文件 " + file.string() + "：";
    const std::string reason =
        message.compare(0, head.size(), head) == 0 ? message.substr(head.size()) : message;
    return printable(file.string()) + " " + printable(reason);
}

std::string unopenedNote(int count, const std::string& listName) {
    if (count <= 0) return {};
    return "注意：有" + std::to_string(count) + "个文件无法打开" +
           (listName.empty() ? std::string() : "，已列入" + printable(listName)) + "。";
}

std::string notFittedNote(int count) {
    if (count <= 0) return {};
    return "注意：有" + std::to_string(count) + "个sheet超出表格行列上限，未能合并。";
}

void reportReadNotes(JobHost& host, const fs::path& file, const ss::Workbook& wb) {
    constexpr size_t kShown = 20;
    const auto& notes = wb.readNotes;
    for (size_t i = 0; i < notes.size() && i < kShown; ++i)
        host.text("注意：" + printable(file.string()) + " " + printable(notes[i]));
    if (notes.size() > kShown)
        host.text("注意：" + printable(file.string()) + " 另有" +
                  std::to_string(notes.size() - kShown) + "处同类改动");
}

std::string readNoteLines(const fs::path& file, const ss::Workbook& wb) {
    std::string out;
    for (const auto& note : wb.readNotes)
        out += printable(file.string()) + " " + printable(note) + "\n";
    return out;
}

}  // namespace jobs
