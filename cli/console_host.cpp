#include "console_host.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <vector>

#include "jobs/job_texts.h"
#include "jobs/outputs.h"
#include "spreadsheet/io/io.h"

namespace cli {
namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

// The name reserved for the save answer, for a second signal that ends the process before the
// save: removed while it is still the empty file made for it.
char g_reservedPath[4096];
dev_t g_reservedDevice = 0;
ino_t g_reservedInode = 0;
volatile std::sig_atomic_t g_reservedHeld = 0;

void publishReserved(const jobs::ReservedName& name) {
    g_reservedHeld = 0;
    const std::string path = name.path.string();
    if (!name.held || path.size() >= sizeof g_reservedPath) return;
    std::copy(path.begin(), path.end(), g_reservedPath);
    g_reservedPath[path.size()] = '\0';
    g_reservedDevice = dev_t(name.device);
    g_reservedInode = ino_t(name.inode);
    g_reservedHeld = 1;
}

void onStopSignal(int) {
    if (g_stopRequested && !ss::saveInProgress()) {
        struct stat st {};
        if (g_reservedHeld && ::lstat(g_reservedPath, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == 0 && st.st_dev == g_reservedDevice && st.st_ino == g_reservedInode)
            (void)::unlink(g_reservedPath);
        static const char kText[] = "已取消。\n";
        (void)!::write(STDERR_FILENO, kText, sizeof kText - 1);
        ::_exit(130);
    }
    if (g_stopRequested) ss::abortSaves();
    g_stopRequested = 1;
}

// Decodes one UTF-8 sequence at text[i]; invalid bytes count as one narrow character.
char32_t nextCodePoint(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (i + extra >= text.size()) extra = 0;
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return c;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += extra + 1;
    return cp;
}

int codePointWidth(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
        (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
        (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2;
    return 1;
}

int terminalColumns(std::FILE* stream) {
    struct winsize ws {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::string elapsedText(std::chrono::steady_clock::duration d) {
    long s = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%02ld:%02ld", s / 60, s % 60);
    return buf;
}

bool endsWithNoCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - suffix.size(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // The job stops at its next check; what a second signal does is up to onStopSignal.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() {
    return g_stopRequested != 0;
}

int displayWidth(const std::string& text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) width += codePointWidth(nextCodePoint(text, i));
    return width;
}

std::string fitFromLeft(const std::string& text, int width) {
    if (displayWidth(text) <= width) return text;
    if (width <= 0) return {};
    // Starts of the code points, so the cut never splits a character.
    std::vector<std::pair<size_t, int>> points;
    for (size_t i = 0; i < text.size();) {
        size_t at = i;
        points.emplace_back(at, codePointWidth(nextCodePoint(text, i)));
    }
    int used = 1;  // the ellipsis
    size_t from = text.size();
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        if (used + it->second > width) break;
        used += it->second;
        from = it->first;
    }
    return "…" + text.substr(from);
}

ConsoleHost::ConsoleHost(std::FILE* err, std::FILE* out, bool terminal,
                         std::optional<std::string> saveAnswer, bool overwrite)
    : err_(err),
      out_(out),
      terminal_(terminal),
      saveAnswer_(std::move(saveAnswer)),
      overwrite_(overwrite),
      start_(std::chrono::steady_clock::now()) {
    if (terminal_) clock_ = std::thread([this] { tick(); });
}

ConsoleHost::~ConsoleHost() {
    finish();
}

void ConsoleHost::releaseReserved() {
    publishReserved({});
    jobs::releaseReservedName(reserved_);
    reserved_ = {};
}

void ConsoleHost::finish() {
    releaseReserved();  // a save that did not happen, failed or went elsewhere
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        finished_ = true;
        clearBarLocked();
        std::fflush(err_);
    }
    wake_.notify_all();
    if (clock_.joinable()) clock_.join();
}

void ConsoleHost::tick() {
    std::unique_lock lock(mutex_);
    while (!finished_) {
        wake_.wait_for(lock, std::chrono::milliseconds(500));
        if (!finished_ && barShown_) drawBarLocked();
    }
}

void ConsoleHost::text(const std::string& message) {
    std::lock_guard lock(mutex_);
    lastText_ = message;
    recent_.push_back(message);
    if (recent_.size() > 8) recent_.pop_front();
    if (terminal_) {
        clearBarLocked();
        std::fprintf(err_, "%s\n", message.c_str());
        if (!finished_) drawBarLocked();
    } else {
        if (pendingProgressLine_) std::fprintf(err_, "进度 %d/%d\n", done_, total_);
        pendingProgressLine_ = false;
        std::fprintf(err_, "%s\n", message.c_str());
    }
    std::fflush(err_);
}

void ConsoleHost::progress(int done, int total) {
    std::lock_guard lock(mutex_);
    done_ = done;
    total_ = total;
    haveProgress_ = true;
    // Without a terminal a report is written just before the next text, so that the last line
    // written is always the job's last text.
    pendingProgressLine_ = true;
    if (terminal_ && !finished_) drawBarLocked();
}

void ConsoleHost::clearBarLocked() {
    if (!barShown_) return;
    std::fputs("\r\033[K", err_);
    barShown_ = false;
}

void ConsoleHost::drawBarLocked() {
    const int columns = terminalColumns(err_) - 1;
    std::string line;
    if (haveProgress_ && total_ > 0) {
        const int cells = 20;
        int filled =
            static_cast<int>(static_cast<int64_t>(std::clamp(done_, 0, total_)) * cells / total_);
        line = "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "] ";
        line += std::to_string(done_) + "/" + std::to_string(total_) + "  ";
    } else if (haveProgress_) {
        line = std::to_string(done_) + "  ";
    }
    line += elapsedText(std::chrono::steady_clock::now() - start_);
    if (!lastText_.empty()) line += "  " + fitFromLeft(lastText_, columns - displayWidth(line) - 2);
    if (displayWidth(line) > columns) line = fitFromLeft(line, columns);
    std::fprintf(err_, "\r%s\033[K", line.c_str());
    std::fflush(err_);
    barShown_ = true;
}

std::optional<std::string> ConsoleHost::knownSaveAnswer(const std::string& filter) {
    if (!saveAnswer_) return std::nullopt;
    std::string path = *saveAnswer_;
    auto open = filter.find("(*");
    auto close = filter.find(')', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos && close > open + 2) {
        std::string ext = filter.substr(open + 2, close - open - 2);
        if (!endsWithNoCase(path, ext)) path += ext;
    }
    return path;
}

std::optional<std::string> ConsoleHost::askSaveFileName(const std::string&, const std::string&,
                                                        const std::string& filter) {
    // A stop requested before the save declines the question, so nothing is written.
    if (cancelRequested()) return std::nullopt;
    auto path = knownSaveAnswer(filter);
    // Without --overwrite a file already there stays, and the result goes beside it. The name
    // is taken at once (an empty file the save replaces), so that another run saving to the
    // same answer at the same moment takes the next free name instead of replacing this one.
    if (path && !overwrite_) {
        releaseReserved();
        reserved_ = jobs::reserveFreeNameBeside(*path);
        publishReserved(reserved_);
        std::string free = reserved_.path.string();
        if (free != *path) keptBeside_ = free;
        path = free;
    }
    return path;
}

void ConsoleHost::saved(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        savedPath_ = path;
    }
    // Saved there, the reserved name is the result; saved elsewhere (an .xlsx beside an .xls
    // answer), it is removed.
    if (reserved_.path == path) {
        publishReserved({});
        reserved_ = {};
    } else {
        releaseReserved();
    }
    // The answer given in place of a name taken by another file: say so.
    if (keptBeside_ && *keptBeside_ == path)
        text("因已有同名文件，结果另存为：" + jobs::printable(path));
}

ExistingFiles ConsoleHost::askExistingFiles(const std::string&) {
    return overwrite_ ? ExistingFiles::ReplaceAll : ExistingFiles::KeepBoth;
}

void ConsoleHost::showTextFile(const std::string& path) {
    std::fprintf(out_, "%s\n", jobs::printable(path).c_str());
    std::fflush(out_);
}

void ConsoleHost::showPlan(const std::vector<std::vector<std::string>>& table) {
    // Names from the data are shown on one line each, control characters escaped.
    std::vector<std::vector<std::string>> shown;
    for (const auto& row : table) {
        shown.emplace_back();
        for (const std::string& cell : row) shown.back().push_back(jobs::printable(cell));
    }
    std::vector<int> widths;
    for (const auto& row : shown) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    }
    for (const auto& row : shown) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(size_t(widths[i] - displayWidth(row[i]) + 2), ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

std::optional<std::string> ConsoleHost::recentText(std::string_view prefix) const {
    for (auto t = recent_.rbegin(); t != recent_.rend(); ++t)
        if (t->rfind(prefix, 0) == 0) return *t;
    return std::nullopt;
}

bool ConsoleHost::cancelRequested() const {
    return stopRequested();
}

}  // namespace cli
