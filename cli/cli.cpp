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
#include "jobs/job_common.h"
#include "start_checks.h"

#include "merge_object.h"

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
            return cli::checkFolderMerge(inv.options);
        case Command::MergeSheets:
        case Command::SplitSheets:
            return cli::checkWorkbook(inv.options);
        case Command::SplitRows:
            return cli::checkEvenSplit(inv.options);
        case Command::SplitColumn:
            return cli::checkClassifySplit(inv.classifyColumn, inv.valuesText, inv.namesText,
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

    if (savesToOutput(inv.command)) {
        std::error_code ec;
        std::filesystem::path out = std::filesystem::absolute(inv.output, ec).lexically_normal();
        if (ec || out.filename().empty())
            return usageError("选项 -o 需要一个文件名：" + inv.output);
        if (!cli::directoryExists(out.parent_path().string()))
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
    if (isFolderMerge(inv.command) && cli::pathExists(inv.options.failListPath))
        std::remove(inv.options.failListPath.c_str());

    cli::installStopHandlers();
    cli::ConsoleHost host(stderr, stdout, ::isatty(STDERR_FILENO) == 1,
                          savesToOutput(inv.command) ? std::optional(inv.output) : std::nullopt);
    runJob(inv.command, inv.options, host);
    host.finish();

    // The result text comes before a merge saves: a merge is done once its file is there.
    const bool reachedResult = host.resultText().rfind(resultPrefix(inv.command), 0) == 0;
    const bool saved = host.savedFileWritten();
    if (reachedResult && (!savesToOutput(inv.command) || saved)) {
        // A stop that came after the job's last check changed nothing: the work is complete.
        if (savesToOutput(inv.command)) std::printf("%s\n", host.savedPath()->c_str());
        return 0;
    }
    if (cli::stopRequested()) {
        // The job says so itself when it stopped at one of its checks; the last line says it
        // in any case.
        if (host.lastText() != jobs::kCancelled)
            std::fprintf(stderr, "%s\n", std::string(jobs::kCancelled).c_str());
        return 130;
    }
    if (reachedResult) std::fprintf(stderr, "未能保存：%s\n", inv.output.c_str());
    return 1;
}
