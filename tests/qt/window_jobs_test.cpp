// The window with the real jobs: a folder merge started by its button asks the save-file
// question on the user-interface thread and writes the chosen workbook.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include "app/startup.h"
#include "mainwindow.h"
#include "merge_object.h"
#include "spreadsheet/io/io.h"

namespace {

class AnsweringDialogs : public UserDialogs {
public:
    QString answer;
    QStringList laterAnswers;  // answers given before `answer`, first first
    QStringList saveQuestions;
    QString existingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    QString openFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return {};
    }
    std::optional<QString> saveFileName(QWidget*, const QString& caption, const QString& name,
                                        const QString& filter) override {
        saveQuestions << caption + "|" + name + "|" + filter;
        if (!laterAnswers.isEmpty()) return laterAnswers.takeFirst();
        return answer;
    }
    void showTextFile(const QString&) override {}
    ExistingFiles existingAnswer = ExistingFiles::KeepBoth;
    QStringList existingQuestions;
    ExistingFiles existingFiles(QWidget*, const QString& path) override {
        existingQuestions << path;
        return existingAnswer;
    }
};

void writeWorkbook(const QString& path, double value) {
    auto workbook = ss::Workbook::createDefault();
    workbook->sheets[0]->setNumber(1, 1, value);
    QVERIFY(ss::saveWorkbook(*workbook, path.toStdString(), ss::FileFormat::Xlsx).ok());
}

}  // namespace

class WindowJobsTest : public QObject {
    Q_OBJECT
private slots:
    void folderMergeSavesWhereTheUserChose();
    void aSourceAsTheSaveNameIsRefusedAndAskedAgain();
    void existingOutputsAreReplacedOnlyAfterTheQuestion();
};

void WindowJobsTest::folderMergeSavesWhereTheUserChose() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("in"));
    writeWorkbook(dir.filePath("in/a.xlsx"), 1);
    writeWorkbook(dir.filePath("in/b.xlsx"), 2);
    tw::startupValues().settingsFilePath = dir.filePath("Tablaweaver.zrk").toStdString();

    AnsweringDialogs dialogs;
    dialogs.answer = dir.filePath("合并结果");  // no extension: the filter's is appended
    MainWindow window([](const QString& path) { return new MergeObject(path); });
    window.setDialogs(&dialogs);
    window.findChild<QLineEdit*>("lEdt_SourcePath")->setText(dir.filePath("in"));
    window.findChild<QPushButton*>("pBtn_FileMerge")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isJobRunning(), 20000);

    // The dialog opens beside the merged folder.
    QCOMPARE(dialogs.saveQuestions,
             QStringList{"保存文件|" + dir.filePath("FileMerge.xlsx") + "|EXCEL(*.xlsx)"});
    QVERIFY(window.findChild<QPushButton*>("pBtn_FileMerge")->isEnabled());
    const auto merged = ss::openWorkbook(dir.filePath("合并结果.xlsx").toStdString());
    QVERIFY2(merged.ok(), merged.ok() ? "" : merged.message().c_str());
    QCOMPARE(merged.value()->sheets.size(), std::size_t(2));
    QVERIFY(window.findChild<QLabel*>("lb_ShowDisposing")
                ->text()
                .startsWith("成功合并2个工作簿的2个sheet"));
    // Where it went, under the closing text.
    QTRY_COMPARE(window.findChild<QLabel*>("lb_SavedTo")->toolTip(), dir.filePath("合并结果.xlsx"));
}

void WindowJobsTest::aSourceAsTheSaveNameIsRefusedAndAskedAgain() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("in"));
    writeWorkbook(dir.filePath("in/a.xlsx"), 1);
    writeWorkbook(dir.filePath("in/b.xlsx"), 2);
    QFile source(dir.filePath("in/a.xlsx"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray before = source.readAll();
    source.close();
    tw::startupValues().settingsFilePath = dir.filePath("Tablaweaver.zrk").toStdString();

    AnsweringDialogs dialogs;
    dialogs.laterAnswers << dir.filePath("in/a");  // a source, spelled without its extension
    dialogs.answer = dir.filePath("合并结果");
    MainWindow window([](const QString& path) { return new MergeObject(path); });
    window.setDialogs(&dialogs);
    window.findChild<QLineEdit*>("lEdt_SourcePath")->setText(dir.filePath("in"));
    window.findChild<QPushButton*>("pBtn_FileMerge")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isJobRunning(), 20000);

    QCOMPARE(dialogs.saveQuestions,
             QStringList({"保存文件|" + dir.filePath("FileMerge.xlsx") + "|EXCEL(*.xlsx)",
                          "保存文件（不能保存为源文件，请另选文件名）|" +
                              dir.filePath("FileMerge.xlsx") + "|EXCEL(*.xlsx)"}));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(source.readAll(), before);
    QVERIFY(QFile::exists(dir.filePath("合并结果.xlsx")));
}

void WindowJobsTest::existingOutputsAreReplacedOnlyAfterTheQuestion() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("out"));
    auto book = ss::Workbook::createDefault();
    for (uint32_t r = 1; r <= 3; ++r) book->sheets[0]->setNumber(r, 1, r);
    QVERIFY(ss::saveWorkbook(*book, dir.filePath("book.xlsx").toStdString(), ss::FileFormat::Xlsx)
                .ok());
    for (const char* name : {"out/book_1.xlsx", "out/book_2.xlsx"}) {
        QFile other(dir.filePath(name));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("someone's file");
    }
    tw::startupValues().settingsFilePath = dir.filePath("Tablaweaver.zrk").toStdString();

    for (ExistingFiles answer : {ExistingFiles::KeepBoth, ExistingFiles::ReplaceAll}) {
        AnsweringDialogs dialogs;
        dialogs.existingAnswer = answer;
        MainWindow window([](const QString& path) { return new MergeObject(path); });
        window.setDialogs(&dialogs);
        window.findChild<QLineEdit*>("lEdt_DataSplitFilePathAverage")
            ->setText(dir.filePath("book.xlsx"));
        window.findChild<QLineEdit*>("lEdt_SavePathAverage")->setText(dir.filePath("out"));
        window.findChild<QSpinBox*>("sBox_OneWbRows")->setValue(1);
        window.findChild<QPushButton*>("pBtn_TransformAverage")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isJobRunning(), 20000);
        // Asked once for the job, about the first name taken.
        QCOMPARE(dialogs.existingQuestions, QStringList{dir.filePath("out/book_1.xlsx")});
        const QString status = window.findChild<QLabel*>("lb_ShowDisposing")->text();
        QFile first(dir.filePath("out/book_1.xlsx"));
        QVERIFY(first.open(QIODevice::ReadOnly));
        if (answer == ExistingFiles::KeepBoth) {
            QCOMPARE(first.readAll(), QByteArray("someone's file"));
            QVERIFY(QFile::exists(dir.filePath("out/book_1 (2).xlsx")));
            QVERIFY2(status.contains("另存为：book_1 (2).xlsx、book_2 (2).xlsx"),
                     qPrintable(status));
        } else {
            QVERIFY(first.readAll() != QByteArray("someone's file"));
            QVERIFY2(status.contains("已替换原有文件：book_1.xlsx、book_2.xlsx"),
                     qPrintable(status));
        }
    }
}

QTEST_MAIN(WindowJobsTest)
#include "window_jobs_test.moc"
