#!/usr/bin/python3
"""Two builds of the same jobs, side by side: every job of both runs on the same data, the two
builds alternating (before, after, before, after ...), each run a new process, so that a change
that should not move the figures (a restructuring, a new compiler flag) can be shown not to.

    bench/compare_builds.py BEFORE_BUILD AFTER_BUILD [--pairs N] [--rows R] [--books B]
        [--jobs files,one-sheet,value100,value5000,rows,sheets]

Each build folder must hold bench/merge_bench, bench/split_bench and bench/gen_corpus. The data
is written once, by the AFTER build's generators: B workbooks of 5,000 x 12 for the merges
(100 by default), one sheet of R x 12 (200,000) for the splits by value and by rows, and 40
sheets of 3,000 x 8 for the split by sheet. Prints, per job, the median wall and CPU seconds and
peak memory of each build and their ratio (after / before), with the ratio of every pair.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run(argv):
    """Wall seconds, CPU seconds (user + system) and peak MB of one child process."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{' '.join(argv)} failed: {err.strip()}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def job_argv(build, job, data, out):
    merge = os.path.join(build, "bench", "merge_bench")
    split = os.path.join(build, "bench", "split_bench")
    source = os.path.join(data, "split", "source.xlsx")
    if job == "files":
        return [merge, "run", "files", os.path.join(data, "merge"), os.path.join(out, "o.xlsx"),
                "--quiet"]
    if job == "one-sheet":
        return [merge, "run", "one-sheet", os.path.join(data, "merge"),
                os.path.join(out, "o.xlsx"), "--quiet"]
    if job in ("value100", "value5000"):
        key = "2" if job == "value100" else "3"
        return [split, "run", "column", source, out, key, "--full-match", "--quiet"]
    if job == "rows":
        return [split, "run", "rows", source, out, "10000", "--header", "1", "--quiet"]
    if job == "sheets":
        return [split, "run", "sheets", os.path.join(data, "split", "many", "stores.xlsx"),
                "--quiet"]
    raise ValueError(job)


def clean(out, data):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    many = os.path.join(data, "split", "many")
    for name in os.listdir(many):  # the split by sheet writes a new folder beside its source
        path = os.path.join(many, name)
        if os.path.isdir(path):
            shutil.rmtree(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--rows", type=int, default=200000)
    parser.add_argument("--books", type=int, default=100)
    parser.add_argument("--jobs", default="files,one-sheet,value100,value5000,rows,sheets")
    args = parser.parse_args()
    jobs = args.jobs.split(",")

    data = tempfile.mkdtemp(prefix="tw_compare_")
    try:
        gen = os.path.join(args.after, "bench", "gen_corpus")
        split = os.path.join(args.after, "bench", "split_bench")
        subprocess.run([gen, os.path.join(data, "merge"), str(args.books), "5000", "12"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([split, "sources", os.path.join(data, "split"), str(args.rows)],
                       check=True, stdout=subprocess.DEVNULL)
        out = os.path.join(data, "out")
        print(f"before: {args.before}\nafter:  {args.after}\n"
              f"{args.pairs} pairs, alternating; medians; ratio = after / before\n")
        print(f"{'job':<12} {'before wall':>11} {'after wall':>10} {'ratio':>6} "
              f"{'before CPU':>10} {'after CPU':>9} {'ratio':>6} {'peak MB':>15}  wall ratio per pair")
        for job in jobs:
            figures = {"before": [], "after": []}
            for _ in range(args.pairs):
                for side in ("before", "after"):
                    clean(out, data)
                    build = args.before if side == "before" else args.after
                    figures[side].append(run(job_argv(build, job, data, out)))
            med = {s: [statistics.median(f[i] for f in figures[s]) for i in range(3)]
                   for s in figures}
            per_pair = " ".join(f"{a[0] / b[0]:.3f}"
                                for b, a in zip(figures["before"], figures["after"]))
            print(f"{job:<12} {med['before'][0]:>10.3f}s {med['after'][0]:>9.3f}s "
                  f"{med['after'][0] / med['before'][0]:>6.3f} {med['before'][1]:>9.3f}s "
                  f"{med['after'][1]:>8.3f}s {med['after'][1] / med['before'][1]:>6.3f} "
                  f"{med['before'][2]:>7.1f}/{med['after'][2]:<7.1f}  {per_pair}")
            sys.stdout.flush()
        print(f"\nload average at end: {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(data, ignore_errors=True)
    return 0


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    sys.exit(main())
