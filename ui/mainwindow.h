// The main window: the form of five function groups and the red status line, the controls'
// behaviour, the checks of the six start buttons and the launch of a job on a fresh worker
// thread.
#pragma once

#include <QMainWindow>
#include <QList>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "user_dialogs.h"

class AdvancedTab;
class MergeObject;
class PathDrops;
class QLabel;
class QLineEdit;
class QSpinBox;
class QThread;
class SystemTray;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Makes the worker of each launch for the job's path; the program passes one that runs the
    // real jobs.
    using WorkerFactory = std::function<MergeObject*(const QString& path)>;

    explicit MainWindow(WorkerFactory makeWorker, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Replaces the standard dialogs (not owned).
    void setDialogs(UserDialogs* dialogs);

    bool isJobRunning() const { return jobRunning_; }
    MergeObject* currentWorker() const { return worker; }
    QThread* currentWorkerThread() const { return workerThread; }
    // Asks a running job to stop, ends the worker thread and frees worker and thread. False when
    // the thread did not end within `waitMs`; worker and thread are then left to the process.
    bool finishWorker(int waitMs);

    // Puts a folder or workbook given from outside (the program's argument, a drop on the
    // window; a path or a "file:" URL) into the field that fits it: a folder into function
    // one's folder field, a workbook into function two's, a .csv file into function four's.
    // Anything else leaves the form as it is and says why in the status line.
    bool openPath(const QString& given);

signals:
    void pBtn_FileMerge_HasClicked();
    void pBtn_SheetMerge_HasClicked();
    void pBtn_ExcelFileSplit_HasClicked();
    void pBtn_Transform_HasClicked();
    void pBtn_TransformAverage_HasClicked();
    void pBtn_FilesToOneSheet_HasClicked();

public slots:
    void ShowSoftWindow();
    void SystemTrayActivated(QSystemTrayIcon::ActivationReason reason);

private slots:
    void on_pBtn_SourcePath_clicked();
    void on_pBtn_ExcelFilePath_clicked();
    void on_pBtn_ExcelFileSplitPath_clicked();
    void on_pBtn_DataSplitFilePath_clicked();
    void on_pBtn_SavePath_clicked();
    void on_pBtn_DataSplitFilePathAverage_clicked();
    void on_pBtn_SavePathAverage_clicked();

    void on_cBox_AppointedSheet_clicked();
    void on_cBox_OnlyFirstSheet_clicked();
    void on_cBox_MergeSameNameSheet_clicked();
    void on_cBox_HeaderRow_FM_clicked();
    void on_cBox_AutoDelEmptyRows_FM_clicked();
    void on_cBox_AutoDelEmptyRows_clicked();
    void on_cBox_HeaderRow_clicked();
    void on_cBox_AppointedHeaderRow_clicked();
    void on_cBox_AppointedHeaderRowAverage_clicked();
    void on_cBox_LastCol_clicked();
    void on_cBox_LastColAverage_clicked();
    void on_cBox_HighSpeedMode_clicked();

    void on_pBtn_FileMerge_clicked();
    void on_pBtn_FilesToOneSheet_clicked();
    void on_pBtn_SheetMerge_clicked();
    void on_pBtn_ExcelFileSplit_clicked();
    void on_pBtn_TransformAverage_clicked();
    void on_pBtn_Transform_clicked();

    void on_ShowDisposingFile(QString filePath);
    void on_ShowDisposingSheet(QString sheetName);
    void on_ShowSplitingFile(QString sheetName);
    void on_ShowDataSplit(QString filePath);
    void showJobProgress(int done, int total);
    // The "预览" button of the second tab: the chosen job's start slot, run as a dry run.
    void startPreview(int job);
    void showPlan(QList<QStringList> table);
    // After the closing text: where the job saved its result, as a link to the folder.
    void showSavedPath(const QString& path);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Connected to the worker's Set_pBtn_Enable() by pointer: as a slot its name would send the
    // by-name connection of the form looking for a control "Set_pBtn".
    void on_Set_pBtn_Enable();
    class JobDialogs;
    using TextSignal = void (MergeObject::*)(QString);
    using TextSlot = void (MainWindow::*)(QString);
    using StartSignal = void (MainWindow::*)();
    using JobSlot = void (MergeObject::*)();

    void chooseDirectory(QLineEdit* target);
    void chooseFile(QLineEdit* target, const QString& filter);
    // Shared start of the two folder merges: false when the folder check failed.
    bool prepareFolderMerge();
    // Shows a start check's message; true when there was one (the check failed).
    bool failedCheck(const std::optional<std::string>& message);
    void disableStartButtons();
    void showStatus(const QString& text);
    void launchJob(const QString& path, TextSignal textSignal, TextSlot textSlot,
                   StartSignal startSignal, JobSlot jobSlot, bool startThreadFirst);
    void releaseWorker();
    void applySettings(const std::string& content);

    Ui::MainWindow* ui;
    int screenWidth = 0;
    int screenHeight = 0;
    int restoreHeight = 0;
    int restoreWidth = 0;
    QThread* workerThread = nullptr;
    MergeObject* worker = nullptr;
    SystemTray* tray = nullptr;
    PathDrops* drops_ = nullptr;
    QLabel* savedTo_ = nullptr;
    // Where the save-file question of the running job opens: beside its source folder or
    // workbook.
    QString saveFolder_;

    WorkerFactory makeWorker_;
    StandardDialogs standardDialogs_;
    UserDialogs* dialogs_ = &standardDialogs_;
    std::unique_ptr<JobDialogs> jobDialogs_;
    bool jobRunning_ = false;
    AdvancedTab* advancedTab_ = nullptr;
    bool previewing_ = false;  // the next launch is a dry run
};
