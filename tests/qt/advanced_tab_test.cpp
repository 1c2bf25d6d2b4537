// The window's second tab "高级选项": its options are stored under keys of their own and
// restored, reach the jobs, and its "预览" button runs the chosen job as a dry run whose plan is
// shown in a dialog. Jobs are stand-ins.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMutex>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/startup.h"
#include "mainwindow.h"
#include "merge_object.h"

namespace {

std::string readAll(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeAll(const QString& path, const std::string& content) {
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

class NoDialogs : public UserDialogs {
public:
    QString existingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    QString openFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return {};
    }
    std::optional<QString> saveFileName(QWidget*, const QString&, const QString&,
                                        const QString&) override {
        return std::nullopt;
    }
    void showTextFile(const QString&) override {}
};

// Stand-in jobs: record the options they were given; a dry run sends a two-row plan.
struct Recorder {
    QMutex mutex;
    QStringList ran;
    JobOptions options;

    JobFunctions functions() {
        const auto make = [this](const QString& name) {
            return [this, name](const std::string&, JobOptions& o, JobHost& host) {
                {
                    QMutexLocker lock(&mutex);
                    ran << name;
                    options = o;
                }
                if (o.dryRun) host.showPlan({{"文件", "结果"}, {"a.xlsx", "已合并"}});
                host.text("done");
            };
        };
        JobFunctions jobs;
        jobs.excelFileMerge = make("ExcelFileMerge");
        jobs.filesToOneSheet = make("FilesToOneSheet");
        jobs.excelSheetMerge = make("ExcelSheetMerge");
        jobs.excelFileSplit = make("ExcelFileSplit");
        jobs.transformAverage = make("TransformAverage");
        jobs.transform = make("Transform");
        return jobs;
    }
};

}  // namespace

class AdvancedTabTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void optionsStoredRestoredAndPassedOn();
    void previewRunsTheChosenJobAndShowsThePlan();
    void passwordsReachTheJobOnly();
    // With TW_SCREENSHOT=PATH (under a real display such as Xvfb): the picture of the tab for
    // the README.
    void screenshotOfTheTab();

private:
    template <class T>
    T* child(const char* name) {
        T* widget = window_->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("no widget %s", name);
        return widget;
    }
    void makeWindow();
    void waitForJobEnd() { QTRY_VERIFY_WITH_TIMEOUT(!window_->isJobRunning(), 5000); }

    std::unique_ptr<QTemporaryDir> dir_;
    QString settingsPath_;
    std::unique_ptr<Recorder> jobs_;
    NoDialogs dialogs_;
    std::unique_ptr<MainWindow> window_;
};

void AdvancedTabTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    settingsPath_ = dir_->filePath("Tablaweaver.zrk");
    jobs_ = std::make_unique<Recorder>();
    jobOptions() = JobOptions();
}

void AdvancedTabTest::cleanup() {
    window_.reset();
    jobs_.reset();
    dir_.reset();
}

void AdvancedTabTest::makeWindow() {
    window_.reset();
    tw::startupValues().settingsFilePath = settingsPath_.toStdString();
    tw::startupValues().settingsCreatedOnWrite = false;
    Recorder* recorder = jobs_.get();
    window_ = std::make_unique<MainWindow>(
        [recorder](const QString& path) { return new MergeObject(path, recorder->functions()); });
    window_->setDialogs(&dialogs_);
}

