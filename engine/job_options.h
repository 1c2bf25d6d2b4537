// The options of a job, filled by a start slot (or the command line) before the job starts and
// read by the job on its worker thread. Paths are UTF-8.
#pragma once

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
};

// The process-wide record the window's start slots fill.
JobOptions& jobOptions();
