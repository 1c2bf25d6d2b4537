// The save-file question and the save, with .xls outputs too large for the format kept as .xlsx.
#include "save_question.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "job_texts.h"
#include "outputs.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

bool exceedsXlsLimits(const ss::Workbook& wb) {
    for (const auto& sheet : wb.sheets) {
        if (sheet->kind != ss::SheetKind::Worksheet) continue;
        auto bounds = sheet->contentBounds();
        if (bounds && (bounds->lastRow > ss::kXlsMaxRows || bounds->lastCol > ss::kXlsMaxCols))
            return true;
    }
    return false;
}

namespace {

// The .xlsx twin of an .xls path that does not exist yet: "out.xlsx", else "out (2).xlsx" ...
fs::path xlsxBeside(const fs::path& xlsPath) {
    fs::path stem = xlsPath.parent_path() / xlsPath.stem();
    std::error_code ec;
    fs::path candidate = stem.string() + ".xlsx";
    for (int n = 2; fs::exists(candidate, ec) && n < 1000; ++n)
        candidate = stem.string() + " (" + std::to_string(n) + ").xlsx";
    return candidate;
}

}  // namespace

SaveResult askAndSave(JobHost& host, automation::Workbook& target, std::string_view baseName,
                      bool xls, const SourceFiles& sources) {
    const std::string ext = xls ? ".xls" : ".xlsx";
    SaveResult result;
    std::optional<std::string> answer, refused;
    for (;;) {
        // Asked again after a refusal, the caption says why.
        const std::string caption =
            refused ? std::string(kSaveCaption) + "（不能保存为源文件，请另选文件名）"
                    : std::string(kSaveCaption);
        answer = host.askSaveFileName(caption, std::string(baseName) + ext, "EXCEL(*" + ext + ")");
        if (!answer || answer->empty()) {
            // The closing text told what was merged; without this the user takes it as saved.
            host.text(std::string(kNotSaved));
            return result;
        }
        if (!sources.contains(*answer)) break;
        host.text(sourceRefusedText(*answer));
        if (answer == refused) {  // the same name again: the host cannot choose another
            result.outcome = SaveOutcome::Failed;
            result.path = *answer;
            return result;
        }
        refused = answer;
    }

    const fs::path path(*answer);
    result.path = path.string();
#ifdef __GLIBC__
    // The sources were read on threads of their own, whose freed memory stays with those
    // threads' heaps: handed back here, before the writing needs room of its own.
    malloc_trim(0);
#endif
    ss::Status st = ss::okStatus();
    if (xls && exceedsXlsLimits(target.model())) {
        fs::path beside = xlsxBeside(path);
        st = target.SaveAs(beside, automation::kFormatXlsx);
        result.path = beside.string();
        if (st.ok()) {
            result.outcome = SaveOutcome::SavedAsXlsx;
            host.text("数据超出xls格式上限(65536行/256列)，已另存为：" + printable(result.path));
            host.saved(result.path);
            return result;
        }
    } else if (xls) {
        st = target.SaveAs(path, automation::kFormatXls);
    } else {
        st = target.SaveAs(path);
    }
    if (st.ok()) {
        result.outcome = SaveOutcome::Saved;
        host.saved(result.path);
        return result;
    }
    result.outcome = SaveOutcome::Failed;
    host.text("保存失败：" + printable(st.message()));
    return result;
}

}  // namespace jobs
