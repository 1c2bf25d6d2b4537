#include "io.h"

#include <dirent.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "../crypto/office_crypto.h"
#include "../csv/csv.h"
#include "../html/html.h"
#include "../ods/ods.h"
#include "../read_stop.h"
#include "../xls/cfb.h"
#include "../xls/xls.h"
#include "../xls/xls_decrypt.h"
#include "../xlsx/xlsx.h"
#include "../xml2003/xml2003.h"
#include "protection.h"
#include "source_kind.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

std::string display(const fs::path& p) {
    return p.string();
}

// ---- fitting what was read -----------------------------------------------------------------

size_t utf16Units(std::string_view s) {
    size_t units = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// The longest start of `s` within `units` UTF-16 units, never splitting a character.
std::string_view cutUtf16(std::string_view s, size_t units) {
    size_t used = 0, i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        size_t w = len == 4 ? 2 : 1;
        if (used + w > units || i + len > s.size()) break;
        used += w;
        i += len;
    }
    return s.substr(0, i);
}

std::string foldAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

std::string validSheetName(std::string_view name, size_t position) {
    std::string out;
    for (char c : name) {
        bool bad = c == '[' || c == ']' || c == ':' || c == '*' || c == '?' || c == '/' ||
                   c == '\\' || static_cast<unsigned char>(c) < 0x20;
        out += bad ? '_' : c;
    }
    out = std::string(cutUtf16(out, 31));
    if (!out.empty() && out.front() == '\'') out.front() = '_';
    if (!out.empty() && out.back() == '\'') out.back() = '_';
    if (out.empty()) out = "Sheet" + std::to_string(position);
    return out;
}

// A compound file: an .xls workbook, or a protected .xlsx package (EncryptionInfo and
// EncryptedPackage instead of a zip), which is decrypted and read in memory; its plaintext is
// wiped once the model is built. The file is read once for both.
Result<std::unique_ptr<Workbook>> readCompoundFile(const fs::path& path,
                                                   const std::vector<std::string>& passwords) {
    auto refused = [&](std::string_view reason) -> Result<std::unique_ptr<Workbook>> {
        return fail("无法打开文件 " + display(path) + "：" + std::string(reason));
    };
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    if (ec || size > ReadLimits{}.maxTotalBytes) return readXls(path);  // which says why
    std::string file(size_t(size), '\0');
    std::ifstream in(path, std::ios::binary);
    if (!in.read(file.data(), std::streamsize(size))) return readXls(path);
    auto read = [&]() -> Result<std::unique_ptr<Workbook>> {
        auto cf = cfb::CompoundFile::parse(file);
        auto infoEntry = cf ? cf->findStream("EncryptionInfo") : std::nullopt;
        auto packageEntry = cf ? cf->findStream("EncryptedPackage") : std::nullopt;
        if (!infoEntry || !packageEntry) return readXlsFromMemory(file, {}, passwords);
        // Neither stream can be larger than the file that holds it.
        auto info = cf->readStream(*infoEntry, std::min<uint64_t>(size, 1u << 20));
        if (!info) return info.error();
        auto package = cf->readStream(*packageEntry, size);
        if (!package) return package.error();
        auto plain = crypto::decryptPackage(*info, *package, passwords);
        if (!plain) return plain.error();
        auto wb = readXlsxMemory(plain->data(), plain->size());
        crypto::wipe(*plain);
        if (wb) {
            const std::string ext = lower(path.extension().string());
            (*wb)->sourceFormat = "加密的 xlsx 工作簿";
            if (ext != ".xlsx" && ext != ".xlsm")
                (*wb)->sourceFormat += "（扩展名 " + path.extension().string() + "）";
        }
        return wb;
    };
    auto wb = read();
    if (!wb && wb.message() == crypto::kWrongPassword && passwords.empty())
        return refused("工作簿已加密（设有打开密码），请用 --password 或在“高级选项”中给出密码。");
    if (!wb) return refused(wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

}  // namespace

void fitReadWorkbook(Workbook& wb) {
    // Sheet names: the valid ones first, so that a renamed sheet never takes a valid name.
    std::unordered_set<std::string> taken;
    std::vector<size_t> renamed;
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        const std::string& name = wb.sheets[i]->name;
        if (validSheetName(name, i + 1) == name && taken.insert(foldAscii(name)).second) continue;
        renamed.push_back(i);
    }
    // Per name, the number " (n)" to try next: every smaller one is taken already, so that a
    // workbook of thousands of sheets of one name is not searched from " (2)" for each.
    std::unordered_map<std::string, int> nextNumber;
    for (size_t i : renamed) {
        Worksheet& ws = *wb.sheets[i];
        std::string base = validSheetName(ws.name, i + 1), candidate = base;
        int& n = nextNumber.try_emplace(foldAscii(base), 2).first->second;
        while (!taken.insert(foldAscii(candidate)).second) {
            std::string suffix = " (" + std::to_string(n++) + ")";
            candidate = std::string(cutUtf16(base, 31 - suffix.size())) + suffix;
        }
        wb.readNotes.push_back("[" + candidate + "] 工作表名称“" + ws.name + "”无法保存，已改为“" +
                               candidate + "”");
        ws.name = candidate;
    }

    // Texts beyond a cell's limit: only when the table of strings holds one is a cell looked at.
    std::vector<bool> tooLong;
    for (uint32_t i = 0; i < wb.strings.size(); ++i) {
        std::string_view t = wb.strings.text(i);
        if (t.size() > kMaxCellTextUnits && utf16Units(t) > kMaxCellTextUnits) {
            if (tooLong.empty()) tooLong.resize(wb.strings.size());
            tooLong[i] = true;
        }
    }
    if (tooLong.empty()) return;
    for (auto& sheet : wb.sheets) {
        for (Row& row : sheet->mutableRows()) {
            for (Cell& cell : row.cells) {
                if (cell.type != CellType::String || cell.sst >= tooLong.size() ||
                    !tooLong[cell.sst])
                    continue;
                std::string cut(cutUtf16(wb.strings.text(cell.sst), kMaxCellTextUnits));
                cell.sst = wb.strings.add(cut);
                wb.readNotes.push_back("[" + sheet->name + "] " + cellName(row.index, cell.col) +
                                       " 文本超过单元格上限（32767个字符），已截断");
            }
        }
    }
}

