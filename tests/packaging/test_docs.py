#!/usr/bin/python3
"""The manual page and the bash completion against the program's own --help and its parser.

Usage: test_docs.py PROGRAM DOCS_DIR   (DOCS_DIR holds tablaweaver.1 and tablaweaver.bash)

- Every line of --help appears in the rendered manual page, in the section of the same title
  (usage under 概述); every exit status under 退出状态.
- The completion offers the jobs, each job's options exactly as the parser takes them (an option
  the parser refuses for a job is never offered for it, and every option of any job that the
  parser takes for this job is offered), and folders or workbooks where a path is due.
- Every example of --help is a valid invocation: the parser takes it (exit status 1 for the
  missing sources, never 2 for a usage error).
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

PROGRAM, DOCS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
ENV = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="2000")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def squeeze(text):
    return re.sub(r"\s+", "", text.replace("\u2212", "-").replace("\u2010", "-"))


def run(args, cwd=None):
    return subprocess.run(args, capture_output=True, env=ENV, cwd=cwd)


help_text = run([PROGRAM, "--help"]).stdout.decode()


def help_sections():
    """(title, [lines]) in order; lines at the margin that are not titles go to title ""."""
    sections = [("", [])]
    for line in help_text.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" ") and line.endswith("："):
            sections.append((line[:-1], []))
        elif not line.startswith(" "):
            sections[0][1].append(line)
        else:
            sections[-1][1].append(line)
    return sections


def test_manual_page():
    rendered = run(["man", "-l", os.path.join(DOCS, "tablaweaver.1")])
    check(rendered.returncode == 0, "man -l failed: " + rendered.stderr.decode())
    page = rendered.stdout.decode()
    # Headings: .SH at the margin, .SS indented by three.
    blocks, title = {}, None
    for line in page.splitlines():
        heading = re.fullmatch(r"( {0,3})(\S.*)", line)
        if heading and not line.startswith("TABLAWEAVER(1)") and len(line) < 120:
            title = heading.group(2).strip()
            blocks.setdefault(title, "")
        elif title:
            blocks[title] += squeeze(line)
    whole = squeeze(page)
    for title, lines in help_sections():
        if title == "":
            for line in lines:
                if line.startswith("退出状态："):
                    statuses = line[len("退出状态："):].rstrip("。").split("；")
                    for status in statuses:
                        check(squeeze(status) in blocks.get("退出状态", ""),
                              "exit status missing from the manual page: " + status)
                else:
                    check(squeeze(line) in whole, "paragraph missing from the manual page: " + line)
            continue
        block = blocks.get("概述" if title == "用法" else title)
        check(block is not None, "manual page has no section " + title)
        for line in lines:
            check(block is not None and squeeze(line) in block,
                  "line of --help missing under %s: %s" % (title, line.strip()))


def complete(words, cwd):
    """COMPREPLY for the command line `words` (the last one being completed)."""
    script = "source %s; COMP_WORDS=(%s); COMP_CWORD=%d; _tablaweaver; printf '%%s\\n' \"${COMPREPLY[@]}\"" % (
        shlex.quote(os.path.join(DOCS, "tablaweaver.bash")),
        " ".join(shlex.quote(w) for w in words), len(words) - 1)
    result = run(["bash", "--norc", "-c", script], cwd=cwd)
    check(result.returncode == 0, "completion failed for %s: %s" % (words, result.stderr.decode()))
    return sorted(w for w in result.stdout.decode().splitlines() if w)


def test_completion():
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("销售", "out"):
            os.mkdir(os.path.join(tmp, name))
        for name in ("全年.xlsx", "旧.XLS", "名单.csv", "说明.txt"):
            open(os.path.join(tmp, name), "w").close()

        jobs = [w for w in complete(["tablaweaver", ""], tmp) if not w.startswith("-")]
        listed = re.findall(r"^  ([a-z][a-z-]+) ", help_text.split("子命令：")[1].split("\n\n")[0], re.M)
        check(set(listed) <= set(jobs) and len(listed) == 6, "jobs offered: %s" % jobs)
        check(complete(["tablaweaver", "--v"], tmp) == ["--version"], "--version not offered")
        check(complete(["tablaweaver", "split-r"], tmp) == ["split-rows"], "split-r")

        options = {job: complete(["tablaweaver", job, "-"], tmp) for job in listed}
        # Every option the help text names, and whatever the completion offers.
        # (-h, --help and --version stand alone and are offered as the first word only.)
        top = [w for w in complete(["tablaweaver", "-"], tmp)]
        check("--help" in top and "--version" in top, "first-word options offered: %s" % top)
        named = re.findall(r"^  (-[-a-z]+)", help_text, re.M)
        everything = sorted(set(named + [o for opts in options.values() for o in opts]) - set(top))
        for job in listed:
            check(options[job], "no options offered for " + job)
            for option in everything:
                refused = "没有选项 " + option in run([PROGRAM, job, option]).stderr.decode()
                check(refused == (option not in options[job]),
                      "%s %s: parser %s it, completion %s it" % (
                          job, option, "refuses" if refused else "takes",
                          "offers" if option in options[job] else "leaves out"))

        cases = [
            (["merge-files", ""], ["out", "销售"]),  # a folder
            (["merge-files", "-o", ""], sorted(os.listdir(tmp))),  # any file name
            (["split-sheets", ""], sorted(["out", "销售", "全年.xlsx", "旧.XLS", "名单.csv"])),
            (["split-rows", "全年.xlsx", "-d", ""], ["out", "销售"]),
            (["split-rows", "全年.xlsx", "--rows", ""], []),  # a number: nothing to offer
            (["split-column", "全年.xlsx", "--col"], ["--column"]),
            (["merge-sheets", "全"], ["全年.xlsx"]),
            (["全"], ["全年.xlsx"]),  # tablaweaver PATH opens the window with it
            (["说"], []),
        ]
        for words, expected in cases:
            got = complete(["tablaweaver"] + words, tmp)
            check(got == expected, "completing %s: %s, expected %s" % (words, got, expected))


def test_examples():
    examples = [l.strip() for l in help_text.split("示例：")[1].splitlines()
                if l.startswith("    tablaweaver ")]
    check(len(examples) >= 6, "the help text shows %d examples" % len(examples))
    with tempfile.TemporaryDirectory() as tmp:
        for example in examples:
            args = shlex.split(example)
            result = run([PROGRAM] + args[1:], cwd=tmp)
            check(result.returncode == 1,
                  "example %r: status %d, %s" % (example, result.returncode, result.stderr.decode()))
        check(os.listdir(tmp) == [], "the examples wrote into an empty folder")


for test in (test_manual_page, test_completion, test_examples):
    test()
for failure in failures:
    print("FAIL:", failure)
print("%d failed" % len(failures) if failures else "documents agree with --help")
sys.exit(1 if failures else 0)
