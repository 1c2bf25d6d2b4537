#include "cli.h"

#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "arguments.h"
#include "console_host.h"
#include "jobs/job_texts.h"
#include "jobs/outputs.h"
#include "jobs/folder_scan.h"
#include "jobs/report.h"
#include "jobs/split_common.h"

#include "merge_object.h"
#include "start_checks.h"

namespace {

using cli::Command;

bool isFolderMerge(Command c) {
    return c == Command::MergeFiles || c == Command::MergeOneSheet;
}
bool savesToOutput(Command c) {
    return isFolderMerge(c) || c == Command::MergeSheets;
}

// The text each job ends with when it has done its work.
const char* resultPrefix(Command c) {
    switch (c) {
        case Command::MergeFiles:
        case Command::MergeOneSheet:
            return "成功合并";
        case Command::MergeSheets:
            return "成功汇总";
        case Command::SplitSheets:
            return "成功拆分";
        case Command::SplitRows:
        case Command::SplitColumn:
            return "成功拆分出";
    }
    return "成功";
}

std::optional<std::string> startCheck(cli::Invocation& inv) {
    switch (inv.command) {
        case Command::MergeFiles:
        case Command::MergeOneSheet:
            return tw::checkFolderMerge(inv.options.jobSourcePath);
        case Command::MergeSheets:
            return tw::checkSheetMerge(inv.options.jobSourcePath);
        case Command::SplitSheets:
            return tw::checkWorkbookExists(inv.options.jobSourcePath);
        case Command::SplitRows:
            return tw::checkSplitPaths(inv.options.splitSourceFile, inv.options.splitSaveDir);
        case Command::SplitColumn:
            return tw::checkClassifySplit(inv.classifyColumn, inv.valuesText, inv.namesText,
                                          inv.options);
    }
    return std::nullopt;
}

// Runs the job the way the window's start button does: the process-wide options filled first,
// then the worker's job slot, here on this thread and reporting to `host`.
void runJob(Command command, const JobOptions& options, JobHost& host) {
    jobOptions() = options;
    const std::string& path = command == Command::SplitRows || command == Command::SplitColumn
                                  ? options.splitSourceFile
                                  : options.jobSourcePath;
    MergeObject worker(QString::fromStdString(path));
    worker.setHost(&host);
    switch (command) {
        case Command::MergeFiles:
            worker.ExcelFileMerge();
            break;
        case Command::MergeOneSheet:
            worker.FilesToOneSheet();
            break;
        case Command::MergeSheets:
            worker.ExcelSheetMerge();
            break;
        case Command::SplitSheets:
            worker.ExcelFileSplit();
            break;
        case Command::SplitRows:
            worker.TransformAverage();
            break;
        case Command::SplitColumn:
            worker.Transform();
            break;
    }
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "tablaweaver: %s\n运行 tablaweaver --help 查看用法。\n", message.c_str());
    return 2;
}

}  // namespace

bool isCommandLineInvocation(int argc, char** argv) {
    if (argc < 2 || !argv[1]) return false;
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "--version") return true;
    for (const auto& name : cli::commandNames())
        if (first == name) return true;
    return false;
}

int runCommandLine(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    cli::ParseResult parsed = cli::parseArguments(args);
    switch (parsed.kind) {
        case cli::ParseResult::Kind::Help:
            std::fputs(cli::helpText().c_str(), stdout);
            return 0;
        case cli::ParseResult::Kind::Version:
            std::printf("tablaweaver %s\n", TW_VERSION);
            return 0;
        case cli::ParseResult::Kind::UsageError:
            return usageError(parsed.error);
        case cli::ParseResult::Kind::Run:
            break;
    }
    cli::Invocation& inv = parsed.invocation;

    if (!inv.options.reportPath.empty()) {
        std::error_code ec;
        std::filesystem::path report =
            std::filesystem::absolute(inv.options.reportPath, ec).lexically_normal();
        if (ec || report.filename().empty() || !tw::directoryExists(report.parent_path().string()))
            return usageError("保存报告的文件夹不存在：" + inv.options.reportPath);
        inv.options.reportPath = report.string();
    }
    if (savesToOutput(inv.command) && !(inv.options.dryRun && inv.output.empty())) {
        std::error_code ec;
        std::filesystem::path out = std::filesystem::absolute(inv.output, ec).lexically_normal();
        if (ec || out.filename().empty())
            return usageError("选项 -o 需要一个文件名：" + inv.output);
        if (!tw::directoryExists(out.parent_path().string()))
            return usageError("保存结果的文件夹不存在：" + out.parent_path().string());
        inv.output = out.string();
    }

    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication app(qtArgc, qtArgv);

    if (auto failed = startCheck(inv)) {
        std::fprintf(stderr, "%s\n", failed->c_str());
        return 1;
    }
    // The report never takes the place of a file the job reads.
    if (!inv.options.reportPath.empty() && tw::pathExists(inv.options.reportPath)) {
        jobs::SourceFiles sources;
        if (isFolderMerge(inv.command))
            sources = jobs::SourceFiles(jobs::spreadsheetFilesIn(inv.source));
        else
            sources.add(inv.source);
        if (sources.contains(inv.options.reportPath)) {
            std::fprintf(stderr, "报告不能保存为源文件：%s\n",
                         jobs::printable(inv.options.reportPath).c_str());
            return 1;
        }
    }
    if (isFolderMerge(inv.command) && !inv.options.dryRun &&
        tw::pathExists(inv.options.failListPath))
        std::remove(inv.options.failListPath.c_str());

    cli::installStopHandlers();
    cli::ConsoleHost host(stderr, stdout, ::isatty(STDERR_FILENO) == 1,
                          savesToOutput(inv.command) ? std::optional(inv.output) : std::nullopt,
                          inv.overwrite);
    runJob(inv.command, inv.options, host);
    host.finish();
    if (inv.options.dryRun) {
        if (host.lastText() == jobs::kDryRunDone) return 0;
        return cli::stopRequested() ? 130 : 1;
    }

    // A merge is done once the job reported its file saved (a stop that came later changed
    // nothing); a split once it gave its result (what was left behind and where the report
    // went may follow it) and that names no output it could not save.
    const std::optional<std::string> result = host.recentText(resultPrefix(inv.command));
    const bool reachedResult = result.has_value();
    const bool done =
        savesToOutput(inv.command)
            ? host.savedPath().has_value()
            : reachedResult && result->find(splitjob::kNotSavedMark) == std::string::npos;
    if (done) {
        if (savesToOutput(inv.command))
            std::printf("%s\n", jobs::printable(*host.savedPath()).c_str());
        return 0;
    }
    if (cli::stopRequested()) {
        // The job says so itself when it stopped at one of its checks; the last line says it
        // in any case.
        if (host.lastText() != jobs::kCancelled)
            std::fprintf(stderr, "%s\n", std::string(jobs::kCancelled).c_str());
        return 130;
    }
    if (reachedResult && savesToOutput(inv.command))
        std::fprintf(stderr, "未能保存：%s\n", inv.output.c_str());
    return 1;
}
