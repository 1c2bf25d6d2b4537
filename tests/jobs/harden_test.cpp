// What the jobs promise about the user's files, each case the smallest file or folder that shows
// a fault: sources are never written, an empty result replaces nothing, nothing is replaced
// without consent, nothing is written outside the chosen place, every failure is named, and an
// interrupted save leaves the previous file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>
#include <zip.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <sstream>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "sheet_routines.h"
#include "spreadsheet/io/io.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

namespace {

// A host that answers like the window (a queue of save answers, each a consent to replace) or
// like the command line (an answer known before the job starts), and records what it was told.
class Host : public TestHost {
public:
    explicit Host(std::deque<std::string> answers = {},
                  std::optional<std::string> known = std::nullopt)
        : answers_(std::move(answers)), known_(std::move(known)) {}

    std::optional<std::string> askSaveFileName(const std::string& caption,
                                               const std::string& proposedName,
                                               const std::string& filter) override {
        questions.push_back({caption, proposedName, filter});
        if (answers_.empty()) return std::nullopt;
        std::string a = answers_.front();
        if (answers_.size() > 1) answers_.pop_front();  // the last answer is given again
        // Like the window's dialog: the filter's extension is appended when the name lacks it.
        const std::string ext =
            filter.substr(filter.find("(*") + 2, filter.find(')') - filter.find("(*") - 2);
        if (a.size() < ext.size() || a.compare(a.size() - ext.size(), ext.size(), ext)) a += ext;
        return a;
    }
    std::optional<std::string> knownSaveAnswer(const std::string&) override { return known_; }
    void saved(const std::string& path) override { savedPaths.push_back(path); }
    ExistingFiles askExistingFiles(const std::string& path) override {
        existingQuestions.push_back(path);
        return existingAnswer;
    }

    std::vector<std::string> savedPaths;
    std::vector<std::string> existingQuestions;
    ExistingFiles existingAnswer = ExistingFiles::KeepBoth;

private:
    std::deque<std::string> answers_;
    std::optional<std::string> known_;
};

JobOptions mergeOptions() {
    JobOptions o;
    o.skipEmptySheets = true;
    o.sheetMergeVertical = true;
    return o;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

bool anyTemporary(const fs::path& dir) {
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().find(".tw-") != std::string::npos) return true;
    return false;
}

// Sets the names of the sheets of an .xlsx in its workbook part, as another program may have
// written them (our own writer refuses such names).
void renameSheets(const fs::path& path,
                  const std::vector<std::pair<std::string, std::string>>& to) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), 0, &err);
    ASSERT_TRUE(z);
    zip_stat_t st;
    ASSERT_EQ(zip_stat(z, "xl/workbook.xml", 0, &st), 0);
    std::string xml(st.size, '\0');
    zip_file_t* f = zip_fopen(z, "xl/workbook.xml", 0);
    ASSERT_EQ(zip_fread(f, xml.data(), st.size), zip_int64_t(st.size));
    zip_fclose(f);
    for (const auto& [from, name] : to) {
        const std::string key = "name=\"" + from + "\"";
        size_t at = xml.find(key);
        ASSERT_NE(at, std::string::npos) << from;
        xml.replace(at, key.size(), "name=\"" + name + "\"");
    }
    char* copy = static_cast<char*>(malloc(xml.size()));
    memcpy(copy, xml.data(), xml.size());
    zip_source_t* src = zip_source_buffer(z, copy, xml.size(), 1);
    ASSERT_GE(zip_file_add(z, "xl/workbook.xml", src, ZIP_FL_OVERWRITE), 0);
    ASSERT_EQ(zip_close(z), 0);
}

// Runs the enclosed code as a user who may not write where root may: as root the effective user
// becomes nobody; otherwise permissions already apply.
class AsOtherUser {
public:
    AsOtherUser() {
        if (::geteuid() == 0) switched_ = ::seteuid(65534) == 0;
    }
    ~AsOtherUser() {
        if (switched_) (void)!::seteuid(0);
    }
    bool ok() const { return switched_ || ::geteuid() != 0; }

private:
    bool switched_ = false;
};

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

// ---- data loss -----------------------------------------------------------------------------

