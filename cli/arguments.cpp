#include "arguments.h"

#include "settings_options.h"

#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <climits>
#include <map>
#include <optional>

namespace cli {
namespace {

enum class ValueKind { Flag, Text, Number };

struct OptionSpec {
    const char* name;
    ValueKind kind;
    int min = 0;
    int max = 0;
};

// Ranges are those of the window's spin boxes, so the command line accepts exactly what the
// window can be set to. The key column of split-column is the exception: any number is taken
// and the start check answers for it, as in the window.
const OptionSpec kOutput{"-o", ValueKind::Text};
const OptionSpec kSaveDir{"-d", ValueKind::Text};
const OptionSpec kXls{"--xls", ValueKind::Flag};
const OptionSpec kOverwrite{"--overwrite", ValueKind::Flag};
const OptionSpec kMergeHeaderRows{"--header-rows", ValueKind::Number, 1, 256};
const OptionSpec kDropEmptyKey{"--drop-empty-key", ValueKind::Number, 1, 256};
const OptionSpec kSplitHeaderRows{"--header-rows", ValueKind::Number, 1, 99};
const OptionSpec kLastColumn{"--last-column", ValueKind::Number, 0, 99999};
// Formulas written as their stored values; split-column has its own --values (the list of
// contents), so there the flag is spelt --values-only.
const OptionSpec kFormulaValues{"--values", ValueKind::Flag};
const OptionSpec kFormulaValuesOnly{"--values-only", ValueKind::Flag};

const std::vector<OptionSpec>& folderMergeOptions() {
    static const std::vector<OptionSpec> specs{
        kOutput,
        kXls,
        kOverwrite,
        {"--keep-empty-sheets", ValueKind::Flag},
        {"--sheet", ValueKind::Text},
        {"--first-sheet", ValueKind::Flag},
        {"--file-name-as-sheet-name", ValueKind::Flag},
        {"--same-name", ValueKind::Flag},
        kMergeHeaderRows,
        kDropEmptyKey,
        kFormulaValues,
    };
    return specs;
}

const std::vector<OptionSpec>& optionsOf(Command command) {
    static const std::vector<OptionSpec> sheetMerge{
        kOutput,
        {"--horizontal", ValueKind::Flag},
        {"--no-organise", ValueKind::Flag},
        kDropEmptyKey,
        kMergeHeaderRows,
        kXls,
        kOverwrite,
        kFormulaValues,
    };
    static const std::vector<OptionSpec> sheetSplit{kXls, kFormulaValues};
    static const std::vector<OptionSpec> evenSplit{
        kSaveDir,         kOverwrite,  {"--rows", ValueKind::Number, 1, 1000000},
        kSplitHeaderRows, kLastColumn, kFormulaValues,
    };
    static const std::vector<OptionSpec> classifySplit{
        kSaveDir,
        kOverwrite,
        {"--column", ValueKind::Number, INT_MIN, INT_MAX},
        {"--values", ValueKind::Text},
        {"--names", ValueKind::Text},
        kSplitHeaderRows,
        kLastColumn,
        {"--contains", ValueKind::Flag},
        {"--one-workbook", ValueKind::Flag},
        {"--row-by-row", ValueKind::Flag},
        kFormulaValuesOnly,
    };
    switch (command) {
        case Command::MergeFiles:
        case Command::MergeOneSheet:
            return folderMergeOptions();
        case Command::MergeSheets:
            return sheetMerge;
        case Command::SplitSheets:
            return sheetSplit;
        case Command::SplitRows:
            return evenSplit;
        case Command::SplitColumn:
            return classifySplit;
    }
    return sheetSplit;
}

// Options beyond the window's form: every job takes --report and --dry-run; the merges that
// append below each other also take the three options of that merge.
const std::vector<OptionSpec>& advancedOptionsOf(Command command) {
    static const std::vector<OptionSpec> every{
        {"--report", ValueKind::Text},         {"--dry-run", ValueKind::Flag},
        {"--settings", ValueKind::Text},       {"--password", ValueKind::Text},
        {"--passwords-file", ValueKind::Text}, {"--encrypt-password", ValueKind::Text},
    };
    static const std::vector<OptionSpec> appending{
        {"--report", ValueKind::Text},
        {"--dry-run", ValueKind::Flag},
        {"--align-headers", ValueKind::Flag},
        {"--source-columns", ValueKind::Flag},
        {"--spill", ValueKind::Flag},
        {"--settings", ValueKind::Text},
        {"--password", ValueKind::Text},
        {"--passwords-file", ValueKind::Text},
        {"--encrypt-password", ValueKind::Text},
    };
    const bool appends = command == Command::MergeFiles || command == Command::MergeOneSheet ||
                         command == Command::MergeSheets;
    return appends ? appending : every;
}

const std::map<std::string, Command>& commandTable() {
    static const std::map<std::string, Command> table{
        {"merge-files", Command::MergeFiles},   {"merge-one-sheet", Command::MergeOneSheet},
        {"merge-sheets", Command::MergeSheets}, {"split-sheets", Command::SplitSheets},
        {"split-rows", Command::SplitRows},     {"split-column", Command::SplitColumn},
    };
    return table;
}

std::optional<int> parseInt(const std::string& text) {
    int value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (first == last || ec != std::errc() || end != last) return std::nullopt;
    return value;
}

// The values given on the command line, by option name; a flag maps to the empty text.
using Given = std::map<std::string, std::string>;

bool has(const Given& given, const char* name) {
    return given.count(name) != 0;
}

int number(const Given& given, const char* name, int fallback) {
    auto it = given.find(name);
    if (it == given.end()) return fallback;
    return parseInt(it->second).value_or(fallback);
}

// "folder/" and "folder" are the same folder; the window's folder chooser never gives the slash,
// and the job's paths are formed by appending "/" + name.
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The passwords of a passwords file: one per line (UTF-8; a byte order mark, CR before LF and
// empty lines are ignored). None when the file cannot be read.
std::optional<std::vector<std::string>> readPasswordsFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> out;
    std::string line;
    for (bool first = true; std::getline(in, line); first = false) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    if (in.bad()) return std::nullopt;
    return out;
}

ParseResult usageError(std::string message) {
    ParseResult result;
    result.kind = ParseResult::Kind::UsageError;
    result.error = std::move(message);
    return result;
}

}  // namespace

JobOptions windowStartOptions() {
    JobOptions o;
    o.skipEmptySheets = true;     // "不并空Sheet"
    o.sheetMergeVertical = true;  // "纵向"
    o.sheetMergeOrganise = true;  // "汇总前整理数据(单表不超65536行时建议使用)"
    o.splitAsXlsx = true;         // "拆分为xlsx"
    o.highSpeedMode = true;       // "高速模式"
    o.fullMatch = true;           // "内容全匹配"
    return o;
}

const std::vector<std::string>& commandNames() {
    static const std::vector<std::string> names{"merge-files",  "merge-one-sheet", "merge-sheets",
                                                "split-sheets", "split-rows",      "split-column"};
    return names;
}

ParseResult parseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    if (args.empty()) return usageError("缺少子命令");
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        result.kind = ParseResult::Kind::Help;
        return result;
    }
    if (first == "--version") {
        result.kind = ParseResult::Kind::Version;
        return result;
    }
    auto command = commandTable().find(first);
    if (command == commandTable().end()) return usageError("未知的子命令：" + first);

    Invocation inv;
    inv.command = command->second;
    const auto& specs = optionsOf(inv.command);

    Given given;
    std::vector<std::string> positionals, passwords;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            result.kind = ParseResult::Kind::Help;
            return result;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs)
            if (name == s.name) spec = &s;
        for (const auto& s : advancedOptionsOf(inv.command))
            if (name == s.name) spec = &s;
        if (!spec) return usageError("子命令 " + first + " 没有选项 " + name);

        if (spec->kind == ValueKind::Flag) {
            if (inlineValue) return usageError("选项 " + name + " 不带值");
            given[name];
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return usageError("选项 " + name + " 需要一个值");
        }
        if (name == "--password") {  // the one option that may be given more than once
            if (value.empty()) return usageError("选项 --password 的值不能为空");
            passwords.push_back(value);
            continue;
        }
        if (spec->kind == ValueKind::Number) {
            auto n = parseInt(value);
            if (!n) return usageError("选项 " + name + " 的值必须是整数：" + value);
            if (*n < spec->min || *n > spec->max)
                return usageError("选项 " + name + " 的值必须在 " + std::to_string(spec->min) +
                                  " 到 " + std::to_string(spec->max) + " 之间：" + value);
        }
        given[name] = value;
    }

    bool reportBesideOutput = false;
    if (has(given, "--settings")) {
        struct stat info {};
        if (::stat(given["--settings"].c_str(), &info) == 0 && !S_ISREG(info.st_mode))
            return usageError("设置文件不是普通文件：" + given["--settings"]);
        auto settings = readSettingsEntries(given["--settings"]);
        if (!settings) return usageError("无法读取设置文件：" + given["--settings"]);
        applyWindowSettings(first, *settings, given, positionals);
        auto report = settings->find("ReportBesideOutput");
        reportBesideOutput = report != settings->end() && report->second == "y";
    }

    const bool folderInput =
        inv.command == Command::MergeFiles || inv.command == Command::MergeOneSheet;
    if (positionals.empty()) return usageError(folderInput ? "缺少文件夹参数" : "缺少工作簿参数");
    if (positionals.size() > 1) return usageError("多余的参数：" + positionals[1]);
    inv.source = positionals[0];

    for (const char* required : {"-o", "-d", "--rows", "--column"}) {
        bool applies = false;
        for (const auto& s : specs)
            if (std::string(s.name) == required) applies = true;
        // A dry run writes nothing, so it needs no output path.
        if (std::string(required) == "-o" && has(given, "--dry-run")) applies = false;
        if (applies && !has(given, required))
            return usageError("缺少选项 " + std::string(required));
    }
    if (has(given, "-o")) {
        if (given["-o"].empty()) return usageError("选项 -o 的值不能为空");
        inv.output = given["-o"];
    }
    if (has(given, "-d")) inv.saveDir = withoutTrailingSlashes(given["-d"]);
    inv.overwrite = has(given, "--overwrite");

    JobOptions& o = inv.options;
    o = windowStartOptions();
    o.formulasAsValues =
        inv.command == Command::SplitColumn ? has(given, "--values-only") : has(given, "--values");
    switch (inv.command) {
        case Command::MergeFiles:
        case Command::MergeOneSheet: {
            // The window offers "Sheet名是文件名" only beside an appointed or first sheet, and the
            // header and key-column boxes of the sheet-per-sheet merge only with "汇总同名Sheet".
            if (inv.command == Command::MergeFiles) {
                if (has(given, "--file-name-as-sheet-name") && !has(given, "--sheet") &&
                    !has(given, "--first-sheet"))
                    return usageError(
                        "选项 --file-name-as-sheet-name 需要与 --sheet 或 --first-sheet 一起使用");
                for (const char* dependent : {"--header-rows", "--drop-empty-key"})
                    if (has(given, dependent) && !has(given, "--same-name"))
                        return usageError("选项 " + std::string(dependent) +
                                          " 需要与 --same-name 一起使用");
            }
            inv.source = withoutTrailingSlashes(inv.source);
            o.jobSourcePath = inv.source;
            o.failListPath = o.jobSourcePath + "/无法合并的文件目录.txt";
            o.saveAsXls = has(given, "--xls");
            o.skipEmptySheets = !has(given, "--keep-empty-sheets");
            o.onlyNamedSheet = has(given, "--sheet");
            if (o.onlyNamedSheet) o.namedSheet = given["--sheet"];
            o.onlyFirstSheet = has(given, "--first-sheet");
            o.fileNameAsSheetName = has(given, "--file-name-as-sheet-name");
            o.mergeSameNameSheets = has(given, "--same-name");
            o.headerRowsOnce = has(given, "--header-rows");
            if (o.headerRowsOnce) o.headerRowCount = number(given, "--header-rows", 0);
            o.deleteEmptyKeyRows = has(given, "--drop-empty-key");
            if (o.deleteEmptyKeyRows) o.keyColumn = number(given, "--drop-empty-key", 1);
            break;
        }
        case Command::MergeSheets:
            o.jobSourcePath = inv.source;
            o.sheetMergeVertical = !has(given, "--horizontal");
            o.sheetMergeSaveAsXls = has(given, "--xls");
            o.sheetMergeOrganise = !has(given, "--no-organise");
            o.sheetMergeDeleteEmptyKeyRows = has(given, "--drop-empty-key");
            if (o.sheetMergeDeleteEmptyKeyRows)
                o.sheetMergeKeyColumn = number(given, "--drop-empty-key", 1);
            o.sheetMergeHeaderRowsOnce = has(given, "--header-rows");
            if (o.sheetMergeHeaderRowsOnce)
                o.sheetMergeHeaderRowCount = number(given, "--header-rows", 0);
            break;
        case Command::SplitSheets:
            o.jobSourcePath = inv.source;
            o.splitAsXlsx = !has(given, "--xls");
            break;
        case Command::SplitRows:
            o.splitSourceFile = inv.source;
            o.splitSaveDir = inv.saveDir + "/";
            o.evenHeaderRows = has(given, "--header-rows");
            if (o.evenHeaderRows) o.evenHeaderRowCount = number(given, "--header-rows", 1);
            o.rowsPerWorkbook = number(given, "--rows", 1);
            o.evenLastColumnSet = has(given, "--last-column");
            o.evenLastColumn = o.evenLastColumnSet ? number(given, "--last-column", 1) : 1;
            break;
        case Command::SplitColumn:
            o.splitSourceFile = inv.source;
            o.splitSaveDir = inv.saveDir + "/";
            o.classifyHeaderRows = has(given, "--header-rows");
            if (o.classifyHeaderRows) o.classifyHeaderRowCount = number(given, "--header-rows", 1);
            o.highSpeedMode = !has(given, "--row-by-row");
            o.fullMatch = !has(given, "--contains");
            o.toOneWorkbook = has(given, "--one-workbook");
            o.classifyLastColumnSet = has(given, "--last-column");
            o.classifyLastColumn = o.classifyLastColumnSet ? number(given, "--last-column", 1) : 1;
            inv.classifyColumn = number(given, "--column", 1);
            inv.valuesText = has(given, "--values") ? given["--values"] : std::string();
            inv.namesText = has(given, "--names") ? given["--names"] : std::string();
            break;
    }

    if (inv.command == Command::MergeSheets && has(given, "--horizontal"))
        for (const char* vertical : {"--align-headers", "--source-columns", "--spill"})
            if (has(given, vertical))
                return usageError("选项 " + std::string(vertical) +
                                  " 不能与 --horizontal 一起使用");
    if (inv.command == Command::MergeFiles && !has(given, "--same-name"))
        for (const char* sameName : {"--align-headers", "--source-columns", "--spill"})
            if (has(given, sameName))
                return usageError("选项 " + std::string(sameName) + " 需要与 --same-name 一起使用");
    o.alignHeaders = has(given, "--align-headers");
    o.sourceColumns = has(given, "--source-columns");
    o.spill = has(given, "--spill");
    o.dryRun = has(given, "--dry-run");
    if (has(given, "--report")) {
        if (given["--report"].empty()) return usageError("选项 --report 的值不能为空");
        o.reportPath = given["--report"];
    }
    o.reportBesideOutput = reportBesideOutput && o.reportPath.empty();
    // Passwords go into the job's options only: no message names them.
    o.openPasswords = std::move(passwords);
    if (has(given, "--passwords-file")) {
        auto listed = readPasswordsFile(given["--passwords-file"]);
        if (!listed) return usageError("无法读取密码文件：" + given["--passwords-file"]);
        o.openPasswords.insert(o.openPasswords.end(), listed->begin(), listed->end());
    }
    if (has(given, "--encrypt-password")) {
        if (given["--encrypt-password"].empty())
            return usageError("选项 --encrypt-password 的值不能为空");
        if (o.saveAsXls || o.sheetMergeSaveAsXls || !o.splitAsXlsx)
            return usageError(
                "选项 --encrypt-password 不能与 --xls 一起使用（只有 xlsx 能加密保存）");
        o.encryptPassword = given["--encrypt-password"];
    }

    result.kind = ParseResult::Kind::Run;
    result.invocation = std::move(inv);
    return result;
}

