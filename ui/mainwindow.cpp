#include "mainwindow.h"

#include <QBoxLayout>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMetaObject>
#include <QMimeData>
#include <QScreen>
#include <QThread>
#include <iterator>
#include <QUrl>

#include "advanced_tab.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "job_options.h"
#include "merge_object.h"
#include "path_drops.h"
#include "start_checks.h"
#include "systemtray.h"
#include "ui_mainwindow.h"

// Resources of a static library are registered by hand; the macro must not sit in a namespace.
static void initWindowResources() {
    Q_INIT_RESOURCE(tablaweaver);
}

namespace {

constexpr int kRestoreHeight = 680;
const QString kDirectoryCaption = QStringLiteral("选择文件夹");
const QString kFileCaption = QStringLiteral("选择Excel文件");
// The file dialog takes the patterns in parentheses, separated by blanks; the text before them
// is what the dialog shows.
// The text stays that of the workbook kinds; the patterns also list what offices receive under
// other names (OpenDocument, WPS, 2003 XML, web pages), which the readers open by content.
const QString kWorkbookFilter =
    QStringLiteral("*.xls;*.xlsx;*.xlsm (*.xls *.xlsx *.xlsm *.ods *.et *.xml *.htm *.html)");
const QString kWorkbookOrCsvFilter = QStringLiteral(
    "*.xls;*.xlsx;*.xlsm;*.csv (*.xls *.xlsx *.xlsm *.csv *.ods *.et *.xml *.htm *.html)");
const QString kFailListName = QStringLiteral("/无法合并的文件目录.txt");

// A spin box taken as a number: its text in base 10, 0 when the text is empty or unreadable.
int spinNumber(const QSpinBox* box) {
    return box->text().toInt();
}

std::string utf8(const QString& text) {
    return text.toStdString();
}
void store(const char* key, const QString& value) {
    tw::storeSetting(key, utf8(value));
}
const char* yesNo(bool on) {
    return on ? "y" : "n";
}

}  // namespace

// Answers a running job's questions on the user-interface thread while the worker waits.
class MainWindow::JobDialogs final : public JobUserInterface {
public:
    explicit JobDialogs(MainWindow& window) : window_(window) {}

    std::optional<QString> askSaveFileName(const QString& caption, const QString& proposedName,
                                           const QString& filter) override {
        MainWindow* window = &window_;
        auto ask = [window, caption, proposedName, filter] {
            QString name = proposedName;
            if (QFileInfo(name).isRelative() && !window->saveFolder_.isEmpty())
                name = QDir(window->saveFolder_).filePath(name);
            return window->dialogs_->saveFileName(window, caption, name, filter)
                .value_or(QString());
        };
        QString chosen;
        if (QThread::currentThread() == window->thread()) {
            chosen = ask();
        } else {
            QMetaObject::invokeMethod(window, ask, Qt::BlockingQueuedConnection, &chosen);
        }
        if (chosen.isEmpty()) return std::nullopt;
        return chosen;
    }

    ExistingFiles askExistingFiles(const QString& path) override {
        MainWindow* window = &window_;
        auto ask = [window, path] { return window->dialogs_->existingFiles(window, path); };
        if (QThread::currentThread() == window->thread()) return ask();
        ExistingFiles answer = ExistingFiles::Stop;
        QMetaObject::invokeMethod(window, ask, Qt::BlockingQueuedConnection, &answer);
        return answer;
    }

    void showTextFile(const QString& path) override {
        MainWindow* window = &window_;
        QMetaObject::invokeMethod(
            window, [window, path] { window->dialogs_->showTextFile(path); }, Qt::QueuedConnection);
    }

private:
    MainWindow& window_;
};

