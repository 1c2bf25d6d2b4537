// Existence tests on paths as the user typed or chose them (UTF-8).
#pragma once

#include <string>

namespace tw {

// True when a file or folder of that name exists. "*" and "?" in the last component are
// wildcards: the path counts when any entry of its folder matches.
bool pathExists(const std::string& path);

// True when the path, with one trailing "/" removed, names an existing folder. The empty path
// and a path ending in a backslash are never found.
bool directoryExists(const std::string& path);

}  // namespace tw