std::string helpText() {
    return R"(用法：
  tablaweaver                          启动窗口
  tablaweaver PATH                     启动窗口，把文件夹或工作簿 PATH 填入相应的输入框
  tablaweaver -autorun                 以 -autorun 方式启动窗口
  tablaweaver 子命令 参数 [选项]        不启动窗口，在命令行中执行一项功能

子命令：
  merge-files     FOLDER -o OUT        合并文件夹（含子文件夹）中的工作簿，每个Sheet成为结果中的一个Sheet
                                       （窗口中的“合并成多个Sheet”）
  merge-one-sheet FOLDER -o OUT        合并文件夹（含子文件夹）中的工作簿到一个Sheet“合并Sheet”
                                       （窗口中的“合并成1个Sheet”）
  merge-sheets    WORKBOOK -o OUT      把一个工作簿的所有Sheet汇总到一个Sheet（窗口中的“汇总”）
  split-sheets    WORKBOOK             把工作簿的每个Sheet存为单独的工作簿，放在源文件旁新建的文件夹中
  split-rows      WORKBOOK -d FOLDER --rows N
                                       把第一个Sheet按行平均拆分到多个工作簿（功能五）
  split-column    WORKBOOK -d FOLDER --column K
                                       按某列的内容拆分第一个Sheet（功能四）

merge-files 与 merge-one-sheet 的选项：
  -o OUT                       合并结果的保存路径；缺少扩展名时自动补上 .xlsx 或 .xls
  --xls                        存为xls
  --keep-empty-sheets          空Sheet也合并（默认不并空Sheet）
  --sheet NAME                 只并指定名称Sheet
  --first-sheet                只并第一个Sheet
  --file-name-as-sheet-name    Sheet名是文件名（merge-files 中需与 --sheet 或 --first-sheet 一起使用）
  --same-name                  汇总同名Sheet
  --header-rows N              该行及以上是表头,只汇总一次（1-256；merge-files 中需与 --same-name 一起使用）
  --drop-empty-key COL         该列单元格为空时,自动删除行（1-256；merge-files 中需与 --same-name 一起使用）
  --overwrite                  OUT 已存在时替换它（默认保留两者，结果存为“OUT (2)”）
  --values                     公式只保留其保存的值

merge-sheets 的选项：
  -o OUT                       汇总结果的保存路径；缺少扩展名时自动补上 .xlsx 或 .xls
  --horizontal                 横向汇总（默认纵向）
  --no-organise                不做“汇总前整理数据”（默认做）
  --drop-empty-key COL         该列单元格为空时,自动删除行（1-256）
  --header-rows N              该行及以上是表头,只汇总一次（1-256）
  --xls                        合并后保存为xls文件
  --overwrite                  OUT 已存在时替换它（默认保留两者，结果存为“OUT (2)”）
  --values                     公式只保留其保存的值

split-sheets 的选项：
  --xls                        拆分为xls（默认拆分为xlsx）
  --values                     公式只保留其保存的值

split-rows 的选项：
  -d FOLDER                    拆分后保存的文件夹（必须已存在）
  --rows N                     每个工作簿行数（1-1000000）
  --header-rows N              指定该行及以上为表头，每个工作簿都带表头（1-99；默认无表头）
  --last-column N              最后列号（0-99999）
  --overwrite                  替换文件夹中已有的同名文件（默认保留两者，新文件存为“名称 (2)”）
  --values                     公式只保留其保存的值

split-column 的选项：
  -d FOLDER                    拆分后保存的文件夹（必须已存在）
  --column K                   按第 K 列拆分（1-16384）
  --values "a|b"               只拆分出这些内容，用“|”分隔；省略则自动分类所有
  --names "x|y"                对应的文件名，用“|”分隔，个数须与 --values 相同；省略则用内容作文件名
  --header-rows N              指定该行及以上为表头（1-99；默认第1行）
  --last-column N              最后列号（0-99999）
  --contains                   单元格包含该内容即拆分（默认内容全匹配）
  --one-workbook               拆分到一个工作簿中，每项一个Sheet
  --row-by-row                 逐行拆分（默认高速模式）
  --overwrite                  替换文件夹中已有的同名文件（默认保留两者，新文件存为“名称 (2)”）
  --values-only                公式只保留其保存的值

每个子命令都可用的选项：
  --report PATH                报告每个源文件和Sheet的结果（合并、拆分、跳过或失败及原因、行数），
                               按扩展名存为 .xlsx、.csv 或 .json
  --dry-run                    预览：读取源文件并决定一切，但不写入任何文件；计划以表格输出到标准输出
                               （此时 merge 类子命令不需要 -o）
  --settings FILE              使用窗口保存的设置文件（如 Tablaweaver.zrk）中的路径和选项，
                               命令行给出的参数和选项优先
  --password PW                打开设有密码的工作簿时依次尝试的密码（可多次给出）
  --passwords-file FILE        从文件读取要尝试的密码，每行一个（UTF-8）
  --encrypt-password PW        结果以此密码加密保存（xlsx，打开时需输入密码；不能与 --xls 同用）

merge-files（需 --same-name）、merge-one-sheet 与 merge-sheets（纵向）的选项：
  --align-headers              按表头对齐列：列按表头文字匹配（忽略首尾空白、字母大小写和全半角），
                               新列加在右边，缺少的列留空
  --source-columns             在左边加“来源文件”和“来源工作表”两列
  --spill                      超出行数上限（xlsx 1048576 行，xls 65536 行）时续写到新Sheet“名称 (2)”…，
                               并重复表头

其他：
  -h, --help                   显示本帮助
  --version                    显示版本

示例：
  合并文件夹“销售”（含子文件夹）中的所有工作簿，每个Sheet成为结果中的一个Sheet：
    tablaweaver merge-files 销售 -o 合并结果.xlsx
  只取每个工作簿的第一个Sheet，合并到一个Sheet中，存为xls：
    tablaweaver merge-one-sheet 销售 -o 合并结果.xls --first-sheet --xls
  把一个工作簿的所有Sheet纵向汇总，表头（第1行）只取一次：
    tablaweaver merge-sheets 全年.xlsx -o 汇总.xlsx --header-rows 1
  把一个工作簿的每个Sheet存为单独的工作簿：
    tablaweaver split-sheets 全年.xlsx
  每500行拆分为一个工作簿，每个都带第1行的表头：
    tablaweaver split-rows 名单.xlsx -d 拆分结果 --rows 500 --header-rows 1
  按第3列的内容“华东”和“华北”拆分，文件名为 east 和 north：
    tablaweaver split-column 订单.xlsx -d 拆分结果 --column 3 --values "华东|华北" --names "east|north"

功能的提示和结果逐行输出到标准错误，最后一行是结果；合并结果的保存路径和无法合并的文件目录的路径输出到标准输出。
在终端上运行时显示进度条。按 Ctrl-C 会在当前文件或当前一块处理完后停止，不留下不完整的结果文件；
保存中再按一次 Ctrl-C 会放弃这次保存、保留原有文件（退出状态 130），已完成的保存则照常成功（退出状态 0）。
源文件从不被改写：结果路径指向源文件时，功能在开始前就拒绝执行。
退出状态：0 成功；1 检查未通过或功能失败；2 用法错误；130 被中断。
)";
}

}  // namespace cli
