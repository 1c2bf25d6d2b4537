#include "run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bench {

namespace {

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::optional<ChildFigures> waitFor(pid_t pid, std::chrono::steady_clock::time_point t0) {
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid) return std::nullopt;
    const double cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    ChildFigures f{since(t0), cpu, double(ru.ru_maxrss) / 1024.0};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return f;
}

}  // namespace

std::optional<ChildFigures> inChild(const std::function<bool()>& work) {
    std::fflush(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) _exit(work() ? 0 : 1);
    return waitFor(pid, t0);
}

namespace {
// `output`: where the program's standard output goes (none: thrown away, as its errors are).
std::optional<ChildFigures> run(const std::vector<std::string>& args, const char* output) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        int out = output ? open(output, O_WRONLY | O_CREAT | O_TRUNC, 0600) : null;
        if (null >= 0) dup2(null, 2);
        if (out >= 0) dup2(out, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return waitFor(pid, t0);
}
}  // namespace

std::optional<ChildFigures> runProgram(const std::vector<std::string>& args) {
    return run(args, nullptr);
}

void printOwnPeak() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) std::printf("own peak kB: %s\n", line.c_str() + 6);
    std::fflush(stdout);
}

std::optional<ChildFigures> runOwnJob(const std::vector<std::string>& args) {
    const std::string self = selfProgram();
    if (self.empty()) return std::nullopt;
    std::vector<std::string> argv{self};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string output = (std::filesystem::temp_directory_path() /
                                ("tw_bench_own_" + std::to_string(::getpid()) + ".txt"))
                                   .string();
    auto f = run(argv, output.c_str());
    std::ifstream in(output);
    double peakKb = -1;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("own peak kB:", 0) == 0) peakKb = std::atof(line.c_str() + 12);
    in.close();
    std::filesystem::remove(output);
    if (f && peakKb > 0) f->peakMb = peakKb / 1024.0;
    return f;
}

namespace {
double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

StopRequest::StopRequest(double after) : after_(after), start_(monotonicSeconds()) {}

bool StopRequest::asked() const {
    if (after_ < 0) return false;
    const double now = monotonicSeconds();
    if (now - start_ < after_) return false;
    if (seen_ < 0) seen_ = now;
    return true;
}

double StopRequest::sinceAsked() const {
    return seen_ < 0 ? -1 : monotonicSeconds() - (start_ + after_);
}

std::string selfProgram() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

std::optional<std::string> findProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    for (size_t from = 0; from <= all.size();) {
        size_t colon = all.find(':', from);
        std::string dir =
            all.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    return std::nullopt;
}

bool ensurePackages(const std::vector<std::string>& packages, const std::function<bool()>& probe) {
    if (probe()) return true;
    std::string list;
    for (const auto& p : packages) list += " " + p;
    std::printf("installing%s (Debian packages) ...\n", list.c_str());
    std::fflush(nullptr);
    const std::string sudo = geteuid() == 0 ? "" : "sudo ";
    const std::string cmd = "DEBIAN_FRONTEND=noninteractive " + sudo +
                            "apt-get install -y --no-install-recommends" + list +
                            " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) std::printf("  apt-get could not install%s\n", list.c_str());
    return probe();
}

PairRuns alternate(int pairs, const std::function<std::optional<ChildFigures>()>& ours,
                   const std::function<std::optional<ChildFigures>()>& theirs) {
    PairRuns r;
    for (int i = 0; i < pairs; ++i) {
        auto a = ours();
        auto b = theirs();
        if (!a || !b) return r;
        r.ours.push_back(*a);
        r.theirs.push_back(*b);
        r.wallRatio.push_back(b->seconds / a->seconds);
        r.cpuRatio.push_back(b->cpuSeconds / a->cpuSeconds);
    }
    r.ok = pairs > 0;
    return r;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double medianOf(const std::vector<ChildFigures>& runs, double ChildFigures::*field) {
    std::vector<double> v;
    for (const auto& r : runs) v.push_back(r.*field);
    return median(v);
}

double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

}  // namespace bench
