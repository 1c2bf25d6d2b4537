// The options of a job, filled by a start slot (or the command line) before the job starts and
// read by the job on its worker thread. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JobOptions {
    std::string jobSourcePath;
    std::string failListPath;
    bool saveAsXls = false;
    bool skipEmptySheets = false;
    bool onlyNamedSheet = false;
    std::string namedSheet;
    bool onlyFirstSheet = false;
    bool fileNameAsSheetName = false;
    bool mergeSameNameSheets = false;
    bool headerRowsOnce = false;
    int headerRowCount = 0;
    bool deleteEmptyKeyRows = false;
    int keyColumn = 0;

    bool sheetMergeVertical = true;
    bool sheetMergeSaveAsXls = false;
    bool sheetMergeOrganise = false;
    bool sheetMergeDeleteEmptyKeyRows = false;
    int sheetMergeKeyColumn = 0;
    bool sheetMergeHeaderRowsOnce = false;
    int sheetMergeHeaderRowCount = 0;

    bool splitAsXlsx = true;

    // Every job: outputs hold the stored values of formulas instead of the formulas.
    bool formulasAsValues = false;

    std::string splitSourceFile;
    std::string splitSaveDir;  // ends with "/"
    bool evenHeaderRows = false;
    int evenHeaderRowCount = 1;
    int rowsPerWorkbook = 1;
    bool evenLastColumnSet = false;
    int evenLastColumn = 0;

    bool classifyHeaderRows = false;
    int classifyHeaderRowCount = 1;
    bool highSpeedMode = false;
    bool fullMatch = false;
    bool toOneWorkbook = false;
    int classifyColumn = 1;
    bool classifyLastColumnSet = false;
    int classifyLastColumn = 0;
    std::vector<std::string> classifyValues;
    std::vector<std::string> classifyFileNames;

    // Options of the "高级选项" tab and their command-line flags; all off by default, and off
    // they change nothing.
    bool alignHeaders = false;  // appending merges: match columns by header text
    bool sourceColumns = false;  // appending merges: "来源文件" and "来源工作表" at the left
    bool spill = false;          // appending merges: continuation sheets past the row limit
    uint32_t rowLimit = 0;       // last row of an output sheet; 0: the output format's own
    std::string reportPath;      // report of every source file and sheet (.xlsx/.csv/.json)
    bool reportBesideOutput = false;  // the report as "<output>_报告.xlsx" beside the output
    bool dryRun = false;              // decide everything, write nothing, show the plan
    // Passwords (UTF-8), kept in memory only: never stored in the settings file, printed or
    // reported. Those tried on workbooks with an open password, and the open password every
    // .xlsx output is saved with (empty: outputs are saved as they are).
    std::vector<std::string> openPasswords;
    std::string encryptPassword;
};

// The process-wide record the window's start slots fill.
JobOptions& jobOptions();