bool hasOpenPassword(const fs::path& path) {
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    if (ec || size < 512 || size > ReadLimits{}.maxTotalBytes) return false;
    std::string file(size_t(size), '\0');
    std::ifstream in(path, std::ios::binary);
    if (!in.read(file.data(), std::streamsize(size))) return false;
    auto cf = cfb::CompoundFile::parse(file);
    if (!cf) return false;
    if (cf->findStream("EncryptedPackage") && cf->findStream("EncryptionInfo")) return true;
    auto entry = cf->findStream("Workbook");
    if (!entry) entry = cf->findStream("Book");
    auto stream = entry ? cf->readStream(*entry, size) : Result<std::string>(fail(""));
    return stream && xls::hasFilePass(*stream);
}

std::optional<FileFormat> formatFromExtension(const fs::path& path) {
    std::string ext = lower(path.extension().string());
    if (ext == ".xlsx") return FileFormat::Xlsx;
    if (ext == ".xlsm") return FileFormat::Xlsm;
    if (ext == ".xls") return FileFormat::Xls;
    if (ext == ".csv") return FileFormat::Csv;
    return std::nullopt;
}

Result<std::unique_ptr<Workbook>> openWorkbook(const fs::path& path, const std::atomic<bool>* stop,
                                               const std::vector<std::string>& passwords) {
    ReadStopScope scope(stop);
    const SourceKind kind = sniffSource(path);
    const std::string described = describeSource(kind, path);
    // What a file held is said with every workbook read and, where its name says something
    // else, in the reason it could not be read.
    auto fitted = [&](Result<std::unique_ptr<Workbook>> read) {
        if (read.ok()) {
            Workbook& wb = *read.value();
            fitReadWorkbook(wb);
            if (wb.sourceFormat.empty()) wb.sourceFormat = described;
            wb.sourceIsText = kind == SourceKind::Text;
        } else if (described != sourceKindText(kind)) {
            return Result<std::unique_ptr<Workbook>>(
                fail(read.message() + "文件实际是" + described + "。"));
        }
        return read;
    };
    const std::string ext = lower(path.extension().string());
    switch (kind) {
        case SourceKind::Missing:
            return fail("无法打开文件 " + display(path) + "：文件不存在或没有读取权限。");
        case SourceKind::Empty:
            return fail("无法打开文件 " + display(path) + "：文件是空的。");
        case SourceKind::Zip:
            return fitted(readXlsx(path));
        case SourceKind::Ods:
            return fitted(readOds(path));
        case SourceKind::Compound:
            return fitted(readCompoundFile(path, passwords));
        case SourceKind::Html:
            return fitted(readHtml(path));
        case SourceKind::Xml2003:
            return fitted(readXml2003(path));
        case SourceKind::Text:
            // Delimited text under a table's name (".csv", ".txt", the ".xls" of exports that
            // write tab-separated text); other text (an .xml of another kind, a page that is no
            // web page) is no table.
            if (ext == ".csv" || ext == ".txt" || ext == ".tsv" || ext == ".xls" || ext == ".et" ||
                ext.empty())
                return fitted(readCsv(path));
            break;
        case SourceKind::Unknown:
            break;
    }
    return fail(
        "无法打开文件 " + display(path) +
        "：内容不是受支持的表格文件（xlsx、xlsm、xls、et、ods、csv、网页或 2003 XML 表格）。");
}

