#!/usr/bin/python3
"""Writes the manual page and the bash completion of the program from its own --help text, so
that the three never tell different stories.

Usage: make_docs.py PROGRAM OUTDIR
Writes OUTDIR/tablaweaver.1, OUTDIR/tablaweaver.1.gz (for installing) and
OUTDIR/tablaweaver.bash (the completion script).

The help text is read as it is laid out: a line ending in "：" at the left margin starts a
section; a line indented by two spaces starts an item (its term, then after a wide gap its
description); a line indented further continues the item's description, or in the examples is
a command; any other line at the left margin is a paragraph. "退出状态：" lines list the exit
statuses, separated by "；".
"""
import gzip
import os
import re
import subprocess
import sys

DESCRIPTION_COLUMN = 24  # help descriptions start at or after this column
EXIT_PREFIX = "退出状态："
FILE_METAVARS = {"OUT", "FILE", "PATH", "WORKBOOK"}
FOLDER_METAVARS = {"FOLDER"}


class Item:
    def __init__(self, term):
        self.term = term
        self.desc = []
        self.commands = []  # examples: the command lines below the description


class Section:
    def __init__(self, title):
        self.title = title
        self.items = []
        self.paragraphs = []


def parse_help(text):
    """Sections of the help text, in order; paragraphs at the margin go to a section titled ""."""
    sections = []
    current = None
    for line in text.splitlines():
        if not line.strip():
            continue
        indent = len(line) - len(line.lstrip(" "))
        body = line.strip()
        if indent == 0:
            if body.endswith("：") and not body.startswith(EXIT_PREFIX):
                current = Section(body[:-1])
                sections.append(current)
            else:
                if not sections or sections[-1].title != "":
                    sections.append(Section(""))
                sections[-1].paragraphs.append(body)
                current = None
            continue
        if current is None:
            raise ValueError("indented help line outside a section: " + line)
        if indent == 2:
            fields = [(m.start(), m.group()) for m in re.finditer(r"\S+(?: \S+)*", line)]
            term_fields = fields
            desc = None
            if len(fields) > 1 and fields[-1][0] >= DESCRIPTION_COLUMN:
                term_fields, desc = fields[:-1], fields[-1][1]
            item = Item(" ".join(f for _, f in term_fields))
            if desc:
                item.desc.append(desc)
            current.items.append(item)
        elif not current.items:
            raise ValueError("continuation without an item: " + line)
        elif indent >= DESCRIPTION_COLUMN:
            current.items[-1].desc.append(body)
        else:
            current.items[-1].commands.append(body)
    return sections


def exit_statuses(sections):
    """(status, meaning) pairs of the "退出状态：" paragraph."""
    for section in sections:
        for paragraph in section.paragraphs:
            if paragraph.startswith(EXIT_PREFIX):
                rest = paragraph[len(EXIT_PREFIX):].rstrip("。")
                pairs = []
                for part in rest.split("；"):
                    status, _, meaning = part.strip().partition(" ")
                    pairs.append((status, meaning.strip()))
                return pairs
    raise ValueError("the help text lists no exit statuses")


def jobs_of(sections):
    """Job name -> its argument metavar, from the "子命令" section."""
    for section in sections:
        if section.title == "子命令":
            jobs = {}
            for item in section.items:
                words = item.term.split()
                jobs[words[0]] = words[1] if len(words) > 1 else ""
            return jobs
    raise ValueError("the help text has no 子命令 section")


def options_by_job(sections, jobs):
    """Job name -> [(option, metavar)], and the options that stand alone as the first word."""
    by_job = {job: [] for job in jobs}
    top = []
    for section in sections:
        if not section.title.endswith("选项") and section.title != "其他":
            continue
        named = [job for job in jobs
                 if re.search(r"(?<![a-z-])%s(?![a-z-])" % re.escape(job), section.title)]
        options = []
        for item in section.items:
            words = item.term.replace(",", " ").split()
            metavar = words[-1] if len(words) > 1 and not words[-1].startswith("-") else ""
            options += [(w, metavar) for w in words if w.startswith("-")]
        if section.title == "其他":
            top += [name for name, _ in options]
            continue
        for job in named or jobs:
            by_job[job] += [o for o in options if o not in by_job[job]]
    return by_job, top