MainWindow::MainWindow(WorkerFactory makeWorker, QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      makeWorker_(std::move(makeWorker)),
      jobDialogs_(std::make_unique<JobDialogs>(*this)) {
    initWindowResources();
    ui->setupUi(this);

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    screenWidth = screen.width();
    screenHeight = screen.height();
    restoreHeight = height();
    restoreWidth = width();
    move((screenWidth - width()) / 2, (screenHeight - height()) / 2);

    setWindowTitle(QStringLiteral("Tablaweaver") + QStringLiteral("4.2"));
    setWindowIcon(QIcon(QStringLiteral(":/images/zrk.ico")));

    tray = new SystemTray(this);
    connect(tray, &SystemTray::showWidget, this, &MainWindow::ShowSoftWindow);
    connect(tray, &QSystemTrayIcon::activated, this, &MainWindow::SystemTrayActivated);

    // The form already connects these by name; a unique connection keeps each slot single.
    const char* const clickedByName[] = {
        "pBtn_SourcePath",       "cBox_AppointedSheet", "cBox_OnlyFirstSheet",
        "pBtn_FileMerge",        "pBtn_ExcelFilePath",  "pBtn_SheetMerge",
        "cBox_AutoDelEmptyRows", "pBtn_ExcelFileSplit", "pBtn_ExcelFileSplitPath"};
    for (const char* name : clickedByName) {
        QAbstractButton* control = findChild<QAbstractButton*>(QLatin1String(name));
        const QByteArray slot = QByteArray("1on_") + name + "_clicked()";
        connect(control, SIGNAL(clicked(bool)), this, slot.constData(), Qt::UniqueConnection);
    }

    std::string settingsContent;
    (void)tw::readSettingsFile(settingsContent, tw::startupValues().settingsFilePath);

    // Function one's box gives its rows the width they need: the form's minimum width of 80
    // would override its layout's and let the window squeeze the second row's labels.
    ui->gBox_Setting->setMinimumWidth(0);
    ui->cBox_HighSpeedMode->setEnabled(true);
    ui->cBox_HighSpeedMode->setChecked(true);
    for (QLabel* separator : {ui->label_13, ui->label_15, ui->label_14, ui->label_16}) {
        separator->setMinimumHeight(10);
        separator->setMaximumHeight(15);
    }
    restoreHeight = kRestoreHeight;
    resize(restoreWidth, kRestoreHeight);

    applySettings(settingsContent);

    advancedTab_ = new AdvancedTab(ui->tabWidget);
    ui->tabWidget->addTab(advancedTab_, QStringLiteral("高级选项"));
    advancedTab_->applySettings(settingsContent);
    connect(advancedTab_, &AdvancedTab::previewRequested, this, &MainWindow::startPreview);
    // Where the last result was saved, shown after the job's closing text on the status line's
    // row, so that it needs neither width nor height of its own.
    savedTo_ = new QLabel(ui->lb_ShowDisposing->parentWidget());
    savedTo_->setObjectName(QStringLiteral("lb_SavedTo"));
    savedTo_->setTextFormat(Qt::RichText);
    savedTo_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    savedTo_->setOpenExternalLinks(true);
    savedTo_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    savedTo_->hide();
    if (auto* layout = qobject_cast<QBoxLayout*>(ui->lb_ShowDisposing->parentWidget()->layout())) {
        const int index = layout->indexOf(ui->lb_ShowDisposing);
        const int stretch = layout->stretch(index);
        layout->removeWidget(ui->lb_ShowDisposing);
        auto* row = new QHBoxLayout;
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(12);
        row->addWidget(ui->lb_ShowDisposing, 1);
        row->addWidget(savedTo_, 0);
        layout->insertLayout(index, row, stretch);
    }

    // Files and folders dropped on a path field fill it; dropped anywhere else on the window
    // they go where the program's argument would.
    setAcceptDrops(true);
    drops_ = new PathDrops([this](const QString& reason) { showStatus(reason); }, this);
    using Wants = PathDrops::Wants;
    drops_->addField(ui->lEdt_SourcePath, Wants::Folder);
    drops_->addField(ui->lEdt_ExcelFilePath, Wants::Workbook);
    drops_->addField(ui->lEdt_ExcelFileSplitPath, Wants::Workbook);
    drops_->addField(ui->lEdt_DataSplitFilePath, Wants::WorkbookOrCsv);
    drops_->addField(ui->lEdt_SavePath, Wants::Folder);
    drops_->addField(ui->lEdt_DataSplitFilePathAverage, Wants::WorkbookOrCsv);
    drops_->addField(ui->lEdt_SavePathAverage, Wants::Folder);

    workerThread = nullptr;
    worker = nullptr;
}

MainWindow::~MainWindow() {
    // An idle worker thread ends at once; a running job was given its chance by finishWorker
    // and is otherwise left to end with the process.
    if (!jobRunning_) {
        releaseWorker();
    } else if (worker) {
        worker->setUserInterface(nullptr);
    }
    delete ui;
}

void MainWindow::setDialogs(UserDialogs* dialogs) {
    dialogs_ = dialogs ? dialogs : &standardDialogs_;
}

void MainWindow::applySettings(const std::string& content) {
    const auto text = [&content](const char* key) {
        return QString::fromStdString(tw::getSetting(content, key));
    };
    const auto number = [&text](const char* key) { return text(key).toInt(); };

    ui->lEdt_SourcePath->setText(text("sourcePath"));
    ui->lEdt_ExcelFilePath->setText(text("sheetMergePath"));
    ui->lEdt_ExcelFileSplitPath->setText(text("sheetSplitPath"));
    ui->lEdt_DataSplitFilePath->setText(text("dataSplitFilePath"));
    ui->lEdt_SavePath->setText(text("savePath"));
    ui->sBox_Column->setValue(number("column"));
    if (text("AppointedHeaderRow") == QLatin1String("y")) {
        ui->cBox_AppointedHeaderRow->setChecked(true);
        ui->sBox_AppointedHeaderRow->setEnabled(true);
    }
    // The box starts checked; a stored "n" is the user's last choice and is restored too.
    const QString fullMatch = text("FullMatch");
    if (fullMatch == QLatin1String("y")) ui->cBox_FullMatch->setChecked(true);
    if (fullMatch == QLatin1String("n")) ui->cBox_FullMatch->setChecked(false);
    if (text("ToOneWorkBook").startsWith(QLatin1Char('y')))
        ui->cBox_ToOneWorkBook->setChecked(true);
    ui->sBox_AppointedHeaderRow->setValue(number("NumOfAppointedHeaderR"));
    if (text("AppointedHRowAverage") == QLatin1String("y")) {
        ui->cBox_AppointedHeaderRowAverage->setChecked(true);
        ui->sBox_AppointedHeaderRowAverage->setEnabled(true);
    }
    ui->sBox_AppointedHeaderRowAverage->setValue(number("NumOfAppointedHRAverage"));
    ui->sBox_OneWbRows->setValue(number("rowsAverage"));
    ui->lEdt_DataSplitFilePathAverage->setText(text("splitFilePathAverage"));
    ui->lEdt_SavePathAverage->setText(text("sPathAverage"));
}

// ---- Tray ----

void MainWindow::ShowSoftWindow() {
    showNormal();
    resize(restoreWidth, restoreHeight);
    raise();
    activateWindow();
}

void MainWindow::SystemTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
        ShowSoftWindow();
    }
}

