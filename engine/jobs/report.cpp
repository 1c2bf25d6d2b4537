#include "report.h"

#include <fstream>
#include <map>
#include <system_error>

#include "job_options.h"
#include "job_texts.h"
#include "sheet_routines.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace fs = std::filesystem;

namespace jobs {

namespace {

bool allDigits(const std::string& s) {
    if (s.empty() || s.size() > 15) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Columns of counts: rows taken, header rows dropped, empty-key rows removed, frozen formulas.
bool numericColumn(size_t i) {
    return (i >= 3 && i <= 5) || i == 10;
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            static const char* hex = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string writeBytes(const fs::path& path, const std::string& bytes) {
    ss::Status st = ss::writeAtomically(path, [&](const fs::path& temp) -> ss::Status {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(bytes.data(), std::streamsize(bytes.size()));
        if (out) out.close();
        if (!out) return ss::fail("无法写入文件：" + printable(path.string()));
        return ss::okStatus();
    });
    return st.ok() ? std::string() : st.message();
}

}  // namespace

std::string proposedName(const std::string& baseName, bool xls) {
    return baseName + (xls ? ".xls" : ".xlsx");
}

std::string outcomeFailed(const std::string& reason) {
    return "失败：" + reason;
}

std::string outcomeSplit(int parts) {
    return "已拆分为" + std::to_string(parts) + "个文件";
}

Report::Report(const JobOptions& options)
    : active_(options.dryRun || !options.reportPath.empty() || options.reportBesideOutput),
      dryRun_(options.dryRun),
      path_(options.reportPath),
      beside_(options.reportBesideOutput) {}

void Report::watch(const automation::ReferenceReport& references, LeftBehind& left) {
    references_ = &references;
    left_ = &left;
    seenFrozen_ = references.frozenFormulas;
    seenDropped_ = references.droppedElements;
    seenNames_ = references.droppedNames;
}

void Report::absorb(ReportEntry& entry) {
    std::string notCarried;
    if (left_) notCarried = left_->takeRecent();
    if (references_) {
        const automation::ReferenceReport& r = *references_;
        entry.frozenFormulas += r.frozenFormulas - seenFrozen_;
        auto count = [&](uint64_t now, uint64_t& seen, const char* kind) {
            if (now > seen)
                notCarried += (notCarried.empty() ? "" : "、") + std::string(kind) + " " +
                              std::to_string(now - seen) + " 个";
            seen = now;
        };
        seenFrozen_ = r.frozenFormulas;
        count(r.droppedElements, seenDropped_, "条件格式、数据验证或超链接");
        count(r.droppedNames, seenNames_, "名称");
    }
    if (!notCarried.empty())
        entry.notCarried += (entry.notCarried.empty() ? "" : "、") + notCarried;
}

void Report::copiedLast() {
    if (active_ && !entries_.empty()) absorb(entries_.back());
}

void Report::opened(const ss::Workbook& source) {
    format_ = source.sourceFormat;
}

void Report::add(ReportEntry entry) {
    if (!active_) return;
    if (entry.format.empty() && !entry.sheet.empty()) entry.format = format_;
    absorb(entry);
    if (!pendingSheet_.empty() && entry.sheet == pendingSheet_) {
        entry.textColumns = std::move(pendingText_);
        pendingSheet_.clear();
    }
    entries_.push_back(std::move(entry));
}

namespace {

// Digits only, as the .csv reader keeps them text: a leading zero, or more than 15 digits.
bool identifierText(std::string_view s) {
    if (s.size() < 2) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return s[0] == '0' || s.size() > 15;
}

}  // namespace

void Report::inspect(automation::Worksheet& sheet, const fs::path& file) {
    pendingSheet_.clear();
    pendingText_.clear();
    if (!active_) return;
    std::string ext = file.extension().string();
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    const ss::Workbook& wb = sheet.Parent().model();
    if (ext != ".csv" && !wb.sourceIsText) return;
    const ss::Worksheet& ws = sheet.model();
    std::map<uint32_t, bool> columns;
    uint32_t firstRow = 0;
    for (const ss::Row& row : ws.rows()) {
        if (firstRow == 0) firstRow = row.index;
        for (const ss::Cell& cell : row.cells)
            if (cell.type == ss::CellType::String && !columns.count(cell.col) &&
                identifierText(wb.cellText(cell)))
                columns[cell.col] = true;
    }
    for (const auto& [col, on] : columns) {
        std::string name = automation::columnLetters(col);
        if (const ss::Cell* head = ws.find(firstRow, col);
            head && head->type == ss::CellType::String)
            name += "(" + wb.cellText(*head) + ")";
        pendingText_ += (pendingText_.empty() ? "" : "、") + name;
    }
    if (!pendingText_.empty()) pendingSheet_ = sheet.Name();
}

void Report::failLast(const std::string& reason) {
    if (!entries_.empty()) failAt(entries_.size() - 1, reason);
}

void Report::markLast(std::string outcome) {
    if (!entries_.empty()) markAt(entries_.size() - 1, std::move(outcome));
}

void Report::outputLast(std::string output) {
    if (!entries_.empty()) outputAt(entries_.size() - 1, std::move(output));
}

void Report::failAt(size_t i, const std::string& reason) {
    if (i >= entries_.size()) return;
    entries_[i].outcome = outcomeFailed(reason);
    entries_[i].outputSheet.clear();
}

void Report::markAt(size_t i, std::string outcome) {
    if (i >= entries_.size()) return;
    entries_[i].outcome = std::move(outcome);
    entries_[i].outputSheet.clear();
}

void Report::outputAt(size_t i, std::string output) {
    if (i < entries_.size()) entries_[i].outputSheet = std::move(output);
}

std::vector<std::vector<std::string>> Report::table(const std::string& output) const {
    std::vector<std::vector<std::string>> t;
    t.push_back({"文件", "工作表", "结果", "取用行数", "去掉的表头行", "删除的空关键行", "输出文件",
                 "输出位置", "说明", "保留为文本的列", "冻结的公式", "未带到输出的内容",
                 "文件格式"});
    for (const ReportEntry& e : entries_)
        t.push_back({e.file, e.sheet, e.outcome, std::to_string(e.rows),
                     std::to_string(e.headerRowsDropped), std::to_string(e.emptyKeyRowsRemoved),
                     e.outputSheet.empty() ? std::string() : output, e.outputSheet, e.note,
                     e.textColumns, std::to_string(e.frozenFormulas), e.notCarried, e.format});
    return t;
}

void Report::finish(JobHost& host, const std::string& output, std::string besidePath) const {
    if (!active_) return;
    if (besidePath.empty()) besidePath = output;
    const auto t = table(output);
    if (dryRun_) host.showPlan(t);
    fs::path target;
    if (!path_.empty())
        target = path_;
    else if (beside_ && !besidePath.empty() && !dryRun_)
        target = reportBeside(besidePath);
    if (target.empty()) return;
    const std::string failure = writeTable(t, target);
    if (failure.empty())
        host.text(std::string(kReportSaved) + target.string());
    else
        host.text(std::string(kReportFailed) + failure);
}

std::string writeTable(const std::vector<std::vector<std::string>>& table, const fs::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    if (ext == ".csv") {
        std::string bytes = "\xEF\xBB\xBF";
        for (const auto& row : table) {
            for (size_t i = 0; i < row.size(); ++i) bytes += (i ? "," : "") + csvField(row[i]);
            bytes += "\r\n";
        }
        return writeBytes(path, bytes);
    }
    if (ext == ".json") {
        std::string bytes = "[";
        for (size_t r = 1; r < table.size(); ++r) {
            bytes += r > 1 ? ",\n {" : "\n {";
            for (size_t i = 0; i < table[r].size() && i < table[0].size(); ++i) {
                bytes += (i ? ", " : "") + jsonString(table[0][i]) + ": ";
                bytes += (numericColumn(i) && allDigits(table[r][i])) ? table[r][i]
                                                                      : jsonString(table[r][i]);
            }
            bytes += "}";
        }
        bytes += table.size() > 1 ? "\n]\n" : "]\n";
        return writeBytes(path, bytes);
    }
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("报告");
    for (size_t r = 0; r < table.size(); ++r)
        for (size_t c = 0; c < table[r].size(); ++c) {
            const std::string& s = table[r][c];
            if (s.empty()) continue;
            if (r > 0 && numericColumn(c) && allDigits(s))
                ws.setNumber(uint32_t(r + 1), uint32_t(c + 1), std::stod(s));
            else
                ws.setString(uint32_t(r + 1), uint32_t(c + 1), wb.strings.add(s));
        }
    ss::Status st = ss::saveWorkbook(wb, path, ss::FileFormat::Xlsx);
    return st.ok() ? std::string() : st.message();
}

fs::path reportBeside(const fs::path& output) {
    return output.parent_path() / (output.stem().string() + "_报告.xlsx");
}

std::string relativeLabel(const fs::path& file, const fs::path& folder) {
    std::error_code ec;
    fs::path rel = fs::relative(file, folder, ec);
    if (ec || rel.empty() || rel.native().rfind("..", 0) == 0) return file.filename().string();
    return rel.generic_string();
}

}  // namespace jobs
