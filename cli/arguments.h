// Parsing of the command line into the job to run and its options. Plain C++; the options are
// those of the window's controls, starting from the state the window shows at program start.
#pragma once

#include <string>
#include <vector>

#include "job_options.h"

namespace cli {

enum class Command { MergeFiles, MergeOneSheet, MergeSheets, SplitSheets, SplitRows, SplitColumn };

struct Invocation {
    Command command = Command::MergeFiles;
    // The folder or workbook the job reads, as given.
    std::string source;
    // -o: the answer to the save-file question (merge jobs), made absolute.
    std::string output;
    // -d: the folder the split jobs write into, as given.
    std::string saveDir;
    // split-column: the key column and the texts of the value and name lists, checked and cut
    // by the start checks exactly as the window's start slot does.
    int classifyColumn = 1;
    std::string valuesText;
    std::string namesText;
    // --overwrite: outputs replace files already standing under their names (otherwise both
    // are kept, the new one as "name (2)").
    bool overwrite = false;
    // Every other option, already in the job's fields.
    JobOptions options;
};

struct ParseResult {
    enum class Kind { Run, Help, Version, UsageError };
    Kind kind = Kind::UsageError;
    Invocation invocation;
    std::string error;  // for UsageError, in Chinese
};

// Job options as the window's controls stand at program start, before any settings are read.
JobOptions windowStartOptions();

// The subcommand names, in the order of the help text.
const std::vector<std::string>& commandNames();

// args excludes the program name.
ParseResult parseArguments(const std::vector<std::string>& args);

// The --help text (UTF-8).
std::string helpText();

}  // namespace cli
