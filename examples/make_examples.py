#!/usr/bin/python3
"""Makes a small folder of realistic sales workbooks to try Tablaweaver on.

    /usr/bin/python3 examples/make_examples.py [DEST] [--tablaweaver PATH]

DEST (default: examples/out beside this script) receives:

    销售/                          the folder to merge
        2024年01月销售.xlsx ... 2024年03月销售.xlsx   a detail sheet with a styled header, dates,
                                   prices, formulas and a frozen header row, plus a summary sheet
        2024年04月销售.csv          the same columns as text, in GB18030 as office programs save it
        2023年12月销售.xls          an Excel 97-2003 workbook (made with Tablaweaver itself, when
                                   --tablaweaver is given and the program can write .xls)
        分店/2024年01月_浦东店.xlsx  a workbook in a subfolder
    门店明细.xlsx                   one long sheet, for the row and column splits

The data come from a fixed random seed, so every run makes the same workbooks.
Needs Debian's python3-openpyxl.
"""

import argparse
import csv
import datetime
import io
import os
import random
import subprocess
import sys
import tempfile

from openpyxl import Workbook
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.utils import get_column_letter

STORES = ["静安店", "徐汇店", "浦东店", "虹口店"]
PRODUCTS = [("绿茶 500ml", 3.5), ("乌龙茶 500ml", 4.0), ("矿泉水 550ml", 2.0),
            ("全麦面包", 12.8), ("酸奶 200g", 6.5), ("速溶咖啡 12条", 29.9)]
SALESPEOPLE = ["王芳", "李娜", "张伟", "刘洋", "陈静"]
HEADER = ["日期", "门店", "商品", "单价", "数量", "金额", "销售员"]
WIDTHS = [12, 10, 18, 9, 8, 11, 9]

THIN = Side(style="thin", color="9E9E9E")
BORDER = Border(left=THIN, right=THIN, top=THIN, bottom=THIN)
HEADER_FONT = Font(name="宋体", bold=True, color="FFFFFF", size=11)
HEADER_FILL = PatternFill("solid", fgColor="2F5597")
TITLE_FONT = Font(name="黑体", bold=True, size=14)


def month_rows(rng, year, month, count, stores=STORES):
    """Sales lines of one month, in date order."""
    first = datetime.date(year, month, 1)
    days = ((first.replace(day=28) + datetime.timedelta(days=4)).replace(day=1) - first).days
    rows = []
    for _ in range(count):
        day = first + datetime.timedelta(days=rng.randrange(days))
        product, price = rng.choice(PRODUCTS)
        rows.append([day, rng.choice(stores), product, price, rng.randint(1, 40),
                     rng.choice(SALESPEOPLE)])
    rows.sort(key=lambda r: r[0])
    return rows


def detail_sheet(ws, rows, formulas=True):
    """Header row styled like a hand-made office table, then one line per sale; the amount is a
    formula, or its value for the workbook that goes through the .xls writer (openpyxl stores
    formulas without their results, and an .xls keeps only what it was given)."""
    ws.append(HEADER)
    for cell in ws[1]:
        cell.font = HEADER_FONT
        cell.fill = HEADER_FILL
        cell.alignment = Alignment(horizontal="center", vertical="center")
        cell.border = BORDER
    ws.row_dimensions[1].height = 22
    for i, (day, store, product, price, qty, person) in enumerate(rows, start=2):
        amount = f"=D{i}*E{i}" if formulas else round(price * qty, 2)
        ws.append([day, store, product, price, qty, amount, person])
        for cell in ws[i]:
            cell.border = BORDER
        ws.cell(i, 1).number_format = "yyyy-mm-dd"
        ws.cell(i, 4).number_format = "0.00"
        ws.cell(i, 6).number_format = "#,##0.00"
    for col, width in enumerate(WIDTHS, start=1):
        ws.column_dimensions[get_column_letter(col)].width = width
    ws.freeze_panes = "A2"