namespace {

std::atomic<int> g_savesInFlight{0};
std::atomic<bool> g_savesAborted{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The reasons of the failed system calls a save or a folder scan can meet, in the user's words.
struct ErrnoReason {
    int error;
    const char* reason;
};
constexpr ErrnoReason kErrnoReasons[] = {
    {EACCES, "没有写入权限。"},
    {EPERM, "没有写入权限。"},
    {EROFS, "所在的磁盘是只读的。"},
    {ENOSPC, "磁盘空间不足。"},
    {EDQUOT, "磁盘空间不足。"},
    {EFBIG, "文件太大，超出了磁盘的文件大小上限。"},
    {ENAMETOOLONG, "文件名太长。"},
    {ENOENT, "文件夹不存在。"},
    {ENOTDIR, "文件夹不存在。"},
    {EISDIR, "已有同名的文件夹。"},
    {EEXIST, "已有同名的文件。"},
    {ELOOP, "路径中的链接过多，或链接指向自身。"},
    {EINVAL, "文件名含有磁盘不支持的字符。"},
    {EILSEQ, "文件名含有磁盘不支持的字符。"},
    {EIO, "读写磁盘时出错。"},
    {EBUSY, "文件正被其他程序使用。"},
    {ETXTBSY, "文件正被其他程序使用。"},
    {EMFILE, "同时打开的文件过多。"},
    {ENFILE, "同时打开的文件过多。"},
    {ENOMEM, "内存不足。"},
    {EXDEV, "不能跨磁盘移动文件。"},
    {ESTALE, "网络磁盘上的文件已失效，请重新连接。"},
    {ETIMEDOUT, "网络磁盘连接超时。"},
    {ENOTCONN, "网络磁盘未连接。"},
    {EAGAIN, "系统资源暂时不足，请稍后再试。"},
    {EINTR, "操作被中断。"},
    {ENXIO, "设备不存在。"},
    {ENODEV, "设备不存在。"},
    {ENOTSUP, "磁盘不支持此操作。"},
};

// The reason of a failed system call in the user's words.
std::string reasonOf(int error) {
    for (const ErrnoReason& r : kErrnoReasons)
        if (r.error == error) return r.reason;
    return std::strerror(error);
}

// A writer's message "无法保存 path：<the system's text>" given the reason in the user's words,
// when the system's text is that of an error the table knows.
Status inUsersWords(Status st, const fs::path& path) {
    if (st.ok()) return st;
    const std::string head = "无法保存 " + display(path) + "：";
    const std::string& m = st.message();
    if (m.compare(0, head.size(), head) != 0) return st;
    const std::string_view rest = std::string_view(m).substr(head.size());
    for (const ErrnoReason& r : kErrnoReasons) {
        const char* system = std::strerror(r.error);
        if (rest.find(system) != std::string_view::npos) return fail(head + r.reason);
    }
    return st;
}

constexpr size_t kNameMax = 255;
// ".name" + ".tw-xxxxxxxx.tmp", and the zip library's own ".XXXXXX" behind that.
constexpr size_t kTempOverhead = 1 + 16 + 7;

bool isOurTemporary(const std::string& name) {
    // "." + name + ".tw-" + 8 hex digits + ".tmp", optionally + "." + 6 characters.
    std::string_view n = name;
    if (n.size() > 11 && n[n.size() - 7] == '.' && n.substr(n.size() - 11, 4) == ".tmp")
        n = n.substr(0, n.size() - 7);
    if (n.size() < 18 || n[0] != '.' || n.substr(n.size() - 4) != ".tmp" ||
        n.substr(n.size() - 16, 4) != ".tw-")
        return false;
    for (char c : n.substr(n.size() - 12, 8))
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Removes temporary files of ours older than a minute, once per folder and process.
void removeStaleTemporaries(const fs::path& dir) {
    static std::mutex mutex;
    static std::set<std::string> done;
    {
        std::lock_guard lock(mutex);
        if (!done.insert(dir.string()).second) return;
    }
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    const time_t now = std::time(nullptr);
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (!isOurTemporary(name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) && now - st.st_mtime > 60)
            (void)::unlinkat(::dirfd(d), name.c_str(), 0);
    }
    ::closedir(d);
}

// Tags for temporary names: seeded once per process from the system's entropy (opening a
// std::random_device for every save showed in splits into thousands of workbooks), then drawn
// from a generator shared by every thread. A clash is still met by O_EXCL and another draw.
uint32_t temporaryTag() {
    static std::mutex mutex;
    static std::mt19937 gen = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), unsigned(::getpid())};
        return std::mt19937(seq);
    }();
    std::lock_guard lock(mutex);
    // A forked child draws what its parent does: the process id keeps their tags apart.
    return uint32_t(gen()) ^ (uint32_t(::getpid()) * 0x9E3779B1u);
}

