// The worker of the window and the command line: one MergeObject runs one job on its thread.
// Its job slots call the Qt-free job functions with the worker's path, the process-wide job
// options and a host that turns the job's texts and progress into signals; the save-file
// question and the text viewer are answered by a JobUserInterface, or the whole host is
// supplied from outside (the command line).
#pragma once

#include <QObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "job_host.h"
#include "job_options.h"

// What the user interface answers on behalf of a running job. Both calls come from the worker
// thread; an implementation shows its dialog on its own thread and waits for the answer.
class JobUserInterface {
public:
    virtual ~JobUserInterface() = default;
    // The chosen path, or none when the user cancelled.
    virtual std::optional<QString> askSaveFileName(const QString& caption,
                                                   const QString& proposedName,
                                                   const QString& filter) = 0;
    // Shows a text file; failing to show it is not an error.
    virtual void showTextFile(const QString& path) = 0;
    // Asked once per job when an output would take the name of a file the job did not write:
    // replace all, keep both or stop (see JobHost::askExistingFiles).
    virtual ExistingFiles askExistingFiles(const QString& path) {
        (void)path;
        return ExistingFiles::KeepBoth;
    }
};

// The six jobs a worker can run. standard() gives the real ones; tests give their own.
struct JobFunctions {
    using Job = std::function<void(const std::string& path, JobOptions& options, JobHost& host)>;
    Job excelFileMerge;
    Job filesToOneSheet;
    Job excelSheetMerge;
    Job excelFileSplit;
    Job transformAverage;
    Job transform;

    static JobFunctions standard();
};

class MergeObject : public QObject {
    Q_OBJECT
public:
    // A worker running the real jobs.
    explicit MergeObject(const QString& path, QObject* parent = nullptr);
    MergeObject(const QString& path, JobFunctions jobs, QObject* parent = nullptr);

    const QString& path() const { return path_; }

    // With a host set, the job slots report to it instead of the signals (Set_pBtn_Enable is
    // still emitted at the end). The host must outlive the job.
    void setHost(JobHost* host) { externalHost_ = host; }
    // Answers the save-file question and shows text files for the signal-emitting host.
    // Without one, the question counts as cancelled.
    void setUserInterface(JobUserInterface* ui) { ui_ = ui; }
    // Asks the running job to stop after its current file or block. Thread-safe.
    void requestCancel() { cancel_.store(true); }
    bool cancelRequested() const { return cancel_.load(); }

    // `path` with the extension of a filter such as "EXCEL(*.xlsx)" appended when it does not
    // already end with it (compared without regard to case).
    static QString withFilterExtension(const QString& path, const QString& filter);

signals:
    void ShowDisposingFile(QString filePath);
    void ShowDisposingSheet(QString sheetName);
    void ShowSplitingFile(QString sheetName);
    void ShowDataSplit(QString filePath);
    void Set_pBtn_Enable();
    // Units of the job's work done of their total, for a progress bar.
    void Progress(int done, int total);
    // The plan of a dry run: a header row, then one row per source file and sheet.
    void PlanReady(QList<QStringList> table);
    // The job's result was saved under this path.
    void Saved(QString path);

public slots:
    void ExcelFileMerge();
    void ExcelSheetMerge();
    void ExcelFileSplit();
    void Transform();
    void TransformAverage();
    void FilesToOneSheet();

private:
    using TextSignal = void (MergeObject::*)(QString);
    void run(const JobFunctions::Job& job, TextSignal textSignal);

    friend class SignalJobHost;

    QString path_;
    JobFunctions jobs_;
    JobHost* externalHost_ = nullptr;
    JobUserInterface* ui_ = nullptr;
    std::atomic<bool> cancel_{false};
};
