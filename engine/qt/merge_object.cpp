#include "merge_object.h"

#include <QRegularExpression>
#include <exception>
#include <utility>

// Reports a job's texts and progress as the worker's signals, queued to whoever listens.
class SignalJobHost final : public JobHost {
public:
    SignalJobHost(MergeObject& worker, MergeObject::TextSignal textSignal)
        : worker_(worker), textSignal_(textSignal) {}

    void text(const std::string& message) override {
        emit(worker_.*textSignal_)(QString::fromStdString(message));
    }
    void progress(int done, int total) override { emit worker_.Progress(done, total); }

    std::optional<std::string> askSaveFileName(const std::string& caption,
                                               const std::string& proposedName,
                                               const std::string& filter) override {
        if (!worker_.ui_) return std::nullopt;
        const QString qfilter = QString::fromStdString(filter);
        const std::optional<QString> chosen = worker_.ui_->askSaveFileName(
            QString::fromStdString(caption), QString::fromStdString(proposedName), qfilter);
        if (!chosen || chosen->isEmpty()) return std::nullopt;
        return MergeObject::withFilterExtension(*chosen, qfilter).toStdString();
    }

    void saved(const std::string& path) override {
        emit worker_.Saved(QString::fromStdString(path));
    }

    void showTextFile(const std::string& path) override {
        if (worker_.ui_) worker_.ui_->showTextFile(QString::fromStdString(path));
    }

    void showPlan(const std::vector<std::vector<std::string>>& table) override {
        QList<QStringList> rows;
        for (const auto& row : table) {
            QStringList cells;
            for (const auto& cell : row) cells << QString::fromStdString(cell);
            rows << cells;
        }
        emit worker_.PlanReady(rows);
    }

    bool cancelRequested() const override { return worker_.cancelRequested(); }

    ExistingFiles askExistingFiles(const std::string& path) override {
        // Without someone to ask, nothing is replaced.
        if (!worker_.ui_) return ExistingFiles::KeepBoth;
        return worker_.ui_->askExistingFiles(QString::fromStdString(path));
    }

private:
    MergeObject& worker_;
    MergeObject::TextSignal textSignal_;
};

MergeObject::MergeObject(const QString& path, JobFunctions jobs, QObject* parent)
    : QObject(parent), path_(path), jobs_(std::move(jobs)) {
    // The plan crosses from the worker's thread in a queued signal.
    qRegisterMetaType<QList<QStringList>>("QList<QStringList>");
}

QString MergeObject::withFilterExtension(const QString& path, const QString& filter) {
    static const QRegularExpression pattern(QStringLiteral("\\*(\\.[^\\s;)*]+)"));
    const QRegularExpressionMatch match = pattern.match(filter);
    if (!match.hasMatch()) return path;
    const QString extension = match.captured(1);
    if (path.endsWith(extension, Qt::CaseInsensitive)) return path;
    return path + extension;
}

void MergeObject::run(const JobFunctions::Job& job, TextSignal textSignal) {
    SignalJobHost signalHost(*this, textSignal);
    JobHost& host = externalHost_ ? *externalHost_ : signalHost;
    // The job functions never throw; this is the last guard that keeps the buttons coming back.
    try {
        if (job) job(path_.toStdString(), jobOptions(), host);
    } catch (const std::exception& error) {
        host.text(std::string("任务异常中止：") + error.what());
    } catch (...) {
        host.text("任务异常中止");
    }
    emit Set_pBtn_Enable();
}

void MergeObject::ExcelFileMerge() {
    run(jobs_.excelFileMerge, &MergeObject::ShowDisposingFile);
}
void MergeObject::ExcelSheetMerge() {
    run(jobs_.excelSheetMerge, &MergeObject::ShowDisposingSheet);
}
void MergeObject::ExcelFileSplit() {
    run(jobs_.excelFileSplit, &MergeObject::ShowSplitingFile);
}
void MergeObject::Transform() {
    run(jobs_.transform, &MergeObject::ShowDataSplit);
}
void MergeObject::TransformAverage() {
    run(jobs_.transformAverage, &MergeObject::ShowDataSplit);
}
void MergeObject::FilesToOneSheet() {
    run(jobs_.filesToOneSheet, &MergeObject::ShowDisposingFile);
}