// ---- Paths from outside ----

bool MainWindow::openPath(const QString& given) {
    const QString path = localPath(given);
    switch (pathKind(path)) {
        case PathKind::Folder:
            ui->lEdt_SourcePath->setText(path);
            return true;
        case PathKind::Workbook:
            ui->lEdt_ExcelFilePath->setText(path);
            return true;
        case PathKind::Csv:
            ui->lEdt_DataSplitFilePath->setText(path);
            return true;
        case PathKind::Missing:
            showStatus(QStringLiteral("找不到：") + path);
            return false;
        case PathKind::Other:
            break;
    }
    showStatus(QStringLiteral("只能打开文件夹或工作簿(.xls、.xlsx、.xlsm、.csv)：") + path);
    return false;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const DraggedPath dragged = draggedPath(event->mimeData());
    if (!dragged.refusal.isEmpty()) {
        showStatus(dragged.refusal);
        return;
    }
    if (dragged.path.isEmpty()) return;
    if (openPath(dragged.path)) event->acceptProposedAction();
}

// ---- Path choosers ----

void MainWindow::chooseDirectory(QLineEdit* target) {
    const QString chosen =
        dialogs_->existingDirectory(this, kDirectoryCaption, QStringLiteral("."));
    if (!chosen.isEmpty()) target->setText(chosen);
}

