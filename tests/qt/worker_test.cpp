// The worker on its own (as the command line drives it) and the single-instance socket.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/single_instance.h"
#include "merge_object.h"

namespace {

class RecordingHost : public JobHost {
public:
    std::vector<std::string> texts;
    void text(const std::string& message) override { texts.push_back(message); }
    std::optional<std::string> askSaveFileName(const std::string&, const std::string&,
                                               const std::string&) override {
        return "/given/by/caller.xlsx";
    }
};

}  // namespace

class WorkerTest : public QObject {
    Q_OBJECT
private slots:
    void externalHostTakesTextsAndQuestion();
    void slotsReportOnTheirOwnSignal();
    void filterExtension_data();
    void filterExtension();
    void secondCopyAsksFirstToShow();
    void existingFilesQuestionGoesToTheUserInterface();
};

void WorkerTest::externalHostTakesTextsAndQuestion() {
    std::optional<std::string> answer;
    JobFunctions jobs;
    jobs.excelSheetMerge = [&answer](const std::string& path, JobOptions&, JobHost& host) {
        host.text("opened " + path);
        answer = host.askSaveFileName("保存文件", "SheetsMerge.xlsx", "EXCEL(*.xlsx)");
        throw 42;  // nothing may escape the slot
    };
    MergeObject worker("/data/book.xlsx", jobs);
    RecordingHost host;
    worker.setHost(&host);
    QSignalSpy sheetTexts(&worker, &MergeObject::ShowDisposingSheet);
    QSignalSpy ended(&worker, &MergeObject::Set_pBtn_Enable);
    worker.ExcelSheetMerge();
    QCOMPARE(host.texts.size(), std::size_t(2));
    QCOMPARE(host.texts[0], std::string("opened /data/book.xlsx"));
    QVERIFY(host.texts[1].find("任务异常中止") == 0);
    QCOMPARE(answer, std::optional<std::string>("/given/by/caller.xlsx"));
    QCOMPARE(sheetTexts.count(), 0);
    QCOMPARE(ended.count(), 1);
}

void WorkerTest::slotsReportOnTheirOwnSignal() {
    const auto say = [](const char* text) {
        return [text](const std::string&, JobOptions&, JobHost& host) {
            host.text(text);
            host.progress(3, 4);
            QVERIFY(!host.askSaveFileName("保存文件", "x.xlsx", "EXCEL(*.xlsx)"));  // no UI
        };
    };
    JobFunctions jobs{say("a"), say("b"), say("c"), say("d"), say("e"), say("f")};
    MergeObject worker("p", jobs);
    QSignalSpy file(&worker, &MergeObject::ShowDisposingFile);
    QSignalSpy sheet(&worker, &MergeObject::ShowDisposingSheet);
    QSignalSpy split(&worker, &MergeObject::ShowSplitingFile);
    QSignalSpy data(&worker, &MergeObject::ShowDataSplit);
    QSignalSpy progress(&worker, &MergeObject::Progress);
    QSignalSpy ended(&worker, &MergeObject::Set_pBtn_Enable);
    worker.ExcelFileMerge();
    worker.FilesToOneSheet();
    worker.ExcelSheetMerge();
    worker.ExcelFileSplit();
    worker.TransformAverage();
    worker.Transform();
    const auto texts = [](const QSignalSpy& spy) {
        QStringList list;
        for (const auto& args : spy) list << args.at(0).toString();
        return list;
    };
    QCOMPARE(texts(file), QStringList({"a", "b"}));
    QCOMPARE(texts(sheet), QStringList({"c"}));
    QCOMPARE(texts(split), QStringList({"d"}));
    QCOMPARE(texts(data), QStringList({"e", "f"}));
    QCOMPARE(progress.count(), 6);
    QCOMPARE(progress.at(0), QVariantList({3, 4}));
    QCOMPARE(ended.count(), 6);
}

