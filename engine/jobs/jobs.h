// The six jobs. Each runs from beginning to end on the calling thread: it opens the automation
// session, does its work, reports through the host and always ends the session in order; it
// never throws and never returns early without its closing steps.
#pragma once

#include <string>

#include "../job_host.h"
#include "../job_options.h"

// Merges every workbook of the folder `path` into one workbook, one sheet per source sheet.
void ExcelFileMergeJob(const std::string& path, const JobOptions& options, JobHost& host);
// Merges every workbook of the folder `path` into the single sheet "合并Sheet".
void FilesToOneSheetJob(const std::string& path, const JobOptions& options, JobHost& host);
// Merges the sheets of the workbook `path` into one sheet.
void ExcelSheetMergeJob(const std::string& path, const JobOptions& options, JobHost& host);
// Saves every sheet of the workbook `path` as a workbook of its own.
void ExcelFileSplitJob(const std::string& path, const JobOptions& options, JobHost& host);
// Splits the first sheet of the workbook `path` into blocks of rows.
void TransformAverageJob(const std::string& path, const JobOptions& options, JobHost& host);
// Splits the first sheet of the workbook `path` by the values of one column; may fill the
// option's value and name lists.
void TransformJob(const std::string& path, JobOptions& options, JobHost& host);