void MainWindow::chooseFile(QLineEdit* target, const QString& filter) {
    const QString chosen =
        dialogs_->openFileName(nullptr, kFileCaption, QStringLiteral("."), filter);
    if (!chosen.isEmpty()) target->setText(chosen);
}

void MainWindow::on_pBtn_SourcePath_clicked() {
    chooseDirectory(ui->lEdt_SourcePath);
}
void MainWindow::on_pBtn_ExcelFilePath_clicked() {
    chooseFile(ui->lEdt_ExcelFilePath, kWorkbookFilter);
}
void MainWindow::on_pBtn_ExcelFileSplitPath_clicked() {
    chooseFile(ui->lEdt_ExcelFileSplitPath, kWorkbookFilter);
}
void MainWindow::on_pBtn_DataSplitFilePath_clicked() {
    chooseFile(ui->lEdt_DataSplitFilePath, kWorkbookOrCsvFilter);
}
void MainWindow::on_pBtn_SavePath_clicked() {
    chooseDirectory(ui->lEdt_SavePath);
}
void MainWindow::on_pBtn_DataSplitFilePathAverage_clicked() {
    chooseFile(ui->lEdt_DataSplitFilePathAverage, kWorkbookOrCsvFilter);
}
void MainWindow::on_pBtn_SavePathAverage_clicked() {
    chooseDirectory(ui->lEdt_SavePathAverage);
}

// ---- Option toggles ----

void MainWindow::on_cBox_AppointedSheet_clicked() {
    const bool on = ui->cBox_AppointedSheet->isChecked();
    if (!on) ui->cBox_FileNameAsSheetName->setChecked(false);
    ui->cBox_FileNameAsSheetName->setEnabled(on);
    ui->lEdt_AppointedSeetName->setEnabled(on);
}

void MainWindow::on_cBox_OnlyFirstSheet_clicked() {
    const bool on = ui->cBox_OnlyFirstSheet->isChecked();
    if (!on) ui->cBox_FileNameAsSheetName->setChecked(false);
    ui->cBox_FileNameAsSheetName->setEnabled(on);
}

void MainWindow::on_cBox_MergeSameNameSheet_clicked() {
    const bool on = ui->cBox_MergeSameNameSheet->isChecked();
    ui->cBox_HeaderRow_FM->setEnabled(on);
    ui->cBox_AutoDelEmptyRows_FM->setEnabled(on);
    if (!on) {
        ui->cBox_HeaderRow_FM->setChecked(false);
        ui->cBox_AutoDelEmptyRows_FM->setChecked(false);
        ui->sBox_HeaderRow_FM->setEnabled(false);
        ui->sBox_AutoDelEmptyRows_FM->setEnabled(false);
    }
}

void MainWindow::on_cBox_HeaderRow_FM_clicked() {
    ui->sBox_HeaderRow_FM->setEnabled(ui->cBox_HeaderRow_FM->isChecked());
}
void MainWindow::on_cBox_AutoDelEmptyRows_FM_clicked() {
    ui->sBox_AutoDelEmptyRows_FM->setEnabled(ui->cBox_AutoDelEmptyRows_FM->isChecked());
}
void MainWindow::on_cBox_AutoDelEmptyRows_clicked() {
    ui->sBox_AutoDelEmptyRows->setEnabled(ui->cBox_AutoDelEmptyRows->isChecked());
}
void MainWindow::on_cBox_HeaderRow_clicked() {
    ui->sBox_HeaderRow->setEnabled(ui->cBox_HeaderRow->isChecked());
}

