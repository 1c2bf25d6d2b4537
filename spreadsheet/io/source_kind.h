// What a file holds, decided by its first bytes, never by its name: offices receive ".xls"
// files that are HTML pages, 2003 XML spreadsheets or tab-separated text, and packages under
// any extension.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ss {

enum class SourceKind {
    Missing,   // cannot be opened for reading
    Empty,     // no bytes
    Zip,       // a zip package: .xlsx/.xlsm (or a zip of something else)
    Ods,       // a zip package with an OpenDocument spreadsheet mimetype first
    Compound,  // a compound file: .xls (BIFF), an encrypted package, or some other document
    Html,      // a web page (tables exported under an .xls name)
    Xml2003,   // the 2003 XML spreadsheet
    Text,      // delimited text (.csv, .txt, a tab-separated ".xls" export)
    Unknown,   // binary content of no kind read here
};

// The kind of the file's content, from its first bytes (and, for a zip package that is not
// plainly an .xlsx package, from its directory).
SourceKind sniffSource(const std::filesystem::path& path);
// The same, from the first bytes (at least the first 8 KB where the file has them).
SourceKind sniffSourceBytes(std::string_view head);

// The user's name of a kind ("HTML 表格"), and the name with the extension added where the
// extension says something else ("HTML 表格（扩展名 .xls）").
std::string sourceKindText(SourceKind kind);
std::string describeSource(SourceKind kind, const std::filesystem::path& path);

}  // namespace ss
