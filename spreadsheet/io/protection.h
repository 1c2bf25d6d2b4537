// Whether a workbook file carries an open password, for the jobs that must not put its content on
// disk in plain (a temporary copy of a protected source is saved with a password of its own).
#pragma once

#include <filesystem>

namespace ss {

// True for an encrypted .xlsx package and for an .xls workbook with a FilePass record; false for
// every other file, and for a file that cannot be read.
bool hasOpenPassword(const std::filesystem::path& path);

}  // namespace ss
