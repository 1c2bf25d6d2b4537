// The JobHost of the command line: the job's texts go to standard error one per line, with a
// progress bar below them on a terminal; the save-file question is answered with the -o path;
// the list of unmergeable files is not shown but its path is printed on standard output; a
// SIGINT or SIGTERM asks the job to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "job_host.h"
#include "jobs/outputs.h"

namespace cli {

// Installs the SIGINT/SIGTERM handlers that request a stop. A second signal ends the process at
// once, unless a save is in progress: then that save is abandoned (its temporary file removed,
// the previous file kept) or, when it is already past that point, completes.
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
    // `overwrite`: a file already at the save answer or an output's name is replaced; otherwise
    // both are kept and the new file takes the next free name "name (2)".
    ConsoleHost(std::FILE* err, std::FILE* out, bool terminal,
                std::optional<std::string> saveAnswer, bool overwrite = false);
    ~ConsoleHost() override;

    void text(const std::string& message) override;
    void progress(int done, int total) override;
    std::optional<std::string> askSaveFileName(const std::string& caption,
                                               const std::string& proposedName,
                                               const std::string& filter) override;
    void showTextFile(const std::string& path) override;
    // The plan of a dry run: a table on standard output, columns aligned.
    void showPlan(const std::vector<std::vector<std::string>>& table) override;
    bool cancelRequested() const override;
    std::optional<std::string> knownSaveAnswer(const std::string& filter) override;
    void saved(const std::string& path) override;
    ExistingFiles askExistingFiles(const std::string& path) override;

    // Removes the progress bar and stops its clock; idempotent.
    void finish();

    const std::string& lastText() const { return lastText_; }
    // The last of the last few texts that begins with `prefix` (the notes that follow a job's
    // result are few); none when there is none.
    std::optional<std::string> recentText(std::string_view prefix) const;
    // The file the job reported saved (through JobHost::saved), when it did.
    const std::optional<std::string>& savedPath() const { return savedPath_; }

private:
    void drawBarLocked();
    void clearBarLocked();
    void tick();

    std::FILE* err_;
    std::FILE* out_;
    bool terminal_;
    std::optional<std::string> saveAnswer_;
    bool overwrite_;
    std::optional<std::string> savedPath_;
    std::optional<std::string> keptBeside_;  // the save answer given instead of a taken name
    jobs::ReservedName reserved_;            // the free name taken for the save answer
    void releaseReserved();
    std::string lastText_;
    std::deque<std::string> recent_;  // the last few texts, the last one included
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
