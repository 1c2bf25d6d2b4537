// The list of the files a folder merge could not merge, written beside its sources.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "spreadsheet/result.h"
#include "../job_host.h"

namespace jobs {

// The path of the list of files that could not be merged: `failListPath` when set, else the
// list's name in `folder`.
std::filesystem::path failListPath(const std::string& folder, const std::string& failListPath);

// Writes the list (lines separated by "\n" in `text`) with "\r\n" line ends, replacing any
// previous list (a new file put in its place, never written through a link).
ss::Status writeFailList(const std::filesystem::path& path, std::string_view text);

// The list of a folder merge: written (when not empty) before the result, shown after the save.
// A list that cannot be written does not fail the job, but its lines are shown as a text.
class FailList {
public:
    FailList(JobHost& host, std::filesystem::path path) : host_(host), path_(std::move(path)) {}
    // Writes the list; when that fails, shows the reason and every line of `text`.
    void write(std::string_view text);
    // Asks the host to show the list when it was written.
    void show();
    // The list's file name once it was written, else "".
    std::string writtenName() const { return written_ ? path_.filename().string() : std::string(); }

private:
    JobHost& host_;
    std::filesystem::path path_;
    bool written_ = false;
};

}  // namespace jobs
