// The program: a command-line invocation runs headless; otherwise the start-up values are
// taken, a copy already running is asked to show its window, and this copy shows its own.
#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>

#include "interface_setup.h"
#include "mainwindow.h"
#include "merge_object.h"
#include "path_drops.h"
#include "single_instance.h"
#include "startup.h"

#ifdef TW_HAVE_CLI
#include "cli.h"
#endif

int main(int argc, char** argv) {
#ifdef TW_HAVE_CLI
    if (isCommandLineInvocation(argc, argv)) return runCommandLine(argc, argv);
#endif
    tw::StartupValues& startup = tw::startupValues();
    tw::initStartupValues(startup, argc, argv,
                          tw::runningExecutablePath(argc > 0 ? argv[0] : nullptr),
                          tw::userConfigDir());

    prepareInterfaceAttributes();
    QApplication app(argc, argv);
    setUpInterface(app);

    // "tablaweaver PATH" (a file manager's "open with"): the path goes into the form, of this
    // copy or of the one already running.
    const QString openPath =
        startup.openPath.empty() ? QString() : localPath(QString::fromStdString(startup.openPath));

    tw::SingleInstance instance(tw::SingleInstance::defaultName());
    if (instance.askRunningCopyToShow(2000, openPath)) return 0;
    instance.listen();

    MainWindow window([](const QString& path) { return new MergeObject(path); });
    QObject::connect(&instance, &tw::SingleInstance::openRequested, &window, &MainWindow::openPath);
    QObject::connect(&instance, &tw::SingleInstance::showRequested, &window,
                     &MainWindow::ShowSoftWindow);
    if (!openPath.isEmpty()) window.openPath(openPath);

    // Started at login: only the tray icon, when there is a notification area to hold it.
    const bool autorun = startup.startOption == "-autorun";
    if (!autorun || !QSystemTrayIcon::isSystemTrayAvailable()) window.show();

    const int status = app.exec();
    // A job still running when the user quits is asked to stop; one that does not stop in time
    // ends with the process.
    if (!window.finishWorker(3000)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
