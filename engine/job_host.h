// What a job needs from whoever runs it (the window's worker, the command line, a test): a place
// for its texts and progress, the answer to the save-file question, a viewer for the list of
// unmergeable files, and whether the user asked it to stop.
#pragma once

#include <optional>
#include <string>
#include <vector>

// What a job does with files already standing where its outputs go that this run did not write.
enum class ExistingFiles {
    ReplaceAll,  // replace them (never a source of the job)
    KeepBoth,    // save the output as "name (2).ext" beside them
    Stop,        // write nothing more; the job ends and names what it wrote
};

class JobHost {
public:
    virtual ~JobHost() = default;

    // A progress or result text (UTF-8); each replaces the previous one in the status line.
    virtual void text(const std::string& message) = 0;

    // Counts of the job's unit of work (files, sheets, blocks, values) done of their total.
    virtual void progress(int done, int total) { (void)done, (void)total; }

    // The save-file question: caption, proposed file name (no folder) and filter such as
    // "EXCEL(*.xlsx)". Returns the chosen path (with the filter's extension appended when the
    // name lacks it), or none when the user cancelled. Blocks until answered.
    virtual std::optional<std::string> askSaveFileName(const std::string& caption,
                                                       const std::string& proposedName,
                                                       const std::string& filter) = 0;

    // The answer the save-file question will get, when it is known before the job starts (the
    // command line's -o), with the filter's extension as askSaveFileName appends it; a job
    // refuses it before any work when it names one of its sources. None: asked at the end.
    virtual std::optional<std::string> knownSaveAnswer(const std::string& filter) {
        (void)filter;
        return std::nullopt;
    }

    // The file the save-file question's answer led to, once it is complete under its name (it
    // may differ from the answer: an .xlsx beside an .xls that could not hold the data).
    virtual void saved(const std::string& path) { (void)path; }

    // Asked at most once per job, the first time an output would take the name of a file this
    // run did not write (`path`); the answer holds for the rest of the job.
    virtual ExistingFiles askExistingFiles(const std::string& path) {
        (void)path;
        return ExistingFiles::KeepBoth;
    }

    // Shows a text file (the list of files that could not be merged). Failing to show it
    // never fails the job.
    virtual void showTextFile(const std::string& path) { (void)path; }

    // The plan of a dry run: a header row, then one row per source file and sheet.
    virtual void showPlan(const std::vector<std::vector<std::string>>& table) { (void)table; }

    // True once the user asked the job to stop; jobs check between files or blocks.
    virtual bool cancelRequested() const { return false; }
};