// A job never writes over one of its sources, however the name is spelled: the command line's
// answer is refused before any work, the window's is refused and the question asked again.
TEST(DataLoss, ASourceIsNeverTheOutput) {
    TempDir dir;
    writeBook(dir / "f" / "good_a.xlsx", {{"A", {{"1"}}}});
    writeBook(dir / "two.xlsx", {{"S1", {{"1"}}}, {"S2", {{"2"}}}});
    fs::create_symlink(dir / "two.xlsx", dir / "alias.xlsx");
    const std::string before = readBytes(dir / "f" / "good_a.xlsx"),
                      twoBefore = readBytes(dir / "two.xlsx");

    struct Case {
        const char* what;
        bool folder;
        std::deque<std::string> answers;
        std::optional<std::string> known;
        bool savedElsewhere;
    };
    const std::string other = (dir / "other.xlsx").string();
    const Case cases[] = {
        {"known answer in the folder", true, {}, (dir / "f" / "good_a.xlsx").string(), false},
        {"known answer, other spelling", false, {}, (dir / "." / "two.xlsx").string(), false},
        {"asked: source then another", false, {(dir / "two").string(), other}, {}, true},
        {"asked: a link to the source", false, {(dir / "alias.xlsx").string(), other}, {}, true},
        {"asked: the source again and again",
         true,
         {(dir / "f" / "good_a.xlsx").string()},
         {},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(other);
        Host host(c.answers, c.known);
        if (c.folder)
            ExcelFileMergeJob((dir / "f").string(), mergeOptions(), host);
        else
            ExcelSheetMergeJob((dir / "two.xlsx").string(), mergeOptions(), host);
        EXPECT_EQ(readBytes(dir / "f" / "good_a.xlsx"), before);
        EXPECT_EQ(readBytes(dir / "two.xlsx"), twoBefore);
        EXPECT_THAT(host.texts, Contains(StartsWith("不能保存为源文件：")));
        if (c.known) {
            EXPECT_FALSE(host.sawText("excel OK!")) << "work started";
            EXPECT_TRUE(host.questions.empty());
        }
        EXPECT_EQ(fs::exists(other), c.savedElsewhere);
        if (c.savedElsewhere) {
            ASSERT_EQ(host.questions.size(), 2u);
            EXPECT_THAT(host.questions[1].caption, HasSubstr("不能保存为源文件"));
            EXPECT_EQ(host.savedPaths, std::vector<std::string>{other});
        } else {
            EXPECT_TRUE(host.savedPaths.empty());
        }
    }
}

// The organised copy merge-sheets makes beside its source never takes a file already there.
TEST(DataLoss, TheOrganisedCopyTakesNoUserFile) {
    TempDir dir;
    writeBook(dir / "two.xlsx", {{"S1", {{"1"}}}, {"S2", {{"2"}}}});
    std::vector<fs::path> planted;
    for (int s = 0; s < 30; ++s) {
        std::time_t t = std::time(nullptr) + s;
        std::tm local{};
        localtime_r(&t, &local);
        planted.push_back(dir / ("two.xlsx" + automation::timeTag(local)));
        writeBytes(planted.back(), "the user's file");
    }
    JobOptions o = mergeOptions();
    o.sheetMergeOrganise = true;
    Host host({(dir / "out.xlsx").string()});
    ExcelSheetMergeJob((dir / "two.xlsx").string(), o, host);
    ASSERT_EQ(host.savedPaths.size(), 1u);
    for (const auto& p : planted) EXPECT_EQ(readBytes(p), "the user's file") << p;
    EXPECT_EQ(namesIn(dir.path()).size(), planted.size() + 2);
}

// The organised copy of a workbook with an open password never lies on disk in plain: whenever
// the job says something, every file beside the source but the output is encrypted.
TEST(DataLoss, TheOrganisedCopyOfAProtectedWorkbookIsEncrypted) {
    TempDir dir;
    const fs::path source = dir / "protected.xlsx";
    fs::copy_file(fs::path(TW_CORPUS_DIR) / "broken" / "agile_AES256_SHA512_CBC_pwd_password.xlsx",
                  source);
    struct Watching : Host {
        using Host::Host;
        fs::path folder;
        int copies = 0, plain = 0;
        void text(const std::string& message) override {
            Host::text(message);
            for (const auto& e : fs::directory_iterator(folder)) {
                const std::string name = e.path().filename().string();
                if (name == "protected.xlsx" || name == "out.xlsx") continue;
                ++copies;
                if (readBytes(e.path()).rfind("PK", 0) == 0) ++plain;
            }
        }
    } host({(dir / "out.xlsx").string()});
    host.folder = dir.path();
    JobOptions o = mergeOptions();
    o.sheetMergeOrganise = true;
    o.openPasswords = {"password"};
    ExcelSheetMergeJob(source.string(), o, host);
    ASSERT_EQ(host.savedPaths.size(), 1u) << host.lastText();
    EXPECT_GT(host.copies, 0);
    EXPECT_EQ(host.plain, 0);
    EXPECT_EQ(namesIn(dir.path()).size(), 2u);  // the copy is gone
}

// A job with nothing to save saves nothing (the file already at the answer stays), says why;
// the splits of an unreadable workbook fail with the reason.
TEST(DataLoss, NothingToSaveReplacesNothing) {
    TempDir dir;
    writeBytes(dir / "damaged.xlsx", "PK\x03\x04 not really");
    writeBytes(dir / "bad" / "1.xlsx", "PK\x03\x04 not really");
    writeBytes(dir / "bad" / "2.xls", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1 broken");
    writeBook(dir / "good.xlsx", {{"Keep", {{"mine"}}}});
    const std::string good = readBytes(dir / "good.xlsx");

    struct Case {
        const char* what;
        std::function<void(Host&)> run;
        const char* last;
    };
    const Case cases[] = {
        {"merge-sheets of a damaged workbook",
         [&](Host& h) { ExcelSheetMergeJob((dir / "damaged.xlsx").string(), mergeOptions(), h); },
         "没有可汇总的内容：没有可读取的非空sheet，未保存任何文件。"},
        {"merge-files of damaged files",
         [&](Host& h) { ExcelFileMergeJob((dir / "bad").string(), mergeOptions(), h); },
         "没有可合并的内容：所有工作簿都无法打开，未保存任何文件。"},
        {"merge-one-sheet of damaged files",
         [&](Host& h) { FilesToOneSheetJob((dir / "bad").string(), mergeOptions(), h); },
         "没有可合并的内容：所有工作簿都无法打开，未保存任何文件。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Host host({(dir / "good.xlsx").string()});
        c.run(host);
        EXPECT_EQ(host.lastText(), c.last);
        EXPECT_TRUE(host.questions.empty());
        EXPECT_EQ(readBytes(dir / "good.xlsx"), good);
    }

    for (int job = 0; job < 2; ++job) {
        SCOPED_TRACE(job ? "split-rows" : "split-sheets");
        TempDir out;
        JobOptions o;
        o.splitSaveDir = out.path().string() + "/";
        o.rowsPerWorkbook = 1;
        Host host;
        if (job)
            TransformAverageJob((dir / "damaged.xlsx").string(), o, host);
        else
            ExcelFileSplitJob((dir / "damaged.xlsx").string(), o, host);
        EXPECT_THAT(host.lastText(),
                    AllOf(StartsWith("无法打开文件 " + (dir / "damaged.xlsx").string()),
                          Not(HasSubstr("成功"))));
        EXPECT_TRUE(fs::is_empty(out.path()));
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"bad", "damaged.xlsx", "good.xlsx"}));
}

// Split outputs never replace a file this run did not write unless the user agreed; the
// question comes once per job and the closing text names what happened.
TEST(DataLoss, ExistingFilesAreReplacedOnlyWithConsent) {
    struct Case {
        ExistingFiles answer;
        std::vector<std::string> files;
        const char* note;
        int outputs;
    };
    const Case cases[] = {
        {ExistingFiles::KeepBoth,
         {"keep (2).xlsx", "keep.xlsx", "other (2).xlsx", "other.xlsx", "x.xlsx"},
         "成功拆分出3个excel文件! 因已有同名文件，另存为：keep (2).xlsx、other (2).xlsx",
         3},
        {ExistingFiles::ReplaceAll,
         {"keep.xlsx", "other.xlsx", "x.xlsx"},
         "成功拆分出3个excel文件! 已替换原有文件：keep.xlsx、other.xlsx",
         3},
        {ExistingFiles::Stop,
         {"keep.xlsx", "other.xlsx", "x.xlsx"},
         "成功拆分出1个excel文件! 因已有同名文件，已停止，其余未保存。",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        TempDir dir, out;
        const std::string source = (dir / "src.xlsx").string();
        writeBook(source, {{"S", {{"k"}, {"x"}, {"keep"}, {"other"}}}});
        writeBytes(out / "keep.xlsx", "someone's file");
        writeBytes(out / "other.xlsx", "another file");
        ::chmod((out / "other.xlsx").c_str(), 0600);
        JobOptions o;
        o.splitSaveDir = out.path().string() + "/";
        o.classifyColumn = 1;
        o.classifyHeaderRows = true;
        o.classifyHeaderRowCount = 1;
        o.fullMatch = true;
        Host host;
        host.existingAnswer = c.answer;
        TransformJob(source, o, host);
        EXPECT_EQ(host.lastText(), c.note);
        EXPECT_EQ(host.existingQuestions, std::vector<std::string>{(out / "keep.xlsx").string()});
        EXPECT_EQ(namesIn(out.path()), c.files);
        const bool replaced = c.answer == ExistingFiles::ReplaceAll;
        EXPECT_EQ(readBytes(out / "keep.xlsx") == "someone's file", !replaced);
        // A replaced file keeps its permission bits.
        if (replaced) {
            EXPECT_EQ(modeOf(out / "other.xlsx"), 0600u);
        }
    }
}

// Sheet names other programs wrote that the formats reject are made valid as they are read,
// and the merge saves; every message about a save names the chosen file.
TEST(DataLoss, InvalidSheetNamesFromSourcesAreMadeValid) {
    TempDir dir;
    writeBook(dir / "src" / "a.xlsx",
              {{"Long", {{"1"}}}, {"Slash", {{"2"}}}, {"Empty", {{"3"}}}, {"Sheet3", {{"4"}}}});
    renameSheets(dir / "src" / "a.xlsx",
                 {{"Long", std::string(300, 'L')}, {"Slash", "a/b"}, {"Empty", ""}});
    Host host({(dir / "out.xlsx").string()});
    ExcelFileMergeJob((dir / "src").string(), mergeOptions(), host);
    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out) << host.lastText();
    EXPECT_EQ(sheetNames(*out),
              (std::vector<std::string>{std::string(31, 'L'), "a_b", "Sheet3 (2)", "Sheet3"}));
    const std::string list = readBytes(dir / "src" / "无法合并的文件目录.txt");
    EXPECT_THAT(list, HasSubstr("a.xlsx [a_b] 工作表名称“a/b”无法保存，已改为“a_b”"));
    EXPECT_THAT(list, HasSubstr("工作表名称“”无法保存"));

    // A failed save names the file the user chose, not the temporary one.
    ss::Workbook bad;
    bad.addSheet("x[1]");
    auto st = ss::saveWorkbook(bad, dir / "named.xlsx", ss::FileFormat::Xlsx);
    ASSERT_FALSE(st.ok());
    EXPECT_THAT(st.message(), HasSubstr((dir / "named.xlsx").string() + "："));
    EXPECT_THAT(st.message(), Not(HasSubstr(".tw-")));
    EXPECT_FALSE(anyTemporary(dir.path()));
}

// Text longer than a cell holds is cut at 32,767 characters (UTF-16 units, never inside a
// character) and the cell named; a merge lists it as file, sheet and cell.
TEST(DataLoss, TextBeyondTheCellLimitIsCutAndNamed) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
    std::string pairs;
    for (int i = 0; i < 16384; ++i) pairs += emoji;
    struct Case {
        const char* what;
        std::string field;
        size_t bytes;  // of the cut text
        bool cut;
    };
    const Case cases[] = {
        {"exactly at the limit", std::string(32767, 'x'), 32767, false},
        {"one past", std::string(32768, 'x'), 32767, true},
        {"far past (one long line)", std::string(2'000'000, 'y'), 32767, true},
        {"a pair would cross the limit", pairs, 16383 * 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeBytes(dir / "src" / "long.csv", "a," + c.field + "\r\nb,c\r\n");
        auto wb = open(dir / "src" / "long.csv");
        ASSERT_TRUE(wb);
        const ss::Cell* b1 = wb->sheets[0]->find(1, 2);
        ASSERT_NE(b1, nullptr);
        EXPECT_EQ(wb->cellText(*b1).size(), c.bytes);
        EXPECT_EQ(wb->readNotes.size(), c.cut ? 1u : 0u);

        Host host({(dir / "out.xlsx").string()});
        ExcelFileMergeJob((dir / "src").string(), mergeOptions(), host);
        ASSERT_FALSE(host.savedPaths.empty()) << host.lastText();
        const std::string list = readBytes(dir / "src" / "无法合并的文件目录.txt");
        if (c.cut)
            EXPECT_EQ(list, (dir / "src" / "long.csv").string() +
                                " [long] B1 文本超过单元格上限（32767个字符），已截断\r\n");
        else
            EXPECT_EQ(list, "");
    }
}

// ---- outside the target --------------------------------------------------------------------

// Links are never written through: a dangling link named like the list, a link where the split
// folder would go. In source folders a linked folder is not entered and a dangling link is
// named; a link to a file is merged as a file.
TEST(OutsideTheTarget, LinksAreNotFollowedWhenWriting) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "a.xlsx", {{"A", {{"1"}}}});
    writeBytes(src / "b.xlsx", "damaged");
    fs::create_directories(dir / "elsewhere");
    fs::create_symlink(dir / "elsewhere" / "planted.txt", src / "无法合并的文件目录.txt");
    fs::create_symlink(src, src / "loop");
    fs::create_symlink(dir / "gone.xlsx", src / "dangling.xlsx");
    Host host({(dir / "out.xlsx").string()});
    ExcelFileMergeJob(src.string(), mergeOptions(), host);
    EXPECT_FALSE(fs::exists(dir / "elsewhere" / "planted.txt"));
    EXPECT_FALSE(fs::is_symlink(src / "无法合并的文件目录.txt"));
    const std::string list = readBytes(src / "无法合并的文件目录.txt");
    EXPECT_THAT(list, HasSubstr((src / "b.xlsx").string() + " "));
    EXPECT_THAT(list, HasSubstr((src / "loop").string() + " 是指向文件夹的链接，未进入\r\n"));
    EXPECT_THAT(list,
                HasSubstr((src / "dangling.xlsx").string() + " 是指向不存在位置的链接，已跳过"));
    ASSERT_EQ(host.savedPaths.size(), 1u);

    // The split's folder name is taken by a link for the next half minute.
    TempDir split;
    writeBook(split / "book.xlsx", {{"S", {{"1"}}}});
    fs::create_directories(split / "target");
    std::vector<fs::path> planted;
    for (int s = 0; s < 30; ++s) {
        std::time_t t = std::time(nullptr) + s;
        std::tm local{};
        localtime_r(&t, &local);
        planted.push_back(split / ("book拆分_" + automation::timeTag(local)));
        std::error_code ec;
        fs::create_directory_symlink(split / "target", planted.back(), ec);
    }
    Host splitHost;
    ExcelFileSplitJob((split / "book.xlsx").string(), JobOptions{}, splitHost);
    EXPECT_TRUE(fs::is_empty(split / "target"));
    EXPECT_THAT(splitHost.lastText(), AllOf(StartsWith("成功拆分1个sheet 到 "), HasSubstr(" (2)")));
}

