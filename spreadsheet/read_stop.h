// Stopping a read: a job asked to stop while a large workbook is being read does not wait for
// the rest of it. openWorkbook is given a flag; the readers look at it every few thousand rows
// or records of the thread doing the reading and end with kReadStopped once it is set.
#pragma once

#include <atomic>

namespace ss {

inline constexpr const char* kReadStopped = "读取已停止。";

// True once the flag of the read in progress on this thread is set.
bool readStopped();

// Sets the flag of the reads on this thread for its lifetime (null: none), then puts back the
// one before.
class ReadStopScope {
public:
    explicit ReadStopScope(const std::atomic<bool>* stop);
    ~ReadStopScope();
    ReadStopScope(const ReadStopScope&) = delete;
    ReadStopScope& operator=(const ReadStopScope&) = delete;

private:
    const std::atomic<bool>* before_;
};

}  // namespace ss