void MainWindow::on_cBox_AppointedHeaderRow_clicked() {
    const bool on = ui->cBox_AppointedHeaderRow->isChecked();
    tw::storeSetting("AppointedHeaderRow", yesNo(on));
    ui->sBox_AppointedHeaderRow->setEnabled(on);
}

void MainWindow::on_cBox_AppointedHeaderRowAverage_clicked() {
    const bool on = ui->cBox_AppointedHeaderRowAverage->isChecked();
    tw::storeSetting("AppointedHRowAverage", yesNo(on));
    ui->sBox_AppointedHeaderRowAverage->setEnabled(on);
}

void MainWindow::on_cBox_LastCol_clicked() {
    ui->sBox_LastCol->setEnabled(ui->cBox_LastCol->isChecked());
}
void MainWindow::on_cBox_LastColAverage_clicked() {
    ui->sBox_LastColAverage->setEnabled(ui->cBox_LastColAverage->isChecked());
}
void MainWindow::on_cBox_HighSpeedMode_clicked() {}

// ---- Start slots ----

bool MainWindow::prepareFolderMerge() {
    JobOptions& options = jobOptions();
    const QString folder = ui->lEdt_SourcePath->text();
    options.jobSourcePath = utf8(folder);
    store("sourcePath", folder);
    if (failedCheck(tw::checkFolderMerge(options.jobSourcePath))) return false;
    const QString failList = folder + kFailListName;
    options.failListPath = utf8(failList);
    if (!previewing_ && tw::pathExists(options.failListPath)) QFile::remove(failList);

    showStatus(QString());
    disableStartButtons();

    options.saveAsXls = ui->cBox_FileMergeXls->isChecked();
    options.skipEmptySheets = ui->cBox_SkipEmptySheet->isChecked();
    options.onlyNamedSheet = ui->cBox_AppointedSheet->isChecked();
    if (options.onlyNamedSheet) options.namedSheet = utf8(ui->lEdt_AppointedSeetName->text());
    options.onlyFirstSheet = ui->cBox_OnlyFirstSheet->isChecked();
    options.fileNameAsSheetName = ui->cBox_FileNameAsSheetName->isChecked();
    options.mergeSameNameSheets = ui->cBox_MergeSameNameSheet->isChecked();
    options.headerRowsOnce = ui->cBox_HeaderRow_FM->isChecked();
    if (options.headerRowsOnce) options.headerRowCount = spinNumber(ui->sBox_HeaderRow_FM);
    options.deleteEmptyKeyRows = ui->cBox_AutoDelEmptyRows_FM->isChecked();
    if (options.deleteEmptyKeyRows) {
        options.keyColumn = std::max(1, spinNumber(ui->sBox_AutoDelEmptyRows_FM));
    }
    return true;
}

void MainWindow::on_pBtn_FileMerge_clicked() {
    if (!prepareFolderMerge()) return;
    launchJob(ui->lEdt_SourcePath->text(), &MergeObject::ShowDisposingFile,
              &MainWindow::on_ShowDisposingFile, &MainWindow::pBtn_FileMerge_HasClicked,
              &MergeObject::ExcelFileMerge, false);
}

void MainWindow::on_pBtn_FilesToOneSheet_clicked() {
    if (!prepareFolderMerge()) return;
    launchJob(ui->lEdt_SourcePath->text(), &MergeObject::ShowDisposingFile,
              &MainWindow::on_ShowDisposingFile, &MainWindow::pBtn_FileMerge_HasClicked,
              &MergeObject::FilesToOneSheet, false);
}

