// The save-file question of the jobs that write one workbook, and the save that follows it.
#pragma once

#include <string>
#include <string_view>

#include "../job_host.h"
#include "application.h"
#include "outputs.h"

namespace jobs {

// Told after the closing text when the save-file question is cancelled.
inline constexpr std::string_view kNotSaved = "未保存。";

// How the save-file question ended.
enum class SaveOutcome {
    Cancelled,    // the user gave no path; nothing was written
    Saved,        // saved under the chosen path
    SavedAsXlsx,  // .xls asked for, but the data does not fit it: saved as .xlsx beside it
    Failed,       // the save was refused; the reason was shown
};
struct SaveResult {
    SaveOutcome outcome = SaveOutcome::Cancelled;
    std::string path;  // the file written (Saved, SavedAsXlsx) or attempted (Failed)
};

// The save-file question: asks the host for a path (caption "保存文件", proposed name
// base + ".xlsx" and filter "EXCEL(*.xlsx)", or base + ".xls" and "EXCEL(*.xls)" with `xls`),
// then saves the target in the default format, or as a 97-2003 workbook (code 56) with `xls`.
// A workbook with a sheet beyond 65,536 rows or 256 columns is not cut to fit .xls: it is saved
// as .xlsx under the same name with the extension changed (never over an existing file), and the
// host is told where. A name that is one of the job's sources is refused with a text and the
// question asked again (a host that gives the same name again ends it as Failed). A completed
// save is reported through host.saved(); a failed one is shown. The caller closes the target.
SaveResult askAndSave(JobHost& host, automation::Workbook& target, std::string_view baseName,
                      bool xls, const SourceFiles& sources = {});

// True when some worksheet of the workbook holds data beyond row 65,536 or column 256.
bool exceedsXlsLimits(const ss::Workbook& wb);

}  // namespace jobs