// A pipe, a socket and links to a device or a pipe are never opened (reading them could wait
// forever) and each is named in the list of files not merged.
TEST(OutsideTheTarget, PipesSocketsAndDevicesAreListedNotRead) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "a.xlsx", {{"A", {{"1"}}}});
    ASSERT_EQ(::mkfifo((src / "pipe.xlsx").c_str(), 0644), 0);
    fs::create_symlink(src / "pipe.xlsx", src / "to pipe.xlsx");
    fs::create_symlink("/dev/null", src / "device.xlsx");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (src / "socket.xlsx").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    for (bool oneSheet : {false, true}) {
        SCOPED_TRACE(oneSheet ? "merge-one-sheet" : "merge-files");
        Host host({(dir / "out.xlsx").string()});
        if (oneSheet)
            FilesToOneSheetJob(src.string(), mergeOptions(), host);
        else
            ExcelFileMergeJob(src.string(), mergeOptions(), host);
        // In the order the folder lists them.
        std::vector<std::string> lines;
        std::istringstream list(readBytes(src / "无法合并的文件目录.txt"));
        for (std::string line; std::getline(list, line);) lines.push_back(line);
        EXPECT_THAT(lines,
                    UnorderedElementsAre((src / "device.xlsx").string() + " 不是普通文件\r",
                                         (src / "pipe.xlsx").string() + " 不是普通文件\r",
                                         (src / "socket.xlsx").string() + " 不是普通文件\r",
                                         (src / "to pipe.xlsx").string() + " 不是普通文件\r"));
        EXPECT_THAT(host.lastText(), StartsWith("成功合并1个工作簿的1个sheet到一个工作簿。"));
        fs::remove(dir / "out.xlsx");
    }
    ::close(sock);
}

