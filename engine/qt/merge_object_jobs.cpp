// The real jobs, kept apart so that code which supplies its own JobFunctions links without them.
#include "jobs/jobs.h"
#include "merge_object.h"

JobFunctions JobFunctions::standard() {
    JobFunctions jobs;
    jobs.excelFileMerge = [](const std::string& path, JobOptions& options, JobHost& host) {
        ExcelFileMergeJob(path, options, host);
    };
    jobs.filesToOneSheet = [](const std::string& path, JobOptions& options, JobHost& host) {
        FilesToOneSheetJob(path, options, host);
    };
    jobs.excelSheetMerge = [](const std::string& path, JobOptions& options, JobHost& host) {
        ExcelSheetMergeJob(path, options, host);
    };
    jobs.excelFileSplit = [](const std::string& path, JobOptions& options, JobHost& host) {
        ExcelFileSplitJob(path, options, host);
    };
    jobs.transformAverage = [](const std::string& path, JobOptions& options, JobHost& host) {
        TransformAverageJob(path, options, host);
    };
    jobs.transform = &TransformJob;
    return jobs;
}

MergeObject::MergeObject(const QString& path, QObject* parent)
    : MergeObject(path, JobFunctions::standard(), parent) {}
