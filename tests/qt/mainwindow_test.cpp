// The main window: the form as it first appears, the settings it restores, the toggles, the
// path choosers, every start button's checks and the launch of jobs on worker threads. Jobs are
// stand-ins given to the worker, so only the window's own behaviour is under test here.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMutex>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSemaphore>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/startup.h"
#include "mainwindow.h"
#include "merge_object.h"
#include "systemtray.h"

namespace {

const char* const kStartButtons[] = {"pBtn_FileMerge",  "pBtn_FilesToOneSheet",
                                     "pBtn_SheetMerge", "pBtn_ExcelFileSplit",
                                     "pBtn_Transform",  "pBtn_TransformAverage"};

std::string readAll(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeAll(const QString& path, const std::string& content) {
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

class FakeDialogs : public UserDialogs {
public:
    QString answer;     // what the next dialog returns ("" = cancelled)
    QStringList calls;  // "kind|caption|filter" of each dialog shown
    bool askedOnUiThread = true;
    QStringList shownFiles;

    QString existingDirectory(QWidget*, const QString& caption, const QString&) override {
        calls << "dir|" + caption;
        return answer;
    }
    QString openFileName(QWidget*, const QString& caption, const QString&,
                         const QString& filter) override {
        calls << "file|" + caption + "|" + filter;
        return answer;
    }
    std::optional<QString> saveFileName(QWidget*, const QString& caption, const QString& name,
                                        const QString& filter) override {
        calls << "save|" + caption + "|" + name + "|" + filter;
        askedOnUiThread = QThread::currentThread() == qApp->thread();
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    }
    void showTextFile(const QString& path) override { shownFiles << path; }
};

// Stand-in jobs: each records its name, path and options, sends the texts it was given, and
// can be held until the test lets it go.
struct JobRecorder {
    QMutex mutex;
    QStringList ran;
    QStringList paths;
    JobOptions options;
    std::vector<std::string> texts = {"working", "done"};
    QSemaphore* hold = nullptr;
    bool throwError = false;
    std::function<void(JobHost&)> extra;

    JobFunctions functions() {
        const auto make = [this](const QString& name) {
            return [this, name](const std::string& path, JobOptions& options, JobHost& host) {
                {
                    QMutexLocker lock(&mutex);
                    ran << name;
                    paths << QString::fromStdString(path);
                    this->options = options;
                }
                host.text(texts.front());
                host.progress(1, 2);
                if (hold) hold->acquire();
                if (extra) extra(host);
                if (throwError) throw std::runtime_error("boom");
                for (std::size_t i = 1; i < texts.size(); ++i) host.text(texts[i]);
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
    QStringList ranJobs() {
        QMutexLocker lock(&mutex);
        return ran;
    }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void formAtFirstStart();
    void settingsRestoreEveryKey();
    void toggleChains();
    void headerRowTogglesWriteAtOnce();
    void pathChoosers();
    void startChecksFail_data();
    void startChecksFail();
    void eachStartButtonRunsItsJob_data();
    void eachStartButtonRunsItsJob();
    void folderMergeOptionsAndOldFailList();
    void classificationOptionsAndLists();
    void evenSplitKeepsHeaderCountWhenUnchecked();
    void buttonsDisabledWhileRunningAndLastTextFirst();
    void secondLaunchReplacesWorkerAndThread();
    void failingJobStillEnablesButtons();
    void saveQuestionAskedOnUiThread();
    void trayBringsWindowBack();

private:
    template <class T>
    T* child(const char* name) {
        T* widget = window_->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("no widget %s", name);
        return widget;
    }
    void makeWindow(const std::string& settings, bool withFile = true);
    QString status() { return child<QLabel>("lb_ShowDisposing")->text(); }
    bool startButtonsEnabled(bool enabled);
    void waitForJobEnd();

    std::unique_ptr<QTemporaryDir> dir_;
    QString settingsPath_;
    std::unique_ptr<JobRecorder> jobs_;
    FakeDialogs dialogs_;
    std::unique_ptr<MainWindow> window_;
};

void MainWindowTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    settingsPath_ = dir_->filePath("Tablaweaver.zrk");
    jobs_ = std::make_unique<JobRecorder>();
    dialogs_ = FakeDialogs();
    jobOptions() = JobOptions();
}

void MainWindowTest::cleanup() {
    window_.reset();
    jobs_.reset();
    dir_.reset();
}

void MainWindowTest::makeWindow(const std::string& settings, bool withFile) {
    if (withFile) writeAll(settingsPath_, settings);
    tw::startupValues().settingsFilePath = settingsPath_.toStdString();
    tw::startupValues().settingsCreatedOnWrite = false;
    JobRecorder* recorder = jobs_.get();
    window_ = std::make_unique<MainWindow>(
        [recorder](const QString& path) { return new MergeObject(path, recorder->functions()); });
    window_->setDialogs(&dialogs_);
}

bool MainWindowTest::startButtonsEnabled(bool enabled) {
    for (const char* name : kStartButtons) {
        if (child<QPushButton>(name)->isEnabled() != enabled) return false;
    }
    return true;
}

void MainWindowTest::waitForJobEnd() {
    QTRY_VERIFY_WITH_TIMEOUT(!window_->isJobRunning(), 5000);
}

void MainWindowTest::formAtFirstStart() {
    makeWindow("", false);
    QCOMPARE(window_->windowTitle(), QStringLiteral("Tablaweaver4.2"));
    QVERIFY(!window_->windowIcon().isNull());
    QCOMPARE(window_->size(), QSize(1080, 680));
    // Centred for the form's height of 740, then made 680 high.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(window_->pos(), QPoint((screen.width() - 1080) / 2, (screen.height() - 740) / 2));

    auto* tabs = child<QTabWidget>("tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("软件设置"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("高级选项"));
    QCOMPARE(window_->findChildren<QGroupBox*>().size(), 5);

    // Texts whose blanks are part of them.
    QCOMPARE(child<QCheckBox>("cBox_FileMergeXls")->text(), QStringLiteral("存为xls "));
    QCOMPARE(child<QCheckBox>("cBox_FileMergeXls")->statusTip(),
             QStringLiteral("(如超65536行勿选)"));
    QCOMPARE(child<QPushButton>("pBtn_ExcelFileSplitPath")->text(),
             QStringLiteral("   选择工作簿   "));
    QVERIFY(child<QLabel>("label")->text().startsWith("&lt;&minus;当该列单元格"));

    QLabel* line = child<QLabel>("lb_ShowDisposing");
    QCOMPARE(line->text(), QStringLiteral("【支持Office2007以上、WPS2016专业版】"));
    QCOMPARE(line->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QVERIFY(!child<QProgressBar>("pBar_JobProgress")->isVisibleTo(window_.get()));
    for (const char* separator : {"label_13", "label_15", "label_14", "label_16"}) {
        QCOMPARE(child<QLabel>(separator)->minimumHeight(), 10);
        QCOMPARE(child<QLabel>(separator)->maximumHeight(), 15);
    }

    QStringList checked;
    for (QAbstractButton* box : window_->findChildren<QAbstractButton*>()) {
        if (box->isChecked()) checked << box->objectName();
    }
    checked.sort();
    QCOMPARE(checked, QStringList({"cBox_FullMatch", "cBox_HighSpeedMode", "cBox_SkipEmptySheet",
                                   "cBox_XlsToXlsx", "rBtn_MergeLongitudinal", "rBtn_xlsx"}));
    for (QLineEdit* edit : window_->findChildren<QLineEdit*>(QRegularExpression("^lEdt_"))) {
        QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
    }

    struct Spin {
        const char* name;
        int minimum, maximum;
        bool enabled;
    };
    const Spin spins[] = {{"sBox_HeaderRow_FM", 1, 256, false},
                          {"sBox_AutoDelEmptyRows_FM", 1, 256, false},
                          {"sBox_AutoDelEmptyRows", 1, 256, false},
                          {"sBox_HeaderRow", 1, 256, false},
                          {"sBox_AppointedHeaderRow", 1, 99, false},
                          {"sBox_LastCol", 0, 99999, false},
                          {"sBox_Column", 1, 256, true},
                          {"sBox_AppointedHeaderRowAverage", 1, 99, false},
                          {"sBox_LastColAverage", 0, 99999, false},
                          {"sBox_OneWbRows", 1, 1000000, true}};
    QCOMPARE(window_->findChildren<QSpinBox*>().size(), int(std::size(spins)));
    for (const Spin& s : spins) {
        auto* box = child<QSpinBox>(s.name);
        QCOMPARE(box->value(), 1);
        QCOMPARE(box->minimum(), s.minimum);
        QCOMPARE(box->maximum(), s.maximum);
        QVERIFY2(box->isEnabled() == s.enabled, s.name);
    }
    QVERIFY(child<QCheckBox>("cBox_LastCol")->isEnabled());
    QVERIFY(child<QCheckBox>("cBox_AppointedHeaderRow")->isEnabled());
    QVERIFY(!child<QCheckBox>("cBox_FileNameAsSheetName")->isEnabled());
    QVERIFY(!child<QLineEdit>("lEdt_AppointedSeetName")->isEnabled());
    // A missing settings file is not created by the start.
    QVERIFY(!QFileInfo::exists(settingsPath_));
}

void MainWindowTest::settingsRestoreEveryKey() {
    makeWindow(
        "sourcePath=/data/月报\r\nsheetMergePath=/a/b.xlsx\r\nsheetSplitPath=/a/c.xlsx\r\n"
        "dataSplitFilePath=/a/d.xlsx\r\nsavePath=/out\r\ncolumn=300\r\n"
        "AppointedHeaderRow=y\r\nFullMatch=n\r\nToOneWorkBook=yes\r\n"
        "NumOfAppointedHeaderR=3\r\nAppointedHRowAverage=y\r\nNumOfAppointedHRAverage=abc\r\n"
        "rowsAverage=  25  \r\nsplitFilePathAverage=/a/e.csv\r\nsPathAverage=/out2\r\n");
    QCOMPARE(child<QLineEdit>("lEdt_SourcePath")->text(), QStringLiteral("/data/月报"));
    QCOMPARE(child<QLineEdit>("lEdt_ExcelFilePath")->text(), QStringLiteral("/a/b.xlsx"));
    QCOMPARE(child<QLineEdit>("lEdt_ExcelFileSplitPath")->text(), QStringLiteral("/a/c.xlsx"));
    QCOMPARE(child<QLineEdit>("lEdt_DataSplitFilePath")->text(), QStringLiteral("/a/d.xlsx"));
    QCOMPARE(child<QLineEdit>("lEdt_SavePath")->text(), QStringLiteral("/out"));
    QCOMPARE(child<QSpinBox>("sBox_Column")->value(), 256);
    QVERIFY(child<QCheckBox>("cBox_AppointedHeaderRow")->isChecked());
    QVERIFY(child<QSpinBox>("sBox_AppointedHeaderRow")->isEnabled());
    QVERIFY(!child<QCheckBox>("cBox_FullMatch")->isChecked());
    QVERIFY(child<QCheckBox>("cBox_ToOneWorkBook")->isChecked());
    QCOMPARE(child<QSpinBox>("sBox_AppointedHeaderRow")->value(), 3);
    QVERIFY(child<QCheckBox>("cBox_AppointedHeaderRowAverage")->isChecked());
    QVERIFY(child<QSpinBox>("sBox_AppointedHeaderRowAverage")->isEnabled());
    QCOMPARE(child<QSpinBox>("sBox_AppointedHeaderRowAverage")->value(), 1);  // unreadable
    QCOMPARE(child<QSpinBox>("sBox_OneWbRows")->value(), 25);
    QCOMPARE(child<QLineEdit>("lEdt_DataSplitFilePathAverage")->text(), QStringLiteral("/a/e.csv"));
    QCOMPARE(child<QLineEdit>("lEdt_SavePathAverage")->text(), QStringLiteral("/out2"));
}

void MainWindowTest::toggleChains() {
    makeWindow("");
    auto* named = child<QCheckBox>("cBox_AppointedSheet");
    auto* first = child<QCheckBox>("cBox_OnlyFirstSheet");
    auto* fileName = child<QCheckBox>("cBox_FileNameAsSheetName");
    named->click();
    QVERIFY(fileName->isEnabled());
    QVERIFY(child<QLineEdit>("lEdt_AppointedSeetName")->isEnabled());
    first->click();
    fileName->click();
    QVERIFY(fileName->isChecked());
    first->click();  // unchecking either box clears the name option, the other still checked
    QVERIFY(named->isChecked());
    QVERIFY(!fileName->isChecked());
    QVERIFY(!fileName->isEnabled());
    named->click();
    QVERIFY(!child<QLineEdit>("lEdt_AppointedSeetName")->isEnabled());

    auto* same = child<QCheckBox>("cBox_MergeSameNameSheet");
    auto* header = child<QCheckBox>("cBox_HeaderRow_FM");
    auto* emptyKey = child<QCheckBox>("cBox_AutoDelEmptyRows_FM");
    same->click();
    header->click();
    emptyKey->click();
    QVERIFY(child<QSpinBox>("sBox_HeaderRow_FM")->isEnabled());
    QVERIFY(child<QSpinBox>("sBox_AutoDelEmptyRows_FM")->isEnabled());
    same->click();
    same->click();
    QVERIFY(header->isEnabled() && !header->isChecked());
    QVERIFY(emptyKey->isEnabled() && !emptyKey->isChecked());
    QVERIFY(!child<QSpinBox>("sBox_HeaderRow_FM")->isEnabled());
    QVERIFY(!child<QSpinBox>("sBox_AutoDelEmptyRows_FM")->isEnabled());

    const std::pair<const char*, const char*> pairs[] = {
        {"cBox_AutoDelEmptyRows", "sBox_AutoDelEmptyRows"},
        {"cBox_HeaderRow", "sBox_HeaderRow"},
        {"cBox_LastCol", "sBox_LastCol"},
        {"cBox_LastColAverage", "sBox_LastColAverage"},
        {"cBox_AppointedHeaderRow", "sBox_AppointedHeaderRow"},
        {"cBox_AppointedHeaderRowAverage", "sBox_AppointedHeaderRowAverage"}};
    for (const auto& [box, spin] : pairs) {
        child<QCheckBox>(box)->click();
        QVERIFY2(child<QSpinBox>(spin)->isEnabled(), box);
        child<QCheckBox>(box)->click();
        QVERIFY2(!child<QSpinBox>(spin)->isEnabled(), box);
    }
}

void MainWindowTest::headerRowTogglesWriteAtOnce() {
    makeWindow("");
    child<QCheckBox>("cBox_AppointedHeaderRow")->click();
    child<QCheckBox>("cBox_AppointedHeaderRowAverage")->click();
    child<QCheckBox>("cBox_AppointedHeaderRowAverage")->click();
    QCOMPARE(readAll(settingsPath_),
             std::string("AppointedHRowAverage=n\r\nAppointedHeaderRow=y\r\n"));
    // The next start shows the boxes as they were left.
    makeWindow(readAll(settingsPath_));
    QVERIFY(child<QCheckBox>("cBox_AppointedHeaderRow")->isChecked());
    QVERIFY(!child<QCheckBox>("cBox_AppointedHeaderRowAverage")->isChecked());
}

void MainWindowTest::pathChoosers() {
    makeWindow("");
    const QString workbooks =
        "*.xls;*.xlsx;*.xlsm (*.xls *.xlsx *.xlsm *.ods *.et *.xml *.htm *.html)";
    const QString withCsv =
        "*.xls;*.xlsx;*.xlsm;*.csv (*.xls *.xlsx *.xlsm *.csv *.ods *.et *.xml *.htm *.html)";
    const struct {
        const char* button;
        const char* edit;
        QString dialog;
    } choosers[] = {
        {"pBtn_SourcePath", "lEdt_SourcePath", "dir|选择文件夹"},
        {"pBtn_ExcelFilePath", "lEdt_ExcelFilePath", "file|选择Excel文件|" + workbooks},
        {"pBtn_ExcelFileSplitPath", "lEdt_ExcelFileSplitPath", "file|选择Excel文件|" + workbooks},
        {"pBtn_DataSplitFilePath", "lEdt_DataSplitFilePath", "file|选择Excel文件|" + withCsv},
        {"pBtn_SavePath", "lEdt_SavePath", "dir|选择文件夹"},
        {"pBtn_DataSplitFilePathAverage", "lEdt_DataSplitFilePathAverage",
         "file|选择Excel文件|" + withCsv},
        {"pBtn_SavePathAverage", "lEdt_SavePathAverage", "dir|选择文件夹"},
    };
    for (const auto& c : choosers) {
        child<QLineEdit>(c.edit)->setText("before");
        dialogs_.calls.clear();
        dialogs_.answer = QString();
        child<QPushButton>(c.button)->click();
        // One dialog per click, although some buttons are connected twice over.
        QCOMPARE(dialogs_.calls, QStringList{c.dialog});
        QCOMPARE(child<QLineEdit>(c.edit)->text(), QStringLiteral("before"));
        dialogs_.answer = "/chosen/路径";
        child<QPushButton>(c.button)->click();
        QCOMPARE(child<QLineEdit>(c.edit)->text(), QStringLiteral("/chosen/路径"));
    }
}

void MainWindowTest::startChecksFail_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("setup");  // objectName=text for line edits
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("written");  // settings lines expected in the file
    QTest::addColumn<QStringList>("notWritten");

    const QString missingFolder = "文件夹不存在";
    const QString wrongPaths = "Excel文件或文件夹不存在,请选择正确路径!";
    QTest::newRow("folder merge, empty folder")
        << "pBtn_FileMerge" << QStringList{} << missingFolder << QStringList{"sourcePath="}
        << QStringList{};
    QTest::newRow("one-sheet merge, missing folder")
        << "pBtn_FilesToOneSheet" << QStringList{"lEdt_SourcePath=@/nothing"} << missingFolder
        << QStringList{"sourcePath=@/nothing"} << QStringList{};
    QTest::newRow("folder merge, a file is no folder")
        << "pBtn_FileMerge" << QStringList{"lEdt_SourcePath=@/book.xlsx"} << missingFolder
        << QStringList{"sourcePath=@/book.xlsx"} << QStringList{};
    QTest::newRow("sheet merge, missing workbook")
        << "pBtn_SheetMerge" << QStringList{"lEdt_ExcelFilePath=@/none.xlsx"} << "文件不存在"
        << QStringList{"sheetMergePath=@/none.xlsx"} << QStringList{};
    QTest::newRow("split by sheet, missing workbook")
        << "pBtn_ExcelFileSplit" << QStringList{"lEdt_ExcelFileSplitPath=@/none.xlsx"}
        << "文件不存在" << QStringList{"sheetSplitPath=@/none.xlsx"} << QStringList{};
    QTest::newRow("even split, empty save folder")
        << "pBtn_TransformAverage" << QStringList{"lEdt_DataSplitFilePathAverage=@/book.xlsx"}
        << wrongPaths
        << QStringList{"splitFilePathAverage=@/book.xlsx", "sPathAverage=", "rowsAverage=1",
                       "NumOfAppointedHRAverage=1"}
        << QStringList{};
    QTest::newRow("even split, save folder with backslash")
        << "pBtn_TransformAverage"
        << QStringList{"lEdt_DataSplitFilePathAverage=@/book.xlsx", "lEdt_SavePathAverage=@\\"}
        << wrongPaths << QStringList{"sPathAverage=@\\"} << QStringList{};
    QTest::newRow("classification, empty column")
        << "pBtn_Transform" << QStringList{"sBox_Column="} << "请正确填写列范围!"
        << QStringList{"FullMatch=y", "ToOneWorkBook=n"}
        << QStringList{"column=", "dataSplitFilePath="};
    QTest::newRow("classification, three values two names")
        << "pBtn_Transform" << QStringList{"lEdt_DataArr=a|b|c", "lEdt_ExcelNameArr=x|y"}
        << "提取数据份数与文件份数不一致,请核对!" << QStringList{"FullMatch=y"}
        << QStringList{"savePath="};
    QTest::newRow("classification, missing workbook")
        << "pBtn_Transform" << QStringList{"lEdt_DataSplitFilePath=@/none.xlsx", "lEdt_SavePath=@"}
        << wrongPaths
        << QStringList{"dataSplitFilePath=@/none.xlsx", "savePath=@", "column=1",
                       "NumOfAppointedHeaderR=1"}
        << QStringList{};
}

void MainWindowTest::startChecksFail() {
    QFETCH(QString, button);
    QFETCH(QStringList, setup);
    QFETCH(QString, message);
    QFETCH(QStringList, written);
    QFETCH(QStringList, notWritten);
    makeWindow("");
    writeAll(dir_->filePath("book.xlsx"), "x");
    const auto expand = [this](QString text) { return text.replace("@", dir_->path()); };
    for (const QString& entry : setup) {
        const QString name = entry.section('=', 0, 0);
        const QString text = expand(entry.section('=', 1));
        if (auto* box = window_->findChild<QSpinBox*>(name)) {
            box->findChild<QLineEdit*>()->setText(text);
        } else {
            child<QLineEdit>(qPrintable(name))->setText(text);
        }
    }
    child<QPushButton>(qPrintable(button))->click();
    QCOMPARE(status(), message);
    QVERIFY(startButtonsEnabled(true));
    QVERIFY(!window_->currentWorker());
    QVERIFY(!window_->isJobRunning());
    const QString file = QString::fromStdString(readAll(settingsPath_));
    for (const QString& line : written)
        QVERIFY2(file.contains(expand(line) + "\r\n"), qPrintable(file));
    for (const QString& line : notWritten) QVERIFY2(!file.contains(line), qPrintable(file));
}

void MainWindowTest::eachStartButtonRunsItsJob_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("path");  // relative to the test folder
    QTest::addColumn<QString>("job");
    QTest::newRow("folder merge") << "pBtn_FileMerge"
                                  << "lEdt_SourcePath"
                                  << ""
                                  << "ExcelFileMerge";
    QTest::newRow("one-sheet merge") << "pBtn_FilesToOneSheet"
                                     << "lEdt_SourcePath"
                                     << ""
                                     << "FilesToOneSheet";
    QTest::newRow("sheet merge") << "pBtn_SheetMerge"
                                 << "lEdt_ExcelFilePath"
                                 << "/book.xlsx"
                                 << "ExcelSheetMerge";
    QTest::newRow("split by sheet") << "pBtn_ExcelFileSplit"
                                    << "lEdt_ExcelFileSplitPath"
                                    << "/book.xlsx"
                                    << "ExcelFileSplit";
    QTest::newRow("even split") << "pBtn_TransformAverage"
                                << "lEdt_DataSplitFilePathAverage"
                                << "/book.xlsx"
                                << "TransformAverage";
    QTest::newRow("classification") << "pBtn_Transform"
                                    << "lEdt_DataSplitFilePath"
                                    << "/book.xlsx"
                                    << "Transform";
}

void MainWindowTest::eachStartButtonRunsItsJob() {
    QFETCH(QString, button);
    QFETCH(QString, edit);
    QFETCH(QString, path);
    QFETCH(QString, job);
    makeWindow("");
    writeAll(dir_->filePath("book.xlsx"), "x");
    child<QLineEdit>(qPrintable(edit))->setText(dir_->path() + path);
    child<QLineEdit>("lEdt_SavePath")->setText(dir_->path());
    child<QLineEdit>("lEdt_SavePathAverage")->setText(dir_->path());
    child<QPushButton>(qPrintable(button))->click();
    waitForJobEnd();
    QCOMPARE(jobs_->ranJobs(), QStringList{job});
    QCOMPARE(jobs_->paths, QStringList{dir_->path() + path});
    QCOMPARE(status(), QStringLiteral("done"));
    QVERIFY(startButtonsEnabled(true));
}

void MainWindowTest::folderMergeOptionsAndOldFailList() {
    makeWindow("");
    const QString failList = dir_->filePath("无法合并的文件目录.txt");
    writeAll(failList, "old\r\n");
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->path());
    child<QLineEdit>("lEdt_AppointedSeetName")->setText("Data");  // box unchecked: not taken
    child<QCheckBox>("cBox_FileMergeXls")->click();
    child<QCheckBox>("cBox_MergeSameNameSheet")->click();
    child<QCheckBox>("cBox_AutoDelEmptyRows_FM")->click();
    child<QSpinBox>("sBox_AutoDelEmptyRows_FM")->findChild<QLineEdit*>()->setText("");
    child<QSpinBox>("sBox_HeaderRow_FM")->setValue(3);  // its box unchecked: not taken
    jobOptions().namedSheet = "previous";
    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    QVERIFY(!QFileInfo::exists(failList));
    waitForJobEnd();

    const JobOptions& o = jobs_->options;
    QCOMPARE(o.jobSourcePath, dir_->path().toStdString());
    QCOMPARE(o.failListPath, failList.toStdString());
    QVERIFY(o.saveAsXls && o.skipEmptySheets && o.mergeSameNameSheets && o.deleteEmptyKeyRows);
    QVERIFY(!o.onlyNamedSheet && !o.onlyFirstSheet && !o.fileNameAsSheetName && !o.headerRowsOnce);
    QCOMPARE(o.namedSheet, std::string("previous"));
    QCOMPARE(o.headerRowCount, 0);
    QCOMPARE(o.keyColumn, 1);  // an empty spin box reads 0, raised to 1
    QCOMPARE(readAll(settingsPath_), "sourcePath=" + dir_->path().toStdString() + "\r\n");
}

void MainWindowTest::classificationOptionsAndLists() {
    makeWindow("");
    writeAll(dir_->filePath("book.xlsx"), "x");
    child<QLineEdit>("lEdt_DataSplitFilePath")->setText(dir_->filePath("book.xlsx"));
    child<QLineEdit>("lEdt_SavePath")->setText(dir_->path());
    child<QLineEdit>("lEdt_DataArr")->setText("北京|a||b");
    child<QSpinBox>("sBox_Column")->setValue(4);
    child<QCheckBox>("cBox_FullMatch")->click();
    child<QCheckBox>("cBox_ToOneWorkBook")->click();
    child<QPushButton>("pBtn_Transform")->click();
    waitForJobEnd();
    const JobOptions& o = jobs_->options;
    const std::vector<std::string> values = {"北京", "a", "", "b"};
    QCOMPARE(o.classifyValues, values);
    QCOMPARE(o.classifyFileNames, values);
    QCOMPARE(o.splitSaveDir, dir_->path().toStdString() + "/");
    QCOMPARE(o.classifyColumn, 4);
    QVERIFY(!o.fullMatch && o.toOneWorkbook && o.highSpeedMode && !o.classifyHeaderRows);
    QVERIFY(!o.classifyLastColumnSet);
    QCOMPARE(o.classifyLastColumn, 1);
    const std::string file = readAll(settingsPath_);
    QVERIFY(file.find("FullMatch=n\r\n") != std::string::npos);
    QVERIFY(file.find("savePath=" + dir_->path().toStdString() + "\r\n") != std::string::npos);
    QVERIFY(file.find("column=4\r\n") != std::string::npos);

    // Empty values: both lists stay empty and the names box is cleared.
    child<QLineEdit>("lEdt_DataArr")->clear();
    child<QLineEdit>("lEdt_ExcelNameArr")->setText("x|y");
    child<QPushButton>("pBtn_Transform")->click();
    waitForJobEnd();
    QVERIFY(jobs_->options.classifyValues.empty() && jobs_->options.classifyFileNames.empty());
    QCOMPARE(child<QLineEdit>("lEdt_ExcelNameArr")->text(), QString());
}

void MainWindowTest::evenSplitKeepsHeaderCountWhenUnchecked() {
    makeWindow("");
    writeAll(dir_->filePath("book.xlsx"), "x");
    child<QLineEdit>("lEdt_DataSplitFilePathAverage")->setText(dir_->filePath("book.xlsx"));
    child<QLineEdit>("lEdt_SavePathAverage")->setText(dir_->path() + "/");
    child<QSpinBox>("sBox_OneWbRows")->setValue(10);
    child<QSpinBox>("sBox_AppointedHeaderRowAverage")->setValue(5);
    jobOptions().evenHeaderRowCount = 2;
    child<QCheckBox>("cBox_LastColAverage")->click();
    child<QSpinBox>("sBox_LastColAverage")->setValue(30);
    child<QPushButton>("pBtn_TransformAverage")->click();
    waitForJobEnd();
    const JobOptions& o = jobs_->options;
    QVERIFY(!o.evenHeaderRows);
    QCOMPARE(o.evenHeaderRowCount, 2);
    QCOMPARE(o.rowsPerWorkbook, 10);
    QVERIFY(o.evenLastColumnSet);
    QCOMPARE(o.evenLastColumn, 30);
    QCOMPARE(o.splitSaveDir, dir_->path().toStdString() + "//");
    const std::string file = readAll(settingsPath_);
    QVERIFY(file.find("NumOfAppointedHRAverage=2\r\n") != std::string::npos);
    QVERIFY(file.find("rowsAverage=10\r\n") != std::string::npos);
}

// Notes the status line at the moment a start button comes back.
class EnableWatcher : public QObject {
public:
    QLabel* line = nullptr;
    QStringList textsWhenEnabled;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled()) {
            textsWhenEnabled << line->text();
        }
        return false;
    }
};

void MainWindowTest::buttonsDisabledWhileRunningAndLastTextFirst() {
    makeWindow("");
    QSemaphore hold;
    jobs_->hold = &hold;
    jobs_->texts = {"working", "成功合并3个工作簿的7个sheet到一个工作簿。耗时12秒。"};
    EnableWatcher watcher;
    watcher.line = child<QLabel>("lb_ShowDisposing");
    child<QPushButton>("pBtn_FileMerge")->installEventFilter(&watcher);
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->path());
    window_->show();

    child<QPushButton>("pBtn_FileMerge")->click();
    QVERIFY(startButtonsEnabled(false));
    QVERIFY(window_->isJobRunning());
    QTRY_COMPARE(status(), QStringLiteral("working"));
    QTRY_VERIFY(child<QProgressBar>("pBar_JobProgress")->isVisible());
    QCOMPARE(child<QProgressBar>("pBar_JobProgress")->maximum(), 2);
    // The path choosers and options stay usable while the job runs.
    QVERIFY(child<QPushButton>("pBtn_SourcePath")->isEnabled());
    QVERIFY(startButtonsEnabled(false));

    hold.release();
    waitForJobEnd();
    QVERIFY(startButtonsEnabled(true));
    QCOMPARE(watcher.textsWhenEnabled,
             QStringList{QStringLiteral("成功合并3个工作簿的7个sheet到一个工作簿。耗时12秒。")});
    QVERIFY(!child<QProgressBar>("pBar_JobProgress")->isVisible());
}

void MainWindowTest::secondLaunchReplacesWorkerAndThread() {
    makeWindow("");
    QVERIFY(!window_->currentWorker() && !window_->currentWorkerThread());
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->path());
    child<QPushButton>("pBtn_FileMerge")->click();
    waitForJobEnd();
    QPointer<MergeObject> firstWorker = window_->currentWorker();
    QPointer<QThread> firstThread = window_->currentWorkerThread();
    QVERIFY(firstWorker && firstThread);
    QVERIFY(firstWorker->thread() == firstThread);
    QVERIFY(firstThread->isRunning());  // idle, kept until the next start