// A name with a line break stays one line in the list and in every text.
TEST(OutsideTheTarget, NamesFromDataStayOneLine) {
    TempDir dir;
    writeBytes(dir / "src" / "a\nb\x1b.xlsx", "damaged");
    writeBook(dir / "src" / "ok.xlsx", {{"line\u2028two", {{"1"}}}});
    Host host({(dir / "out.xlsx").string()});
    ExcelFileMergeJob((dir / "src").string(), mergeOptions(), host);
    for (const auto& t : host.texts) EXPECT_EQ(t.find('\n'), std::string::npos) << t;
    EXPECT_TRUE(host.sawText((dir / "src").string() + "/a\\nb\\x1b.xlsx"));
    const std::string list = readBytes(dir / "src" / "无法合并的文件目录.txt");
    EXPECT_THAT(list, StartsWith((dir / "src").string() + "/a\\nb\\x1b.xlsx "));
    EXPECT_EQ(list.find('\n'), list.size() - 1);
}

// ---- reporting -----------------------------------------------------------------------------

// Failures are shown even when the list cannot be written (a read-only folder); unreadable
// subfolders are listed like unreadable files; merge-one-sheet names the sheets that did not fit.
TEST(Reporting, EveryFailureIsNamed) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "a.xlsx", {{"A", {{"1"}}}});
    writeBytes(src / "broken.xlsx", "damaged");
    writeBook(src / "locked" / "c.xlsx", {{"C", {{"3"}}}});
    fs::create_directories(dir / "out");
    ::chmod(dir.path().c_str(), 0755);
    ::chmod((dir / "out").c_str(), 0777);
    ::chmod((src / "locked").c_str(), 0);
    ::chmod(src.c_str(), 0555);
    Host host({(dir / "out" / "m.xlsx").string()});
    {
        AsOtherUser user;
        if (!user.ok()) GTEST_SKIP() << "cannot act as a user without write permission";
        ExcelFileMergeJob(src.string(), mergeOptions(), host);
    }
    ::chmod(src.c_str(), 0755);
    ::chmod((src / "locked").c_str(), 0755);
    EXPECT_FALSE(fs::exists(src / "无法合并的文件目录.txt"));
    EXPECT_TRUE(fs::exists(dir / "out" / "m.xlsx"));
    EXPECT_THAT(host.texts,
                Contains(AllOf(
                    StartsWith("无法写入无法合并的文件目录（"), HasSubstr("没有写入权限"),
                    HasSubstr((src / "broken.xlsx").string()),
                    HasSubstr((src / "locked").string() + " 无法读取的文件夹（没有读取权限）；"))));
    EXPECT_THAT(host.lastText(), AllOf(StartsWith("成功合并1个工作簿的1个sheet到一个工作簿。耗时"),
                                       HasSubstr("秒。注意：有1个文件无法打开。")));

    // A block that does not fit below what merge-one-sheet holds is named with file and sheet.
    TempDir big;
    {
        auto wb = buildBook({{"Top", {{"top"}}}});
        putText(*wb, *wb->sheets[0], ss::kXlsxMaxRows - 1, 1, "near the end");
        writeBook(big / "src" / "1.xlsx", *wb);
    }
    writeBook(big / "src" / "2.xlsx", {{"Big", {{"x"}, {"y"}}}});
    Host oneSheet({(big / "out.xlsx").string()});
    FilesToOneSheetJob((big / "src").string(), mergeOptions(), oneSheet);
    EXPECT_EQ(readBytes(big / "src" / "无法合并的文件目录.txt"),
              (big / "src" / "2.xlsx").string() + " [Big] 超出表格行列上限\r\n");
}