def summary_sheet(ws, title, detail_name, rows):
    ws["A1"] = title
    ws["A1"].font = TITLE_FONT
    ws.merge_cells("A1:C1")
    ws.append(["门店", "销售笔数", "销售额"])
    for cell in ws[2]:
        cell.font = Font(bold=True)
        cell.fill = PatternFill("solid", fgColor="DDEBF7")
        cell.border = BORDER
    last = len(rows) + 1
    for r, store in enumerate(STORES, start=3):
        ws.append([store, f'=COUNTIF({detail_name}!B2:B{last},A{r})',
                   f'=SUMIF({detail_name}!B2:B{last},A{r},{detail_name}!F2:F{last})'])
        ws.cell(r, 3).number_format = "#,##0.00"
    ws.column_dimensions["A"].width = 12
    ws.column_dimensions["B"].width = 10
    ws.column_dimensions["C"].width = 14


def monthly_workbook(path, rng, year, month, count, stores=STORES):
    wb = Workbook()
    ws = wb.active
    ws.title = "销售明细"
    rows = month_rows(rng, year, month, count, stores)
    detail_sheet(ws, rows)
    summary_sheet(wb.create_sheet("门店汇总"), f"{year}年{month}月门店汇总", "销售明细", rows)
    wb.save(path)


def csv_file(path, rng, year, month, count):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    writer.writerow(HEADER)
    for day, store, product, price, qty, person in month_rows(rng, year, month, count):
        writer.writerow([day.isoformat(), store, product, f"{price:.2f}", qty,
                         f"{price * qty:.2f}", person])
    with open(path, "wb") as f:
        f.write(out.getvalue().encode("gb18030"))


def xls_file(path, rng, tablaweaver):
    """The .xls comes from our own writer: one month merged from a one-sheet workbook."""
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "month.xlsx")
        wb = Workbook()
        detail_sheet(wb.active, month_rows(rng, 2023, 12, 25), formulas=False)
        wb.active.title = "销售明细"
        wb.save(source)
        target = os.path.splitext(path)[0]
        result = subprocess.run([tablaweaver, "merge-sheets", source, "-o", target, "--xls",
                                 "--no-organise"], capture_output=True, text=True)
        if result.returncode != 0 or not os.path.exists(path):
            print(f"未生成 {os.path.basename(path)}：{result.stderr.strip()}", file=sys.stderr)
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description="生成 Tablaweaver 的示例工作簿")
    parser.add_argument("dest", nargs="?",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"))
    parser.add_argument("--tablaweaver", help="tablaweaver 程序的路径，用于生成 .xls 示例")
    args = parser.parse_args()

    rng = random.Random(20240131)
    folder = os.path.join(args.dest, "销售")
    os.makedirs(os.path.join(folder, "分店"), exist_ok=True)
    for month in (1, 2, 3):
        monthly_workbook(os.path.join(folder, f"2024年{month:02d}月销售.xlsx"), rng, 2024, month,
                         30 + 5 * month)
    monthly_workbook(os.path.join(folder, "分店", "2024年01月_浦东店.xlsx"), rng, 2024, 1, 18,
                     stores=["浦东店"])
    csv_file(os.path.join(folder, "2024年04月销售.csv"), rng, 2024, 4, 20)
    if args.tablaweaver:
        xls_file(os.path.join(folder, "2023年12月销售.xls"), rng, args.tablaweaver)

    long_book = Workbook()
    long_book.active.title = "明细"
    rows = []
    for month in range(1, 7):
        rows += month_rows(rng, 2024, month, 40)
    detail_sheet(long_book.active, rows)
    long_book.save(os.path.join(args.dest, "门店明细.xlsx"))

    for root, _, files in sorted(os.walk(args.dest)):
        for name in sorted(files):
            print(os.path.join(root, name))


if __name__ == "__main__":
    main()
