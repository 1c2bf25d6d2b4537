#include "io.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>

#include "csv/csv.h"
#include "xls/xls.h"
#include "xlsx/xlsx.h"

namespace ss {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

std::string display(const fs::path& p) {
    return p.string();
}

}  // namespace

std::optional<FileFormat> formatFromExtension(const fs::path& path) {
    std::string ext = lower(path.extension().string());
    if (ext == ".xlsx") return FileFormat::Xlsx;
    if (ext == ".xlsm") return FileFormat::Xlsm;
    if (ext == ".xls") return FileFormat::Xls;
    if (ext == ".csv") return FileFormat::Csv;
    return std::nullopt;
}

Result<std::unique_ptr<Workbook>> openWorkbook(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("无法打开文件 " + display(path) + "：文件不存在或没有读取权限。");
    unsigned char head[8] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    size_t got = size_t(in.gcount());
    in.close();

    static const unsigned char kOle[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    bool isZip = got >= 4 && head[0] == 'P' && head[1] == 'K' &&
                 ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
    bool isOle = got == 8 && std::equal(head, head + 8, kOle);
    auto ext = formatFromExtension(path);

    if (isZip) return readXlsx(path);
    if (isOle) {
        if ((ext == FileFormat::Xlsx || ext == FileFormat::Xlsm) && !hasWorkbookStream(path))
            return fail("无法打开文件 " + display(path) +
                        "：工作簿已加密（设有打开密码），请先在表格软件中取消密码。");
        return readXls(path);
    }
    if (ext == FileFormat::Csv) return readCsv(path);
    if (got == 0) return fail("无法打开文件 " + display(path) + "：文件是空的。");
    return fail("无法打开文件 " + display(path) +
                "：内容不是受支持的表格文件（xlsx、xlsm、xls、csv）。");
}

Status writeAtomically(const fs::path& path,
                       const std::function<Status(const fs::path& temp)>& produce) {
    fs::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail("无法保存 " + display(path) + "：文件夹不存在。");
    if (fs::is_directory(path, ec))
        return fail("无法保存 " + display(path) + "：已有同名的文件夹。");
    std::random_device rd;
    fs::path temp;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tag[32];
        std::snprintf(tag, sizeof tag, ".tw-%08x.tmp", unsigned(rd()));
        temp = dir / ("." + path.filename().string() + tag);
        if (!fs::exists(temp, ec)) break;
    }
    Status st = produce(temp);
    if (!st.ok()) {
        fs::remove(temp, ec);
        return st;
    }
    fs::rename(temp, path, ec);
    if (ec) {
        std::string reason = ec.message();  // read before the clean-up reuses the error code
        fs::remove(temp, ec);
        return fail("无法保存 " + display(path) + "：" + reason);
    }
    return okStatus();
}

Status saveWorkbook(const Workbook& wb, const fs::path& path, FileFormat format) {
    switch (format) {
        case FileFormat::Xlsx:
        case FileFormat::Xlsm: {
            bool macro = format == FileFormat::Xlsm;
            return writeAtomically(path,
                                   [&](const fs::path& t) { return writeXlsx(wb, t, macro); });
        }
        case FileFormat::Xls:
            if (auto problem = xlsLimitProblem(wb))
                return fail("无法保存 " + display(path) + "：" + *problem);
            return writeAtomically(path, [&](const fs::path& t) -> Status {
                Status st = writeXls(wb, t);
                if (st.ok()) return st;
                // The writer names the temporary file; the user chose `path`.
                std::string m = st.message();
                if (size_t at = m.find(t.string()); at != std::string::npos)
                    m.replace(at, t.string().size(), display(path));
                return fail(m);
            });
        case FileFormat::Csv:
            return fail("无法保存 " + display(path) + "：不支持保存为 csv 格式。");
    }
    return fail("无法保存 " + display(path));
}

}  // namespace ss