// Outputs into a folder that cannot be written: each job names the folder or the outputs it
// could not write, and why in the user's words.
TEST(Reporting, SplitsIntoAFolderThatCannotBeWritten) {
    TempDir dir;
    writeBook(dir / "ro" / "book.xlsx", {{"S", {{"k"}, {"a"}, {"b"}}}});
    const fs::path ro = dir / "ro", source = ro / "book.xlsx";
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(ro.c_str(), 0555);
    struct Case {
        const char* what;
        std::function<void(Host&)> run;
        std::string last;  // the start of the closing text
    };
    JobOptions rows;
    rows.splitSaveDir = ro.string() + "/";
    rows.rowsPerWorkbook = 1;
    rows.evenHeaderRows = true;
    rows.evenHeaderRowCount = 1;
    JobOptions column;
    column.splitSaveDir = ro.string() + "/";
    column.classifyColumn = 1;
    const Case cases[] = {
        {"split-sheets", [&](Host& h) { ExcelFileSplitJob(source.string(), JobOptions{}, h); },
         "无法新建文件夹 " + ro.string() + "/book拆分_"},
        {"split-rows", [&](Host& h) { TransformAverageJob(source.string(), rows, h); },
         "成功拆分出0个excel文件! 如有多余空表,请手动删除。 未能保存2个文件：book_1.xlsx、"
         "book_2.xlsx"},
        {"split-column", [&](Host& h) { TransformJob(source.string(), column, h); },
         "成功拆分出0个excel文件! 未能保存2个文件：a.xlsx、b.xlsx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Host host;
        {
            AsOtherUser user;
            if (!user.ok()) GTEST_SKIP() << "cannot act as a user without write permission";
            c.run(host);
        }
        EXPECT_THAT(host.texts, Contains(StartsWith(c.last)));
        if (std::string(c.what) == "split-sheets") {
            EXPECT_THAT(host.lastText(), HasSubstr("：没有写入权限。"));
        }
        EXPECT_EQ(namesIn(ro), std::vector<std::string>{"book.xlsx"});
    }
    ::chmod(ro.c_str(), 0755);
}

// A save the system cuts short (here the limit on a file's size) names why in the user's
// words, not in the system's, and leaves nothing behind.
TEST(Reporting, ASaveCutShortNamesWhyInTheUsersWords) {
    TempDir dir;
    writeBook(dir / "src" / "a.xlsx", {{"A", table("a", 200)}});
    Host host({(dir / "out.xlsx").string()});
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 2000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ExcelFileMergeJob((dir / "src").string(), mergeOptions(), host);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(host.sawText("保存失败：无法保存 " + (dir / "out.xlsx").string() +
                             "：文件太大，超出了磁盘的文件大小上限。"))
        << testing::PrintToString(host.texts);
    EXPECT_TRUE(host.savedPaths.empty());
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"src"});
}