void AdvancedTabTest::optionsStoredRestoredAndPassedOn() {
    // A settings file of an older version: no keys of the tab, so every option is off.
    const std::string older = "sourcePath=" + dir_->path().toStdString() + "\r\nFullMatch=y\r\n";
    writeAll(settingsPath_, older);
    makeWindow();
    const char* const boxes[] = {"cBox_AlignHeaders", "cBox_SourceColumns", "cBox_Spill",
                                 "cBox_Report"};
    for (const char* name : boxes) QVERIFY2(!child<QCheckBox>(name)->isChecked(), name);
    QCOMPARE(readAll(settingsPath_), older);

    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    waitForJobEnd();
    QVERIFY(!jobs_->options.alignHeaders && !jobs_->options.sourceColumns &&
            !jobs_->options.spill && !jobs_->options.reportBesideOutput && !jobs_->options.dryRun);

    // Each option is stored when changed, under its own key; the other lines stay.
    child<QCheckBox>("cBox_AlignHeaders")->click();
    child<QCheckBox>("cBox_Spill")->click();
    child<QCheckBox>("cBox_Report")->click();
    const std::string stored = readAll(settingsPath_);
    QVERIFY(stored.find("AlignHeaders=y\r\n") != std::string::npos);
    QVERIFY(stored.find("SpillOver=y\r\n") != std::string::npos);
    QVERIFY(stored.find("ReportBesideOutput=y\r\n") != std::string::npos);
    QVERIFY(stored.find("SourceColumns=") == std::string::npos);
    QVERIFY(stored.find("FullMatch=y\r\n") != std::string::npos);

    makeWindow();
    QVERIFY(child<QCheckBox>("cBox_AlignHeaders")->isChecked());
    QVERIFY(!child<QCheckBox>("cBox_SourceColumns")->isChecked());
    QVERIFY(child<QCheckBox>("cBox_Spill")->isChecked());
    QVERIFY(child<QCheckBox>("cBox_Report")->isChecked());
    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    waitForJobEnd();
    QVERIFY(jobs_->options.alignHeaders && !jobs_->options.sourceColumns && jobs_->options.spill &&
            jobs_->options.reportBesideOutput && !jobs_->options.dryRun);

    auto* tabs = child<QTabWidget>("tabWidget");
    QCOMPARE(tabs->tabText(1), QStringLiteral("高级选项"));
}

void AdvancedTabTest::previewRunsTheChosenJobAndShowsThePlan() {
    writeAll(settingsPath_, "sourcePath=" + dir_->path().toStdString() + "\r\n");
    makeWindow();
    child<QComboBox>("cBox_PreviewJob")->setCurrentIndex(1);  // "合并成1个Sheet"
    QVERIFY(readAll(settingsPath_).find("PreviewJob=1\r\n") != std::string::npos);
    child<QPushButton>("pBtn_Preview")->click();
    waitForJobEnd();
    QCOMPARE(jobs_->ran, QStringList{"FilesToOneSheet"});
    QVERIFY(jobs_->options.dryRun);

    QDialog* plan = nullptr;
    QTRY_VERIFY((plan = window_->findChild<QDialog*>("dlg_Plan")) != nullptr);
    QVERIFY(plan->isVisible());
    auto* table = plan->findChild<QTableWidget*>("tbl_Plan");
    QVERIFY(table);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->horizontalHeaderItem(0)->text(), QStringLiteral("文件"));
    QCOMPARE(table->item(0, 1)->text(), QStringLiteral("已合并"));
    plan->close();

    // The next start is a real run again; a preview whose start check fails runs nothing.
    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    waitForJobEnd();
    QVERIFY(!jobs_->options.dryRun);
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->filePath("missing"));
    child<QPushButton>("pBtn_Preview")->click();
    QCOMPARE(jobs_->ran.size(), 2);
}

// The passwords reach the job (one per line, CR/LF and empty lines ignored) and are never
// written to the settings file.
void AdvancedTabTest::passwordsReachTheJobOnly() {
    writeAll(settingsPath_, "sourcePath=" + dir_->path().toStdString() + "\r\n");
    makeWindow();
    child<QPlainTextEdit>("pTxt_Passwords")->setPlainText(QStringLiteral("工资2024\r\n\nsecond\n"));
    child<QLineEdit>("lEdit_EncryptPassword")->setText(QStringLiteral("加密pw"));
    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    waitForJobEnd();
    QCOMPARE(jobs_->options.openPasswords, (std::vector<std::string>{"工资2024", "second"}));
    QCOMPARE(jobs_->options.encryptPassword, std::string("加密pw"));
    const std::string stored = readAll(settingsPath_);
    for (const char* secret : {"工资2024", "second", "加密pw"})
        QVERIFY2(stored.find(secret) == std::string::npos, secret);
}

void AdvancedTabTest::screenshotOfTheTab() {
    const QString path = qEnvironmentVariable("TW_SCREENSHOT");
    if (path.isEmpty()) QSKIP("TW_SCREENSHOT not set");
    writeAll(settingsPath_, "AlignHeaders=y\r\nSourceColumns=y\r\nPreviewJob=1\r\n");
    makeWindow();
    child<QTabWidget>("tabWidget")->setCurrentIndex(1);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTest::qWait(300);
    QVERIFY(window_->grab().save(path));
}

QTEST_MAIN(AdvancedTabTest)
#include "advanced_tab_test.moc"
