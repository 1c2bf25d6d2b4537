// Entry points of the command line. The program's main calls isCommandLineInvocation first and,
// when it is true, returns runCommandLine's status without starting the window, touching the
// settings file or the single-instance socket.
#pragma once

// True for the job subcommands (merge-files, merge-one-sheet, merge-sheets, split-sheets,
// split-rows, split-column), --help/-h and --version; false for no argument, "-autorun" and
// anything else, which start the window.
bool isCommandLineInvocation(int argc, char** argv);

// Runs one job headless (QCoreApplication, no display). Returns the process exit status:
// 0 the job reached its result text; 1 a start check failed or the job ended with a failure;
// 2 usage error; 130 stopped by SIGINT or SIGTERM.
int runCommandLine(int argc, char** argv);
