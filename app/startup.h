// Start-up values of the process and the locations derived from them. Written once by the entry
// point before the application object exists; only read afterwards.
#pragma once

#include <string>

namespace tw {

inline constexpr const char* kSettingsFileName = "Tablaweaver.zrk";
inline constexpr std::size_t kStartOptionLimit = 31;  // bytes of the first argument kept
// The desktop entry that `cmake --install` (and the package) puts into PREFIX/share/applications
// beside PREFIX/bin: its presence marks an installed program.
inline constexpr const char* kDesktopEntryName = "org.tablaweaver.Tablaweaver.desktop";

struct StartupValues {
    std::string startOption;  // first argument, at most kStartOptionLimit bytes
    // The first argument in full when it is no option (does not begin with "-"): a folder or
    // workbook to show in the window, as a file manager's "open with" passes it.
    std::string openPath;
    std::string programPath;       // argument 0, unchanged
    std::string exeDir;            // folder of the running executable, ending with "/"
    std::string settingsFilePath;  // the settings file in use
    // True when a missing settings file is created (with its folder) on the first write: the
    // per-user configuration folder, or a writable folder of the program's own.
    bool settingsCreatedOnWrite = false;
};

StartupValues& startupValues();

// Fills startOption, openPath and programPath from the arguments, exeDir from `executablePath` (the
// running program) and the settings location: Tablaweaver.zrk beside the program, or in
// `userConfigDir` when the program's folder is not writable or the program is installed (its
// desktop entry lies in ../share/applications/ of its folder).
void initStartupValues(StartupValues& values, int argc, const char* const* argv,
                       const std::string& executablePath, const std::string& userConfigDir);

// The path of the running executable (/proc/self/exe), or argv0 when that cannot be read.
std::string runningExecutablePath(const char* argv0);
// $XDG_CONFIG_HOME/Tablaweaver, or ~/.config/Tablaweaver.
std::string userConfigDir();

// Writes one settings key to the file in use. A missing file beside the program is not created
// (nothing is remembered); the per-user file is created on the first write. Failures are ignored.
void storeSetting(const std::string& key, const std::string& value);

}  // namespace tw