void MainWindow::on_pBtn_SheetMerge_clicked() {
    JobOptions& options = jobOptions();
    options.sheetMergeVertical = ui->rBtn_MergeLongitudinal->isChecked();
    const QString workbook = ui->lEdt_ExcelFilePath->text();
    options.jobSourcePath = utf8(workbook);
    store("sheetMergePath", workbook);
    if (failedCheck(tw::checkSheetMerge(options.jobSourcePath))) return;
    showStatus(QString());
    disableStartButtons();

    options.sheetMergeSaveAsXls = ui->cBox_SheetMergeXls->isChecked();
    options.sheetMergeOrganise = ui->cBox_XlsToXlsx->isChecked();
    options.sheetMergeDeleteEmptyKeyRows = ui->cBox_AutoDelEmptyRows->isChecked();
    if (options.sheetMergeDeleteEmptyKeyRows) {
        options.sheetMergeKeyColumn = std::max(1, spinNumber(ui->sBox_AutoDelEmptyRows));
    }
    options.sheetMergeHeaderRowsOnce = ui->cBox_HeaderRow->isChecked();
    if (options.sheetMergeHeaderRowsOnce) {
        options.sheetMergeHeaderRowCount = spinNumber(ui->sBox_HeaderRow);
    }
    launchJob(workbook, &MergeObject::ShowDisposingSheet, &MainWindow::on_ShowDisposingSheet,
              &MainWindow::pBtn_SheetMerge_HasClicked, &MergeObject::ExcelSheetMerge, false);
}

void MainWindow::on_pBtn_ExcelFileSplit_clicked() {
    JobOptions& options = jobOptions();
    const QString workbook = ui->lEdt_ExcelFileSplitPath->text();
    options.jobSourcePath = utf8(workbook);
    store("sheetSplitPath", workbook);
    if (failedCheck(tw::checkWorkbookExists(options.jobSourcePath))) return;
    showStatus(QString());
    disableStartButtons();
    options.splitAsXlsx = ui->rBtn_xlsx->isChecked();
    launchJob(workbook, &MergeObject::ShowSplitingFile, &MainWindow::on_ShowSplitingFile,
              &MainWindow::pBtn_ExcelFileSplit_HasClicked, &MergeObject::ExcelFileSplit, false);
}

void MainWindow::on_pBtn_TransformAverage_clicked() {
    JobOptions& options = jobOptions();
    options.evenHeaderRows = ui->cBox_AppointedHeaderRowAverage->isChecked();
    if (options.evenHeaderRows) {
        options.evenHeaderRowCount = spinNumber(ui->sBox_AppointedHeaderRowAverage);
    }
    options.rowsPerWorkbook = spinNumber(ui->sBox_OneWbRows);
    options.evenLastColumnSet = ui->cBox_LastColAverage->isChecked();
    options.evenLastColumn = options.evenLastColumnSet ? spinNumber(ui->sBox_LastColAverage) : 1;
    const QString workbook = ui->lEdt_DataSplitFilePathAverage->text();
    const QString saveFolder = ui->lEdt_SavePathAverage->text();
    options.splitSourceFile = utf8(workbook);
    options.splitSaveDir = utf8(saveFolder);

    store("splitFilePathAverage", workbook);
    store("sPathAverage", saveFolder);
    store("rowsAverage", QString::number(options.rowsPerWorkbook));
    store("NumOfAppointedHRAverage", QString::number(options.evenHeaderRowCount));

    options.splitSaveDir += '/';
    if (failedCheck(tw::checkSplitPaths(options.splitSourceFile, options.splitSaveDir))) return;
    showStatus(QString());
    disableStartButtons();
    launchJob(workbook, &MergeObject::ShowDataSplit, &MainWindow::on_ShowDataSplit,
              &MainWindow::pBtn_TransformAverage_HasClicked, &MergeObject::TransformAverage, true);
}

