// --settings FILE: the paths and options the window stored in its settings file, as defaults of
// a command-line job. Options given on the command line win.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The entries of a settings file ("key=value\r\n" lines, or "\n" ends) read the way the window
// reads them: the first 20,480 bytes, a key only where it starts a line, the value trimmed of
// spaces and tabs, a last line without a line end not taken. None when the file cannot be read
// or is not a regular file (a pipe, a device, a folder).
std::optional<std::map<std::string, std::string>> readSettingsEntries(const std::string& path);

// The command-line values a subcommand takes from the window's settings: fills `given` (option
// name to value; a flag maps to "") for each option not given, and the source when
// `positionals` is empty. Numbers outside the option's range are left out.
void applyWindowSettings(const std::string& command,
                         const std::map<std::string, std::string>& settings,
                         std::map<std::string, std::string>& given,
                         std::vector<std::string>& positionals);

}  // namespace cli