mode_t defaultFileMode() {
    static const mode_t mode = [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return mode_t(0666 & ~mask);
    }();
    return mode;
}

// Puts `to` where the message names `from`.
Status renamed(Status st, const fs::path& from, const fs::path& to) {
    if (st.ok()) return st;
    std::string m = st.message();
    const std::string f = from.string();
    for (size_t at = m.find(f); at != std::string::npos; at = m.find(f, at + to.string().size()))
        m.replace(at, f.size(), to.string());
    return fail(m);
}

}  // namespace

std::string systemErrorText(int error) {
    return reasonOf(error);
}

bool saveInProgress() {
    return g_savesInFlight.load() > 0;
}
void abortSaves() {
    g_savesAborted.store(true);
}
bool savesAborted() {
    return g_savesAborted.load();
}
void resetSaveAbort() {
    g_savesAborted.store(false);
}

Status writeAtomically(const fs::path& path,
                       const std::function<Status(const fs::path& temp)>& produce) {
    fs::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail("无法保存 " + display(path) + "：文件夹不存在。");
    if (fs::is_directory(path, ec))
        return fail("无法保存 " + display(path) + "：已有同名的文件夹。");
    const std::string name = path.filename().string();
    if (name.size() > kNameMax) return fail("无法保存 " + display(path) + "：文件名太长。");
    if (savesAborted()) return fail("已取消保存 " + display(path) + "。");
    removeStaleTemporaries(dir);

    // Counted from before the temporary file exists until after the rename, so that a signal
    // handler that sees no save in progress may end the process without leaving a file behind.
    g_savesInFlight.fetch_add(1);
    struct InFlight {
        ~InFlight() { g_savesInFlight.fetch_sub(1); }
    } inFlight;

    // The name is cut (at a character boundary) so that the temporary name fits wherever the
    // destination's does.
    std::string head = name;
    if (head.size() + kTempOverhead > kNameMax) {
        size_t keep = kNameMax - kTempOverhead;
        while (keep > 0 && (static_cast<unsigned char>(head[keep]) & 0xC0) == 0x80) --keep;
        head.resize(keep);
    }
    fs::path temp;
    int fd = -1, error = 0;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char tag[32];
        std::snprintf(tag, sizeof tag, ".tw-%08x.tmp", unsigned(temporaryTag()));
        temp = dir / ("." + head + tag);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        error = fd < 0 ? errno : 0;
        if (fd < 0 && error != EEXIST) break;
    }
    if (fd < 0) return fail("无法保存 " + display(path) + "：" + reasonOf(error));
    ::close(fd);

    Status st = inUsersWords(renamed(produce(temp), temp, path), path);
    // A replaced file keeps its permission bits; a new one gets the usual ones.
    struct stat old {};
    mode_t mode = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & 07777
                                                                           : defaultFileMode();
    if (st.ok() && ::chmod(temp.c_str(), mode) != 0)
        st = fail("无法保存 " + display(path) + "：" + reasonOf(errno));
    if (st.ok() && savesAborted()) st = fail("已取消保存 " + display(path) + "，原有文件未改动。");
    if (!st.ok()) {
        ::unlink(temp.c_str());
        return st;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        std::string reason = reasonOf(errno);
        ::unlink(temp.c_str());
        return fail("无法保存 " + display(path) + "：" + reason);
    }
    return okStatus();
}