void MainWindow::on_pBtn_Transform_clicked() {
    JobOptions& options = jobOptions();
    options.classifyValues.clear();
    options.classifyFileNames.clear();

    options.classifyHeaderRows = ui->cBox_AppointedHeaderRow->isChecked();
    options.highSpeedMode = ui->cBox_HighSpeedMode->isChecked();
    options.fullMatch = ui->cBox_FullMatch->isChecked();
    tw::storeSetting("FullMatch", yesNo(options.fullMatch));
    options.toOneWorkbook = ui->cBox_ToOneWorkBook->isChecked();
    tw::storeSetting("ToOneWorkBook", yesNo(options.toOneWorkbook));
    if (options.classifyHeaderRows) {
        options.classifyHeaderRowCount = spinNumber(ui->sBox_AppointedHeaderRow);
    }

    const QString values = ui->lEdt_DataArr->text();
    const QString names = ui->lEdt_ExcelNameArr->text();
    options.classifyColumn = spinNumber(ui->sBox_Column);
    if (failedCheck(tw::checkClassifyColumn(options.classifyColumn))) return;
    options.classifyLastColumnSet = ui->cBox_LastCol->isChecked();
    options.classifyLastColumn = options.classifyLastColumnSet ? spinNumber(ui->sBox_LastCol) : 1;

    if (failedCheck(tw::cutClassifyLists(utf8(values), utf8(names), options))) return;
    if (values.isEmpty()) ui->lEdt_ExcelNameArr->setText(QString());

    const QString workbook = ui->lEdt_DataSplitFilePath->text();
    const QString saveFolder = ui->lEdt_SavePath->text();
    options.splitSourceFile = utf8(workbook);
    options.splitSaveDir = utf8(saveFolder);
    store("dataSplitFilePath", workbook);
    store("savePath", saveFolder);
    store("column", QString::number(options.classifyColumn));
    store("NumOfAppointedHeaderR", QString::number(options.classifyHeaderRowCount));

    options.splitSaveDir += '/';
    if (failedCheck(tw::checkSplitPaths(options.splitSourceFile, options.splitSaveDir))) return;
    showStatus(QString());
    disableStartButtons();
    launchJob(workbook, &MergeObject::ShowDataSplit, &MainWindow::on_ShowDataSplit,
              &MainWindow::pBtn_Transform_HasClicked, &MergeObject::Transform, true);
}

// ---- Launch protocol ----

void MainWindow::disableStartButtons() {
    ui->pBtn_Transform->setEnabled(false);
    ui->pBtn_ExcelFileSplit->setEnabled(false);
    ui->pBtn_SheetMerge->setEnabled(false);
    ui->pBtn_FileMerge->setEnabled(false);
    ui->pBtn_TransformAverage->setEnabled(false);
    ui->pBtn_FilesToOneSheet->setEnabled(false);
}

void MainWindow::on_Set_pBtn_Enable() {
    ui->pBtn_Transform->setEnabled(true);
    ui->pBtn_ExcelFileSplit->setEnabled(true);
    ui->pBtn_SheetMerge->setEnabled(true);
    ui->pBtn_FileMerge->setEnabled(true);
    ui->pBtn_TransformAverage->setEnabled(true);
    ui->pBtn_FilesToOneSheet->setEnabled(true);
    ui->pBar_JobProgress->hide();
    jobRunning_ = false;
}

bool MainWindow::failedCheck(const std::optional<std::string>& message) {
    if (!message) return false;
    showStatus(QString::fromStdString(*message));
    return true;
}

void MainWindow::showStatus(const QString& text) {
    ui->lb_ShowDisposing->setText(text);
}

void MainWindow::on_ShowDisposingFile(QString filePath) {
    showStatus(filePath);
}
void MainWindow::on_ShowDisposingSheet(QString sheetName) {
    showStatus(sheetName);
}
void MainWindow::on_ShowSplitingFile(QString sheetName) {
    showStatus(sheetName);
}
void MainWindow::on_ShowDataSplit(QString filePath) {
    showStatus(filePath);
}