void WorkerTest::filterExtension_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("expected");
    QTest::newRow("appended") << "/a/合并"
                              << "EXCEL(*.xlsx)"
                              << "/a/合并.xlsx";
    QTest::newRow("present") << "/a/out.xlsx"
                             << "EXCEL(*.xlsx)"
                             << "/a/out.xlsx";
    QTest::newRow("present in capitals") << "/a/OUT.XLSX"
                                         << "EXCEL(*.xlsx)"
                                         << "/a/OUT.XLSX";
    QTest::newRow("other extension") << "/a/out.xls"
                                     << "EXCEL(*.xlsx)"
                                     << "/a/out.xls.xlsx";
    QTest::newRow("xls filter") << "/a/out"
                                << "EXCEL(*.xls)"
                                << "/a/out.xls";
    QTest::newRow("no extension in filter") << "/a/out"
                                            << "All files (*)"
                                            << "/a/out";
}

void WorkerTest::filterExtension() {
    QFETCH(QString, path);
    QFETCH(QString, filter);
    QFETCH(QString, expected);
    QCOMPARE(MergeObject::withFilterExtension(path, filter), expected);
}

void WorkerTest::secondCopyAsksFirstToShow() {
    QTemporaryDir dir;
    const QString name = dir.filePath("tw.sock");
    {
        tw::SingleInstance nobody(name);
        QVERIFY(!nobody.askRunningCopyToShow(500));
    }
    tw::SingleInstance first(name);
    QVERIFY(first.listen());
    QSignalSpy shown(&first, &tw::SingleInstance::showRequested);

    // The second copy waits for its answer on a thread of its own, as a separate process would.
    std::atomic<int> answered{-1};
    std::thread second([&] {
        tw::SingleInstance copy(name);
        answered = copy.askRunningCopyToShow(3000) ? 1 : 0;
    });
    QTRY_VERIFY_WITH_TIMEOUT(answered != -1, 5000);
    second.join();
    QCOMPARE(answered.load(), 1);
    QCOMPARE(shown.count(), 1);

    // A copy started with a path hands it over, whatever characters it holds.
    QSignalSpy opened(&first, &tw::SingleInstance::openRequested);
    const QString path = QStringLiteral("/数据/a b%20\nc.xlsx");
    answered = -1;
    std::thread third([&] {
        tw::SingleInstance copy(name);
        answered = copy.askRunningCopyToShow(3000, path) ? 1 : 0;
    });
    QTRY_VERIFY_WITH_TIMEOUT(answered != -1, 5000);
    third.join();
    QCOMPARE(answered.load(), 1);
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.front().front().toString(), path);
    QCOMPARE(shown.count(), 2);

    // A socket left behind by a copy that crashed does not keep the next copy from listening.
    tw::SingleInstance stale(name);
    QVERIFY(stale.listen());
}

// The once-per-job question about existing files reaches the window's dialogs through the
// worker; without a user interface nothing is replaced.
void WorkerTest::existingFilesQuestionGoesToTheUserInterface() {
    struct Dialogs : JobUserInterface {
        QStringList asked;
        std::optional<QString> askSaveFileName(const QString&, const QString&,
                                               const QString&) override {
            return std::nullopt;
        }
        void showTextFile(const QString&) override {}
        ExistingFiles askExistingFiles(const QString& path) override {
            asked << path;
            return ExistingFiles::ReplaceAll;
        }
    } dialogs;
    std::vector<ExistingFiles> answers;
    JobFunctions jobs;
    jobs.transform = [&answers](const std::string&, JobOptions&, JobHost& host) {
        answers.push_back(host.askExistingFiles("/out/keep.xlsx"));
    };
    MergeObject worker("/data/book.xlsx", jobs);
    worker.Transform();
    worker.setUserInterface(&dialogs);
    worker.Transform();
    QCOMPARE(answers,
             (std::vector<ExistingFiles>{ExistingFiles::KeepBoth, ExistingFiles::ReplaceAll}));
    QCOMPARE(dialogs.asked, QStringList({"/out/keep.xlsx"}));
}

QTEST_GUILESS_MAIN(WorkerTest)
#include "worker_test.moc"