    // Both folder jobs start through the same window signal: only the new worker may answer.
    child<QPushButton>("pBtn_FilesToOneSheet")->click();
    QVERIFY(!firstWorker && !firstThread);
    waitForJobEnd();
    QVERIFY(window_->currentWorker() && window_->currentWorker()->thread() != qApp->thread());
    QCOMPARE(jobs_->ranJobs(), QStringList({"ExcelFileMerge", "FilesToOneSheet"}));
}

void MainWindowTest::failingJobStillEnablesButtons() {
    makeWindow("");
    jobs_->throwError = true;
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->path());
    child<QPushButton>("pBtn_FileMerge")->click();
    waitForJobEnd();
    QVERIFY(startButtonsEnabled(true));
    QVERIFY(status().contains("boom"));
}

void MainWindowTest::saveQuestionAskedOnUiThread() {
    makeWindow("");
    std::vector<std::optional<std::string>> answers;
    jobs_->extra = [&answers](JobHost& host) {
        answers.push_back(host.askSaveFileName("保存文件", "FileMerge.xlsx", "EXCEL(*.xlsx)"));
        host.showTextFile("/tmp/无法合并的文件目录.txt");
    };
    child<QLineEdit>("lEdt_SourcePath")->setText(dir_->path());
    dialogs_.answer = "/out/合并";
    child<QPushButton>("pBtn_FileMerge")->click();
    waitForJobEnd();
    dialogs_.answer = QString();
    child<QPushButton>("pBtn_FileMerge")->click();
    waitForJobEnd();

    QCOMPARE(answers.size(), std::size_t(2));
    QCOMPARE(answers[0], std::optional<std::string>("/out/合并.xlsx"));
    QCOMPARE(answers[1], std::optional<std::string>());
    // The dialog opens beside the merged folder.
    const QString beside = QFileInfo(dir_->path()).absolutePath() + "/FileMerge.xlsx";
    QVERIFY(dialogs_.calls.contains("save|保存文件|" + beside + "|EXCEL(*.xlsx)"));
    QVERIFY(dialogs_.askedOnUiThread);
    QTRY_COMPARE(dialogs_.shownFiles.size(), 2);
}