void MainWindow::showJobProgress(int done, int total) {
    if (!jobRunning_ || total <= 0) return;
    ui->pBar_JobProgress->setRange(0, total);
    ui->pBar_JobProgress->setValue(std::clamp(done, 0, total));
    ui->pBar_JobProgress->show();
}

void MainWindow::showSavedPath(const QString& path) {
    const QString prefix = QStringLiteral("已保存到：");
    const QString folder = QFileInfo(path).absolutePath();
    // At most three fifths of the row; the closing text keeps the rest.
    const int room = std::max(ui->lb_ShowDisposing->parentWidget()->width() * 3 / 5, 200) -
                     savedTo_->fontMetrics().horizontalAdvance(prefix);
    const QString shown = savedTo_->fontMetrics().elidedText(path, Qt::ElideMiddle, room);
    savedTo_->setText(prefix + QStringLiteral("<a href=\"%1\">%2</a>")
                                   .arg(QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded),
                                        shown.toHtmlEscaped()));
    savedTo_->setToolTip(path);
    savedTo_->show();
}

void MainWindow::releaseWorker() {
    if (workerThread) {
        workerThread->quit();
        workerThread->wait();
    }
    delete worker;
    worker = nullptr;
    delete workerThread;
    workerThread = nullptr;
}

bool MainWindow::finishWorker(int waitMs) {
    if (!workerThread) return true;
    if (worker) worker->requestCancel();
    workerThread->quit();
    if (!workerThread->wait(static_cast<unsigned long>(std::max(waitMs, 0)))) return false;
    releaseWorker();
    jobRunning_ = false;
    return true;
}

void MainWindow::launchJob(const QString& path, TextSignal textSignal, TextSlot textSlot,
                           StartSignal startSignal, JobSlot jobSlot, bool startThreadFirst) {
    // The previous job has ended (its button was enabled), so its thread is idle.
    releaseWorker();
    ui->pBar_JobProgress->hide();
    savedTo_->hide();
    saveFolder_ = QFileInfo(QDir::cleanPath(path)).absolutePath();

    workerThread = new QThread;
    if (startThreadFirst) workerThread->start(QThread::InheritPriority);
    worker = makeWorker_(path);
    worker->setUserInterface(jobDialogs_.get());
    worker->moveToThread(workerThread);
    if (!startThreadFirst) workerThread->start(QThread::InheritPriority);

    connect(worker, textSignal, this, textSlot);
    connect(worker, &MergeObject::Progress, this, &MainWindow::showJobProgress);
    connect(worker, &MergeObject::Saved, this, &MainWindow::showSavedPath);
    connect(this, startSignal, worker, jobSlot);
    connect(worker, &MergeObject::Set_pBtn_Enable, this, &MainWindow::on_Set_pBtn_Enable);
    connect(worker, &MergeObject::PlanReady, this, &MainWindow::showPlan);
    advancedTab_->fill(jobOptions());
    jobOptions().dryRun = previewing_;
    previewing_ = false;
    jobRunning_ = true;
    emit(this->*startSignal)();
}

// ---- Preview ----

void MainWindow::startPreview(int job) {
    if (jobRunning_) return;
    using Slot = void (MainWindow::*)();
    static const Slot starts[] = {
        &MainWindow::on_pBtn_FileMerge_clicked,        &MainWindow::on_pBtn_FilesToOneSheet_clicked,
        &MainWindow::on_pBtn_SheetMerge_clicked,       &MainWindow::on_pBtn_ExcelFileSplit_clicked,
        &MainWindow::on_pBtn_TransformAverage_clicked, &MainWindow::on_pBtn_Transform_clicked};
    if (job < 0 || job >= int(std::size(starts))) return;
    previewing_ = true;
    (this->*starts[job])();
    previewing_ = false;  // a start check that failed launched nothing
}

void MainWindow::showPlan(QList<QStringList> table) {
    showPlanDialog(this, table);
}
