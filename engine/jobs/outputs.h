// Where a job's outputs go: the sources they must never replace, new folders and free names,
// and the outputs written in the background with the question about existing files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../job_host.h"
#include "application.h"

namespace jobs {

// The files a job reads, by identity (device and inode, links followed), so that no output is
// ever written over one of them whatever its spelling.
class SourceFiles {
public:
    SourceFiles() = default;
    explicit SourceFiles(const std::vector<std::filesystem::path>& files);
    void add(const std::filesystem::path& file);
    bool contains(const std::filesystem::path& path) const;

private:
    std::vector<std::pair<uint64_t, uint64_t>> ids_;
};

// The text shown when the chosen save name is one of the job's sources.
std::string sourceRefusedText(const std::string& path);

// When the host knows the save answer before the job starts and it names a source, shows
// sourceRefusedText and returns true: the job then ends before any work.
bool refuseSourceAsOutput(JobHost& host, const SourceFiles& sources, bool xls);

// "dir/name (2).ext", "dir/name (3).ext" ...: the first such path where nothing stands.
std::filesystem::path freeNameBeside(const std::filesystem::path& path);

// A name taken for an output before it is written: an empty file made where nothing stood
// (created exclusively), so that another run choosing a free name at the same moment takes the
// next one. The atomic save renames its file over it; releaseReservedName removes it while it
// is still the empty file made here (the save failed, was stopped or went elsewhere).
struct ReservedName {
    std::filesystem::path path;
    uint64_t device = 0, inode = 0;
    bool held = false;  // false: nothing could be made there (the save says why)
};
// `path` itself when nothing stands there, else the first free "name (n).ext" beside it
// (`fromSecond`: starting with "name (2).ext"), reserved.
ReservedName reserveFreeNameBeside(const std::filesystem::path& path, bool fromSecond = false);
// Removes the reserved file when it is still the empty file reserveFreeNameBeside made.
void releaseReservedName(const ReservedName& name);

// Makes a new folder for a job's outputs: `wanted`, or "wanted (2)" ... when something (a
// folder, a file, a link) already stands there. Never uses a folder it did not make.
ss::Result<std::filesystem::path> makeNewFolder(const std::filesystem::path& wanted);
// The folder makeNewFolder would make now, without making it (what a dry run shows).
std::filesystem::path newFolderName(const std::filesystem::path& wanted);

// Where a job's outputs go when the place may already hold files: a name this run has not
// written and where another file stands is replaced, kept beside ("name (2)") or not written,
// as the host answers once per job; a source of the job is never replaced.
class OutputPlace {
public:
    OutputPlace(JobHost& host, SourceFiles sources);

    // Saves `book` as the output `wanted` in the format of `formatCode`. Returns the path
    // written, or an error (the reason; "" when the user chose to stop).
    ss::Result<std::filesystem::path> save(automation::Workbook& book,
                                           const std::filesystem::path& wanted, int formatCode);
    // The same, written on a helper thread while the job builds its next output: `book` is
    // closed at once (its model goes with the save) and `done` gets what save() would have
    // returned, on the job's thread, in the order the outputs were handed over (when a later
    // one is handed over, or at settle()). `writeAhead` outputs are written at a time, each on
    // a thread of its own: two where writing costs more than building (the splits by value
    // and by sheet); each costs memory. Small outputs are gathered and handed over a batch at
    // a time (a batch counts as one output).
    using Done = std::function<void(ss::Result<std::filesystem::path>)>;
    void saveInBackground(automation::Workbook& book, const std::filesystem::path& wanted,
                          int formatCode, Done done);
    void writeAhead(size_t outputs) { writeAhead_ = std::max<size_t>(outputs, 1); }
    // Waits until an output can be handed over without waiting: a job whose outputs are cheap
    // to build calls it before building one, so that no more than `writeAhead` are held.
    void makeRoom() {
        while (busy_.size() >= writeAhead_) settleOldest();
    }
    // Hands over what is gathered, waits for the saves in flight and calls their `done`.
    void settle();
    // True once the user answered "stop": the job writes nothing more.
    bool stopped() const { return answer_ == ExistingFiles::Stop; }
    // `result` followed by what was kept beside or replaced, and the stop, for a closing text.
    std::string withNotes(std::string result) const;

    OutputPlace(const OutputPlace&) = delete;
    OutputPlace& operator=(const OutputPlace&) = delete;
    // Writes what is gathered and waits for the saves in flight (their files are finished)
    // without calling their `done`.
    ~OutputPlace();

private:
    // Where `wanted` is written, after the question about existing files; nothing when the
    // user chose to stop.
    // A name kept beside another file is reserved (see reserveFreeNameBeside) in `reserved`.
    std::optional<std::filesystem::path> place(const std::filesystem::path& wanted, bool& replacing,
                                               ReservedName& reserved);
    void written(const std::filesystem::path& path, const std::filesystem::path& wanted,
                 bool replacing);

    JobHost& host_;
    SourceFiles sources_;
    std::optional<ExistingFiles> answer_;
    SourceFiles written_;  // outputs of this run
    std::vector<std::string> keptBeside_, replaced_;
    void settleOldest();
    void dispatch();  // hands the outputs gathered so far to a writer

    // Threads writing outputs (started as needed), and those busy, oldest first.
    struct InFlight;
    std::vector<std::unique_ptr<InFlight>> savers_;
    std::deque<InFlight*> busy_;
    size_t writeAhead_ = 1;
    // Outputs of fewer cells than this are handed over together, up to this many cells or
    // outputs at a time.
    static constexpr size_t kBatchCells = 20000, kBatchOutputs = 8;
    struct Pending;  // the outputs gathered, not yet handed over
    std::unique_ptr<Pending> pending_;
};

class Report;

// What a split output written in the background reports when it is done (`done` of
// OutputPlace::saveInBackground): written (counted in `written`, its file name on report entry
// `entry`), failed (listed in `failed` as `file`, with the reason on its entry), or not written
// because the user chose to stop.
OutputPlace::Done splitOutputDone(const OutputPlace& outputs, Report& report, size_t entry,
                                  std::string file, int& written, std::vector<std::string>& failed);

}  // namespace jobs