// Data too big for .xls is saved as .xlsx: a success, and the host learns the path written.
TEST(Reporting, SavedAsXlsxIsASuccessWithItsPath) {
    TempDir dir;
    auto wb = buildBook({{"S", {{"1"}}}});
    putText(*wb, *wb->sheets[0], ss::kXlsMaxRows + 1, 1, "beyond");
    writeBook(dir / "src" / "big.xlsx", *wb);
    Host host({(dir / "out.xls").string()});
    JobOptions o = mergeOptions();
    o.saveAsXls = true;
    ExcelFileMergeJob((dir / "src").string(), o, host);
    EXPECT_EQ(host.savedPaths, std::vector<std::string>{(dir / "out.xlsx").string()});
    EXPECT_FALSE(fs::exists(dir / "out.xls"));
}

// ---- interruption and the save path --------------------------------------------------------

// A save that is interrupted, that meets a full disk, or a read-only folder, leaves the previous
// file and no temporary file.
namespace {

// Saves a small workbook in `folder`, then a large one over it after `fault` was set up, and
// checks that the large save fails for `reason` leaving the small file and nothing else.
void expectPreviousFileKept(const fs::path& folder, const std::function<void()>& fault,
                            const std::string& reason) {
    auto small = buildBook({{"S", {{"old"}}}});
    auto large = buildBook({{"S", {}}});
    for (uint32_t r = 1; r <= 40000; ++r)
        putText(*large, *large->sheets[0], r, 1, "row " + std::to_string(r * 7919));
    ASSERT_TRUE(ss::saveWorkbook(*small, folder / "out.xlsx", ss::FileFormat::Xlsx).ok());
    const std::string before = readBytes(folder / "out.xlsx");
    fault();
    auto st = ss::saveWorkbook(*large, folder / "out.xlsx", ss::FileFormat::Xlsx);
    ss::resetSaveAbort();
    ASSERT_FALSE(st.ok());
    EXPECT_THAT(st.message(), HasSubstr(reason));
    EXPECT_THAT(st.message(), HasSubstr((folder / "out.xlsx").string()));
    EXPECT_EQ(readBytes(folder / "out.xlsx"), before);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"out.xlsx"});
}

}  // namespace

