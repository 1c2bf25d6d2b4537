// The files of a folder and its subfolders, in the order the folder merges take them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace jobs {

// The files of `folder` and, recursively, of its subfolders: first the folder's own files
// (hidden ones included), then each subfolder's complete list; files and subfolders each sorted
// by name without regard to case. Hidden subfolders are left out; a link to a file counts as a
// file, a link to a folder is not followed (no loops) and a dangling link is skipped, as are
// pipes, sockets and devices (and links to them). A folder that cannot be read contributes
// nothing. Each link, folder or other entry skipped is added to `skipped` as a line
// "path reason".
std::vector<std::filesystem::path> scanFolder(const std::filesystem::path& folder,
                                              std::vector<std::string>* skipped = nullptr);
// The files of the scan that pass the folder merges' spreadsheet file test, in scan order.
std::vector<std::filesystem::path> spreadsheetFilesIn(const std::filesystem::path& folder,
                                                      std::vector<std::string>* skipped = nullptr);

}  // namespace jobs
