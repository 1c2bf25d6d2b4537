// HTML tables as workbooks: the ".xls" files that banks, ERP systems and web reports write as a
// web page. Each table of the page becomes a sheet (or only the main one, see html.cpp).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

// Reads the tables of a web page; sheets are named after a table's caption, else the page's
// title, else the file's base name.
Result<std::unique_ptr<Workbook>> readHtml(const std::filesystem::path& path,
                                           const ReadLimits& limits = {});
// The same over bytes in memory; `sheetBaseName` stands for the file's base name.
Result<std::unique_ptr<Workbook>> readHtmlMemory(std::string_view bytes, std::string sheetBaseName,
                                                 const ReadLimits& limits = {});

// True when the first bytes of a file (a few KB) are those of a web page: after a byte-order
// mark, white space, comments and an XML declaration it opens with <!DOCTYPE html, <html,
// <head, <meta, <title, <body, <table or <style (any letter case). An XML document of another
// root (the 2003 XML spreadsheet's <Workbook>) and plain text are not.
bool looksLikeHtml(std::string_view head);

}  // namespace ss
