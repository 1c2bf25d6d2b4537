// The window with the real jobs: a folder merge started by its button asks the save-file
// question on the user-interface thread and writes the chosen workbook.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/startup.h"
#include "mainwindow.h"
#include "merge_object.h"
#include "spreadsheet/io.h"

namespace {

class AnsweringDialogs : public UserDialogs {
public:
    QString answer;
    QStringList saveQuestions;
    QString existingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    QString openFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return {};
    }
    std::optional<QString> saveFileName(QWidget*, const QString& caption, const QString& name,
                                        const QString& filter) override {
        saveQuestions << caption + "|" + name + "|" + filter;
        return answer;
    }
    void showTextFile(const QString&) override {}
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

QTEST_MAIN(WindowJobsTest)
#include "window_jobs_test.moc"
