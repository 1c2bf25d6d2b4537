"""The split a user would write with pandas: read the workbook, group, write one file per group
with the xlsxwriter engine (the fastest writer pandas offers). Formats are not carried.

    split_pandas.py value SOURCE FOLDER KEY_COLUMN   (1-based; one workbook per value)
    split_pandas.py rows SOURCE FOLDER ROWS          (one workbook per block of ROWS data rows)
    split_pandas.py sheets SOURCE FOLDER             (one workbook per sheet)

Output names follow the engine's: "<value>.xlsx", "<source name>_<n>.xlsx", "<sheet>.xlsx".
"""
import os
import sys

import pandas


def main():
    job, source, folder = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(folder, exist_ok=True)
    if job == "value":
        df = pandas.read_excel(source)
        key = df.columns[int(sys.argv[4]) - 1]
        for value, group in df.groupby(key, sort=False):
            group.to_excel(os.path.join(folder, f"{value}.xlsx"), index=False,
                           engine="xlsxwriter")
    elif job == "rows":
        df = pandas.read_excel(source)
        per = int(sys.argv[4])
        base = os.path.basename(source).split(".")[0]
        for n, start in enumerate(range(0, len(df), per), 1):
            df.iloc[start:start + per].to_excel(os.path.join(folder, f"{base}_{n}.xlsx"),
                                                index=False, engine="xlsxwriter")
    elif job == "sheets":
        for name, df in pandas.read_excel(source, sheet_name=None).items():
            df.to_excel(os.path.join(folder, f"{name}.xlsx"), index=False, engine="xlsxwriter")
    else:
        sys.exit(f"unknown job {job}")


if __name__ == "__main__":
    main()
