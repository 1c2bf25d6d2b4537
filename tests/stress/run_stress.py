#!/usr/bin/python3
"""The stress run: every file of the manifest through split-sheets and merge-files, each run with
a time and memory limit, every output checked by independent readers against its source.

    tests/stress/run_stress.py BUILD_DIR CACHE_DIR [--manifest FILE] [--only SUBSTRING]
        [--limit N] [--seconds 60] [--megabytes 3072] [--details details.tsv]

CACHE_DIR is the folder tests/stress/gather.py fills; listed files not there are named first.
For each file and job it records:
  - a crash (killed by a signal) or a hang (past the time limit);
  - a refusal (exit 1) with or without a reason on standard error;
  - outputs that are not well-formed (every XML part parsed), or that openpyxl cannot open;
  - per sheet: values (and formulas, as text) equal to the source as openpyxl or xlrd read it,
    or changed; a changed sheet counts as named when the job's report names something not
    carried or frozen for that sheet;
  - per sheet: pictures, charts, tables, notes, validations, conditional-format rules and
    sparklines counted in the source and in the output (.xlsx sources), lost ones named or not;
  - sheets of the source with content that no output holds, named or not.
Prints one table of totals; --details writes one line per file, job and finding.
"""

import argparse
import csv
import datetime
import json
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import warnings
import zipfile
import xml.etree.ElementTree as ET

import openpyxl
import openpyxl.utils
import xlrd

warnings.filterwarnings("ignore")
HERE = os.path.dirname(os.path.abspath(__file__))
COUNTED = ("pictures", "charts", "tables", "notes", "validations", "rules", "sparklines")


# ---- reading a workbook as the independent readers see it ---------------------------------

def norm(v):
    """A value as comparable text; None for an empty cell."""
    if v is None or v == "":
        return None
    if isinstance(v, bool):
        return "TRUE" if v else "FALSE"
    if isinstance(v, (int, float)):
        if isinstance(v, float) and (math.isnan(v) or math.isinf(v)):
            return str(v)
        return f"{float(v):.15g}"
    if isinstance(v, datetime.datetime):
        if v.time() == datetime.time(0):
            return v.date().isoformat()  # a date read as a datetime at midnight
        return v.isoformat(sep=" ")
    if isinstance(v, (datetime.date, datetime.time)):
        return v.isoformat()
    if isinstance(v, datetime.timedelta):
        return f"{v.total_seconds() / 86400:.15g}"
    return str(v)


