"""Folder merge (into sheets) of workbooks that each carry a logo and a chart: time against the
count of workbooks (it should grow in proportion), beside the same workbooks without logo and
chart (what carrying the parts costs), and the output's parts (one picture part for the logo all
of them share, one chart per workbook). Each workbook's sheet has a name of its own, so that
the figures are not those of finding free sheet names ("报表 (2)" ...).

With --one-sheet the folder is merged into one sheet: the logos and charts are range-copied
anchors then, all joined into the one drawing of the output sheet (one anchor per logo and per
chart, the charts restated for the rows their data landed on).

Usage: /usr/bin/python3 bench/parts_merge.py BUILD_DIR [--one-sheet] [COUNTS...]
       (default counts: 250 1000)
"""
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "interop"))
from parts_fixtures import png  # noqa: E402

import xlsxwriter  # noqa: E402


def make_book(path, logo, n, parts=True):
    wb = xlsxwriter.Workbook(path)
    name = "报表%d" % n
    ws = wb.add_worksheet(name)
    ws.write(0, 9, name)  # the logo and the chart lie among the used cells
    ws.write_row(4, 0, ["月份", "收入"])
    for i in range(12):
        ws.write_row(5 + i, 0, ["%d月" % (i + 1), n * 10 + i])
    if parts:
        ws.insert_image("A1", logo)
        chart = wb.add_chart({"type": "column"})
        chart.add_series({"categories": "=%s!$A$6:$A$17" % name, "values": "=%s!$B$6:$B$17" % name})
        ws.insert_chart("D2", chart)
    wb.close()


def main():
    args = sys.argv[1:]
    one_sheet = "--one-sheet" in args
    args = [a for a in args if a != "--one-sheet"]
    build = args[0] if args else "build"
    counts = [int(c) for c in args[1:]] or [250, 1000]
    job = "one-sheet" if one_sheet else "files"
    runner = os.path.join(build, "bench", "merge_bench")
    with tempfile.TemporaryDirectory() as tmp:
        logo = os.path.join(tmp, "logo.png")
        with open(logo, "wb") as f:
            f.write(png(200, 60, (20, 90, 160)))
        for count, parts in [(c, p) for c in counts for p in (False, True)]:
            src = os.path.join(tmp, "src%d%s" % (count, "p" if parts else ""))
            os.makedirs(src)
            for n in range(count):
                make_book(os.path.join(src, "book%04d.xlsx" % n), logo, n, parts)
            size = sum(os.path.getsize(os.path.join(src, f)) for f in os.listdir(src))
            out = os.path.join(tmp, "out%d%s.xlsx" % (count, "p" if parts else ""))
            t0 = time.monotonic()
            r = subprocess.run([runner, "run", job, src, out], capture_output=True, text=True)
            wall = time.monotonic() - t0
            if r.returncode != 0:
                print("merge failed:", r.stderr)
                return 1
            with zipfile.ZipFile(out) as z:
                names = z.namelist()
                anchors = sum(len(re.findall(r"<xdr:(?:twoCellAnchor|oneCellAnchor)",
                                             z.read(n).decode()))
                              for n in names if re.fullmatch(r"xl/drawings/drawing\d+\.xml", n))
            media = len([n for n in names if n.startswith("xl/media/")])
            charts = len([n for n in names if re.fullmatch(r"xl/charts/chart\d+\.xml", n)])
            print("%-14s %5d workbooks (%.1f MB): %.2f s wall (%.2f ms per workbook), %s; output %.1f MB, "
                  "%d picture part(s), %d charts, %d anchors" % ("logo + chart" if parts else "cells only",
                                                     count, size / 1e6, wall, wall * 1000 / count,
                                                     r.stdout.strip(), os.path.getsize(out) / 1e6,
                                                     media, charts, anchors))
    return 0


if __name__ == "__main__":
    sys.exit(main())
