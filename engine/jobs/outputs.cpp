// Sources by identity, new folders and free names, and outputs written on threads of their own.
#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "job_texts.h"
#include "report.h"

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

namespace {

std::optional<std::pair<uint64_t, uint64_t>> identityOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino);
}

bool standsThere(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

SourceFiles::SourceFiles(const std::vector<fs::path>& files) {
    for (const auto& f : files) add(f);
}

void SourceFiles::add(const fs::path& file) {
    if (auto id = identityOf(file)) ids_.push_back(*id);
}

bool SourceFiles::contains(const fs::path& path) const {
    if (ids_.empty()) return false;
    auto id = identityOf(path);
    return id && std::find(ids_.begin(), ids_.end(), *id) != ids_.end();
}

std::string sourceRefusedText(const std::string& path) {
    return "不能保存为源文件：" + printable(path) + "。源文件不会被改写，请另选文件名。";
}

bool refuseSourceAsOutput(JobHost& host, const SourceFiles& sources, bool xls) {
    auto known = host.knownSaveAnswer(xls ? "EXCEL(*.xls)" : "EXCEL(*.xlsx)");
    if (!known || !sources.contains(*known)) return false;
    host.text(sourceRefusedText(*known));
    return true;
}

namespace {

// "dir/name (n).ext"; the path itself for n = 1.
fs::path numberedBeside(const fs::path& path, int n) {
    if (n == 1) return path;
    return (path.parent_path() / path.stem()).string() + " (" + std::to_string(n) + ")" +
           path.extension().string();
}

}  // namespace

fs::path freeNameBeside(const fs::path& path) {
    fs::path candidate = path;
    for (int n = 2; standsThere(candidate); ++n) candidate = numberedBeside(path, n);
    return candidate;
}

ReservedName reserveFreeNameBeside(const fs::path& path, bool fromSecond) {
    ReservedName name;
    for (int n = fromSecond ? 2 : 1;; ++n) {
        name.path = numberedBeside(path, n);
        const int fd =
            ::open(name.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;  // a file, a folder, a link, another run's name
            return name;                    // not held: the save meets the same refusal
        }
        struct stat st {};
        name.held = ::fstat(fd, &st) == 0;
        name.device = st.st_dev;
        name.inode = st.st_ino;
        ::close(fd);
        if (!name.held) (void)::unlink(name.path.c_str());
        return name;
    }
}

void releaseReservedName(const ReservedName& name) {
    if (!name.held) return;
    struct stat st {};
    if (::lstat(name.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
        uint64_t(st.st_dev) == name.device && uint64_t(st.st_ino) == name.inode)
        (void)::unlink(name.path.c_str());
}

ss::Result<fs::path> makeNewFolder(const fs::path& wanted) {
    fs::path candidate = wanted;
    for (int n = 2; n < 10000; ++n) {
        if (::mkdir(candidate.c_str(), 0777) == 0) return candidate;
        if (errno != EEXIST)
            return ss::fail("无法新建文件夹 " + printable(candidate.string()) + "：" +
                            ss::systemErrorText(errno));
        candidate = wanted.string() + " (" + std::to_string(n) + ")";
    }
    return ss::fail("无法新建文件夹 " + printable(wanted.string()));
}

fs::path newFolderName(const fs::path& wanted) {
    fs::path candidate = wanted;
    for (int n = 2; standsThere(candidate) && n < 10000; ++n)
        candidate = wanted.string() + " (" + std::to_string(n) + ")";
    return candidate;
}

// The outputs being written, and the one thread (started with the first) that writes them.
struct OutputPlace::InFlight {
    struct Task {
        std::unique_ptr<ss::Workbook> model;
        fs::path path, wanted;
        ReservedName reserved;  // the name taken beside another file, if any
        bool replacing = false;
        ss::FileFormat format = ss::FileFormat::Xlsx;
        std::string password;  // the session's open password for its outputs
        ss::Status status = ss::okStatus();
        Done done;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Task> tasks;  // written in order
    bool running = false, quit = false;
    std::thread thread;

    InFlight() : thread([this] { loop(); }) {}
    ~InFlight() {
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        cv.notify_all();
        thread.join();  // after the tasks in hand: their files are finished
    }

    void loop() {
        std::unique_lock lock(mutex);
        while (true) {
            cv.wait(lock, [&] { return quit || running; });
            if (!running) return;
            lock.unlock();
            for (Task& t : tasks) {
                try {
                    t.status = ss::saveWorkbook(*t.model, t.path, t.format, t.password);
                } catch (const std::bad_alloc&) {
                    t.status = ss::fail("无法保存 " + printable(t.path.string()) + "：内存不足。");
                }
                if (!t.status.ok()) releaseReservedName(t.reserved);
                t.model.reset();  // freed here, beside the next output's copies
            }
            lock.lock();
            running = false;
            cv.notify_all();
        }
    }
    void start(std::vector<Task> batch) {
        {
            std::lock_guard lock(mutex);
            tasks = std::move(batch);
            running = true;
        }
        cv.notify_all();
    }
    std::vector<Task> finish() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return !running; });
        return std::move(tasks);
    }
};

struct OutputPlace::Pending {
    std::vector<InFlight::Task> tasks;
    size_t cells = 0;
};

OutputPlace::OutputPlace(JobHost& host, SourceFiles sources)
    : host_(host), sources_(std::move(sources)), pending_(std::make_unique<Pending>()) {}

OutputPlace::~OutputPlace() {
    // Outputs handed over are written, as those in flight are; no `done` is called.
    if (!pending_->tasks.empty())
        savers_.emplace_back(std::make_unique<InFlight>())->start(std::move(pending_->tasks));
}

