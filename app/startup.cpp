#include "startup.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "settings_file.h"

namespace tw {

StartupValues& startupValues() {
    static StartupValues values;
    return values;
}

void initStartupValues(StartupValues& values, int argc, const char* const* argv,
                       const std::string& executablePath, const std::string& userConfigDir) {
    values.startOption.clear();
    if (argc > 1 && argv[1]) values.startOption = std::string(argv[1]).substr(0, kStartOptionLimit);
    values.openPath.clear();
    if (argc > 1 && argv[1] && argv[1][0] != '\0' && argv[1][0] != '-') values.openPath = argv[1];
    values.programPath = argc > 0 && argv[0] ? argv[0] : "";

    const std::size_t slash = executablePath.rfind('/');
    values.exeDir =
        slash == std::string::npos ? std::string() : executablePath.substr(0, slash + 1);

    const std::string besideProgram = values.exeDir + kSettingsFileName;
    const std::string folder = values.exeDir.empty() ? "." : values.exeDir;
    const bool fileWritable = access(besideProgram.c_str(), W_OK) == 0;
    const bool folderWritable = access(folder.c_str(), W_OK) == 0;
    // An installed program's folder is shared by every user (and writable for root): its
    // settings are always per user.
    const std::string desktopEntry = values.exeDir + "../share/applications/" + kDesktopEntryName;
    const bool installed = !values.exeDir.empty() && access(desktopEntry.c_str(), F_OK) == 0;
    if (((fileWritable || folderWritable) && !installed) || userConfigDir.empty()) {
        values.settingsFilePath = besideProgram;
        // A copy of the program in a folder of its own (a USB stick) starts without the file:
        // the first setting stored creates it there.
        values.settingsCreatedOnWrite = folderWritable;
    } else {
        values.settingsFilePath = userConfigDir + "/" + kSettingsFileName;
        values.settingsCreatedOnWrite = true;
    }
}

std::string runningExecutablePath(const char* argv0) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !self.empty()) return self.string();
    return argv0 ? argv0 : "";
}

std::string userConfigDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/Tablaweaver";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/Tablaweaver";
    return {};
}

void storeSetting(const std::string& key, const std::string& value) {
    const StartupValues& values = startupValues();
    if (values.settingsFilePath.empty()) return;
    if (values.settingsCreatedOnWrite) {
        std::error_code error;
        const std::filesystem::path file(values.settingsFilePath);
        if (!std::filesystem::exists(file, error)) {
            std::filesystem::create_directories(file.parent_path(), error);
            if (std::FILE* created = std::fopen(values.settingsFilePath.c_str(), "ab")) {
                std::fclose(created);
            }
        }
    }
    (void)setSetting(values.settingsFilePath, key, value);
}

}  // namespace tw
