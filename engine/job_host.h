// What a job needs from whoever runs it (the window's worker, the command line, a test): a place
// for its texts and progress, the answer to the save-file question, a viewer for the list of
// unmergeable files, and whether the user asked it to stop.
#pragma once

#include <optional>
#include <string>

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

    // The job's result was written to `path`, the answer to the save-file question (or the
    // .xlsx beside it). The window shows where; the command line prints it anyway.
    virtual void saved(const std::string& path) { (void)path; }

    // Shows a text file (the list of files that could not be merged). Failing to show it
    // never fails the job.
    virtual void showTextFile(const std::string& path) { (void)path; }

    // True once the user asked the job to stop; jobs check between files or blocks.
    virtual bool cancelRequested() const { return false; }
};