# --- manual page ---------------------------------------------------------------------------

def roff_text(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    # A break point after each wide character: groff does not break between them by itself.
    text = re.sub(r"([^\x00-\x7f])(?![，。；：、）」”])", lambda m: m.group(1) + "\\:", text)
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def roff_term(term):
    """Option names and job names bold, metavars italic, the rest as it is."""
    out = []
    for word in term.split(" "):
        bare = word.rstrip(",")
        tail = word[len(bare):]
        if bare.startswith("-") or re.fullmatch(r"[a-z][a-z-]+", bare):
            out.append("\\fB%s\\fR%s" % (roff_text(bare), tail))
        elif re.fullmatch(r"[A-Z]+", bare) or re.fullmatch(r'"[^"]*"', bare):
            out.append("\\fI%s\\fR%s" % (roff_text(bare), tail))
        else:
            out.append(roff_text(word))
    return " ".join(out)


def join_lines(lines):
    """Continued lines as one text: no space where a wide character meets the break."""
    text = ""
    for line in lines:
        wide = text and (ord(text[-1]) > 0x7F or ord(line[0]) > 0x7F)
        text += line if not text or wide else " " + line
    return text


def roff_items(items):
    lines = []
    for item in items:
        lines += [".TP", roff_term(item.term)]
        if item.desc:
            lines.append(roff_text(join_lines(item.desc)))
    return lines


def manual_page(sections, version, summary):
    """The page: name, synopsis, description, jobs, options, examples, exit status, files."""
    by_title = {section.title: section for section in sections}
    lines = [
        '.TH TABLAWEAVER 1 "" "Tablaweaver %s" "用户命令"' % version,
        ".nh",
        ".ad l",
        ".SH 名称",
        "tablaweaver \\- " + roff_text(summary),
        ".SH 概述",
    ] + roff_items(by_title["用法"].items)
    paragraphs = [p for s in sections if s.title == "" for p in s.paragraphs
                  if not p.startswith(EXIT_PREFIX)]
    if paragraphs:
        lines.append(".SH 说明")
        for paragraph in paragraphs:
            lines += [".PP", roff_text(paragraph)]
    lines.append(".SH 子命令")
    lines += roff_items(by_title["子命令"].items)
    lines.append(".SH 选项")
    for section in sections:
        if section.title not in ("", "用法", "子命令", "示例"):
            lines.append(".SS " + roff_text(section.title))
            lines += roff_items(section.items)
    if "示例" in by_title:
        lines.append(".SH 示例")
        for item in by_title["示例"].items:
            lines += [".PP", roff_text(" ".join([item.term] + item.desc))]
            for command in item.commands:
                lines += [".IP", ".nf", "\\fB%s\\fR" % roff_text(command), ".fi"]
    lines.append(".SH 退出状态")
    for status, meaning in exit_statuses(sections):
        lines += [".TP", ".B " + status, roff_text(meaning)]
    lines += [
        ".SH 文件",
        ".TP",
        ".I ~/.config/Tablaweaver/Tablaweaver.zrk",
        roff_text("窗口记住的路径和选项（设置了 XDG_CONFIG_HOME 时在该文件夹下）。"
                  "未安装的程序把设置文件放在自己旁边。命令行不读写设置文件。"),
        "",
    ]
    return "\n".join(lines)


# --- bash completion -----------------------------------------------------------------------

def value_kind(metavar):
    if metavar in FOLDER_METAVARS:
        return "folder"
    if metavar in FILE_METAVARS:
        return "file"
    return "none" if metavar else ""


def completion_script(sections):
    jobs = jobs_of(sections)
    by_job, top = options_by_job(sections, jobs)
    window_paths = any(
        section.title == "用法" and any(re.fullmatch(r"tablaweaver [A-Z]+", i.term) for i in section.items)
        for section in sections)
    out = [
        "# bash completion for tablaweaver (generated from tablaweaver --help)",
        "",
        "_tablaweaver_paths() {",
        "    # $1: folder (folders only) or workbook (folders and workbooks) or file (anything)",
        "    local kind=$1 cur=$2 name",
        "    local -a found=()",
        '    if [[ $kind == folder ]]; then',
        '        mapfile -t found < <(compgen -d -- "$cur")',
        "    else",
        '        while IFS= read -r name; do',
        '            if [[ $kind == file || -d $name || ${name,,} =~ \\.(xlsx|xlsm|xls|csv)$ ]]; then',
        '                found+=("$name")',
        "            fi",
        '        done < <(compgen -f -- "$cur")',
        "    fi",
        '    COMPREPLY=("${found[@]}")',
        "    compopt -o filenames 2>/dev/null",
        "}",
        "",
        "_tablaweaver() {",
        '    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}',
        "    COMPREPLY=()",
        "    if ((COMP_CWORD == 1)); then",
        '        mapfile -t COMPREPLY < <(compgen -W "%s" -- "$cur")' % " ".join(list(jobs) + top),
    ]
    if window_paths:
        # The window opens a folder or a workbook given as the only argument.
        out += [
            '        if [[ $cur != -* ]]; then',
            '            local -a words=("${COMPREPLY[@]}")',
            '            _tablaweaver_paths workbook "$cur"',
            '            COMPREPLY=("${words[@]}" "${COMPREPLY[@]}")',
            "        fi",
        ]
    out += [
        "        return",
        "    fi",
        "    local options='' positional=''",
        '    case ${COMP_WORDS[1]} in',
    ]
    for job, metavar in jobs.items():
        kinds = {}
        for name, mv in by_job[job]:
            kinds.setdefault(value_kind(mv), []).append(name)
        out.append("    %s)" % job)
        out.append("        options='%s'" % " ".join(name for name, _ in by_job[job]))
        out.append("        positional=%s" % ("folder" if metavar in FOLDER_METAVARS else "workbook"))
        out.append('        case $prev in')
        for kind in ("folder", "file", "none"):
            if kinds.get(kind):
                action = "return" if kind == "none" else '_tablaweaver_paths %s "$cur"; return' % kind
                out.append("        %s) %s ;;" % ("|".join(kinds[kind]), action))
        out.append("        esac")
        out.append("        ;;")
    out += [
        "    *) return ;;",
        "    esac",
        '    if [[ $cur == -* ]]; then',
        '        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")',
        "    else",
        '        _tablaweaver_paths "$positional" "$cur"',
        "    fi",
        "}",
        "complete -F _tablaweaver tablaweaver",
        "",
    ]
    return "\n".join(out)


def main():
    program, outdir = sys.argv[1], sys.argv[2]
    env = dict(os.environ, LC_ALL="C.UTF-8")
    help_text = subprocess.run([program, "--help"], check=True, capture_output=True, env=env).stdout.decode()
    version = subprocess.run([program, "--version"], check=True, capture_output=True, env=env).stdout.decode().split()[-1]
    summary = "合并、拆分和分类电子表格工作簿（.xlsx、.xlsm、.xls、.csv）"
    sections = parse_help(help_text)
    page = manual_page(sections, version, summary).encode()
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, "tablaweaver.1"), "wb") as f:
        f.write(page)
    with open(os.path.join(outdir, "tablaweaver.1.gz"), "wb") as f:
        f.write(gzip.compress(page, compresslevel=9, mtime=0))
    with open(os.path.join(outdir, "tablaweaver.bash"), "w") as f:
        f.write(completion_script(sections))


if __name__ == "__main__":
    main()