TEST(Interruption, AnInterruptedSaveLeavesThePreviousFile) {
    TempDir dir;
    expectPreviousFileKept(
        dir.path(), [] { ss::abortSaves(); }, "已取消保存");
}

TEST(Interruption, AFullDiskLeavesThePreviousFile) {
    TempDir dir;
    const fs::path d = dir / "d";
    fs::create_directories(d);
    if (::geteuid() != 0) GTEST_SKIP() << "a full disk is a small tmpfs, which needs root";
    if (::mount("tmpfs", d.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    expectPreviousFileKept(
        d, [] {}, "磁盘空间不足");
    ::umount(d.c_str());
}

TEST(Interruption, AReadOnlyFolderIsNamedAndLeftEmpty) {
    TempDir ro;
    ::chmod(ro.path().c_str(), 0555);
    ss::Status st = ss::okStatus();
    {
        AsOtherUser user;
        if (!user.ok()) GTEST_SKIP() << "cannot act as a user without write permission";
        st = ss::saveWorkbook(*buildBook({{"S", {{"1"}}}}), ro / "out.xlsx", ss::FileFormat::Xlsx);
    }
    ::chmod(ro.path().c_str(), 0700);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.message(), "无法保存 " + (ro / "out.xlsx").string() + "：没有写入权限。");
    EXPECT_TRUE(fs::is_empty(ro.path()));
}

// A temporary name always fits when the final name does; stale temporaries of a killed run are
// removed by the next save into the folder.
TEST(Interruption, TemporaryNamesFitAndStaleOnesGo) {
    TempDir dir;
    auto wb = buildBook({{"S", {{"1"}}}});
    for (size_t bytes : {size_t(245), size_t(255)}) {
        SCOPED_TRACE(bytes);
        // Multi-byte characters, so that the temporary name is cut at a character boundary.
        std::string name;
        while (name.size() + 3 <= bytes - 5) name += "表";
        name += std::string(bytes - 5 - name.size(), 'a') + ".xlsx";
        ASSERT_EQ(name.size(), bytes);
        auto st = ss::saveWorkbook(*wb, dir / name, ss::FileFormat::Xlsx);
        EXPECT_TRUE(st.ok()) << st.message();
        EXPECT_TRUE(fs::exists(dir / name));
        auto again = ss::saveWorkbook(*wb, dir / name, ss::FileFormat::Xls);
        EXPECT_TRUE(again.ok()) << again.message();
    }
    EXPECT_FALSE(
        ss::saveWorkbook(*wb, dir / (std::string(252, 'a') + ".xlsx"), ss::FileFormat::Xlsx).ok());

    TempDir stale;
    const fs::path old = stale / ".out.xlsx.tw-0123abcd.tmp";
    const fs::path oldZip = stale / ".out.xlsx.tw-0123abcd.tmp.Ab12Cd";
    const fs::path fresh = stale / ".out.xlsx.tw-89abcdef.tmp";
    const fs::path notOurs = stale / ".out.xlsx.tmp";
    const fs::path shortName = stale / "a.bcdefg";
    for (const auto& p : {old, oldZip, fresh, notOurs, shortName}) writeBytes(p, "x");
    struct utimbuf twoMinutesAgo {
        std::time(nullptr) - 120, std::time(nullptr) - 120
    };
    for (const auto& p : {old, oldZip, notOurs, shortName}) ::utime(p.c_str(), &twoMinutesAgo);
    ASSERT_TRUE(ss::saveWorkbook(*wb, stale / "new.xlsx", ss::FileFormat::Xlsx).ok());
    EXPECT_EQ(namesIn(stale.path()),
              (std::vector<std::string>{".out.xlsx.tmp", ".out.xlsx.tw-89abcdef.tmp", "a.bcdefg",
                                        "new.xlsx"}));
}
