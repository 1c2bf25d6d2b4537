// The JobHost of the command line: the job's texts go to standard error one per line, with a
// progress bar below them on a terminal; the save-file question is answered with the -o path;
// the list of unmergeable files is not shown but its path is printed on standard output; a
// SIGINT or SIGTERM asks the job to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "job_host.h"

namespace cli {

// Installs the SIGINT/SIGTERM handlers that request a stop; a second signal ends the process.
void installStopHandlers();
bool stopRequested();

// Display width of a UTF-8 text on a terminal (East Asian wide characters count two).
int displayWidth(const std::string& text);
// The end of the text that fits in `width` columns, with a leading "…" when cut.
std::string fitFromLeft(const std::string& text, int width);

class ConsoleHost : public JobHost {
public:
    // `saveAnswer` answers the save-file question (none: the question is declined).
    // `terminal` selects the progress bar; otherwise progress goes out as plain lines.
    ConsoleHost(std::FILE* err, std::FILE* out, bool terminal,
                std::optional<std::string> saveAnswer);
    ~ConsoleHost() override;

    void text(const std::string& message) override;
    void progress(int done, int total) override;
    std::optional<std::string> askSaveFileName(const std::string& caption,
                                               const std::string& proposedName,
                                               const std::string& filter) override;
    void showTextFile(const std::string& path) override;
    bool cancelRequested() const override;

    // Removes the progress bar and stops its clock; idempotent.
    void finish();

    const std::string& lastText() const { return lastText_; }
    // The last text that is not the note of what the job left behind (which follows the
    // result text).
    const std::string& resultText() const { return resultText_; }
    // The path the save-file question was answered with, when it was asked and answered.
    const std::optional<std::string>& savedPath() const { return savedPath_; }
    // True when a file was written at savedPath() after the question was answered (a file that
    // was there before and was left alone does not count).
    bool savedFileWritten() const;

private:
    void drawBarLocked();
    void clearBarLocked();
    void tick();

    std::FILE* err_;
    std::FILE* out_;
    bool terminal_;
    std::optional<std::string> saveAnswer_;
    std::optional<std::string> savedPath_;
    struct FileStamp {
        bool exists = false;
        unsigned long long device = 0, inode = 0;
        long long size = 0, mtimeNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp stampOf(const std::string& path);
    FileStamp stampBeforeSave_;
    std::string lastText_, resultText_;
    std::chrono::steady_clock::time_point start_;

    std::mutex mutex_;
    int done_ = 0;
    int total_ = 0;
    bool haveProgress_ = false;
    bool pendingProgressLine_ = false;
    bool barShown_ = false;
    bool finished_ = false;
    std::condition_variable wake_;
    std::thread clock_;
};

}  // namespace cli