def decoded(text):
    """A text with its _xHHHH_ escapes decoded once."""
    return re.sub(r"_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), text)


def xlsx_sheets(path):
    """{sheet name: {(row, col): (value, formula or None)}} of the worksheets, in order."""
    wb_f = openpyxl.load_workbook(path, data_only=False)
    wb_v = openpyxl.load_workbook(path, data_only=True)
    out = {}
    for ws_f, ws_v in zip(wb_f.worksheets, wb_v.worksheets):
        cells = {}
        for row in ws_f.iter_rows():
            for c in row:
                f = c.value if isinstance(c.value, str) and c.value.startswith("=") else None
                v = norm(ws_v.cell(c.row, c.column).value)
                if v is None and f is None:
                    continue
                cells[(c.row, c.column)] = (v, f)
        out[ws_f.title] = cells
    return out


def xls_sheets(path):
    book = xlrd.open_workbook(path, formatting_info=False)
    out = {}
    for sh in book.sheets():
        cells = {}
        for r in range(sh.nrows):
            for c in range(sh.ncols):
                cell = sh.cell(r, c)
                if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                    continue
                if cell.ctype == xlrd.XL_CELL_DATE:
                    try:
                        v = norm(xlrd.xldate_as_datetime(cell.value, book.datemode))
                    except (ValueError, OverflowError):
                        v = norm(cell.value)
                elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                    v = norm(bool(cell.value))
                elif cell.ctype == xlrd.XL_CELL_ERROR:
                    v = xlrd.error_text_from_code.get(cell.value, "#ERR")
                else:
                    v = norm(cell.value)
                if v is not None:
                    cells[(r + 1, c + 1)] = (v, None)
        out[sh.name] = cells
    return out


def read_sheets(path):
    return xls_sheets(path) if path.lower().endswith(".xls") else xlsx_sheets(path)


def package_counts(path):
    """{sheet name: {kind: count}} from the package's parts (.xlsx only)."""
    out = {}
    with zipfile.ZipFile(path) as z:
        names = {n.lower(): n for n in z.namelist()}

        def read(name):
            real = names.get(name.lower())
            return z.read(real).decode("utf-8", "replace") if real else ""

        def rels(part):
            d, f = os.path.split(part)
            text = read(f"{d}/_rels/{f}.rels")
            found = []
            for m in re.finditer(r"<Relationship\b[^>]*>", text):
                tag = m.group(0)
                t = re.search(r'Target="([^"]*)"', tag)
                ty = re.search(r'Type="([^"]*)"', tag)
                if not t or not ty or 'TargetMode="External"' in tag:
                    continue
                target = t.group(1)
                target = target[1:] if target.startswith("/") else os.path.normpath(os.path.join(d, target))
                found.append((ty.group(1).rsplit("/", 1)[-1], target))
            return found

        wb = read("xl/workbook.xml")
        wb_rels = dict((rid, tgt) for rid, tgt in
                       re.findall(r'<Relationship\b[^>]*Id="([^"]*)"[^>]*Target="([^"]*)"',
                                  read("xl/_rels/workbook.xml.rels")))
        for m in re.finditer(r"<(?:\w+:)?sheet\b[^>]*>", wb):
            tag = m.group(0)
            name = re.search(r'name="([^"]*)"', tag)
            rid = re.search(r'\br:id="([^"]*)"|\bid="([^"]*)"', tag)
            if not name or not rid:
                continue
            target = wb_rels.get(rid.group(1) or rid.group(2))
            if not target:
                continue
            part = target[1:] if target.startswith("/") else os.path.normpath(os.path.join("xl", target))
            xml = read(part)
            c = dict.fromkeys(COUNTED, 0)
            c["validations"] = len(re.findall(r"<(?:\w+:)?dataValidation\b", xml))
            c["rules"] = len(re.findall(r"<(?:\w+:)?cfRule\b", xml))
            c["sparklines"] = len(re.findall(r"<(?:\w+:)?sparkline\b", xml))
            for kind, target in rels(part):
                if kind == "table":
                    c["tables"] += 1
                elif kind == "comments":
                    c["notes"] += len(re.findall(r"<comment\b", read(target)))
                elif kind == "drawing":
                    d = read(target)
                    c["pictures"] += len(re.findall(r"<(?:\w+:)?pic\b", d))
                    c["charts"] += len(re.findall(r"<(?:\w+:)?graphicFrame\b", d))
            out[xml_unescape(name.group(1))] = c
    return out


def xml_unescape(s):
    return (s.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"')
            .replace("&apos;", "'").replace("&amp;", "&"))


def well_formed(path):
    """None when every XML part of the package parses; else the first fault."""
    try:
        with zipfile.ZipFile(path) as z:
            bad = z.testzip()
            if bad:
                return f"bad zip entry {bad}"
            for n in z.namelist():
                if n.endswith((".xml", ".rels", ".vml")):
                    try:
                        ET.fromstring(z.read(n))
                    except ET.ParseError as e:
                        return f"{n}: {e}"
    except zipfile.BadZipFile as e:
        return str(e)
    return None


# ---- running the jobs -----------------------------------------------------------------------

def limited(seconds, megabytes):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    return apply


def run_job(argv, seconds, megabytes):
    try:
        p = subprocess.run(argv, capture_output=True, timeout=seconds, stdin=subprocess.DEVNULL,
                           preexec_fn=limited(seconds, megabytes))
        return p.returncode, p.stderr.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        return None, (e.stderr or b"").decode("utf-8", "replace")


def report_rows(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return []


def sheet_named(rows, sheet, stderr=""):
    """Whether the report names something left behind or frozen for the sheet, or the job's
    read notes ("[sheet] A1 ...") name something of it."""
    if f"[{sheet}]" in stderr:
        return True
    for r in rows:
        if r.get("工作表") == sheet and (r.get("未带到输出的内容") or r.get("冻结的公式") or
                                        r.get("说明")):
            return True
    return False


EPOCH = datetime.datetime(1899, 12, 30)


def as_days(text):
    """A value as a number of days: a number as it is, a date or time as days since the epoch
    of the 1900 system (a duration one reader shows as a date, the other as a number)."""
    try:
        return float(text)
    except (TypeError, ValueError):
        pass
    for fmt in ("%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d", "%H:%M:%S", "%H:%M:%S.%f"):
        try:
            d = datetime.datetime.strptime(text, fmt)
        except (TypeError, ValueError):
            continue
        if fmt.startswith("%H"):
            return (d - datetime.datetime(1900, 1, 1)).total_seconds() / 86400
        # Before March 1900 the 1900 system counts from the last day of 1899 (it holds a
        # 29 February 1900 that never was).
        epoch = EPOCH if d >= datetime.datetime(1900, 3, 1) else datetime.datetime(1899, 12, 31)
        return (d - epoch).total_seconds() / 86400
    return None


def same_value(a, b):
    if a == b:
        return True
    # openpyxl decodes the _xHHHH_ escapes of shared strings but not of inline strings: a text
    # written the other way round by us is the same text.
    if a is not None and b is not None and (decoded(a) == b or a == decoded(b)):
        return True
    if a is None or b is None or re.search(r"\d-\d|:", a + b) is None:
        return False
    x, y = as_days(a), as_days(b)
    if x is None or y is None:
        return False
    # A duration shown as a date by one reader counts from the epoch of the source's system:
    # 1904-01-01 is day 0 of the 1904 system, 1462 days after that of the 1900 system. Before
    # March 1900 the readers disagree by a day on what a serial number shows (the 1900
    # system's 29 February that never was): either is the same number.
    shifts = [0, 1462, -1462]
    if min(x, y) < 61:
        shifts += [1, -1]
    return any(abs(x - y - shift) < 1e-6 for shift in shifts)


# A structured reference to a cell's own table reads the same with the table's name and
# without it ("Table1[Column3]", "[Column3]"): the name is taken out of both before comparing.
TABLE_NAME = re.compile(r"(?<![\w.\]'!])[A-Za-z_\\][\w.]*(?=\[)")


def spaceless(f):
    """A formula without the white space outside its texts: openpyxl moves the spaces and line
    breaks of a shared formula when it gives the group's text to the other cells of a source
    ("=\\nB2+B3" for the group's "=B1\\n+B2"), while we write the group's text as it stands."""
    return "".join(part if i % 2 else re.sub(r"\s+", "", part)
                   for i, part in enumerate(f.split('"')))


def same_formula(a, b):
    if a == b:
        return True
    a, b = TABLE_NAME.sub("", a), TABLE_NAME.sub("", b)
    return a == b or spaceless(a) == spaceless(b)


def compare(src_cells, out_cells):
    """How many cells differ, and the first: formulas compared as text when both sides have
    one, values otherwise (xlrd reads no formulas)."""
    differ, first = 0, ""
    for key in sorted(set(src_cells) | set(out_cells)):
        a, b = src_cells.get(key, (None, None)), out_cells.get(key, (None, None))
        if a[1] and b[1]:
            same = same_formula(a[1], b[1])
        else:
            same = same_value(a[0], b[0])
        if not same:
            differ += 1
            if not first:
                col = openpyxl.utils.get_column_letter(key[1])
                first = f"{col}{key[0]} {a!r} -> {b!r}"
    return differ, first


class Totals:
    def __init__(self):
        self.n = {}
        self.details = []

    def add(self, what, file, job, note=""):
        self.n[what] = self.n.get(what, 0) + 1
        if what not in ("runs", "done", "sheets compared", "sheets equal", "outputs"):
            self.details.append((file, job, what, note))


def check_outputs(totals, file, job, source, sources, outputs, rows, stderr):
    """outputs: [(path, [(output sheet, source sheet)])]"""
    src_counts = package_counts(source) if not source.lower().endswith(".xls") else {}
    # Sheets the reader renamed so that they can be saved (a name too long, a character the
    # format forbids), as its read notes say: "工作表名称“old”无法保存，已改为“new”".
    renamed = dict((new, old) for old, new in
                   re.findall(r"工作表名称“(.+?)”无法保存，已改为“(.+?)”", stderr))
    covered = set()
    for out, mapping in outputs:
        totals.add("outputs", file, job)
        fault = well_formed(out) if out.lower().endswith((".xlsx", ".xlsm")) else None
        if fault:
            totals.add("output not well-formed", file, job, fault)
            continue
        try:
            out_sheets = read_sheets(out)
        except Exception as e:  # noqa: BLE001 - any failure of the reader is the finding
            totals.add("output not opened by openpyxl/xlrd", file, job, f"{type(e).__name__}: {e}")
            continue
        out_counts = package_counts(out) if out.lower().endswith((".xlsx", ".xlsm")) else {}
        for out_sheet, src_sheet in mapping:
            if src_sheet not in sources:
                src_sheet = renamed.get(src_sheet, src_sheet)
            if src_sheet not in sources or out_sheet not in out_sheets:
                continue
            covered.add(src_sheet)
            totals.add("sheets compared", file, job)
            differ, first = compare(sources[src_sheet], out_sheets[out_sheet])
            if not differ:
                totals.add("sheets equal", file, job)
            elif sheet_named(rows, src_sheet, stderr):
                totals.add("sheet changed, named", file, job, f"{src_sheet}: {differ} cells, {first}")
            else:
                totals.add("sheet changed, not named", file, job,
                           f"{src_sheet}: {differ} cells, {first}")
            a, b = src_counts.get(src_sheet), out_counts.get(out_sheet)
            if a and b:
                lost = [f"{k} {a[k]}->{b[k]}" for k in COUNTED if b[k] < a[k]]
                if lost:
                    named = sheet_named(rows, src_sheet) or "未" in stderr
                    totals.add("parts lost, named" if named else "parts lost, not named",
                               file, job, f"{src_sheet}: {', '.join(lost)}")
    for sheet, cells in sources.items():
        if cells and sheet not in covered:
            named = any(r.get("工作表") == sheet for r in rows) or sheet in stderr
            totals.add("content sheet dropped, named" if named else
                       "content sheet dropped, not named", file, job, sheet)


def outputs_of(job, folder, out, sources, rows):
    """The outputs of a job run: [(path, [(output sheet, source sheet)])]."""
    outputs = []
    if job == "split-sheets":
        for d in os.listdir(folder):
            full = os.path.join(folder, d)
            if not os.path.isdir(full):
                continue
            for f in sorted(os.listdir(full)):
                stem = os.path.splitext(f)[0]
                src_sheet = next((s for s in sources if s == stem), None)
                if src_sheet is None:
                    src_sheet = next((r.get("工作表") for r in rows if r.get("输出位置") == f),
                                     None)
                if src_sheet is None:
                    continue
                path = os.path.join(full, f)
                try:
                    out_name = (xlrd.open_workbook(path).sheet_names()[0]
                                if f.lower().endswith(".xls") else
                                openpyxl.load_workbook(path, read_only=True).sheetnames[0])
                except Exception:  # noqa: BLE001 - the check of the output names it
                    out_name = src_sheet
                outputs.append((path, [(out_name, src_sheet)]))
    elif os.path.exists(out):
        mapping = [(r["输出位置"], r["工作表"]) for r in rows
                   if r.get("结果") == "已合并" and r.get("工作表") and r.get("输出位置")]
        outputs.append((out, mapping))
    return outputs


def check_one(spec_path):
    """The child's part: reads the source and the outputs of every job run of one file."""
    with open(spec_path, encoding="utf-8") as f:
        spec = json.load(f)
    totals = Totals()
    try:
        sources = read_sheets(spec["source"])
    except Exception:  # noqa: BLE001 - the readers cannot read it either: nothing to compare
        sources = None
    if sources is not None:
        for run in spec["runs"]:
            outputs = outputs_of(run["job"], run["folder"], run["out"], sources, run["rows"])
            check_outputs(totals, spec["label"], run["job"], spec["source"], sources, outputs,
                          run["rows"], run["stderr"])
    else:
        totals.add("source unreadable by openpyxl/xlrd", spec["label"], "")
    json.dump({"n": totals.n, "details": totals.details}, sys.stdout)


def run_file(totals, build, path, label, seconds, megabytes):
    exe = os.path.join(build, "tablaweaver")
    work = tempfile.mkdtemp(prefix="tw_stress_")
    try:
        name = os.path.basename(path)
        runs = []
        for job in ("split-sheets", "merge-files"):
            totals.add("runs", label, job)
            folder = os.path.join(work, job)
            os.makedirs(folder)
            src = os.path.join(folder, name)
            shutil.copyfile(path, src)
            report = os.path.join(work, job + ".json")
            out = os.path.join(work, "merged.xlsx")
            if job == "split-sheets":
                argv = [exe, "split-sheets", src, "--report", report]
            else:
                argv = [exe, "merge-files", folder, "-o", out, "--keep-empty-sheets",
                        "--report", report]
            code, stderr = run_job(argv, seconds, megabytes)
            if code is None:
                totals.add("hang", label, job, f"past {seconds} s")
                continue
            if code < 0 or code > 2:
                totals.add("crash", label, job, f"exit {code}: {stderr.strip()[-200:]}")
                continue
            rows = report_rows(report)
            if code != 0:
                reason = any(r.get("结果", "").startswith(("未", "失败")) and r.get("说明")
                             for r in rows) or re.search(r"[：:]", stderr)
                said = [ln for ln in stderr.splitlines() if name in ln or "无法" in ln or "：" in ln]
                totals.add("refused, reason given" if reason else "refused, no reason",
                           label, job, said[0] if said else stderr.strip()[-200:])
                continue
            totals.add("done", label, job)
            # The folder merges put the read notes of their sources ("[sheet] A1 ...") into the
            # list of files not merged beside them, not on standard error: they name as well.
            listed = os.path.join(folder, "无法合并的文件目录.txt")
            if os.path.exists(listed):
                with open(listed, encoding="utf-8", errors="replace") as f:
                    stderr += "\n" + f.read()
            runs.append({"job": job, "folder": folder, "out": out, "rows": rows,
                         "stderr": stderr})
        if not runs:
            return
        # The independent readers run in a child of their own, with a time and memory limit: a
        # file that makes them take gigabytes must not take the run with it.
        spec = os.path.join(work, "spec.json")
        with open(spec, "w", encoding="utf-8") as f:
            json.dump({"source": path, "label": label, "runs": runs}, f)
        try:
            p = subprocess.run([sys.executable, os.path.abspath(__file__), "--check-one", spec],
                               capture_output=True, timeout=5 * seconds,
                               preexec_fn=limited(seconds, megabytes))
            found = json.loads(p.stdout) if p.returncode == 0 else None
        except (subprocess.TimeoutExpired, ValueError):
            found = None
        if found is None:
            totals.add("not checked (the readers gave up)", label, "")
            return
        for k, v in found["n"].items():
            totals.n[k] = totals.n.get(k, 0) + v
        totals.details.extend(tuple(d) for d in found["details"])
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("cache")
    parser.add_argument("--manifest", default=os.path.join(HERE, "manifest.tsv"))
    parser.add_argument("--only", default="")
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--megabytes", type=int, default=3072)
    parser.add_argument("--details", default="")
    if len(sys.argv) == 3 and sys.argv[1] == "--check-one":
        check_one(sys.argv[2])
        return 0
    args = parser.parse_args()

    with open(args.manifest, encoding="utf-8", newline="") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if args.only in r["repository"] + ":" + r["path"]]
    if args.limit:
        rows = rows[: args.limit]
    present, missing = [], []
    for r in rows:
        p = os.path.join(args.cache, r["repository"].replace("/", "+"), r["path"])
        (present if os.path.isfile(p) else missing).append((r, p))
    for r, _ in missing:
        print(f"missing from the cache: {r['repository']} {r['path']}")
    totals = Totals()
    for i, (r, p) in enumerate(present, 1):
        label = f"{r['repository']}:{r['path']}"
        run_file(totals, args.build, p, label, args.seconds, args.megabytes)
        if i % 100 == 0:
            print(f"  {i}/{len(present)} files", file=sys.stderr, flush=True)

    print(f"\nfiles: {len(present)} run, {len(missing)} missing from the cache")
    order = ["runs", "done", "crash", "hang", "refused, reason given", "refused, no reason",
             "outputs", "output not well-formed", "output not opened by openpyxl/xlrd",
             "sheets compared", "sheets equal", "sheet changed, named", "sheet changed, not named",
             "parts lost, named", "parts lost, not named", "content sheet dropped, named",
             "content sheet dropped, not named", "source unreadable by openpyxl/xlrd",
             "not checked (the readers gave up)"]
    print(f"{'':<40} {'count':>7}")
    for key in order:
        print(f"{key:<40} {totals.n.get(key, 0):>7}")
    if args.details:
        with open(args.details, "w", encoding="utf-8", newline="") as f:
            w = csv.writer(f, delimiter="\t")
            w.writerow(["file", "job", "finding", "note"])
            w.writerows(totals.details)
    bad = sum(totals.n.get(k, 0) for k in ("crash", "hang", "output not well-formed",
                                              "output not opened by openpyxl/xlrd"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
