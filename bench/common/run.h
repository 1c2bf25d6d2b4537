// Running what a benchmark measures: a piece of work or another program in a child process of
// its own (wall time, CPU time of both cores, peak memory), pairs of two sides run alternately
// so that a busy machine slows both alike, and the Debian packages of the programs compared with.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct ChildFigures {
    double seconds = 0, cpuSeconds = 0, peakMb = 0;
};

// Runs `work` in a child process; none when it failed.
std::optional<ChildFigures> inChild(const std::function<bool()>& work);
// Runs a program (argv[0] a path) with its output thrown away; none when it failed.
std::optional<ChildFigures> runProgram(const std::vector<std::string>& argv);
// This benchmark's own program, to run one of its jobs in a new process, as a user starts it
// (a child forked from the benchmark would start from the benchmark's heap instead).
std::string selfProgram();
// Runs one job of this program (`argv` after the program's own path) in a new process; its
// peak memory is the one the job reports with printOwnPeak(): the peak the system counts for a
// child includes the pages of the benchmark it was forked from before it started the program.
std::optional<ChildFigures> runOwnJob(const std::vector<std::string>& args);
// Prints this process's own peak resident memory (VmHWM) on standard output, for runOwnJob.
void printOwnPeak();

// A program on the PATH, or none.
std::optional<std::string> findProgram(const char* name);

// True when `probe` holds, after installing the packages with apt-get when it did not.
bool ensurePackages(const std::vector<std::string>& packages, const std::function<bool()>& probe);

// `pairs` runs of each side, alternating ours, theirs, ours ...; per side the figures of every
// run, and per pair theirs / ours in wall and CPU time.
struct PairRuns {
    std::vector<ChildFigures> ours, theirs;
    std::vector<double> wallRatio, cpuRatio;
    bool ok = false;
};
PairRuns alternate(int pairs, const std::function<std::optional<ChildFigures>()>& ours,
                   const std::function<std::optional<ChildFigures>()>& theirs);

// A stop request that comes `after` seconds after it is made, as the window's stop button
// gives one, and when the job first saw it: a job's host answers cancelRequested() with asked().
class StopRequest {
public:
    explicit StopRequest(double after);
    bool asked() const;
    // Seconds from the request until now, when asked() said yes (negative: it never did).
    double sinceAsked() const;

private:
    double after_;
    double start_;
    mutable double seen_ = -1;
};

double median(std::vector<double> v);
// The median of one figure over runs.
double medianOf(const std::vector<ChildFigures>& runs, double ChildFigures::*field);

// Load average of the last minute (how busy the machine was).
double loadAverage();

}  // namespace bench