std::optional<fs::path> OutputPlace::place(const fs::path& wanted, bool& replacing,
                                           ReservedName& reserved) {
    fs::path path = wanted;
    replacing = false;
    reserved = {};
    if (standsThere(path) && !written_.contains(path)) {
        if (!answer_) answer_ = host_.askExistingFiles(path.string());
        if (*answer_ == ExistingFiles::Stop) return std::nullopt;
        if (*answer_ == ExistingFiles::KeepBoth || sources_.contains(path)) {
            // Taken at once: another run keeping both at the same moment takes the next name.
            reserved = reserveFreeNameBeside(path, true);
            path = reserved.path;
        } else {
            replacing = true;
        }
    }
    return path;
}

void OutputPlace::written(const fs::path& path, const fs::path& wanted, bool replacing) {
    written_.add(path);
    if (path != wanted) keptBeside_.push_back(path.filename().string());
    if (replacing) replaced_.push_back(path.filename().string());
}

ss::Result<fs::path> OutputPlace::save(automation::Workbook& book, const fs::path& wanted,
                                       int formatCode) {
    settle();
    if (stopped()) return ss::fail("");
    bool replacing = false;
    ReservedName reserved;
    std::optional<fs::path> path = place(wanted, replacing, reserved);
    if (!path) return ss::fail("");
    if (formatCode != automation::kFormatXls) book.NoteUnlinkedReferences();
    ss::Status st = book.SaveAs(*path, formatCode);
    if (!st.ok()) {
        releaseReservedName(reserved);
        return ss::fail(st.message());
    }
    written(*path, wanted, replacing);
    return *path;
}

void OutputPlace::saveInBackground(automation::Workbook& book, const fs::path& wanted,
                                   int formatCode, Done done) {
    // A very large output is waited for, so that no more than it and the source are held.
    size_t cells = 0;
    for (const auto& sheet : book.model().sheets) cells += sheet->cellCount();
    const bool huge = cells > 1000000;
    const bool small = cells < kBatchCells;
    if (!small) dispatch();  // the small ones before it go first
    const size_t inFlight = huge ? 1 : writeAhead_;
    if (!small)
        while (busy_.size() >= inFlight) settleOldest();
    bool replacing = false;
    ReservedName reserved;
    std::optional<fs::path> path;
    if (!stopped()) path = place(wanted, replacing, reserved);
    if (!path) {
        (void)book.Close(false);
        settle();  // the outputs before it are answered first
        done(ss::fail(""));
        return;
    }
    InFlight::Task task;
    task.format = formatCode == automation::kFormatXls ? ss::FileFormat::Xls : ss::FileFormat::Xlsx;
    if (formatCode != automation::kFormatXls) book.NoteUnlinkedReferences();
    task.password = book.Parent().SavePassword();
    task.model = book.CloseKeepingModel();
    task.path = *path;
    task.wanted = wanted;
    task.replacing = replacing;
    task.reserved = std::move(reserved);
    task.done = std::move(done);
    pending_->tasks.push_back(std::move(task));
    pending_->cells += cells;
    // Small outputs go to the writer a batch at a time: handing over each of thousands of
    // small workbooks, the job's thread and the writer spent more time waiting for and waking
    // each other than writing.
    if (!small || pending_->tasks.size() >= kBatchOutputs || pending_->cells >= kBatchCells)
        dispatch();
    if (huge) settle();
}

void OutputPlace::dispatch() {
    if (pending_->tasks.empty()) return;
    while (busy_.size() >= writeAhead_) settleOldest();
    InFlight* saver = nullptr;
    for (auto& s : savers_)
        if (std::find(busy_.begin(), busy_.end(), s.get()) == busy_.end()) saver = s.get();
    if (!saver) saver = savers_.emplace_back(std::make_unique<InFlight>()).get();
    std::vector<InFlight::Task> batch;
    batch.swap(pending_->tasks);
    pending_->cells = 0;
    saver->start(std::move(batch));
    busy_.push_back(saver);
}

void OutputPlace::settleOldest() {
    if (busy_.empty()) return;
    InFlight* saver = busy_.front();
    busy_.pop_front();
    for (InFlight::Task& job : saver->finish()) {
        if (job.status.ok()) {
            written(job.path, job.wanted, job.replacing);
            job.done(job.path);
        } else {
            job.done(ss::fail(job.status.message()));
        }
    }
}

void OutputPlace::settle() {
    dispatch();
    while (!busy_.empty()) settleOldest();
}

OutputPlace::Done splitOutputDone(const OutputPlace& outputs, Report& report, size_t entry,
                                  std::string file, int& written,
                                  std::vector<std::string>& failed) {
    return [&outputs, &report, entry, file = std::move(file), &written,
            &failed](ss::Result<std::filesystem::path> saved) {
        if (saved) {
            ++written;
            report.outputAt(entry, saved.value().filename().string());
        } else if (!outputs.stopped()) {
            failed.push_back(printable(file));
            report.failAt(entry, saved.message());
        } else {
            report.markAt(entry, kOutcomeStopped);
        }
    };
}

std::string OutputPlace::withNotes(std::string result) const {
    auto list = [](const std::vector<std::string>& names) {
        std::string out;
        for (size_t i = 0; i < names.size() && i < 5; ++i)
            out += (i ? "、" : "") + printable(names[i]);
        if (names.size() > 5) out += "等" + std::to_string(names.size()) + "个";
        return out;
    };
    if (!keptBeside_.empty()) result += " 因已有同名文件，另存为：" + list(keptBeside_);
    if (!replaced_.empty()) result += " 已替换原有文件：" + list(replaced_);
    if (stopped()) result += " 因已有同名文件，已停止，其余未保存。";
    return result;
}

}  // namespace jobs