void MainWindowTest::trayBringsWindowBack() {
    makeWindow("");
    auto* tray = window_->findChild<SystemTray*>();
    QVERIFY(tray);
    QVERIFY(!tray->icon().isNull());
    QCOMPARE(tray->toolTip(), QStringLiteral("Tablaweaver"));
    const QList<QAction*> entries = tray->contextMenu()->actions();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0]->text(), QStringLiteral("软件设置"));
    QCOMPARE(entries[1]->text(), QStringLiteral("退出程序"));

    // The form's layout may need more room than 1080 by 680 with some fonts; the window
    // never becomes smaller than its layout allows.
    window_->show();
    const QSize restored = QSize(1080, 680).expandedTo(window_->minimumSizeHint());
    const QSize other = restored + QSize(200, 100);
    window_->resize(other);
    emit tray->activated(QSystemTrayIcon::Context);
    QCOMPARE(window_->size(), other);
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
        window_->resize(other);
        window_->showMinimized();
        emit tray->activated(reason);
        QVERIFY(!window_->isMinimized());
        QCOMPARE(window_->size(), restored);
    }
    window_->hide();
    entries[0]->trigger();
    QVERIFY(window_->isVisible());
    QCOMPARE(window_->size(), restored);
}

QTEST_MAIN(MainWindowTest)
#include "mainwindow_test.moc"