namespace {

// An .xlsx package encrypted with `password`, as a compound file. The package is written into
// an anonymous memory file, so that its plain bytes never reach the disk.
Result<std::string> encryptedXlsx(const Workbook& wb, const fs::path& path, bool macro,
                                  std::string_view password) {
    const int fd = ::memfd_create("tw-package", MFD_CLOEXEC);
    if (fd < 0) return fail("无法保存 " + display(path) + "：" + reasonOf(errno));
    std::string plain;
    Status st = writeXlsxTo(fd, wb, path, macro);
    struct stat info {};
    if (st.ok() && ::fstat(fd, &info) != 0)
        st = fail("无法保存 " + display(path) + "：" + reasonOf(errno));
    if (st.ok()) {
        plain.resize(size_t(info.st_size));
        for (size_t at = 0; st.ok() && at < plain.size();) {
            ssize_t n = ::pread(fd, plain.data() + at, plain.size() - at, off_t(at));
            if (n <= 0)
                st = fail("无法保存 " + display(path) + "：" + reasonOf(n < 0 ? errno : EIO));
            at += n > 0 ? size_t(n) : 0;
        }
    }
    ::close(fd);
    if (!st.ok()) {
        crypto::wipe(plain);
        return st.error();
    }
    auto streams = crypto::encryptPackage(plain, password);
    crypto::wipe(plain);
    if (!streams) return fail("无法保存 " + display(path) + "：" + streams.message());
    return cfb::build({{"EncryptionInfo", streams->encryptionInfo},
                       {"EncryptedPackage", streams->encryptedPackage}},
                      true);
}

}  // namespace

Status saveWorkbook(const Workbook& wb, const fs::path& path, FileFormat format,
                    std::string_view encryptPassword) {
    if (!encryptPassword.empty() && (format == FileFormat::Xlsx || format == FileFormat::Xlsm)) {
        auto file = encryptedXlsx(wb, path, format == FileFormat::Xlsm, encryptPassword);
        if (!file) return file.error();
        return writeAtomically(path, [&](const fs::path& t) -> Status {
            int fd = ::open(t.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
            int error = fd < 0 ? errno : 0;
            for (size_t at = 0; !error && at < file->size();) {
                ssize_t n = ::write(fd, file->data() + at, file->size() - at);
                if (n < 0 && errno == EINTR) continue;
                error = n < 0 ? errno : n == 0 ? EIO : 0;
                at += n > 0 ? size_t(n) : 0;
            }
            if (fd >= 0 && ::close(fd) != 0 && !error) error = errno;
            if (error) return fail("无法保存 " + display(path) + "：" + reasonOf(error));
            return okStatus();
        });
    }
    if (!encryptPassword.empty())
        return fail("无法保存 " + display(path) + "：xls 格式不能加密保存，请保存为 xlsx 格式。");
    switch (format) {
        case FileFormat::Xlsx:
        case FileFormat::Xlsm: {
            bool macro = format == FileFormat::Xlsm;
            return writeAtomically(path,
                                   [&](const fs::path& t) { return writeXlsx(wb, t, macro); });
        }
        case FileFormat::Xls:
            if (auto problem = xlsLimitProblem(wb))
                return fail("无法保存 " + display(path) + "：" + *problem);
            return writeAtomically(path, [&](const fs::path& t) { return writeXls(wb, t); });
        case FileFormat::Csv:
            return fail("无法保存 " + display(path) + "：不支持保存为 csv 格式。");
    }
    return fail("无法保存 " + display(path));
}

}  // namespace ss
