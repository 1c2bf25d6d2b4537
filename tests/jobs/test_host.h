// A JobHost for tests: records every text, progress report, save question and shown file, and
// answers the save question with a path the test chose (or cancels when none was given).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "job_host.h"

class TestHost : public JobHost {
public:
    struct SaveQuestion {
        std::string caption, proposedName, filter;
    };

    explicit TestHost(std::optional<std::string> saveAnswer = std::nullopt)
        : saveAnswer_(std::move(saveAnswer)) {}

    void text(const std::string& message) override { texts.push_back(message); }
    void progress(int done, int total) override {
        progressCalls.emplace_back(done, total);
        if (cancelAfterProgress >= 0 && int(progressCalls.size()) >= cancelAfterProgress)
            cancelled = true;
    }
    std::optional<std::string> askSaveFileName(const std::string& caption,
                                               const std::string& proposedName,
                                               const std::string& filter) override {
        questions.push_back({caption, proposedName, filter});
        if (onSaveQuestion) onSaveQuestion();
        if (!saveAnswer_) return std::nullopt;
        // Like the window's dialog: the filter's extension is appended when the name lacks it.
        std::string path = *saveAnswer_;
        auto open = filter.find("(*"), close = filter.find(')');
        if (open != std::string::npos && close != std::string::npos && close > open + 2) {
            std::string ext = filter.substr(open + 2, close - open - 2);
            if (path.size() < ext.size() || path.compare(path.size() - ext.size(), ext.size(), ext))
                path += ext;
        }
        return path;
    }
    void saved(const std::string& path) override { savedPaths.push_back(path); }
    void showTextFile(const std::string& path) override { shownFiles.push_back(path); }
    bool cancelRequested() const override {
        ++cancelChecks;
        if (cancelAfterChecks >= 0 && cancelChecks >= cancelAfterChecks) cancelled = true;
        return cancelled;
    }

    const std::string& lastText() const {
        static const std::string none;
        return texts.empty() ? none : texts.back();
    }
    bool sawText(const std::string& t) const {
        for (const auto& s : texts)
            if (s == t) return true;
        return false;
    }

    std::vector<std::string> texts;
    std::vector<std::pair<int, int>> progressCalls;
    std::vector<SaveQuestion> questions;
    std::vector<std::string> shownFiles;
    std::vector<std::string> savedPaths;
    // Asks the job to stop once this many progress reports have arrived (-1: never).
    int cancelAfterProgress = -1;
    // Asks the job to stop at its n-th look at the stop request (-1: never); the looks so far.
    int cancelAfterChecks = -1;
    mutable int cancelChecks = 0;
    mutable bool cancelled = false;
    // Runs while the job waits for the save answer (to look at the files it has made so far).
    std::function<void()> onSaveQuestion;

private:
    std::optional<std::string> saveAnswer_;
};
